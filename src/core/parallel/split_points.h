// YBWC split points: after the first move of a node the main searcher publishes the rest of
// its moves, and idle helpers take them one at a time. The pool of open split points is shared
// by every searcher of a thread pool in YBWC mode; a split point lives until its creator and
// every helper working on it have left.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "core/search/move_ordering.h"
#include "core/search/searcher.h"

namespace orvane::smp {

inline constexpr int SPLIT_MIN_DEPTH = 5;

// A node's remaining moves offered to idle helpers.
struct YbwcSplit {
    Position position;
    std::vector<ordering::ScoredMove> moves;
    std::atomic<bool> stop{false};
    int ply = 0;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> helpers{0};
    std::mutex result_lock;
    int best_score = 0;
    Move best_move = NULL_MOVE;
    std::vector<Move> pv;
    int depth = 0;
    int beta = 0;
    std::atomic<int> alpha{0};
    bool pv_node = false;
    bool cut_node = false;
    bool in_check = false;
    bool improving = false;
    bool tt_move_noisy = false;
};

class YbwcPool {
public:
    void push_split(const std::shared_ptr<YbwcSplit>& split);
    void remove_split(const std::shared_ptr<YbwcSplit>& split);
    void wait_briefly(const YbwcSplit& split);
    // A split point with moves left, or nothing once the parallel search is over.
    std::shared_ptr<YbwcSplit> wait_for_work();
    // A helper left a split point: the last one wakes the waiters.
    void release(YbwcSplit& split);
    void set_active(bool active);
    // Only a hint for whether a split point is worth making (relaxed): a stale answer costs
    // a split point that the creator works alone, or a missed chance to share a node.
    bool has_idle() const { return idle_.load(std::memory_order_relaxed) > 0; }

private:
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<std::shared_ptr<YbwcSplit>> splits_;
    std::atomic<std::size_t> idle_{0};
    bool active_ = false;
};

inline bool has_idle_helpers(const YbwcPool& pool) { return pool.has_idle(); }

// A helper's hold on a split point, released when the helper leaves it by any path (an
// exception included): the split's creator waits until every helper has left.
struct SplitRelease {
    YbwcPool& pool;
    YbwcSplit& split;
    SplitRelease(YbwcPool& p, YbwcSplit& s) : pool(p), split(s) {}
    SplitRelease(const SplitRelease&) = delete;
    SplitRelease& operator=(const SplitRelease&) = delete;
    ~SplitRelease() { pool.release(split); }
};

// What a node hands to a split point, and what it gets back.
struct SplitNode {
    int ply, depth, alpha, beta, best_score;
    Move best_move;
    bool pv_node, cut_node, in_check, improving, tt_move_noisy;
};
struct SplitOutcome {
    int best_score;
    Move best_move;
    std::vector<Move> pv;
};

// Publishes the moves, works on them with the other threads, waits until every helper has
// left and returns the split point's result.
template <Evaluator E>
SplitOutcome run_split(Searcher<E>& searcher, YbwcPool& pool, const Position& pos,
                       const SplitNode& node, std::vector<ordering::ScoredMove> moves);

}  // namespace orvane::smp
