// The evaluator the search is built over: a compile-time parameter, so that the search exists
// once per evaluator (PstEval, the hand-written one, and nnue::NnueEval). Each search thread
// owns its own evaluator instance; instances are never shared between threads.
#pragma once

#include <concepts>
#include <optional>

#include "core/board/position.h"

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

}  // namespace orvane
