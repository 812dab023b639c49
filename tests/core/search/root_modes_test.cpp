// Root selection modes: the arm bookkeeping, the value-of-information choice, the Gumbel
// noise, and whole searches in both modes.
#include <gtest/gtest.h>

#include <cmath>

#include "core/board/movegen.h"
#include "core/search/searcher.h"
#include "core/search/root_modes.h"
#include "support/position_helpers.h"

using namespace orvane;

namespace {

voi::RootArm arm(int depth, int score, double volatility, std::uint64_t last_nodes) {
    voi::RootArm a;
    a.depth = depth;
    a.score = score;
    a.q = voi::win_probability(score);
    a.volatility = volatility;
    a.last_nodes = last_nodes;
    return a;
}

// The value and ratio of one arm, written out from the formulas.
double expected_value(double v, int depth, double volatility) {
    const double sigma = std::clamp(0.16 / std::sqrt(std::max(depth, 1)) + 0.5 * volatility, 0.004, 0.25);
    const double z = v / sigma;
    const double tail = 0.5 * std::erfc(z / std::sqrt(2.0));
    const double ei = z > 8 ? 0.0 : std::max(0.3989422804014327 * std::exp(-z * z / 2) - z * tail, 0.0);
    return sigma * ei;
}

}  // namespace

TEST(SearchModeParse, AcceptsTheKnownWordsOnly) {
    struct Case {
        std::string_view text;
        std::optional<SearchMode> mode;
    };
    const Case cases[] = {
        {"ab", SearchMode::AB},           {" AlphaBeta ", SearchMode::AB},
        {"alpha-beta", SearchMode::AB},   {"VOI", SearchMode::VOI},
        {" GUMBEL-SH ", SearchMode::GumbelSH}, {"gumbel", SearchMode::GumbelSH},
        {"GumbelSH", SearchMode::GumbelSH},    {"mcts", SearchMode::GumbelSH},
        {"alpha beta", std::nullopt},     {"", std::nullopt},
        {"   ", std::nullopt},            {"voi2", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_search_mode(c.text), c.mode) << c.text;
    EXPECT_EQ(search_mode_name(SearchMode::GumbelSH), "GumbelSH");
}

TEST(RootArm, UpdateTracksWinProbabilityAndVolatility) {
    voi::RootArm a;
    a.update(1, 0, {1}, 10);
    EXPECT_DOUBLE_EQ(a.q, 0.5);
    EXPECT_DOUBLE_EQ(a.volatility, 0.04);  // the first search leaves it alone
    EXPECT_EQ(a.last_nodes, 64u);          // at least 64
    a.update(2, 400, {1, 2}, 1000);
    const double q = 1.0 / (1.0 + std::exp(-1.0));
    EXPECT_DOUBLE_EQ(a.q, q);
    EXPECT_DOUBLE_EQ(a.volatility, 0.6 * 0.04 + 0.4 * (q - 0.5));
    EXPECT_EQ(a.total_nodes, 1010u);
    EXPECT_EQ(a.line.size(), 2u);
    a.update(3, 31900, {1}, 1);
    EXPECT_DOUBLE_EQ(a.q, 1.0);
    a.update(4, -31900, {1}, 1);
    EXPECT_DOUBLE_EQ(a.q, 0.0);
}

TEST(UpperTail, MatchesTheErrorFunction) {
    for (double z : {0.0, 0.1, 0.5, 1.0, 2.0, 3.0, 5.0})
        EXPECT_NEAR(voi::upper_tail(z), 0.5 * std::erfc(z / std::sqrt(2.0)), 2e-7) << z;
}

TEST(SelectVoiArm, PicksTheBestValuePerCost) {
    // An arm's value comes from its gap to the leader (the leader's own from its gap to the
    // best other arm), its depth and volatility; its cost from its last node count, floored.
    struct Case {
        const char* name;
        std::vector<voi::RootArm> arms;
        std::size_t arm;
        int leader_score, other_score;  // the gap the chosen arm's value comes from
    };
    const Case cases[] = {
        {"equal ratios: the first arm",
         {arm(4, 50, 0.04, 1000), arm(4, 30, 0.04, 1000), arm(4, -300, 0.04, 100000)}, 0, 50, 30},
        {"the cheaper of two close arms",
         {arm(4, 50, 0.04, 1000), arm(4, 30, 0.04, 500), arm(4, -300, 0.04, 100000)}, 1, 50, 30},
        {"the leader's gap is to the best other arm",
         {arm(4, 30, 0.04, 1000), arm(4, -100, 0.04, 1000), arm(4, 50, 0.04, 400)}, 2, 50, 30},
        {"a shallow arm is less certain", {arm(12, 30, 0.04, 1000), arm(4, 50, 0.04, 1000)}, 1, 50, 30},
        {"a volatile arm is less certain", {arm(4, 50, 0.04, 1000), arm(4, 30, 0.3, 1000)}, 1, 50, 30},
        {"tiny node counts cost the same", {arm(4, 50, 0.04, 50), arm(4, 30, 0.04, 1)}, 0, 50, 30},
        {"a far arm that is cheap enough",
         {arm(4, 50, 0.04, 100000), arm(4, 30, 0.04, 100000), arm(4, -100, 0.04, 128)}, 2, 50, -100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto choice = voi::select_voi_arm(c.arms, 20);
        ASSERT_TRUE(choice);
        EXPECT_EQ(choice->arm, c.arm);
        const voi::RootArm& a = c.arms[c.arm];
        const double gap = voi::win_probability(c.leader_score) - voi::win_probability(c.other_score);
        EXPECT_NEAR(choice->value, expected_value(gap, a.depth, a.volatility), 1e-6);
    }
}

TEST(SelectVoiArm, SkipsFinishedAndDecidedArms) {
    std::vector<voi::RootArm> arms = {arm(10, 20, 0.04, 1000), arm(3, 31900, 0.04, 1000),
                                      arm(5, 10, 0.04, 1000)};
    auto choice = voi::select_voi_arm(arms, 10);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->arm, 2u);  // arm 0 is at the maximum depth, arm 1 has a mate score
    arms.pop_back();
    EXPECT_FALSE(voi::select_voi_arm(arms, 10));
}

TEST(GumbelNoise, IsAFixedSequencePerKey) {
    const auto a = voi::gumbel_noise(0x1234, 8), b = voi::gumbel_noise(0x1234, 8);
    const auto c = voi::gumbel_noise(0x1235, 8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    for (double g : a) EXPECT_TRUE(std::isfinite(g));
}

namespace {

struct ModeRun {
    SearchResult result;
    std::vector<int> depths;
};

ModeRun run_mode(std::string_view fen, SearchMode mode, SearchLimits limits, double temp = 0.0) {
    auto table = tt::TranspositionTable::new_table(4);
    auto stop = std::make_shared<std::atomic<bool>>(false);
    Searcher<PstEval> s(PstEval{}, table, stop);
    s.set_search_mode(mode, temp);
    Position pos = from_fen(fen);
    ModeRun run;
    run.result = s.search(pos, limits, [&](const IterationInfo& info) {
        run.depths.push_back(info.depth);
        Position line = pos;
        for (Move m : info.pv) {
            ASSERT_TRUE(movegen::is_legal_move(line, m));
            line.make_move(m);
        }
    });
    return run;
}

constexpr std::string_view MIDDLE_GAME = "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4";
constexpr std::string_view MATE_IN_ONE = "6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1";

}  // namespace

TEST(RootModes, EachModeReturnsALegalMoveUnderEveryLimit) {
    for (SearchMode mode : {SearchMode::VOI, SearchMode::GumbelSH}) {
        SearchLimits by_depth;
        by_depth.depth = 6;
        SearchLimits by_nodes;
        by_nodes.nodes = 20000;
        for (const SearchLimits& limits : {by_depth, by_nodes}) {
            ModeRun run = run_mode(MIDDLE_GAME, mode, limits);
            Position pos = from_fen(MIDDLE_GAME);
            EXPECT_TRUE(movegen::is_legal_move(pos, run.result.best));
            EXPECT_GE(run.result.depth, 1);
            EXPECT_FALSE(run.depths.empty());
            // The node count is looked at every 2048 nodes.
            if (limits.depth) {
                EXPECT_LE(run.result.depth, *limits.depth);
            }
            if (limits.nodes) {
                EXPECT_LE(run.result.nodes, *limits.nodes + 2048);
            }
        }
    }
}

TEST(RootModes, MateAtTheFirstDepthEndsTheSearch) {
    for (SearchMode mode : {SearchMode::VOI, SearchMode::GumbelSH}) {
        SearchLimits limits;
        limits.depth = 20;
        ModeRun run = run_mode(MATE_IN_ONE, mode, limits);
        EXPECT_EQ(move_to_uci(run.result.best), "d1d8");
        EXPECT_EQ(run.result.score, MATE - 1);
        EXPECT_LE(run.result.depth, 4);
    }
}

TEST(RootModes, GumbelWithMaximumDepthFourStopsAfterTheFirstPass) {
    SearchLimits limits;
    limits.depth = 4;
    ModeRun run = run_mode(MIDDLE_GAME, SearchMode::GumbelSH, limits);
    EXPECT_EQ(run.result.depth, 4);
    for (int d : run.depths) EXPECT_EQ(d, 4);
}

TEST(RootModes, GumbelIsRepeatableWithANodeLimit) {
    SearchLimits limits;
    limits.nodes = 30000;
    limits.depth = 9;
    const ModeRun a = run_mode(MIDDLE_GAME, SearchMode::GumbelSH, limits, 0.0);
    const ModeRun b = run_mode(MIDDLE_GAME, SearchMode::GumbelSH, limits, 0.0);
    EXPECT_EQ(a.result.best, b.result.best);
    EXPECT_EQ(a.result.nodes, b.result.nodes);
    EXPECT_EQ(a.depths, b.depths);
}
