#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "core/board/movegen.h"
#include "core/router/router_policy.h"
#include "support/position_helpers.h"

using namespace orvane;
using namespace orvane::router_policy;

namespace {

std::shared_ptr<const router::RouterNet> small_net() {
    router::RouterNet net = router::RouterNet::new_v4(16, 8);
    router::XorShift64 rng{12};
    for (float& x : net.move_bias) x = 2 * rng.next();
    for (float& x : net.source_bias) x = 2 * rng.next();
    return std::make_shared<const router::RouterNet>(std::move(net));
}

std::shared_ptr<const router_moe::RouterMoeNet> small_moe_net() {
    return std::make_shared<const router_moe::RouterMoeNet>(
        router_moe::RouterMoeNet::random(4, 1, 4, 3));
}

constexpr std::string_view KIWIPETE =
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";
// Only the black pawn can move.
constexpr std::string_view ONE_MOVE = "7k/5Q2/8/8/8/p7/8/K7 b - - 0 1";

}  // namespace

// ---------------------------------------------------------------------------------------
// The rules that turn a log-probability into a score, a bonus or a reduction

TEST(RouterRules, ScoresAreThousandthsTruncatedAndSaturated) {
    struct Case {
        float log_prob;
        std::int32_t score;
    };
    const Case cases[] = {
        {0.0f, 0},         {-0.0009f, 0},      {-0.0015f, -1},         {-1.2345f, -1234},
        {-2.5f, -2500},    {-1e7f, INT32_MIN}, {-INFINITY, INT32_MIN}, {NAN, 0},
        {1e9f, INT32_MAX},
    };
    for (const Case& c : cases) EXPECT_EQ(policy_score(c.log_prob), c.score) << c.log_prob;
}

TEST(RouterRules, ReplaceAndDeltaReductions) {
    struct Case {
        bool delta;
        float log_prob;
        std::size_t moves;
        double scale;
        std::int32_t expected;
    };
    const Case cases[] = {
        {false, -2.5f, 30, 0.6, 2},   // nearest(1.5) = 2
        {false, -0.5f, 30, 0.6, 0},   // nearest(0.3)
        {false, -1.25f, 30, 2.0, 3},  // nearest(2.5) rounds away from zero
        {false, 0.0f, 1, 0.6, 0},     {false, -500.0f, 30, 1.0, 64},  // clamped to 64
        {true, -1.0f, 30, 0.6, -1},    // nearest((1 - ln 30) x 0.6) = nearest(-1.44)
        {true, -6.0f, 30, 0.6, 2},     // nearest(1.56)
        {true, -4.0f, 30, 0.6, 0},     // nearest(0.36)
        {true, -0.01f, 30, 10.0, -1},  // clamped to -1
        {true, -30.0f, 30, 10.0, 2},   // clamped to 2
        {true, 0.0f, 1, 0.6, 0},       // the lone legal move
        {true, NAN, 30, 0.6, 0},      {false, NAN, 30, 0.6, 0},
    };
    for (const Case& c : cases) {
        const std::int32_t r = c.delta ? delta_reduction(c.log_prob, c.moves, c.scale)
                                       : replace_reduction(c.log_prob, c.scale);
        EXPECT_EQ(r, c.expected) << (c.delta ? "delta " : "replace ") << c.log_prob;
    }
}

TEST(RouterRules, OrderBonusIsRelativeToAUniformChoice) {
    // (ln n + p) x bonus, rounded half away from zero, within +-8000.
    EXPECT_EQ(order_bonus(0.0f, 1, 500), 0);
    EXPECT_EQ(order_bonus(-std::log(20.0f), 20, 500), 0);
    EXPECT_EQ(order_bonus(-1.0f, 20, 100),
              static_cast<int>(std::lround((std::log(20.0) - 1) * 100)));
    EXPECT_EQ(order_bonus(-6.0f, 20, 100),
              static_cast<int>(std::lround((std::log(20.0) - 6) * 100)));
    EXPECT_EQ(order_bonus(-0.5f, 1, 3), -2);  // -1.5 rounds away from zero
    EXPECT_EQ(order_bonus(-50.0f, 20, 10000), -8000);
    EXPECT_EQ(order_bonus(0.0f, 200, 10000), 8000);
    EXPECT_EQ(order_bonus(NAN, 20, 100), 0);
}

// ---------------------------------------------------------------------------------------
// The policy

TEST(RouterPolicyTest, InterfaceFlagsFollowTheSettings) {
    RouterSettings s;
    RouterPolicy defaults(small_net(), s);
    EXPECT_EQ(defaults.name(), "router");
    EXPECT_EQ(defaults.min_depth(), 2);
    EXPECT_TRUE(defaults.keeps_normal_order());
    EXPECT_FALSE(defaults.ranks_tt_move());
    EXPECT_TRUE(defaults.reduction_is_delta());
    EXPECT_FALSE(defaults.uses_order_bonus());
    EXPECT_TRUE(defaults.wants(0, 2));
    EXPECT_TRUE(defaults.wants(1, 10));
    EXPECT_FALSE(defaults.wants(2, 10));
    EXPECT_FALSE(defaults.wants(0, 1));

    s.order = true;
    s.delta = false;
    s.order_bonus = 40;
    s.min_depth = 5;
    RouterMoePolicy moe(small_moe_net(), s);
    EXPECT_EQ(moe.name(), "router-moe");
    EXPECT_EQ(moe.min_depth(), 5);
    EXPECT_FALSE(moe.keeps_normal_order());
    EXPECT_FALSE(moe.reduction_is_delta());
    EXPECT_TRUE(moe.uses_order_bonus());
    EXPECT_FALSE(moe.wants(0, 4));
}

TEST(RouterPolicyTest, ZeroPliesNeverActs) {
    RouterSettings s;
    s.plies = 0;
    s.min_depth = 1;
    RouterPolicy policy(small_net(), s);
    for (int ply = 0; ply < 10; ++ply)
        for (int depth : {1, 2, 10, 64, INT_MAX}) EXPECT_FALSE(policy.wants(ply, depth));
}

TEST(RouterPolicyTest, ScoresComeFromTheNetworkAndAreCached) {
    auto net = small_net();
    RouterPolicy policy(net, RouterSettings{});
    const Position pos = from_fen(KIWIPETE);
    const std::vector<Move> moves = legal_moves(pos);
    std::vector<std::int32_t> scores(moves.size());
    ASSERT_TRUE(policy.score_moves(pos, moves.data(), moves.size(), scores.data(), 0, 5));
    const std::vector<float> lp = net->log_probs(pos, moves);
    for (std::size_t i = 0; i < moves.size(); ++i) {
        EXPECT_EQ(scores[i], static_cast<std::int32_t>(1000.0f * lp[i]));
        EXPECT_LE(scores[i], 0);
    }
    EXPECT_EQ(policy.evaluations(), 1u);

    // The same list again, and every reduction and bonus query of the node, reuse the entry.
    policy.score_moves(pos, moves.data(), moves.size(), scores.data(), 0, 5);
    for (Move m : moves) policy.reduction(pos, m, 5);
    EXPECT_EQ(policy.evaluations(), 1u);
    EXPECT_EQ(policy.cache_size(), 1u);

    policy.new_search();
    EXPECT_EQ(policy.cache_size(), 0u);
    policy.score_moves(pos, moves.data(), moves.size(), scores.data(), 0, 5);
    EXPECT_EQ(policy.evaluations(), 2u);
}

TEST(RouterPolicyTest, ADifferentOrderIsEvaluatedAgainAndReplacesTheEntry) {
    RouterPolicy policy(small_net(), RouterSettings{});
    const Position pos = from_fen(KIWIPETE);
    std::vector<Move> moves = legal_moves(pos);
    std::vector<std::int32_t> scores(moves.size()), reversed_scores(moves.size());
    policy.score_moves(pos, moves.data(), moves.size(), scores.data(), 0, 5);
    std::vector<Move> reversed(moves.rbegin(), moves.rend());
    policy.score_moves(pos, reversed.data(), reversed.size(), reversed_scores.data(), 0, 5);
    EXPECT_EQ(policy.evaluations(), 2u);
    const auto* entry = policy.cached(pos.key());
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(entry->size(), reversed.size());
    for (std::size_t i = 0; i < reversed.size(); ++i) {
        EXPECT_EQ((*entry)[i].move, reversed[i]);
        // The same move gets the same score, whatever its place in the list (up to rounding).
        EXPECT_NEAR(reversed_scores[i], scores[moves.size() - 1 - i], 1);
    }
    // A shorter list is a different list too.
    policy.score_moves(pos, reversed.data(), reversed.size() - 1, reversed_scores.data(), 0, 5);
    EXPECT_EQ(policy.evaluations(), 3u);
    EXPECT_EQ(policy.cached(pos.key())->size(), reversed.size() - 1);
}

TEST(RouterPolicyTest, ReductionsFollowTheModeAndScale) {
    const Position pos = from_fen(KIWIPETE);
    const std::vector<Move> moves = legal_moves(pos);
    auto net = small_net();
    const std::vector<float> lp = net->log_probs(pos, moves);
    for (bool delta : {true, false}) {
        RouterSettings s;
        s.delta = delta;
        s.reduce_scale = 0.6;
        RouterPolicy policy(net, s);
        // Not cached yet: the policy generates the legal moves itself.
        for (std::size_t i = 0; i < moves.size(); ++i) {
            const std::optional<std::int32_t> r = policy.reduction(pos, moves[i], 6);
            ASSERT_TRUE(r.has_value());
            EXPECT_EQ(*r, delta ? delta_reduction(lp[i], moves.size(), 0.6)
                                : replace_reduction(lp[i], 0.6));
        }
        EXPECT_EQ(policy.evaluations(), 1u);
        // A move that is not in the entry gets no reduction.
        EXPECT_FALSE(policy.reduction(pos, make_move(0, 63, QUIET), 6).has_value());
    }
}

TEST(RouterPolicyTest, ZeroReduceScaleNeverReduces) {
    RouterSettings s;
    s.reduce_scale = 0.0;
    for (bool delta : {true, false}) {
        s.delta = delta;
        RouterPolicy policy(small_net(), s);
        const Position pos = from_fen(KIWIPETE);
        const std::vector<Move> moves = legal_moves(pos);
        std::vector<std::int32_t> scores(moves.size());
        policy.score_moves(pos, moves.data(), moves.size(), scores.data(), 0, 5);
        for (Move m : moves) EXPECT_FALSE(policy.reduction(pos, m, 8).has_value());
    }
}

TEST(RouterPolicyTest, SingleLegalMoveGetsNoReductionAndNoBonus) {
    RouterSettings s;
    s.order_bonus = 1000;
    s.reduce_scale = 10.0;
    RouterPolicy policy(small_net(), s);
    const Position pos = from_fen(ONE_MOVE);
    const std::vector<Move> moves = legal_moves(pos);
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(policy.quiet_order_bonus(pos, moves[0], 1), 0);  // not scored yet
    EXPECT_EQ(policy.reduction(pos, moves[0], 4), std::optional<std::int32_t>(0));
    EXPECT_EQ(policy.quiet_order_bonus(pos, moves[0], 1), 0);
}

TEST(RouterPolicyTest, OrderBonusNeedsABonusAndACachedMove) {
    const Position pos = from_fen(KIWIPETE);
    const std::vector<Move> moves = legal_moves(pos);
    auto net = small_net();
    const std::vector<float> lp = net->log_probs(pos, moves);
    for (std::int32_t bonus : {0, 300}) {
        RouterSettings s;
        s.order_bonus = bonus;
        RouterPolicy policy(net, s);
        EXPECT_EQ(policy.quiet_order_bonus(pos, moves[0], moves.size()), 0);
        std::vector<std::int32_t> scores(moves.size());
        policy.score_moves(pos, moves.data(), moves.size(), scores.data(), 0, 5);
        bool any_nonzero = false;
        for (std::size_t i = 0; i < moves.size(); ++i) {
            const std::int32_t b = policy.quiet_order_bonus(pos, moves[i], moves.size());
            EXPECT_EQ(b, bonus > 0 ? order_bonus(lp[i], moves.size(), bonus) : 0);
            any_nonzero |= b != 0;
        }
        EXPECT_EQ(any_nonzero, bonus > 0);
        EXPECT_EQ(policy.quiet_order_bonus(pos, make_move(0, 63, QUIET), moves.size()), 0);
    }
}

TEST(RouterPolicyTest, MixtureOfExpertsPolicyPassesItsTopK) {
    auto net = small_moe_net();
    const Position pos = from_fen(KIWIPETE);
    const std::vector<Move> moves = legal_moves(pos);
    for (std::uint32_t top_k : {0u, 2u}) {
        RouterSettings s;
        s.top_k = top_k;
        RouterMoePolicy policy(net, s);
        std::vector<std::int32_t> scores(moves.size());
        ASSERT_TRUE(policy.score_moves(pos, moves.data(), moves.size(), scores.data(), 0, 4));
        const std::vector<float> lp = net->log_probs(pos, moves, top_k);
        for (std::size_t i = 0; i < moves.size(); ++i)
            EXPECT_EQ(scores[i], policy_score(lp[i])) << top_k;
    }
}

TEST(RouterPolicyTest, WorksThroughTheMovePolicyInterface) {
    std::unique_ptr<MovePolicy> policy =
        std::make_unique<RouterPolicy>(small_net(), RouterSettings{});
    const Position pos = from_fen(KIWIPETE);
    MoveList list;
    movegen::generate_all(pos, list);
    std::int32_t scores[256];
    EXPECT_TRUE(policy->score_moves(pos, list.moves, list.count, scores, 0, 3));
    EXPECT_TRUE(policy->reduction(pos, list.moves[5], 3).has_value());
    policy->new_search();
}
