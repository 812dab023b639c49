// Move ordering: the score bands shared by the staged generator, the list path and the
// quiescence search, and MovePicker, a selection picker over a scored list that hands out
// the best remaining move (the first one on ties) one at a time.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "core/board/attacks.h"
#include "core/board/movegen.h"
#include "core/board/position.h"

namespace orvane::ordering {

inline constexpr std::int32_t TT_MOVE = 1'073'741'824;
inline constexpr std::int32_t GOOD_CAPTURE = 268'435'456;
inline constexpr std::int32_t KILLER_1 = 134'217'728;
inline constexpr std::int32_t KILLER_2 = 134'217'727;
inline constexpr std::int32_t COUNTER = 134'217'726;
inline constexpr std::int32_t BAD_CAPTURE = -1'048'576;
inline constexpr std::int32_t UNDER_PROMOTION = -268'435'456;
inline constexpr std::int32_t POLICY_LIMIT = 67'108'864;

// Victim values for ordering (pawn, knight, bishop, rook, queen, king); en passant takes a pawn.
inline constexpr int VICTIM[6] = {100, 320, 330, 470, 950, 0};
inline constexpr int QUEEN_PROMOTION_BONUS = 950;

inline int victim_value(const Position& pos, Move m) {
    if (is_en_passant(m)) return VICTIM[PAWN];
    if (!is_capture(m)) return 0;
    return VICTIM[kind_of(pos.piece_on(move_to(m)))];
}

// The captured kind as the capture history indexes it: a pawn for en passant and for
// promotions without capture.
inline int captured_kind(const Position& pos, Move m) {
    if (!is_capture(m) || is_en_passant(m)) return PAWN;
    return kind_of(pos.piece_on(move_to(m)));
}

// 16 x (victim + 950 for a queen promotion) - attacker kind: the most valuable victim first,
// the least valuable attacker first among equal victims.
inline int mvv_lva(const Position& pos, Move m) {
    int victim = victim_value(pos, m);
    if (is_promotion(m) && promoted_kind(m) == QUEEN) victim += QUEEN_PROMOTION_BONUS;
    return 16 * victim - kind_of(pos.piece_on(move_from(m)));
}

// Squares attacked by the pawns of the side not to move (the pawn-threat set of a node).
inline Bitboard pawn_threats(const Position& pos) {
    const Color them = pos.side() ^ 1;
    return attacks::of_pawns(pos.pieces(them, PAWN), them);
}

inline bool is_under_promotion(Move m) { return is_promotion(m) && promoted_kind(m) != QUEEN; }

// A move and its ordering score; a NULL_MOVE when a picker has nothing left.
struct ScoredMove {
    Move move;
    std::int32_t score;
};
static_assert(sizeof(ScoredMove) == 8);

// Selection over items[first, last): the highest score (the first one on ties) is swapped to
// `first`, handed out, and `first` moves past it; a NULL_MOVE when the range is empty.
// (A plain 8-byte value rather than an optional: it stays in a register.)
inline ScoredMove pick_best(ScoredMove* items, int& first, int last) {
    const int begin = first;
    if (begin >= last) return {NULL_MOVE, 0};
    int best = begin;
    std::int32_t best_score = items[begin].score;
    for (int i = begin + 1; i < last; ++i) {
        if (items[i].score > best_score) {
            best = i;
            best_score = items[i].score;
        }
    }
    // Whole 8-byte copies: a field-by-field swap followed by reading the item back stalls
    // the load on the two narrower stores.
    std::uint64_t chosen, displaced;
    std::memcpy(&chosen, &items[best], sizeof chosen);
    std::memcpy(&displaced, &items[begin], sizeof displaced);
    std::memcpy(&items[best], &displaced, sizeof displaced);
    std::memcpy(&items[begin], &chosen, sizeof chosen);
    first = begin + 1;
    return std::bit_cast<ScoredMove>(chosen);
}

class MovePicker {
public:
    void clear() { count_ = next_ = 0; }
    void add(Move m, std::int32_t score) { items_[count_++] = {m, score}; }
    int size() const { return count_; }
    int remaining() const { return count_ - next_; }
    ScoredMove& at(int i) { return items_[i]; }

    // The best move not yet handed out (on equal scores the one standing first); a
    // NULL_MOVE when none is left.
    ScoredMove next_move() { return pick_best(items_, next_, count_); }

private:
    ScoredMove items_[MAX_MOVES];
    int count_ = 0;
    int next_ = 0;
};

}  // namespace orvane::ordering
