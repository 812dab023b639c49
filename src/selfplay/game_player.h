// One self-play game at a time for network training, played in-process by one searcher over
// its own table. A player belongs to one thread; the tablebase it adjudicates with is shared.
//
// A game starts with random legal plies from the start position. Then every move is searched
// with a soft node limit and a hard cap of 8 times that (the first search also throws away
// openings that are already decided), and the game ends by the rules, by the tables (when given,
// at the first position they answer; they never enter the search, so every recorded score is
// the evaluator's own) or by adjudication: a win after 4 plies at |score| >= 2000, a draw
// after 10 plies at |score| <= 10 once 70 plies are played.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>

#include "core/eval/pst_eval.h"
#include "core/search/searcher.h"
#include "core/tablebase/tablebase.h"
#include "core/search/transposition_table.h"
#include "selfplay/game_record.h"

namespace orvane::selfplay {

inline constexpr int OPENING_LIMIT = 1000;  // |score| of a playable opening
inline constexpr int HARD_NODE_FACTOR = 8;
inline constexpr int WIN_SCORE = 2000;
inline constexpr int WIN_PLIES = 4;
inline constexpr int DRAW_SCORE = 10;
inline constexpr int DRAW_PLIES = 10;
inline constexpr int DRAW_MIN_PLY = 70;
inline constexpr int MAX_GAME_PLIES = 600;

struct Settings {
    std::uint64_t soft_nodes = 5000;
    std::size_t table_mb = 4;
    std::shared_ptr<const Tablebase> tablebase;  // adjudicates when set
};

// How a game ended, for the generator's counts.
enum class Ending { RULES, TABLEBASE, WIN_ADJUDICATED, DRAW_ADJUDICATED, LENGTH };

struct PlayedGame {
    game_record::Game record;
    Ending ending;
};

template <Evaluator E>
class GamePlayer {
public:
    // `stop` ends the game in progress (it is then not returned); the caller owns the flag.
    GamePlayer(E evaluator, Settings settings, std::uint64_t rng_start,
               std::shared_ptr<std::atomic<bool>> stop);

    // One game, or nothing when the opening was discarded or the stop flag was raised.
    std::optional<PlayedGame> play(int opening_plies);

    // Nodes of every search so far, opening checks included.
    std::uint64_t nodes() const { return nodes_; }

private:
    bool random_opening(Position& pos, game_record::Game& game, int plies);

    Settings settings_;
    std::mt19937_64 rng_;
    std::shared_ptr<std::atomic<bool>> stop_;
    std::shared_ptr<tt::TranspositionTable> table_;
    std::unique_ptr<Searcher<E>> searcher_;
    std::uint64_t nodes_ = 0;
};

}  // namespace orvane::selfplay
