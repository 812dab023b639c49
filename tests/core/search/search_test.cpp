// The search driver: time allocation, root move restriction, depth limits, MultiPV, the
// lines it reports, determinism, node limits and stopping from another thread. No test
// here measures time; the time tests check the arithmetic of the limits only.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/eval/nnue/nnue_eval.h"
#include "core/search/bench.h"
#include "core/board/movegen.h"
#include "core/search/searcher.h"
#include "core/search/searcher_test_access.h"
#include "support/bench_signature.h"
#include "support/position_helpers.h"

namespace orvane {
namespace {

constexpr std::string_view KIWIPETE =
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";

Move parse(const Position& pos, std::string_view text) {
    std::optional<Move> m = pos.parse_uci_move(text);
    if (!m) ADD_FAILURE() << "not a legal move: " << text;
    return m.value_or(NULL_MOVE);
}

std::string uci(Move m) { return move_to_uci(m); }

// A copy of what one callback reported.
struct Report {
    int depth;
    int score;
    std::uint32_t multipv;
    int seldepth;
    std::uint64_t nodes;
    std::vector<Move> pv;
    std::optional<WdlPermille> wdl;
};

struct Fixture {
    std::shared_ptr<tt::TranspositionTable> table = tt::TranspositionTable::new_table(2);
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<Searcher<PstEval>> searcher =
        std::make_unique<Searcher<PstEval>>(PstEval{}, table, stop);
    std::vector<Report> reports;

    void reset() {
        table->clear();
        searcher->clear_learned();
        reports.clear();
    }

    SearchResult search(Position& pos, const SearchLimits& limits) {
        return searcher->search(pos, limits, [&](const IterationInfo& i) {
            reports.push_back({i.depth, i.score, i.multipv, i.seldepth, i.nodes,
                               {i.pv.begin(), i.pv.end()}, i.wdl});
        });
    }

    SearchResult search_depth(Position& pos, int depth) {
        SearchLimits limits;
        limits.depth = depth;
        return search(pos, limits);
    }
};

// Every move of the line is legal in turn, starting from the root.
::testing::AssertionResult legal_line(const Position& root, const std::vector<Move>& line) {
    Position walk = root;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (!movegen::is_legal_move(walk, line[i]))
            return ::testing::AssertionFailure() << "move " << i << " (" << uci(line[i])
                                                 << ") is illegal in " << walk.to_fen();
        walk.make_move(line[i]);
    }
    return ::testing::AssertionSuccess();
}

// Time allocation.

struct TimeCase {
    std::string_view name;
    SearchLimits limits;
    std::uint64_t overhead;
    std::optional<std::uint64_t> soft;
    std::optional<std::uint64_t> hard;
};

SearchLimits movetime(std::uint64_t ms) {
    SearchLimits l;
    l.movetime = ms;
    return l;
}

SearchLimits clock_limits(std::uint64_t time, std::uint64_t inc, std::optional<std::uint32_t> mtg) {
    SearchLimits l;
    l.time = time;
    l.inc = inc;
    l.movestogo = mtg;
    return l;
}

const TimeCase TIME_CASES[] = {
    {"movetime", movetime(1000), 10, std::nullopt, 990},
    {"movetime_zero_keeps_one_ms", movetime(0), 10, std::nullopt, 1},
    {"movetime_below_overhead", movetime(7), 10, std::nullopt, 1},
    {"movetime_zero_without_overhead", movetime(0), 0, std::nullopt, 1},
    // 59990 / 20 = 2999; hard min(41993, 4 x 2999).
    {"clock_default_moves_to_go", clock_limits(60000, 0, std::nullopt), 10, 2999, 11996},
    {"clock_with_increment", clock_limits(60000, 1000, std::nullopt), 10, 3749, 14996},
    // movestogo 0 counts as 1; the soft limit is then capped at half the clock.
    {"moves_to_go_zero", clock_limits(10000, 0, 0), 10, 4995, 6993},
    {"moves_to_go_capped_at_60", clock_limits(60000, 0, 100), 10, 999, 3996},
    {"moves_to_go_one", clock_limits(60000, 0, 1), 10, 29995, 41993},
    // A large increment cannot push the soft limit past half the remaining clock.
    {"increment_larger_than_clock", clock_limits(100, 5000, std::nullopt), 10, 45, 63},
    // Almost out of time: everything saturates at 1 ms.
    {"clock_below_overhead", clock_limits(5, 0, std::nullopt), 10, 1, 1},
    {"clock_zero", clock_limits(0, 0, std::nullopt), 10, 1, 1},
};

class TimeLimits : public testing::TestWithParam<TimeCase> {};

TEST_P(TimeLimits, FollowTheClock) {
    const TimeCase& c = GetParam();
    Fixture f;
    f.searcher->set_move_overhead(c.overhead);
    SearcherTestAccess<PstEval> access(*f.searcher);
    access.compute_time_limits(c.limits);
    EXPECT_EQ(access.soft_limit(), c.soft);
    EXPECT_EQ(access.hard_limit(), c.hard);
}

INSTANTIATE_TEST_SUITE_P(Cases, TimeLimits, testing::ValuesIn(TIME_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TimeLimits, InfiniteAndDepthOnlySearchesHaveNone) {
    Fixture f;
    SearcherTestAccess<PstEval> access(*f.searcher);
    SearchLimits infinite = clock_limits(60000, 1000, 30);
    infinite.movetime = 500;
    infinite.infinite = true;
    access.compute_time_limits(movetime(100));  // limits from an earlier search are dropped
    access.compute_time_limits(infinite);
    EXPECT_FALSE(access.soft_limit());
    EXPECT_FALSE(access.hard_limit());
    SearchLimits depth_only;
    depth_only.depth = 5;
    access.compute_time_limits(depth_only);
    EXPECT_FALSE(access.soft_limit());
    EXPECT_FALSE(access.hard_limit());
    // movetime wins over a clock.
    SearchLimits both = clock_limits(60000, 0, std::nullopt);
    both.movetime = 300;
    access.compute_time_limits(both);
    EXPECT_FALSE(access.soft_limit());
    EXPECT_EQ(access.hard_limit(), 290u);
}

// Root move restriction.

TEST(RestrictRootMoves, KeepsListOrderAndFallsBackWhenNothingMatches) {
    const Move a = make_move(12, 28, DOUBLE_PUSH), b = make_move(6, 21, QUIET),
               c = make_move(11, 27, DOUBLE_PUSH), d = make_move(1, 18, QUIET);
    using Moves = std::vector<Move>;
    struct Case {
        Moves root, searchmoves, expected;
    };
    const Case cases[] = {
        {{a, b, c}, {}, {a, b, c}},        // no searchmoves: the list stays
        {{}, {c, a}, {c, a}},              // no list: searchmoves become the list
        {{a, b, c}, {c, a}, {a, c}},       // intersection, in list order
        {{a, b, c}, {d}, {a, b, c}},       // empty intersection: the list stays
        {{}, {}, {}},
    };
    for (const Case& k : cases)
        EXPECT_EQ(Searcher<PstEval>::restrict_root_moves(k.root, k.searchmoves), k.expected);
}

TEST(RootMoves, SearchmovesRestrictTheSearchAndEveryLine) {
    Fixture f;
    Position pos = Position::startpos();
    SearchLimits limits;
    limits.depth = 5;
    limits.searchmoves = {parse(pos, "a2a3")};
    const SearchResult r = f.search(pos, limits);
    EXPECT_EQ(uci(r.best), "a2a3");
    EXPECT_EQ(r.depth, 5);
    ASSERT_EQ(f.reports.size(), 5u);
    for (const Report& rep : f.reports) {
        ASSERT_FALSE(rep.pv.empty());
        EXPECT_EQ(uci(rep.pv[0]), "a2a3");
    }
}

TEST(RootMoves, SearchmovesExcludeTheBestMove) {
    // Rd8 mates; restricted to the other rook moves the search must not report it.
    Fixture f;
    Position pos = from_fen("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1");
    SearchLimits limits;
    limits.depth = 4;
    limits.searchmoves = {parse(pos, "d1d2"), parse(pos, "d1e1")};
    const SearchResult r = f.search(pos, limits);
    EXPECT_TRUE(uci(r.best) == "d1d2" || uci(r.best) == "d1e1") << uci(r.best);
    EXPECT_LT(r.score, MATE_BOUND);
    for (const Report& rep : f.reports) EXPECT_NE(uci(rep.pv.at(0)), "d1d8");
}

TEST(RootMoves, OneSearchmoveWithAClockSearchesDepthOne) {
    Fixture f;
    Position pos = Position::startpos();
    SearchLimits limits;
    limits.time = 60000;
    limits.searchmoves = {parse(pos, "g1f3")};
    const SearchResult r = f.search(pos, limits);
    EXPECT_EQ(uci(r.best), "g1f3");
    EXPECT_EQ(r.depth, 1);
    ASSERT_EQ(f.reports.size(), 1u);
    EXPECT_EQ(f.reports[0].depth, 1);
}

TEST(RootMoves, OneLegalMoveWithAClockSearchesDepthOne) {
    // The king is boxed in by the rooks; only the pawn can move.
    Fixture f;
    Position pos = from_fen("1r5k/8/8/8/3P4/8/7r/K7 w - - 0 1");
    ASSERT_EQ(legal_moves(pos).size(), 1u);
    SearchLimits limits;
    limits.time = 60000;
    limits.inc = 1000;
    SearchResult r = f.search(pos, limits);
    EXPECT_EQ(uci(r.best), "d4d5");
    EXPECT_EQ(r.depth, 1);
    EXPECT_EQ(f.reports.size(), 1u);
    // Without a clock the depth limit alone decides.
    f.reset();
    r = f.search_depth(pos, 4);
    EXPECT_EQ(r.depth, 4);
}

// Depth limits.

TEST(DepthLimit, IsClampedToTheStack) {
    // A mate in one finishes every iteration in a handful of nodes, so even the deepest
    // allowed search is quick.
    Fixture f;
    Position pos = from_fen("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1");
    SearchResult r = f.search_depth(pos, 200);
    EXPECT_EQ(r.depth, 127);
    ASSERT_FALSE(f.reports.empty());
    EXPECT_EQ(f.reports.back().depth, 127);
    EXPECT_EQ(r.score, MATE - 1);
    for (int depth : {0, -4}) {
        f.reset();
        r = f.search_depth(pos, depth);
        EXPECT_EQ(r.depth, 1) << depth;
        EXPECT_EQ(f.reports.size(), 1u) << depth;
    }
}

TEST(DepthLimit, EveryIterationIsReportedOnce) {
    Fixture f;
    Position pos = from_fen(KIWIPETE);
    const SearchResult r = f.search_depth(pos, 6);
    EXPECT_EQ(r.depth, 6);
    ASSERT_EQ(f.reports.size(), 6u);
    for (int d = 1; d <= 6; ++d) {
        const Report& rep = f.reports[d - 1];
        EXPECT_EQ(rep.depth, d);
        EXPECT_EQ(rep.multipv, 1u);
        EXPECT_GE(rep.seldepth, 1);
    }
    EXPECT_EQ(f.reports.back().score, r.score);
    EXPECT_EQ(f.reports.back().pv.at(0), r.best);
    if (f.reports.back().pv.size() > 1) {
        EXPECT_EQ(f.reports.back().pv[1], r.ponder);
    } else {
        EXPECT_EQ(r.ponder, NULL_MOVE);
    }
    // The reported node counts only grow, and the last covers this thread's total.
    for (std::size_t i = 1; i < f.reports.size(); ++i)
        EXPECT_GE(f.reports[i].nodes, f.reports[i - 1].nodes);
    EXPECT_EQ(f.reports.back().nodes, r.nodes);
}

// Reported lines.

constexpr std::string_view LINE_FENS[] = {
    START_FEN,
    KIWIPETE,
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "8/8/4k3/3p4/3P4/4K3/8/8 w - - 0 1",
    "6k1/8/8/8/8/8/1p6/6K1 b - - 0 1",
};

class ReportedLines : public testing::TestWithParam<std::string_view> {};

TEST_P(ReportedLines, AreLegalFromTheRoot) {
    for (int lines : {1, 3}) {
        SCOPED_TRACE(lines);
        Fixture f;
        f.searcher->set_multipv(lines);
        Position pos = from_fen(GetParam());
        const std::string fen = pos.to_fen();
        const SearchResult r = f.search_depth(pos, 6);
        EXPECT_EQ(pos.to_fen(), fen);
        EXPECT_TRUE(movegen::is_legal_move(pos, r.best));
        ASSERT_FALSE(f.reports.empty());
        for (const Report& rep : f.reports) {
            ASSERT_FALSE(rep.pv.empty()) << "depth " << rep.depth;
            EXPECT_TRUE(legal_line(pos, rep.pv)) << "depth " << rep.depth;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Positions, ReportedLines, testing::ValuesIn(LINE_FENS));

TEST(MultiPv, LinesAreDistinctAndSortedEachIteration) {
    Fixture f;
    f.searcher->set_multipv(4);
    Position pos = from_fen(KIWIPETE);
    const SearchResult r = f.search_depth(pos, 6);
    std::map<int, std::vector<const Report*>> by_depth;
    for (const Report& rep : f.reports) by_depth[rep.depth].push_back(&rep);
    ASSERT_EQ(by_depth.size(), 6u);
    for (const auto& [depth, reps] : by_depth) {
        SCOPED_TRACE(depth);
        ASSERT_EQ(reps.size(), 4u);
        std::set<Move> firsts;
        for (std::size_t k = 0; k < reps.size(); ++k) {
            EXPECT_EQ(reps[k]->multipv, k + 1);
            firsts.insert(reps[k]->pv.at(0));
            if (k > 0) {
                EXPECT_LE(reps[k]->score, reps[k - 1]->score);
            }
        }
        EXPECT_EQ(firsts.size(), 4u);
    }
    EXPECT_EQ(r.best, by_depth[6][0]->pv.at(0));
    EXPECT_EQ(r.score, by_depth[6][0]->score);
}

TEST(MultiPv, MoreLinesThanMovesReportsEveryMoveOncePerIteration) {
    Fixture f;
    f.searcher->set_multipv(8);
    Position pos = from_fen("k7/8/8/8/8/8/6PP/7K w - - 0 1");
    const std::vector<Move> legal = legal_moves(pos);
    ASSERT_EQ(legal.size(), 5u);
    f.search_depth(pos, 5);
    std::map<int, std::vector<const Report*>> by_depth;
    for (const Report& rep : f.reports) by_depth[rep.depth].push_back(&rep);
    ASSERT_EQ(by_depth.size(), 5u);
    for (const auto& [depth, reps] : by_depth) {
        SCOPED_TRACE(depth);
        ASSERT_EQ(reps.size(), legal.size());
        std::multiset<Move> firsts;
        for (std::size_t k = 0; k < reps.size(); ++k) {
            EXPECT_EQ(reps[k]->multipv, k + 1);
            firsts.insert(reps[k]->pv.at(0));
        }
        EXPECT_EQ(firsts, std::multiset<Move>(legal.begin(), legal.end()));
    }
}

TEST(MultiPv, AMateIsStillFoundAsTheFirstLine) {
    Fixture f;
    f.searcher->set_multipv(3);
    Position pos = from_fen("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1");
    const SearchResult r = f.search_depth(pos, 4);
    EXPECT_EQ(uci(r.best), "d1d8");
    EXPECT_EQ(r.score, MATE - 1);
}

TEST(Wdl, IsReportedOnlyWhenAskedAndAddsUp) {
    Fixture f;
    Position pos = from_fen(KIWIPETE);
    f.search_depth(pos, 3);
    for (const Report& rep : f.reports) EXPECT_FALSE(rep.wdl);

    f.reset();
    f.searcher->set_show_wdl(true);
    f.search_depth(pos, 4);
    for (const Report& rep : f.reports) {
        ASSERT_TRUE(rep.wdl);
        EXPECT_EQ(rep.wdl->win + rep.wdl->draw + rep.wdl->loss, 1000u);
    }

    f.reset();
    Position mate = from_fen("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1");
    f.search_depth(mate, 3);
    ASSERT_TRUE(f.reports.back().wdl);
    EXPECT_EQ(f.reports.back().wdl->win, 1000u);
}

TEST(Wdl, LineWdlFollowsTheScoreAndTheEndOfTheLine) {
    Fixture f;
    Position pos = Position::startpos();
    const std::vector<Move> none;
    auto wdl = [&](std::span<const Move> line, int score) {
        const WdlPermille w = f.searcher->line_wdl(pos, line, score);
        return std::vector<std::uint32_t>{w.win, w.draw, w.loss};
    };
    using W = std::vector<std::uint32_t>;
    EXPECT_EQ(wdl(none, MATE - 5), (W{1000, 0, 0}));
    EXPECT_EQ(wdl(none, -MATE + 8), (W{0, 0, 1000}));
    // An even score: p = 0.5, m = 0.3.
    EXPECT_EQ(wdl(none, 0), (W{200, 600, 200}));
    // A score seen from the side to move at the end of an odd line is turned around.
    const Move e4 = parse(pos, "e2e4");
    const W ahead = wdl(none, 300);
    EXPECT_GT(ahead[0], ahead[2]);
    const std::vector<Move> one{e4};
    EXPECT_EQ(wdl(one, 300), ahead);
    // A line that ends in a dead position is a sure draw whatever the score says.
    Position dead = from_fen("8/8/4k3/8/8/2B5/8/4K3 w - - 0 1");
    const WdlPermille d = f.searcher->line_wdl(dead, std::vector<Move>{parse(dead, "c3d4")}, 250);
    EXPECT_EQ(d.draw, 1000u);
}

// Determinism.

TEST(Determinism, ClearedSearchesRepeatExactly) {
    Fixture f;
    Position pos = from_fen(KIWIPETE);
    const SearchResult first = f.search_depth(pos, 7);
    const std::vector<Report> first_reports = f.reports;

    // Something else in between, then clear.
    Position other =
        from_fen("r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10");
    f.reset();
    f.search_depth(other, 6);
    f.reset();
    const SearchResult again = f.search_depth(pos, 7);
    EXPECT_EQ(again.nodes, first.nodes);
    EXPECT_EQ(again.best, first.best);
    EXPECT_EQ(again.score, first.score);
    ASSERT_EQ(f.reports.size(), first_reports.size());
    for (std::size_t i = 0; i < f.reports.size(); ++i) {
        EXPECT_EQ(f.reports[i].pv, first_reports[i].pv) << "depth " << f.reports[i].depth;
        EXPECT_EQ(f.reports[i].score, first_reports[i].score);
    }

    // A fresh searcher agrees with a cleared one.
    Fixture g;
    const SearchResult fresh = g.search_depth(pos, 7);
    EXPECT_EQ(fresh.nodes, first.nodes);
    EXPECT_EQ(fresh.best, first.best);
}

TEST(Determinism, BenchSignaturesArePinned) {
    const bench::BenchResult hce = bench::run(bench_signature::DEPTH);
    const bench::BenchResult nnue =
        bench::run_with(bench_signature::DEPTH, nnue::NnueEval(nnue::default_net()));
    EXPECT_EQ(hce.total, bench_signature::HCE);
    EXPECT_EQ(nnue.total, bench_signature::NNUE);
    ASSERT_EQ(hce.nodes.size(), bench::POSITIONS.size());
    std::uint64_t sum = 0;
    for (std::uint64_t n : hce.nodes) sum += n;
    EXPECT_EQ(hce.total, sum);
}

// Limits that stop the search.

TEST(NodeLimit, StopsWithinOnePollingInterval) {
    Fixture f;
    Position pos = from_fen(KIWIPETE);
    SearchLimits limits;
    limits.nodes = 5000;
    const SearchResult r = f.search(pos, limits);
    // The count is looked at every 2048 nodes, so the search ends by the next multiple.
    EXPECT_LE(r.nodes, 6144u + 64u);
    EXPECT_GE(r.depth, 1);
    EXPECT_TRUE(movegen::is_legal_move(pos, r.best));
}

TEST(NodeLimit, SoftLimitOnlyPreventsNewIterations) {
    Fixture f;
    Position pos = from_fen(KIWIPETE);
    SearchLimits limits;
    limits.soft_nodes = 1;
    limits.depth = 10;
    const SearchResult r = f.search(pos, limits);
    EXPECT_EQ(r.depth, 1);
    EXPECT_EQ(f.reports.size(), 1u);
}

TEST(Stop, AStopSetBeforehandStillCompletesDepthOne) {
    Fixture f;
    f.stop->store(true);
    Position pos = from_fen(KIWIPETE);
    SearchLimits limits;
    limits.infinite = true;
    const SearchResult r = f.search(pos, limits);
    EXPECT_EQ(r.depth, 1);
    EXPECT_TRUE(movegen::is_legal_move(pos, r.best));
}

TEST(Stop, AnInfiniteSearchEndsWhenTheSharedFlagIsSet) {
    Fixture f;
    Position pos = from_fen(KIWIPETE);
    std::atomic<int> completed{0};
    SearchLimits limits;
    limits.infinite = true;
    std::promise<SearchResult> done;
    std::future<SearchResult> result = done.get_future();
    std::thread worker([&] {
        done.set_value(f.searcher->search(pos, limits, [&](const IterationInfo& info) {
            completed.store(info.depth);
        }));
    });
    // Let it complete a couple of iterations, then stop it. The waits are hang guards only.
    for (int i = 0; i < 60000 && completed.load() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    f.stop->store(true);
    const bool finished = result.wait_for(std::chrono::minutes(2)) == std::future_status::ready;
    if (!finished) {
        ADD_FAILURE() << "the search ignored the stop flag";
        std::abort();  // a detached search would keep using this frame
    }
    worker.join();
    const SearchResult r = result.get();
    EXPECT_GE(r.depth, 2);
    EXPECT_LT(r.depth, 127);
    EXPECT_TRUE(movegen::is_legal_move(pos, r.best));
    EXPECT_EQ(pos.to_fen(), from_fen(KIWIPETE).to_fen());
}

// Helpers of the search with fixed values.

TEST(LateMoveReductions, TableValues) {
    struct Case {
        int depth, moves, expected;
    };
    // trunc(ln(d) x ln(m) / 2.48 + 0.5), both clamped to 63.
    constexpr Case CASES[] = {{1, 1, 0},   {1, 30, 0},  {30, 1, 0},  {2, 2, 0},  {3, 8, 1},
                              {5, 5, 1},   {10, 10, 2}, {8, 20, 3},  {20, 40, 4}, {63, 63, 7},
                              {64, 64, 7}, {200, 3, 2}, {3, 200, 2}, {0, 10, 0}, {10, 0, 0}};
    for (const Case& c : CASES)
        EXPECT_EQ(lmr_reduction(c.depth, c.moves), c.expected) << c.depth << " " << c.moves;
    // Never decreasing in either argument.
    for (int d = 1; d < 63; ++d)
        for (int m = 1; m < 63; ++m) {
            EXPECT_LE(lmr_reduction(d, m), lmr_reduction(d + 1, m));
            EXPECT_LE(lmr_reduction(d, m), lmr_reduction(d, m + 1));
        }
}

TEST(PhaseBucket, Boundaries) {
    struct Case {
        std::string_view fen;
        int bucket;
    };
    // Phase: minors 1, rooks 2, queens 4.
    constexpr Case CASES[] = {
        {START_FEN, 0},                                            // 24
        {"r2qk2r/8/8/8/8/8/8/RN1QK2R w KQkq - 0 1", 0},            // 17
        {"r2qk2r/8/8/8/8/8/8/R2QK2R w KQkq - 0 1", 1},             // 16
        {"3qk3/8/8/8/8/8/8/1N1QK3 w - - 0 1", 1},                  // 9
        {"3qk3/8/8/8/8/8/8/3QK3 w - - 0 1", 2},                    // 8
        {"4k3/pppppppp/8/8/8/8/PPPPPPPP/4K3 w - - 0 1", 2},        // 0
        {"rnbqkbnr/8/8/8/8/8/8/RNBQKBNR w KQkq - 0 1", 0},         // pawns do not count
    };
    for (const Case& c : CASES) EXPECT_EQ(phase_bucket(from_fen(c.fen)), c.bucket) << c.fen;
}

TEST(Policy, DummyPolicySearchStaysLegalAndRepeatable) {
    // The policy takes over the ordering from depth 2 on, through the list path.
    std::vector<Move> firsts;
    std::vector<std::uint64_t> nodes;
    for (int run = 0; run < 2; ++run) {
        Fixture f;
        f.searcher->set_policy(std::make_unique<DummyPolicy>(2));
        Position pos = from_fen(KIWIPETE);
        const SearchResult r = f.search_depth(pos, 6);
        EXPECT_EQ(r.depth, 6);
        EXPECT_TRUE(movegen::is_legal_move(pos, r.best));
        for (const Report& rep : f.reports) EXPECT_TRUE(legal_line(pos, rep.pv));
        firsts.push_back(r.best);
        nodes.push_back(r.nodes);
    }
    EXPECT_EQ(firsts[0], firsts[1]);
    EXPECT_EQ(nodes[0], nodes[1]);
}

}  // namespace
}  // namespace orvane
