#include "core/parallel/split_points.h"

#include <algorithm>
#include <chrono>

#include "core/eval/nnue/nnue_eval.h"
#include "core/search/tune.h"

namespace orvane::smp {

void YbwcPool::push_split(const std::shared_ptr<YbwcSplit>& split) {
    std::lock_guard lock(lock_);
    splits_.push_back(split);
    cv_.notify_all();
}

void YbwcPool::remove_split(const std::shared_ptr<YbwcSplit>& split) {
    std::lock_guard lock(lock_);
    for (auto it = splits_.rbegin(); it != splits_.rend(); ++it) {
        if (it->get() == split.get()) {
            splits_.erase(std::next(it).base());
            break;
        }
    }
    cv_.notify_all();
}

void YbwcPool::wait_briefly(const YbwcSplit& split) {
    std::unique_lock lock(lock_);
    if (split.helpers.load() != 0) cv_.wait_for(lock, std::chrono::milliseconds(1));
}

std::shared_ptr<YbwcSplit> YbwcPool::wait_for_work() {
    idle_.fetch_add(1);
    std::unique_lock lock(lock_);
    for (;;) {
        for (auto it = splits_.rbegin(); it != splits_.rend(); ++it) {
            YbwcSplit& s = **it;
            if (!s.stop.load() && s.next.load() < s.moves.size()) {
                s.helpers.fetch_add(1);
                idle_.fetch_sub(1);
                return *it;
            }
        }
        if (!active_) {
            idle_.fetch_sub(1);
            return nullptr;
        }
        cv_.wait(lock);
    }
}

void YbwcPool::release(YbwcSplit& split) {
    if (split.helpers.fetch_sub(1) == 1) {
        std::lock_guard lock(lock_);
        cv_.notify_all();
    }
}

void YbwcPool::set_active(bool active) {
    std::lock_guard lock(lock_);
    active_ = active;
    cv_.notify_all();
}

template <Evaluator E>
SplitOutcome run_split(Searcher<E>& searcher, YbwcPool& pool, const Position& pos,
                       const SplitNode& node, std::vector<ordering::ScoredMove> moves) {
    auto split = std::make_shared<YbwcSplit>();
    split->position = pos;
    split->moves = std::move(moves);
    split->ply = node.ply;
    split->best_score = node.best_score;
    split->best_move = node.best_move;
    split->depth = node.depth;
    split->beta = node.beta;
    split->alpha.store(node.alpha);
    split->pv_node = node.pv_node;
    split->cut_node = node.cut_node;
    split->in_check = node.in_check;
    split->improving = node.improving;
    split->tt_move_noisy = node.tt_move_noisy;

    pool.push_split(split);
    searcher.help_ybwc_split(*split);
    // Stopped by its own limits (or by an enclosing split point), the creator will discard
    // this node: the helpers must not finish their moves first. The helpers have no limits of
    // their own, so while they work the creator keeps looking at its limits (its clock
    // above all) and ends the split point when they are reached.
    if (searcher.stopped()) split->stop.store(true);
    while (split->helpers.load() != 0) {
        if (!split->stop.load() && searcher.check_stop()) split->stop.store(true);
        pool.wait_briefly(*split);
    }
    pool.remove_split(split);

    std::lock_guard lock(split->result_lock);
    return {split->best_score, split->best_move, split->pv};
}

template SplitOutcome run_split<PstEval>(Searcher<PstEval>&, YbwcPool&, const Position&,
                                         const SplitNode&, std::vector<ordering::ScoredMove>);
template SplitOutcome run_split<nnue::NnueEval>(Searcher<nnue::NnueEval>&, YbwcPool&,
                                                const Position&, const SplitNode&,
                                                std::vector<ordering::ScoredMove>);

}  // namespace orvane::smp

namespace orvane {

template <Evaluator E>
void Searcher<E>::help_ybwc_split(smp::YbwcSplit& split) {
    Position local = split.position;
    local.reserve_history(STACK_SIZE + 8);
    const int ply = split.ply;
    const std::atomic<bool>* previous_abort = abort_;
    abort_ = &split.stop;
    // The split point's flag goes with the split point, however this call ends.
    struct RestoreAbort {
        const std::atomic<bool>*& slot;
        const std::atomic<bool>* previous;
        ~RestoreAbort() { slot = previous; }
    } restore{abort_, previous_abort};
    if (thread_index_ != 0) {
        // A helper joins in the middle of someone else's line: nothing below this ply is its own.
        eval_.reset(local);
        for (int p = 0; p <= ply && p < STACK_SIZE; ++p) {
            cont_[p] = {};
            move_stack_[p] = {};
            eval_stack_[p] = NO_EVAL;
            excluded_[p] = NULL_MOVE;
        }
    }
    const Bitboard threats = ordering::pawn_threats(local);
    const Color us = local.side();
    const int d = split.depth;

    while (!split.stop.load() && !stopped_) {
        const std::size_t i = split.next.fetch_add(1);
        if (i >= split.moves.size()) break;
        const auto [m, s] = split.moves[i];
        const bool quiet = is_quiet(m);
        const int history = quiet && s >= ordering::COUNTER
                                ? quiet_history(us, threats, local.piece_on(move_from(m)), m, ply)
                                : s;
        make(local, m, ply, threats);
        const int a = split.alpha.load();

        int r = 0;
        if (d >= 2 && i >= (split.pv_node ? 1u : 0u) && !local.in_check() && !split.in_check) {
            const int l = lmr_reduction(d, static_cast<int>(i) + 1);
            const int max_r = std::max(d - 2, 0);
            if (!quiet) {
                if (d != 2 && s <= ordering::GOOD_CAPTURE - 1 && !split.pv_node)
                    r = std::clamp(l / 2 + (split.improving ? 0 : 1), 0, max_r);
            } else {
                r = l + ((split.cut_node && !split.pv_node) ? 1 : 0) + (split.tt_move_noisy ? 1 : 0)
                    + (split.improving ? 0 : 1)
                    - (std::clamp(history / tune::value(tune::LMR_HISTORY_DIVISOR), -2, 2)
                       + (split.pv_node ? 1 : 0) + (s > ordering::COUNTER - 1 ? 1 : 0));
                r = std::clamp(r, 0, max_r);
            }
        }
        int v = -negamax(local, d - 1 - r, -a - 1, -a, ply + 1, true, true);
        if (r > 0 && v > a && !stopped_)
            v = -negamax(local, d - 1, -a - 1, -a, ply + 1, true, !split.cut_node);
        if (v > a && !stopped_ && v < split.beta)
            v = -negamax(local, d - 1, -split.beta, -a, ply + 1, true, false);
        unmake(local, m);

        if (stopped_) {
            // The split point's own stop is not the end of this thread's search; the shared
            // stop flag, the thread's limits or an enclosing abort flag are.
            const bool outer = previous_abort && previous_abort->load();
            if (!stop_->load() && !outer && !limits_reached()) stopped_ = false;
            break;
        }
        bool cut = false;
        {
            std::lock_guard lock(split.result_lock);
            if (v > split.best_score) {
                split.best_score = v;
                split.best_move = m;
                split.pv.assign(1, m);
                for (Move x : pv_at(ply + 1)) split.pv.push_back(x);
                int current = split.alpha.load();
                while (v > current && !split.alpha.compare_exchange_weak(current, v)) {
                }
                if (v >= split.beta) {
                    split.stop.store(true);
                    cut = true;
                }
            }
        }
        if (cut) break;
    }
}

template void Searcher<PstEval>::help_ybwc_split(smp::YbwcSplit&);
template void Searcher<nnue::NnueEval>::help_ybwc_split(smp::YbwcSplit&);

}  // namespace orvane
