// The evaluator the search is built over (a compile-time parameter, one search instance per
// evaluator), and PstEval, the hand-written tapered piece-square evaluation. Each search
// thread owns its own evaluator instance; instances are never shared between threads.
#pragma once

#include <array>
#include <concepts>
#include <optional>

#include "core/position.h"

namespace orvane {

// Win, draw and loss probabilities from the side to move's view; they sum to 1. (Wdl is
// the tablebase's five-valued result class.)
struct WdlProbs {
    float win, draw, loss;
};

// reset: forget all history and rebuild for this position (start of a search, before a
// single evaluation). push_move: before make_move, with the position still before the
// move. pop_move: after the matching unmake_move. Null moves are never pushed.
template <typename E>
concept Evaluator = std::copy_constructible<E>
                    && requires(E e, const Position& pos, Move m) {
                           e.reset(pos);
                           e.push_move(pos, m);
                           e.pop_move();
                           { e.evaluate(pos) } -> std::same_as<int>;
                           { e.wdl(pos) } -> std::same_as<std::optional<WdlProbs>>;
                       };

namespace eval {

// [phase: middle game, end game][piece 0..11][square]; values include the material.
extern const std::array<std::array<std::array<int, 64>, 12>, 2> TABLES;

inline constexpr int BISHOP_PAIR_MG = 25;
inline constexpr int BISHOP_PAIR_EG = 45;
inline constexpr int MAX_PHASE = 24;

// Game phase: minor pieces 1, rooks 2, queens 4, both colours, capped at 24.
int phase(const Position& pos);

// The tapered score from White's point of view.
int evaluate_white(const Position& pos);

}  // namespace eval

class PstEval {
public:
    void reset(const Position&) {}
    void push_move(const Position&, Move) {}
    void pop_move() {}
    int evaluate(const Position& pos) const {
        int score = eval::evaluate_white(pos);
        return pos.side() == WHITE ? score : -score;
    }
    std::optional<WdlProbs> wdl(const Position&) const { return std::nullopt; }
};

static_assert(Evaluator<PstEval>);

}  // namespace orvane
