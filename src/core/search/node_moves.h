// The moves of one negamax node, in search order: either the staged generator (table move,
// good captures, killers, counter move, quiet moves, bad captures) or a fully generated and
// scored list handed out by selection. Lives in the node's frame; never allocates.
#pragma once

#include <cstdint>
#include <optional>

#include "core/board/movegen.h"
#include "core/board/see.h"
#include "core/search/move_ordering.h"

namespace orvane {

class NodeMoves {
public:
    // Staged generation for ordinary nodes.
    void init_staged(Move tt_move, Move killer1, Move killer2, Move counter) {
        staged_ = true;
        stage_ = Stage::TABLE;
        tt_move_ = tt_move;
        killer1_ = killer1;
        killer2_ = killer2;
        counter_ = counter;
        count_ = begin_ = 0;
    }

    // The list path: every legal move, scored by the caller through add().
    void init_list() {
        staged_ = false;
        count_ = begin_ = 0;
    }
    void add(Move m, std::int32_t score) { items_[count_++] = {m, score}; }
    int size() const { return count_; }
    ordering::ScoredMove& item(int i) { return items_[i]; }

    // The next move and its ordering score, a NULL_MOVE at the end. `capture_score(m)`
    // scores a capture or promotion by the capture bands; `quiet_score(m)` gives a quiet move
    // its history value.
    template <typename CaptureScore, typename QuietScore>
    ordering::ScoredMove next(const Position& pos, CaptureScore&& capture_score,
                                             QuietScore&& quiet_score) {
        if (!staged_) return pick(begin_, count_);
        for (;;) {
            switch (stage_) {
                case Stage::TABLE:
                    stage_ = Stage::GENERATE_NOISY;
                    if (tt_move_ && movegen::is_legal_move(pos, tt_move_))
                        return ordering::ScoredMove{tt_move_, ordering::TT_MOVE};
                    break;
                case Stage::GENERATE_NOISY: {
                    MoveList list;
                    movegen::generate_noisy(pos, list);
                    for (Move m : list)
                        if (m != tt_move_) items_[count_++] = {m, capture_score(m)};
                    stage_ = Stage::GOOD_NOISY;
                    break;
                }
                case Stage::GOOD_NOISY:
                    if (const ordering::ScoredMove best = pick(begin_, count_); best.move) {
                        if (best.score >= ordering::GOOD_CAPTURE) return best;
                        // The best left is a bad capture: it heads the bad ones, as the next
                        // selection would put it anyway.
                        --begin_;
                    }
                    bad_begin_ = begin_;
                    bad_end_ = count_;
                    stage_ = Stage::KILLER_1;
                    break;
                case Stage::KILLER_1:
                    stage_ = Stage::KILLER_2;
                    if (killer1_ && is_quiet(killer1_) && killer1_ != tt_move_
                        && movegen::is_legal_move(pos, killer1_))
                        return ordering::ScoredMove{killer1_, ordering::KILLER_1};
                    break;
                case Stage::KILLER_2:
                    stage_ = Stage::COUNTER_MOVE;
                    if (killer2_ && is_quiet(killer2_) && killer2_ != tt_move_ && killer2_ != killer1_
                        && movegen::is_legal_move(pos, killer2_))
                        return ordering::ScoredMove{killer2_, ordering::KILLER_2};
                    break;
                case Stage::COUNTER_MOVE:
                    stage_ = Stage::GENERATE_QUIET;
                    if (counter_ && is_quiet(counter_) && counter_ != tt_move_ && counter_ != killer1_
                        && counter_ != killer2_ && movegen::is_legal_move(pos, counter_))
                        return ordering::ScoredMove{counter_, ordering::COUNTER};
                    break;
                case Stage::GENERATE_QUIET: {
                    MoveList list;
                    movegen::generate_quiet(pos, list);
                    begin_ = count_;
                    for (Move m : list)
                        if (m != tt_move_ && m != killer1_ && m != killer2_ && m != counter_)
                            items_[count_++] = {m, quiet_score(m)};
                    stage_ = Stage::QUIETS;
                    break;
                }
                case Stage::QUIETS:
                    if (begin_ < count_) return pick(begin_, count_);
                    stage_ = Stage::BAD_NOISY;
                    break;
                case Stage::BAD_NOISY:
                    if (bad_begin_ < bad_end_) return pick(bad_begin_, bad_end_);
                    stage_ = Stage::DONE;
                    break;
                case Stage::DONE:
                    return {NULL_MOVE, 0};
            }
        }
    }

private:
    enum class Stage {
        TABLE,
        GENERATE_NOISY,
        GOOD_NOISY,
        KILLER_1,
        KILLER_2,
        COUNTER_MOVE,
        GENERATE_QUIET,
        QUIETS,
        BAD_NOISY,
        DONE
    };

    ordering::ScoredMove pick(int& first, int last) {
        return ordering::pick_best(items_, first, last);
    }

    ordering::ScoredMove items_[MAX_MOVES];
    int count_ = 0;
    int begin_ = 0;
    int bad_begin_ = 0;
    int bad_end_ = 0;
    bool staged_ = false;
    Stage stage_ = Stage::DONE;
    Move tt_move_ = NULL_MOVE;
    Move killer1_ = NULL_MOVE;
    Move killer2_ = NULL_MOVE;
    Move counter_ = NULL_MOVE;
};

}  // namespace orvane
