#include "core/eval/nnue/nnue_eval.h"
#include "core/parallel/thread_pool.h"

#include <algorithm>
#include <limits>

#include "core/board/movegen.h"
#include "core/board/text.h"

namespace orvane::smp {

std::optional<SmpMode> parse_smp_mode(std::string_view text) {
    const std::string word = text::ascii_lower(text::trim(text));
    if (word == "lazy" || word == "lazysmp") return SmpMode::Lazy;
    if (word == "ybwc") return SmpMode::YBWC;
    if (word == "abdada") return SmpMode::ABDADA;
    return std::nullopt;
}

std::string_view smp_mode_name(SmpMode mode) {
    switch (mode) {
        case SmpMode::YBWC: return "YBWC";
        case SmpMode::ABDADA: return "ABDADA";
        default: return "Lazy";
    }
}

// The vote.

SearchResult pick_best_thread(const SearchResult& main, const std::vector<SearchResult>& helpers) {
    constexpr int MATE_VOTE = 31872;
    std::vector<const SearchResult*> candidates{&main};
    for (const SearchResult& h : helpers)
        if (h.best && h.depth > 0) candidates.push_back(&h);
    if (candidates.size() == 1) return main;

    const SearchResult* mate = nullptr;
    for (const SearchResult* c : candidates)
        if (c->score >= MATE_VOTE && (!mate || c->score >= mate->score)) mate = c;
    if (mate) return *mate;

    int lowest = candidates[0]->score;
    for (const SearchResult* c : candidates) lowest = std::min(lowest, c->score);
    const SearchResult* winner = candidates[0];
    std::int64_t winner_votes = std::numeric_limits<std::int64_t>::min();
    for (const SearchResult* c : candidates) {
        std::int64_t votes = 0;
        for (const SearchResult* x : candidates)
            if (x->best == c->best)
                votes += static_cast<std::int64_t>(x->depth) * (x->score - lowest + 10);
        if (votes > winner_votes || (votes == winner_votes && c->depth > winner->depth)) {
            winner = c;
            winner_votes = votes;
        }
    }
    return *winner;
}

// Helper threads.

template <Evaluator E>
std::unique_ptr<HelperWorker<E>> HelperWorker<E>::spawn(int index,
                                                         std::unique_ptr<Searcher<E>> searcher) {
    auto worker = std::unique_ptr<HelperWorker<E>>(new HelperWorker<E>());
    auto shared = std::make_shared<WorkerShared<E>>();
    worker->shared_ = shared;
    searcher->set_abort_flag(&shared->quit);
    std::shared_ptr<Searcher<E>> owned(std::move(searcher));
    auto loop = [shared, owned]() {
        using Cmd = WorkerCmd<E>;
        for (;;) {
            typename Cmd::Variant cmd;
            {
                std::unique_lock lock(shared->lock);
                shared->cv.wait(lock, [&] { return shared->cmd.has_value(); });
                cmd = std::move(*shared->cmd);
                shared->cmd.reset();
            }
            std::optional<SearchResult> result;
            bool quit = false;
            bool crashed = false;
            try {
                Searcher<E>& s = *owned;
                std::visit(
                    [&](auto& c) {
                        using T = std::decay_t<decltype(c)>;
                        if constexpr (std::is_same_v<T, typename Cmd::Search>) {
                            SearchLimits limits;
                            limits.infinite = true;
                            s.set_root_moves(std::move(c.root_moves));
                            if (!c.tb_root_moves.empty()) s.set_root_probe(std::move(c.tb_root_moves));
                            result = s.search(c.position, limits, InfoCallback{});
                        } else if constexpr (std::is_same_v<T, typename Cmd::YbwcHelp>) {
                            s.reset_node_counts();
                            s.clear_stopped();
                            s.clear_time_limits();
                            s.set_hard_node_limit(std::nullopt);
                            s.set_iteration_depth(2);
                            while (std::shared_ptr<YbwcSplit> split = c.pool->wait_for_work()) {
                                // Released however the work ends: its creator waits for it.
                                const SplitRelease release{*c.pool, *split};
                                s.help_ybwc_split(*split);
                                if (s.stop_flag()->load()) break;
                            }
                            s.flush_nodes();
                        } else if constexpr (std::is_same_v<T, typename Cmd::SetTt>) {
                            s.set_table(std::move(c.table));
                        } else if constexpr (std::is_same_v<T, typename Cmd::SetTablebase>) {
                            s.set_tablebase(std::move(c.tablebase));
                        } else if constexpr (std::is_same_v<T, typename Cmd::SetBusy>) {
                            s.set_busy_moves(std::move(c.busy));
                        } else if constexpr (std::is_same_v<T, typename Cmd::SetYbwc>) {
                            s.set_ybwc(std::move(c.pool));
                        } else if constexpr (std::is_same_v<T, typename Cmd::SetEval>) {
                            s.set_evaluator(std::move(c.evaluator));
                        } else if constexpr (std::is_same_v<T, typename Cmd::Clear>) {
                            s.clear_learned();
                        } else {
                            quit = true;
                        }
                    },
                    cmd);
            } catch (...) {
                // Whatever ended the command, the poster must hear of it: nobody may wait on
                // a helper that will never answer.
                crashed = true;
            }
            std::lock_guard lock(shared->lock);
            shared->result = result;
            shared->table_stats = owned->table_stats();
            shared->started = owned->started_at();
            shared->busy = false;
            shared->crashed = shared->crashed || crashed;
            shared->cv.notify_all();
            if (quit || crashed) return;
        }
    };
    worker->thread_ = NamedThread::spawn("helper-" + std::to_string(index), SEARCH_STACK_BYTES,
                                         std::move(loop), "spawn helper thread");
    return worker;
}

template <Evaluator E>
HelperWorker<E>::~HelperWorker() {
    shared_->quit.store(true);  // a search still running ends at its next poll
    dispatch(typename WorkerCmd<E>::Quit{});
    thread_.join();
}

template <Evaluator E>
void HelperWorker<E>::dispatch(typename WorkerCmd<E>::Variant cmd) {
    std::lock_guard lock(shared_->lock);
    shared_->cmd = std::move(cmd);
    shared_->busy = true;
    shared_->result.reset();
    shared_->cv.notify_all();
}

template <Evaluator E>
std::optional<SearchResult> HelperWorker<E>::wait() {
    std::unique_lock lock(shared_->lock);
    shared_->cv.wait(lock, [&] { return !shared_->busy || shared_->crashed; });
    if (shared_->crashed) fatal("helper thread crashed");
    std::optional<SearchResult> r = std::move(shared_->result);
    shared_->result.reset();
    return r;
}

// The pool.

template <Evaluator E>
ThreadPool<E>::ThreadPool(std::unique_ptr<Searcher<E>> main) : main_(std::move(main)) {}

template <Evaluator E>
ThreadPool<E>::~ThreadPool() {
    helpers_.clear();  // each helper is told to quit and joined before the shared objects go
}

template <Evaluator E>
void ThreadPool<E>::resize(std::size_t threads) {
    const std::size_t wanted = threads > 0 ? threads - 1 : 0;
    while (helpers_.size() > wanted) helpers_.pop_back();
    while (helpers_.size() < wanted) {
        const int index = static_cast<int>(helpers_.size()) + 1;
        auto searcher = std::make_unique<Searcher<E>>(main_->evaluator(), main_->table(),
                                                      helpers_stop_);
        searcher->set_node_counter(main_->node_counter());
        searcher->set_thread_index(index);
        searcher->set_tablebase(main_->tablebase());
        helpers_.push_back(HelperWorker<E>::spawn(index, std::move(searcher)));
    }
}

template <Evaluator E>
void ThreadPool<E>::set_table(std::shared_ptr<tt::TranspositionTable> table) {
    for (auto& h : helpers_) {
        h->dispatch(typename WorkerCmd<E>::SetTt{table});
        h->wait();
    }
    main_->set_table(std::move(table));
}

template <Evaluator E>
void ThreadPool<E>::set_tablebase(std::shared_ptr<const Tablebase> tablebase) {
    for (auto& h : helpers_) {
        h->dispatch(typename WorkerCmd<E>::SetTablebase{tablebase});
        h->wait();
    }
    main_->set_tablebase(std::move(tablebase));
}

template <Evaluator E>
void ThreadPool<E>::set_busy(std::shared_ptr<BusyMoves> busy) {
    for (auto& h : helpers_) {
        h->dispatch(typename WorkerCmd<E>::SetBusy{busy});
        h->wait();
    }
    main_->set_busy_moves(std::move(busy));
}

template <Evaluator E>
void ThreadPool<E>::set_ybwc(std::shared_ptr<YbwcPool> pool) {
    for (auto& h : helpers_) {
        h->dispatch(typename WorkerCmd<E>::SetYbwc{pool});
        h->wait();
    }
    ybwc_ = pool;
    main_->set_ybwc(std::move(pool));
}

template <Evaluator E>
void ThreadPool<E>::set_evaluator(const E& evaluator) {
    for (auto& h : helpers_) {
        h->dispatch(typename WorkerCmd<E>::SetEval{evaluator});
        h->wait();
    }
    main_->set_evaluator(evaluator);
}

template <Evaluator E>
void ThreadPool<E>::clear() {
    main_->table()->clear();
    main_->clear_learned();
    for (auto& h : helpers_) {
        h->dispatch(typename WorkerCmd<E>::Clear{});
        h->wait();
    }
}

template <Evaluator E>
SearchResult ThreadPool<E>::search(const Position& root_position, const SearchLimits& limits,
                                   const InfoCallback& on_info) {
    Position root = root_position;
    auto add = [](TableStats& sum, const TableStats& s) {
        sum.probes += s.probes;
        sum.hits += s.hits;
        sum.cutoffs += s.cutoffs;
    };
    // A weaker player searches on the main thread alone: helpers would fill the shared table
    // with deeper, unlimited results and make the level depend on the thread count.
    if (helpers_.empty() || main_->strength_limited()) {
        const SearchResult result = main_->search(root, limits, on_info);
        ++stats_.searches;
        add(stats_.main_table, main_->table_stats());
        return result;
    }

    main_->node_counter()->store(0);
    // Root moves for every thread: tablebase filtering, then the searchmoves restriction.
    std::vector<Move> root_moves;
    std::vector<RootMove> probe;
    if (main_->tablebase()) {
        if (auto p = main_->tablebase()->probe_root(root); p && !p->empty()) {
            probe = std::move(*p);
            root_moves = tablebase::filter_root_moves(probe);
        }
    }
    root_moves = Searcher<E>::restrict_root_moves(root_moves, limits.searchmoves);

    // The main search, after which every helper is stopped; also when the main search ends
    // by a fatal error, so that no helper is left searching (or waiting for split points)
    // when the pool is dropped. The helpers have a stop flag of their own: the user's flag
    // says "stop" only when the user said it.
    helpers_stop_->store(false);
    auto run_main = [&] {
        main_->set_root_moves(root_moves);
        if (!probe.empty()) main_->set_root_probe(probe);
        try {
            return main_->search(root, limits, on_info);
        } catch (...) {
            helpers_stop_->store(true);
            if (ybwc_) ybwc_->set_active(false);
            for (auto& h : helpers_) h->wait();
            throw;
        }
    };

    using Clock = std::chrono::steady_clock;
    auto ms_between = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    };
    SearchResult result;
    Clock::time_point main_done;
    const Clock::time_point dispatched = Clock::now();
    if (ybwc_) {
        ybwc_->set_active(true);
        for (auto& h : helpers_) h->dispatch(typename WorkerCmd<E>::YbwcHelp{ybwc_});
        result = run_main();
        main_done = Clock::now();
        helpers_stop_->store(true);
        ybwc_->set_active(false);
        for (auto& h : helpers_) h->wait();
    } else {
        for (auto& h : helpers_)
            h->dispatch(typename WorkerCmd<E>::Search{root_moves, probe, root});
        result = run_main();
        main_done = Clock::now();
        helpers_stop_->store(true);
        std::vector<SearchResult> helper_results;
        for (auto& h : helpers_)
            if (std::optional<SearchResult> r = h->wait()) helper_results.push_back(*r);
        for (auto& h : helpers_) {
            stats_.start_ms += std::max(ms_between(dispatched, h->started()), 0.0);
            ++stats_.starts;
        }
        if (main_->multipv() < 2 && result.best) {
            const Move main_best = result.best;
            result = pick_best_thread(result, helper_results);
            stats_.helper_chosen += result.best != main_best;
        }
    }
    stats_.stop_ms += ms_between(main_done, Clock::now());
    ++stats_.searches;
    add(stats_.main_table, main_->table_stats());
    for (auto& h : helpers_) add(stats_.helper_table, h->table_stats());
    result.nodes = main_->node_counter()->load();
    return result;
}

#define ORVANE_SMP_INSTANCES(E)                                                               \
    template class HelperWorker<E>;                                                           \
    template class ThreadPool<E>;

ORVANE_SMP_INSTANCES(PstEval)
ORVANE_SMP_INSTANCES(nnue::NnueEval)

}  // namespace orvane::smp
