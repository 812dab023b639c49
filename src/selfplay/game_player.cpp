#include "selfplay/game_player.h"

#include <algorithm>
#include <cstdlib>

#include "core/board/movegen.h"
#include "core/eval/nnue/nnue_eval.h"
#include "selfplay/adjudication.h"

namespace orvane::selfplay {

using game_record::Result;

template <Evaluator E>
GamePlayer<E>::GamePlayer(E evaluator, Settings settings, std::uint64_t rng_start,
                          std::shared_ptr<std::atomic<bool>> stop)
    : settings_(std::move(settings)), rng_(rng_start), stop_(std::move(stop)) {
    table_ = tt::TranspositionTable::new_table(settings_.table_mb);
    searcher_ = std::make_unique<Searcher<E>>(std::move(evaluator), table_, stop_);
}

template <Evaluator E>
bool GamePlayer<E>::random_opening(Position& pos, game_record::Game& game, int plies) {
    for (int i = 0; i < plies; ++i) {
        MoveList legal;
        movegen::generate_all(pos, legal);
        if (legal.empty()) return false;
        const Move m = legal[static_cast<int>(rng_() % static_cast<std::uint64_t>(legal.size()))];
        game.opening.push_back(m);
        pos.make_move(m);
    }
    return movegen::has_legal_move(pos);
}

template <Evaluator E>
std::optional<PlayedGame> GamePlayer<E>::play(int opening_plies) {
    table_->clear();
    searcher_->clear_learned();
    PlayedGame played{{}, Ending::RULES};
    game_record::Game& game = played.record;
    Position pos = Position::startpos();
    if (!random_opening(pos, game, opening_plies)) return std::nullopt;

    SearchLimits limits;
    limits.soft_nodes = settings_.soft_nodes;
    limits.nodes = settings_.soft_nodes * HARD_NODE_FACTOR;
    ScoreAdjudicator adjudicator(WIN_SCORE, WIN_PLIES, DRAW_SCORE, DRAW_PLIES, DRAW_MIN_PLY);
    int ply = static_cast<int>(game.opening.size());
    for (;;) {
        if (stop_->load(std::memory_order_relaxed)) return std::nullopt;
        MoveList legal;
        movegen::generate_all(pos, legal);
        if (legal.empty()) {
            game.result = !pos.in_check() ? Result::DRAW
                          : pos.side() == WHITE ? Result::BLACK_WIN
                                                : Result::WHITE_WIN;
            return played;
        }
        if (pos.halfmove() >= 100 || pos.is_repetition() || pos.insufficient_material()) {
            game.result = Result::DRAW;
            return played;
        }
        if (settings_.tablebase) {
            if (std::optional<Result> r = tablebase_result(pos, *settings_.tablebase)) {
                game.result = *r;
                played.ending = Ending::TABLEBASE;
                return played;
            }
        }
        if (game.plies.size() >= MAX_GAME_PLIES) {
            game.result = Result::DRAW;
            played.ending = Ending::LENGTH;
            return played;
        }
        const SearchResult r = searcher_->search(pos, limits, {});
        nodes_ += r.nodes;
        if (stop_->load(std::memory_order_relaxed)) return std::nullopt;
        const int score = r.score;
        // The first search doubles as the check that the random opening is still playable.
        if (game.plies.empty() && std::abs(score) > OPENING_LIMIT) return std::nullopt;
        game.plies.push_back({r.best, static_cast<std::int16_t>(std::clamp(score, -32000, 32000))});

        // Adjudication, with scores turned to White's view.
        const auto verdict = adjudicator.add(pos.side() == WHITE ? score : -score, ply);
        pos.make_move(r.best);
        ++ply;
        using Verdict = ScoreAdjudicator::Verdict;
        if (verdict == Verdict::WHITE_WIN || verdict == Verdict::BLACK_WIN) {
            game.result = verdict == Verdict::WHITE_WIN ? Result::WHITE_WIN : Result::BLACK_WIN;
            played.ending = Ending::WIN_ADJUDICATED;
            return played;
        }
        if (verdict == Verdict::DRAW) {
            game.result = Result::DRAW;
            played.ending = Ending::DRAW_ADJUDICATED;
            return played;
        }
    }
}

template class GamePlayer<PstEval>;
template class GamePlayer<nnue::NnueEval>;

}  // namespace orvane::selfplay
