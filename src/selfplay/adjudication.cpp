#include "selfplay/adjudication.h"

#include "core/board/movegen.h"

namespace orvane::selfplay {

using game_record::Result;

std::optional<Result> tablebase_result(const Position& pos, const Tablebase& tables) {
    if (static_cast<std::uint32_t>(pos.piece_count()) > tables.max_pieces()) return std::nullopt;
    const std::optional<Wdl> wdl = tables.probe_wdl(pos);
    if (!wdl) return std::nullopt;
    const bool white = pos.side() == WHITE;
    switch (*wdl) {
    case Wdl::WIN: return white ? Result::WHITE_WIN : Result::BLACK_WIN;
    case Wdl::LOSS: return white ? Result::BLACK_WIN : Result::WHITE_WIN;
    default: return Result::DRAW;
    }
}

bool bare_king_against_major(const Position& pos) {
    for (Color c : {WHITE, BLACK}) {
        const Color other = c ^ 1;
        if (pos.pieces(c) == pos.pieces(c, KING)
            && (pos.pieces(other, QUEEN) | pos.pieces(other, ROOK)) != 0)
            return true;
    }
    return false;
}

std::optional<Labels> relabel(const game_record::Game& game, const Tablebase* tables) {
    Position pos = Position::startpos();
    for (Move m : game.opening) {
        if (!movegen::is_legal_move(pos, m)) return std::nullopt;
        pos.make_move(m);
    }
    const bool probe = tables != nullptr && tables->max_pieces() > 0;
    bool bare_king = false;
    // Position i is the one before scored ply i; the last is the one the game ended in.
    for (std::size_t i = 0;; ++i) {
        if (probe) {
            if (std::optional<Result> r = tablebase_result(pos, *tables))
                return Labels{*r, i, *r != game.result || i != game.plies.size()};
        }
        bare_king = bare_king || bare_king_against_major(pos);
        if (i == game.plies.size()) break;
        if (!movegen::is_legal_move(pos, game.plies[i].move)) return std::nullopt;
        pos.make_move(game.plies[i].move);
    }
    if (bare_king && game.result == Result::DRAW) return std::nullopt;
    return Labels{game.result, game.plies.size(), false};
}

}  // namespace orvane::selfplay
