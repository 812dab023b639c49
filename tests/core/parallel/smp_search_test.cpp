// Whole parallel searches through ThreadPool: every mode with one to four threads on a few
// positions, mates, MultiPV, searchmoves, outside stops, the one-thread pool against a lone
// searcher, a helper told to quit in the middle of a search, helper threads that come and go
// with the pool's size, the user's stop flag left alone, a split point held past its
// creator's clock, and helpers whose search fails.
#include "core/parallel/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/board/movegen.h"
#include "core/eval/nnue/network.h"
#include "core/eval/nnue/nnue_eval.h"
#include "core/parallel/smp_test_support.h"
#include "support/position_helpers.h"

namespace orvane::smp {
namespace {

using testing::Watchdog;

constexpr const char* START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
constexpr const char* KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";
constexpr const char* ITALIAN = "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4";
constexpr const char* MIDDLEGAME = "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10";
constexpr const char* ENDGAME = "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1";

bool legal_in(const Position& pos, Move m) {
    MoveList legal;
    movegen::generate_all(pos, legal);
    return legal.contains(m);
}

struct Config {
    SmpMode mode;
    bool abdada;  // the ABDADA option with the Lazy mode
    const char* name;
};
const Config CONFIGS[] = {
    {SmpMode::Lazy, false, "Lazy"},
    {SmpMode::YBWC, false, "YBWC"},
    {SmpMode::ABDADA, true, "ABDADA"},
    {SmpMode::Lazy, true, "Lazy+ABDADA option"},
};

// A pool set up the way the front end does it: table, mode, size, then the structures of
// the parallel scheme.
template <Evaluator E>
struct TestPool {
    std::shared_ptr<tt::TranspositionTable> table = tt::TranspositionTable::new_table(8);
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<ThreadPool<E>> pool;

    explicit TestPool(E evaluator)
        : pool(std::make_unique<ThreadPool<E>>(std::make_unique<Searcher<E>>(std::move(evaluator), table, stop))) {}

    void configure(std::size_t threads, const Config& config) {
        pool->set_table(table);
        pool->set_mode(config.mode, config.abdada);
        table->set_threads(threads);
        pool->resize(threads);
        const bool busy = threads >= 2
                          && (config.mode == SmpMode::ABDADA || (config.mode == SmpMode::Lazy && config.abdada));
        pool->set_busy(busy ? std::make_shared<BusyMoves>() : nullptr);
        pool->set_ybwc(threads >= 2 && config.mode == SmpMode::YBWC ? std::make_shared<YbwcPool>() : nullptr);
    }

    SearchResult search(const Position& pos, const SearchLimits& limits, const InfoCallback& on_info = {}) {
        stop->store(false);
        return pool->search(pos, limits, on_info);
    }
};

SearchLimits depth_limit(int depth) {
    SearchLimits limits;
    limits.depth = depth;
    return limits;
}

// Records every reported line.
struct Reported {
    int depth;
    int score;
    std::uint32_t multipv;
    std::vector<Move> pv;
};

// ---------------------------------------------------------------------------------------------

TEST(SmpSearch, LegalMovesInEveryModeWithOneToFourThreads) {
    Watchdog watchdog("SmpSearch.LegalMoves");
    const char* fens[] = {START, KIWIPETE, MIDDLEGAME, ENDGAME};
    std::uint64_t split_helper_nodes = 0;  // nodes the YBWC helpers searched, all searches
    for (const Config& config : CONFIGS) {
        TestPool<PstEval> t(PstEval{});
        for (std::size_t threads = 1; threads <= 4; ++threads) {
            t.configure(threads, config);
            ASSERT_EQ(t.pool->helper_count(), threads - 1);
            for (const char* fen : fens) {
                SCOPED_TRACE(std::string(config.name) + ", " + std::to_string(threads) + " threads, " + fen);
                watchdog.progress(std::string(config.name) + " " + std::to_string(threads) + " " + fen);
                const Position pos = from_fen(fen);
                std::vector<int> depths;
                const SearchResult r = t.search(pos, depth_limit(7), [&](const IterationInfo& info) {
                    depths.push_back(info.depth);
                });
                ASSERT_TRUE(legal_in(pos, r.best)) << move_to_uci(r.best);
                if (r.ponder) {
                    Position after = pos;
                    after.make_move(r.best);
                    EXPECT_TRUE(legal_in(after, r.ponder)) << move_to_uci(r.ponder);
                }
                EXPECT_GE(r.depth, 1);
                EXPECT_LT(std::abs(r.score), MATE_BOUND);
                // The main searcher reports every depth once, in order, up to the limit.
                std::vector<int> expected(7);
                for (int d = 1; d <= 7; ++d) expected[d - 1] = d;
                EXPECT_EQ(depths, expected);

                // The result counts every thread's nodes: the shared counter, all flushed.
                const std::uint64_t counter = t.pool->main().node_counter()->load();
                EXPECT_EQ(r.nodes, counter);
                EXPECT_GE(counter, t.pool->main().nodes());
                if (threads >= 2 && config.mode != SmpMode::YBWC) {
                    // Helpers always finish their first iteration: they add nodes of their own.
                    EXPECT_GT(counter, t.pool->main().nodes());
                }
                if (threads == 1) {
                    EXPECT_EQ(counter, t.pool->main().nodes());
                }
                if (config.mode == SmpMode::YBWC) split_helper_nodes += counter - t.pool->main().nodes();
            }
        }
    }
    // Whether a helper gets to a given split point in time is up to the scheduler, but over
    // dozens of searches with hundreds of split points each, idle helpers do take moves.
    EXPECT_GT(split_helper_nodes, 0u);
}

TEST(SmpSearch, OneThreadPoolGivesExactlyTheLoneSearchersResult) {
    Watchdog watchdog("SmpSearch.OneThread");
    for (const char* fen : {START, ITALIAN, MIDDLEGAME, ENDGAME}) {
        SCOPED_TRACE(fen);
        watchdog.progress(fen);
        const Position pos = from_fen(fen);

        auto table = tt::TranspositionTable::new_table(8);
        auto stop = std::make_shared<std::atomic<bool>>(false);
        Searcher<PstEval> lone(PstEval{}, table, stop);
        Position copy = pos;
        const SearchResult want = lone.search(copy, depth_limit(7), {});

        for (const Config& config : CONFIGS) {
            TestPool<PstEval> t(PstEval{});
            t.configure(1, config);
            const SearchResult got = t.search(pos, depth_limit(7));
            EXPECT_EQ(got.best, want.best) << config.name;
            EXPECT_EQ(got.ponder, want.ponder) << config.name;
            EXPECT_EQ(got.score, want.score) << config.name;
            EXPECT_EQ(got.depth, want.depth) << config.name;
            EXPECT_EQ(got.nodes, want.nodes) << config.name;
        }

        // A pool that searched with helpers, shrunk back to one thread and cleared, is the
        // lone searcher again: the helpers left nothing behind in the main searcher.
        TestPool<PstEval> t(PstEval{});
        t.configure(4, CONFIGS[0]);
        (void)t.search(pos, depth_limit(6));
        t.configure(1, CONFIGS[0]);
        t.pool->clear();
        const SearchResult again = t.search(pos, depth_limit(7));
        EXPECT_EQ(again.best, want.best);
        EXPECT_EQ(again.score, want.score);
        EXPECT_EQ(again.nodes, want.nodes);
    }
}

// Side to move mates within n moves whatever the defence (a plain full-width search).
bool mates_within(Position& pos, int n) {
    MoveList moves;
    movegen::generate_all(pos, moves);
    for (Move m : moves) {
        pos.make_move(m);
        MoveList replies;
        movegen::generate_all(pos, replies);
        bool forced;
        if (replies.empty()) {
            forced = pos.in_check();
        } else if (n <= 1) {
            forced = false;
        } else {
            forced = true;
            for (Move r : replies) {
                pos.make_move(r);
                const bool mate = mates_within(pos, n - 1);
                pos.unmake_move(r);
                if (!mate) {
                    forced = false;
                    break;
                }
            }
        }
        pos.unmake_move(m);
        if (forced) return true;
    }
    return false;
}

TEST(SmpSearch, MatesAreFoundInEveryMode) {
    Watchdog watchdog("SmpSearch.Mates");
    struct Case {
        const char* fen;
        int moves;  // mate in this many moves
    };
    const Case cases[] = {
        {"6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1", 1},
        {"3r2k1/8/8/8/8/8/5PPP/6K1 b - - 0 1", 1},
        {"kbK5/pp6/1P6/8/8/8/8/R7 w - - 0 1", 2},
        {"r2qkb1r/pp2nppp/3p4/2pNN1B1/2BnP3/3P4/PPP2PPP/R2bK2R w KQkq - 1 10", 2},
        {"6k1/pp4p1/2p5/2bp4/8/P5Pb/1P3rrP/2BRRN1K b - - 0 1", 2},
    };
    for (const Config& config : CONFIGS) {
        TestPool<PstEval> t(PstEval{});
        for (std::size_t threads = 1; threads <= 4; ++threads) {
            t.configure(threads, config);
            for (const Case& c : cases) {
                SCOPED_TRACE(std::string(config.name) + ", " + std::to_string(threads) + " threads, " + c.fen);
                watchdog.progress(c.fen);
                Position pos = from_fen(c.fen);
                const SearchResult r = t.search(pos, depth_limit(6));
                EXPECT_EQ(r.score, MATE - (2 * c.moves - 1));
                ASSERT_TRUE(legal_in(pos, r.best));
                pos.make_move(r.best);
                MoveList replies;
                movegen::generate_all(pos, replies);
                if (c.moves == 1) {
                    EXPECT_TRUE(replies.empty() && pos.in_check()) << move_to_uci(r.best) << " does not mate";
                } else {
                    // Every defence still loses to a mate in one move less.
                    for (Move reply : replies) {
                        pos.make_move(reply);
                        EXPECT_TRUE(mates_within(pos, c.moves - 1))
                            << move_to_uci(r.best) << " " << move_to_uci(reply) << " escapes";
                        pos.unmake_move(reply);
                    }
                }
            }
        }
    }
}

TEST(SmpSearch, PositionsWithoutMovesGiveNoMove) {
    Watchdog watchdog("SmpSearch.NoMoves");
    const std::pair<const char*, int> cases[] = {
        {"7k/6Q1/6K1/8/8/8/8/8 b - - 0 1", -MATE},  // checkmated
        {"7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", 0},       // stalemate
    };
    for (const Config& config : CONFIGS) {
        TestPool<PstEval> t(PstEval{});
        t.configure(3, config);
        for (const auto& [fen, score] : cases) {
            const SearchResult r = t.search(from_fen(fen), depth_limit(5));
            EXPECT_EQ(r.best, NULL_MOVE) << config.name << " " << fen;
            EXPECT_EQ(r.score, score) << config.name << " " << fen;
        }
    }
}

TEST(SmpSearch, MultiPvKeepsTheMainThreadsResult) {
    // With two lines or more there is no vote: the result is the main searcher's best line.
    Watchdog watchdog("SmpSearch.MultiPv");
    for (const Config& config : CONFIGS) {
        TestPool<PstEval> t(PstEval{});
        t.configure(3, config);
        t.pool->main().set_multipv(2);
        for (const char* fen : {START, KIWIPETE, ITALIAN}) {
            SCOPED_TRACE(std::string(config.name) + " " + fen);
            watchdog.progress(std::string(config.name) + " " + fen);
            std::vector<Reported> lines;
            const SearchResult r = t.search(from_fen(fen), depth_limit(6), [&](const IterationInfo& info) {
                lines.push_back({info.depth, info.score, info.multipv, {info.pv.begin(), info.pv.end()}});
            });
            const auto first = std::find_if(lines.rbegin(), lines.rend(),
                                            [](const Reported& l) { return l.multipv == 1; });
            ASSERT_NE(first, lines.rend());
            ASSERT_FALSE(first->pv.empty());
            EXPECT_EQ(r.depth, 6);
            EXPECT_EQ(first->depth, 6);
            EXPECT_EQ(r.best, first->pv[0]);
            EXPECT_EQ(r.score, first->score);
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const Reported& l) { return l.multipv == 2; }));
        }
    }
}

TEST(SmpSearch, SearchmovesBindEveryThread) {
    // The vote may pick a helper's move, so the helpers must keep to the same root moves.
    Watchdog watchdog("SmpSearch.Searchmoves");
    const Position pos = from_fen(START);
    const std::vector<Move> allowed = {*pos.parse_uci_move("a2a3"), *pos.parse_uci_move("h2h3"),
                                       *pos.parse_uci_move("b1a3")};
    for (const Config& config : CONFIGS) {
        TestPool<PstEval> t(PstEval{});
        t.configure(4, config);
        for (int depth : {3, 6, 8}) {
            watchdog.progress(config.name);
            SearchLimits limits = depth_limit(depth);
            limits.searchmoves = allowed;
            const SearchResult r = t.search(pos, limits);
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), r.best), allowed.end())
                << config.name << " depth " << depth << ": " << move_to_uci(r.best);
        }
    }
}

TEST(SmpSearch, StopsFromOutsideAndNodeLimitsEndEveryMode) {
    Watchdog watchdog("SmpSearch.Stops");
    for (const Config& config : CONFIGS) {
        TestPool<PstEval> t(PstEval{});
        t.configure(4, config);
        for (const char* fen : {KIWIPETE, MIDDLEGAME}) {
            SCOPED_TRACE(std::string(config.name) + " " + fen);
            watchdog.progress(std::string(config.name) + " infinite " + fen);
            const Position pos = from_fen(fen);
            // An infinite search that another thread stops once depth 4 has been reported.
            std::atomic<bool> reached{false};
            std::thread stopper([&] {
                while (!reached.load()) std::this_thread::yield();
                t.stop->store(true);
            });
            SearchLimits infinite;
            infinite.infinite = true;
            const SearchResult r = t.search(pos, infinite, [&](const IterationInfo& info) {
                if (info.depth >= 4) reached.store(true);
            });
            stopper.join();
            EXPECT_TRUE(legal_in(pos, r.best)) << move_to_uci(r.best);
            EXPECT_GE(r.depth, 1);

            watchdog.progress(std::string(config.name) + " nodes " + fen);
            SearchLimits nodes;
            nodes.nodes = 30'000;
            const SearchResult n = t.search(pos, nodes);
            EXPECT_TRUE(legal_in(pos, n.best)) << move_to_uci(n.best);
            // The main searcher looks at its own count every 2048 nodes.
            EXPECT_LE(t.pool->main().nodes(), 30'000u + 2048u);
        }
    }
}

TEST(SmpSearch, NnuePoolsSearchInEveryMode) {
    Watchdog watchdog("SmpSearch.Nnue");
    const std::shared_ptr<const nnue::Network> net = nnue::default_net();
    for (const Config& config : CONFIGS) {
        TestPool<nnue::NnueEval> t{nnue::NnueEval(net)};
        t.configure(3, config);
        for (const char* fen : {START, KIWIPETE}) {
            watchdog.progress(std::string(config.name) + " " + fen);
            const Position pos = from_fen(fen);
            const SearchResult r = t.search(pos, depth_limit(6));
            EXPECT_TRUE(legal_in(pos, r.best)) << config.name << " " << fen;
        }
        // A new evaluator for every thread, then another search.
        t.pool->set_evaluator(nnue::NnueEval(net));
        const SearchResult r = t.search(from_fen(ITALIAN), depth_limit(6));
        EXPECT_TRUE(legal_in(from_fen(ITALIAN), r.best)) << config.name;
    }
}

TEST(SmpSearch, AHelperToldToQuitInTheMiddleOfASearchEnds) {
    // Nobody raises the stop flag: dropping the helper alone must end its endless search and
    // its thread, and must leave the flag the other searchers share alone.
    Watchdog watchdog("SmpSearch.HelperQuit");
    const int base = testing::task_count();
    for (const char* fen : {START, KIWIPETE, ENDGAME}) {
        watchdog.progress(fen);
        auto table = tt::TranspositionTable::new_table(4);
        auto stop = std::make_shared<std::atomic<bool>>(false);
        auto searcher = std::make_unique<Searcher<PstEval>>(PstEval{}, table, stop);
        searcher->set_thread_index(1);
        const auto counter = searcher->node_counter();
        auto helper = HelperWorker<PstEval>::spawn(1, std::move(searcher));
        helper->dispatch(typename WorkerCmd<PstEval>::Search{{}, {}, from_fen(fen)});
        // Deep enough into the search that it polls the stop conditions.
        while (counter->load() < 20'000) std::this_thread::yield();
        EXPECT_EQ(testing::task_count(), base + 1);
        helper.reset();
        EXPECT_FALSE(stop->load());
        EXPECT_EQ(testing::settled_task_count(base), base) << fen;
    }
}

TEST(SmpSearch, HelperThreadsComeAndGoWithThePoolSize) {
    Watchdog watchdog("SmpSearch.Resize");
    const int base = testing::task_count();
    {
        TestPool<PstEval> t(PstEval{});
        std::uint64_t state = 12345;
        for (int round = 0; round < 40; ++round) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            const std::size_t threads = 1 + (state >> 33) % 8;
            const Config& config = CONFIGS[(state >> 40) % 4];
            watchdog.progress("resize round " + std::to_string(round));
            t.configure(threads, config);
            EXPECT_EQ(t.pool->helper_count(), threads - 1);
            EXPECT_EQ(testing::settled_task_count(base + static_cast<int>(threads) - 1),
                      base + static_cast<int>(threads) - 1);
            if (round % 8 == 0) {
                const SearchResult r = t.search(from_fen(ITALIAN), depth_limit(5));
                EXPECT_TRUE(legal_in(from_fen(ITALIAN), r.best));
                t.pool->clear();
            }
        }
        t.configure(6, CONFIGS[1]);
    }
    // Dropping the pool joins every helper.
    EXPECT_EQ(testing::settled_task_count(base), base);
}

TEST(SmpSearch, OnlyTheUserRaisesTheUsersStopFlag) {
    // The helpers are stopped when the main search ends; the flag the front end waits on for
    // "stop" must stay down, or an infinite search would answer before "stop".
    Watchdog watchdog("SmpSearch.UserStop");
    for (const Config& config : CONFIGS) {
        watchdog.progress(config.name);
        TestPool<PstEval> t(PstEval{});
        t.configure(3, config);
        for (const char* fen : {KIWIPETE, "k7/8/1K6/8/8/8/8/7R w - - 0 1"}) {
            const SearchResult r = t.search(from_fen(fen), depth_limit(6));
            EXPECT_TRUE(legal_in(from_fen(fen), r.best)) << config.name << " " << fen;
            EXPECT_FALSE(t.stop->load()) << config.name << " " << fen;
        }
    }
}

TEST(SmpSearch, ASplitPointEndsAtItsCreatorsClock) {
    // The helper here takes a move of each split point and keeps it until the split point is
    // told to stop: only the creator's own clock can end the wait for it.
    using namespace std::chrono_literals;
    Watchdog watchdog("SmpSearch.SplitClock");
    auto table = tt::TranspositionTable::new_table(8);
    Searcher<PstEval> creator(PstEval{}, table, std::make_shared<std::atomic<bool>>(false));
    auto ybwc = std::make_shared<YbwcPool>();
    creator.set_ybwc(ybwc);
    ybwc->set_active(true);
    std::atomic<int> held{0};
    std::thread helper([&] {
        while (std::shared_ptr<YbwcSplit> split = ybwc->wait_for_work()) {
            const SplitRelease release{*ybwc, *split};
            if (split->next.fetch_add(1) >= split->moves.size()) continue;
            ++held;
            while (!split->stop.load()) std::this_thread::sleep_for(1ms);
        }
    });
    SearchLimits limits;
    limits.movetime = 150;
    Position pos = from_fen(MIDDLEGAME);
    const SearchResult r = creator.search(pos, limits, {});
    ybwc->set_active(false);
    helper.join();
    EXPECT_GT(held.load(), 0);
    EXPECT_TRUE(legal_in(from_fen(MIDDLEGAME), r.best));
}

// A tablebase whose probes fail on every thread but the one that made it: a fault inside a
// helper's search, by the fatal stop or by any other exception.
class FailingTablebase : public Tablebase {
public:
    explicit FailingTablebase(bool fatal_stop) : fatal_stop_(fatal_stop) {}
    std::uint32_t max_pieces() const override { return 32; }
    std::optional<Wdl> probe_wdl(const Position&) const override {
        if (std::this_thread::get_id() == owner_) return std::nullopt;
        failures_.fetch_add(1);
        if (fatal_stop_) fatal("test probe failed");
        throw std::runtime_error("test probe failed");
    }
    int failures() const { return failures_.load(); }
    std::optional<std::vector<RootMove>> probe_root(const Position&) const override {
        return std::nullopt;
    }

private:
    bool fatal_stop_;
    std::thread::id owner_ = std::this_thread::get_id();
    mutable std::atomic<int> failures_{0};
};

TEST(SmpSearch, AHelperWhoseSearchFailsIsReportedNotWaitedFor) {
    // A helper leaves its split point and reports the failure, whatever the exception: the
    // split's creator goes on, and collecting the results is the fatal stop.
    Watchdog watchdog("SmpSearch.HelperFails");
    bool any_reported = false;
    for (const Config& config : CONFIGS) {
        for (const bool fatal_stop : {true, false}) {
            SCOPED_TRACE(std::string(config.name) + (fatal_stop ? " fatal" : " exception"));
            watchdog.progress(std::string(config.name) + (fatal_stop ? " fatal" : " exception"));
            TestPool<PstEval> t(PstEval{});
            t.configure(2, config);
            auto tables = std::make_shared<FailingTablebase>(fatal_stop);
            t.pool->set_tablebase(tables);
            // A helper that is not scheduled before the main search ends (a YBWC helper reaches
            // only the split points it is in time for) never fails: then the search just ends.
            bool reported = false;
            try {
                t.search(from_fen(KIWIPETE), depth_limit(8));
            } catch (const FatalError&) {
                reported = true;
            }
            EXPECT_EQ(reported, tables->failures() > 0);
            any_reported = any_reported || reported;
        }
    }
    EXPECT_TRUE(any_reported) << "no helper ever searched";
}

}  // namespace
}  // namespace orvane::smp
