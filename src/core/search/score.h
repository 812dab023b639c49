// The score scale of the search: centipawn-like integers from the side to move's view.
// Being mated at ply p scores -MATE + p; tablebase wins found at ply p score TB_WIN - p.
#pragma once

namespace orvane {

inline constexpr int INFINITE_SCORE = 32001;
inline constexpr int MATE = 32000;
inline constexpr int MATE_BOUND = 31743;   // |score| >= this is a mate score
inline constexpr int TB_WIN = 31871;
inline constexpr int LOSING_BOUND = -31871; // below it, move-loop pruning stays off
inline constexpr int NO_EVAL = -1073741824; // eval-stack marker for plies in check
inline constexpr int TT_NO_EVAL = -32768;   // 16-bit marker for entries without an eval
inline constexpr int MAX_PLY = 128;
inline constexpr int STACK_SIZE = MAX_PLY + 1;

inline constexpr bool is_mate_score(int score) { return score >= MATE_BOUND || score <= -MATE_BOUND; }

}  // namespace orvane
