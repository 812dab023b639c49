// PstEval, the hand-written tapered piece-square evaluation, an Evaluator that keeps no state.
#pragma once

#include <array>
#include <optional>

#include "core/board/position.h"
#include "core/eval/evaluator.h"

namespace orvane {

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
