// Parallel search. ThreadPool owns the main Searcher (thread 0, run on the caller's thread)
// and persistent helper threads that obey WorkerCmd commands. Lazy SMP: helpers search the
// same root with staggered depths and the threads vote on the move. YBWC: after the first
// move of a node the main thread publishes the rest as a split point that idle helpers share.
// ABDADA: threads search the same root but defer moves another thread is busy with.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "core/ordering.h"
#include "core/search.h"
#include "core/thread.h"

namespace orvane::smp {

enum class SmpMode { Lazy = 0, YBWC = 1, ABDADA = 2 };

std::optional<SmpMode> parse_smp_mode(std::string_view text);
std::string_view smp_mode_name(SmpMode mode);

// ABDADA's table of (position, move) pairs some thread is searching right now. Each slot is
// one atomic word used with relaxed ordering on purpose: the table orders nothing else, and
// a mark seen late, missed or overwritten by another pair only changes the move order (a
// move searched by two threads at once, or deferred to the end of the move loop, where it is
// still searched). A check followed by a mark is not atomic as a whole, for the same reason.
class BusyMoves {
public:
    static constexpr std::size_t SIZE = 32'768;

    static std::uint64_t tag(std::uint64_t key, Move m) {
        return key ^ ((static_cast<std::uint64_t>(m) + 1) * 0x9E3779B97F4A7C15ULL);
    }
    static std::size_t index(std::uint64_t tag) { return tag & (SIZE - 1); }

    bool is_busy(std::uint64_t key, Move m) const {
        const std::uint64_t t = tag(key, m);
        return slots_[index(t)].load(std::memory_order_relaxed) == t;
    }
    void mark(std::uint64_t key, Move m) {
        const std::uint64_t t = tag(key, m);
        slots_[index(t)].store(t, std::memory_order_relaxed);
    }
    // Leaves a slot alone that another pair has taken over since.
    void unmark(std::uint64_t key, Move m) {
        std::uint64_t t = tag(key, m);
        slots_[index(t)].compare_exchange_strong(t, 0, std::memory_order_relaxed);
    }

private:
    std::atomic<std::uint64_t> slots_[SIZE]{};
};

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

// The vote among the threads' results.
SearchResult pick_best_thread(const SearchResult& main, const std::vector<SearchResult>& helpers);

template <Evaluator E>
struct WorkerCmd {
    struct Search {
        std::vector<Move> root_moves;
        std::vector<RootMove> tb_root_moves;
        Position position;
    };
    struct YbwcHelp {
        std::shared_ptr<YbwcPool> pool;
    };
    struct SetTt {
        std::shared_ptr<tt::TranspositionTable> table;
    };
    struct SetTablebase {
        std::shared_ptr<const Tablebase> tablebase;
    };
    struct SetBusy {
        std::shared_ptr<BusyMoves> busy;
    };
    struct SetYbwc {
        std::shared_ptr<YbwcPool> pool;
    };
    struct SetEval {
        E evaluator;
    };
    struct Clear {};
    struct Quit {};
    using Variant = std::variant<Search, YbwcHelp, SetTt, SetTablebase, SetBusy, SetYbwc, SetEval,
                                 Clear, Quit>;
};

template <Evaluator E>
struct WorkerShared {
    std::mutex lock;
    std::condition_variable cv;
    std::optional<SearchResult> result;
    std::optional<typename WorkerCmd<E>::Variant> cmd;
    bool busy = false;
    bool crashed = false;  // the helper ended abnormally; nobody may wait on it any more
    // Raised when the helper is dropped: its searcher polls it like a stop flag, so that a
    // helper still searching ends without the pool's stop flag being set.
    std::atomic<bool> quit{false};
};

template <Evaluator E>
class HelperWorker {
public:
    static std::unique_ptr<HelperWorker> spawn(int index, std::unique_ptr<Searcher<E>> searcher);
    ~HelperWorker();
    void dispatch(typename WorkerCmd<E>::Variant cmd);
    std::optional<SearchResult> wait();

private:
    std::shared_ptr<WorkerShared<E>> shared_;
    NamedThread thread_;
};

template <Evaluator E>
class ThreadPool {
public:
    explicit ThreadPool(std::unique_ptr<Searcher<E>> main);
    ~ThreadPool();

    Searcher<E>& main() { return *main_; }
    std::size_t helper_count() const { return helpers_.size(); }

    // Brings the helper set to n - 1 helpers; new ones get a copy of `prototype` evaluator.
    void resize(std::size_t threads);
    void set_table(std::shared_ptr<tt::TranspositionTable> table);
    void set_tablebase(std::shared_ptr<const Tablebase> tablebase);
    void set_busy(std::shared_ptr<BusyMoves> busy);
    void set_ybwc(std::shared_ptr<YbwcPool> pool);
    void set_evaluator(const E& evaluator);  // every helper, then the main searcher
    void set_mode(SmpMode mode, bool abdada) {
        mode_ = mode;
        abdada_ = abdada;
    }
    SmpMode mode() const { return mode_; }
    bool abdada() const { return abdada_; }
    // Table, histories and every helper's learned tables.
    void clear();

    // One search on every thread; the result of the main thread or of the vote.
    SearchResult search(const Position& root, const SearchLimits& limits, const InfoCallback& on_info);

private:
    std::unique_ptr<Searcher<E>> main_;
    std::vector<std::unique_ptr<HelperWorker<E>>> helpers_;
    std::shared_ptr<YbwcPool> ybwc_;
    SmpMode mode_ = SmpMode::Lazy;
    bool abdada_ = false;
};

}  // namespace orvane::smp
