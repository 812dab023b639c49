// The thread pool of the parallel search. ThreadPool owns the main Searcher (thread 0, run on
// the caller's thread) and persistent helper threads that obey WorkerCmd commands. Lazy SMP:
// helpers search the same root with staggered depths and the threads vote on the move. YBWC:
// after the first move of a node the main thread publishes the rest as a split point that
// idle helpers share. ABDADA: threads search the same root but defer moves another thread is
// busy with.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "core/parallel/busy_moves.h"
#include "core/parallel/split_points.h"
#include "core/parallel/named_thread.h"
#include "core/search/searcher.h"

namespace orvane::smp {

enum class SmpMode { Lazy = 0, YBWC = 1, ABDADA = 2 };

std::optional<SmpMode> parse_smp_mode(std::string_view text);
std::string_view smp_mode_name(SmpMode mode);

// The vote among the threads' results.
SearchResult pick_best_thread(const SearchResult& main, const std::vector<SearchResult>& helpers);

// What the parallel searches cost and bought, summed over all the searches of a pool; for
// benchmarks. The table figures need an ORVANE_SEARCH_STATS build.
struct PoolStats {
    std::uint64_t searches = 0;
    std::uint64_t helper_chosen = 0;  // the vote played a helper's move over the main thread's
    double start_ms = 0;              // from the dispatch to a helper's first node, summed
    std::uint64_t starts = 0;
    double stop_ms = 0;               // from the end of the main search to the last helper's report
    TableStats main_table;
    TableStats helper_table;
};

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
    TableStats table_stats;                           // of the last command
    std::chrono::steady_clock::time_point started;    // the last search's start
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
    // Of the last command; read after wait().
    TableStats table_stats() const { return shared_->table_stats; }
    std::chrono::steady_clock::time_point started() const { return shared_->started; }

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

    const PoolStats& stats() const { return stats_; }

private:
    std::unique_ptr<Searcher<E>> main_;
    std::vector<std::unique_ptr<HelperWorker<E>>> helpers_;
    std::shared_ptr<YbwcPool> ybwc_;
    // The helpers' stop flag, raised when the main search is over. Kept apart from the main
    // searcher's flag, which only the user raises: an infinite search that ended by itself
    // must still wait for the user's "stop".
    std::shared_ptr<std::atomic<bool>> helpers_stop_ = std::make_shared<std::atomic<bool>>(false);
    SmpMode mode_ = SmpMode::Lazy;
    bool abdada_ = false;
    PoolStats stats_;
};

}  // namespace orvane::smp
