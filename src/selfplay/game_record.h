// Self-play game records for network training. One record per game, little-endian:
//   u8  result         0 = Black won, 1 = draw, 2 = White won
//   u8  opening plies  n, the random moves played from the start position
//   u16 scored plies   m
//   n x u16            the opening moves
//   m x (u16 move, i16 score)   each searched move with its score from the mover's view
// So a position costs 4 bytes; files are compressed with zstd afterwards.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <vector>

#include "core/board/position.h"

namespace orvane::game_record {

enum class Result : std::uint8_t { BLACK_WIN = 0, DRAW = 1, WHITE_WIN = 2 };

struct ScoredPly {
    Move move;
    std::int16_t score;  // from the side to move's view, before the move
};

struct Game {
    Result result = Result::DRAW;
    std::vector<Move> opening;
    std::vector<ScoredPly> plies;
};

void write(std::ostream& out, const Game& game);
// The next game, or nothing at the end of the stream or on a truncated record.
std::optional<Game> read(std::istream& in);

// A training position: the board before a scored ply, and what happened.
struct Sample {
    Position position;
    Move move;
    std::int16_t score;  // side to move's view
    Result result;
    int ply;             // plies played since the start position
    int searched_ply;    // scored plies before this one (0 right after the random opening)
};

// Replays a game and calls `visit` for every scored ply. False when a move is illegal
// (a corrupt record).
template <typename Visit>
bool replay(const Game& game, Visit&& visit);

}  // namespace orvane::game_record

#include "core/board/movegen.h"

namespace orvane::game_record {

template <typename Visit>
bool replay(const Game& game, Visit&& visit) {
    Position pos = Position::startpos();
    int ply = 0;
    for (Move m : game.opening) {
        if (!movegen::is_legal_move(pos, m)) return false;
        pos.make_move(m);
        ++ply;
    }
    for (const ScoredPly& p : game.plies) {
        if (!movegen::is_legal_move(pos, p.move)) return false;
        visit(Sample{pos, p.move, p.score, game.result, ply,
                     ply - static_cast<int>(game.opening.size())});
        pos.make_move(p.move);
        ++ply;
    }
    return true;
}

}  // namespace orvane::game_record
