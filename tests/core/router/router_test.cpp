#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>

#include "core/board/movegen.h"
#include "core/router/router_net.h"
#include "support/fen_mirror.h"
#include "support/position_helpers.h"

using namespace orvane;
using router::RouterNet;

namespace {

Move find_move(const Position& pos, std::string_view uci) {
    for (Move m : legal_moves(pos))
        if (move_to_uci(m) == uci) return m;
    ADD_FAILURE() << "no legal move " << uci << " in " << pos.to_fen();
    return NULL_MOVE;
}

Move mirror_move(Move m) { return make_move(move_from(m) ^ 56, move_to(m) ^ 56, move_kind(m)); }

RouterNet load(const std::vector<std::uint8_t>& bytes) {
    auto result = RouterNet::from_bytes(bytes);
    if (auto* err = std::get_if<router::LoadError>(&result)) {
        ADD_FAILURE() << err->message;
        return {};
    }
    return *std::get<std::shared_ptr<const RouterNet>>(result);
}

std::string load_error(const std::vector<std::uint8_t>& bytes) {
    auto result = RouterNet::from_bytes(bytes);
    if (auto* err = std::get_if<router::LoadError>(&result)) return err->message;
    return "<loaded>";
}

// Every array random, so that every weight of the layout takes part.
RouterNet random_net(std::uint32_t h1, std::uint32_t h2, std::uint64_t state) {
    RouterNet net = RouterNet::new_v4(h1, h2, state);
    router::XorShift64 rng{state * 7919 + 3};
    for (auto* v : {&net.b1, &net.source_bias, &net.move_bias, &net.promo_bias,
                    &net.move_flag_weights, &net.source_flag_weights, &net.b2, &net.modulation})
        for (float& x : *v) x = rng.next();
    net.scale = 1.5f;
    return net;
}

// A network whose weights are all 0 but for the few a test sets.
RouterNet zero_net(std::uint32_t h1, std::uint32_t h2) {
    RouterNet net = RouterNet::new_v4(h1, h2);
    for (auto* v : {&net.w1, &net.b1, &net.source_weights, &net.source_bias, &net.dest_weights,
                    &net.move_bias, &net.promo_bias, &net.move_flag_weights,
                    &net.source_flag_weights, &net.w2, &net.b2, &net.modulation})
        std::fill(v->begin(), v->end(), 0.0f);
    return net;
}

std::vector<std::uint8_t> header(std::string_view magic, std::vector<std::uint32_t> words,
                                 std::size_t total) {
    std::vector<std::uint8_t> bytes(magic.begin(), magic.end());
    for (std::uint32_t w : words)
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
    bytes.resize(std::max(total, bytes.size()));
    return bytes;
}

constexpr std::uint32_t ONE_F = 0x3F800000;  // 1.0f

const char* const FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1",
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Loading

struct LoadCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string message;
};

TEST(RouterLoad, RejectsMalformedFilesWithTheirMessage) {
    const std::string not_router = "not a router network file (RRT4, RRT3, RRT2, or RRT1)";
    const std::uint64_t v1 = router::expected_size(1, 2, 0);
    const std::uint64_t v2 = router::expected_size(2, 2, 0);
    const std::uint64_t v3 = router::expected_size(3, 2, 0);
    const std::uint64_t v4 = router::expected_size(4, 2, 3);
    const std::vector<LoadCase> cases = {
        {"empty", {}, not_router},
        {"eleven_bytes", header("RRT1", {2}, 11), not_router},
        {"rrt4_under_twelve", header("RRT4", {2}, 11), not_router},
        {"unknown_magic", header("RRT6", {2, ONE_F}, 4000), not_router},
        {"lower_case_magic", header("rrt1", {2, ONE_F}, v1), not_router},
        {"rrt4_twelve_bytes", header("RRT4", {2, 3}, 12), "truncated RRT4 header"},
        {"rrt4_fifteen_bytes", header("RRT4", {2, 3}, 15), "truncated RRT4 header"},
        {"rrt4_h1_zero", header("RRT4", {0, 3, ONE_F}, 16), "bad RRT4 hidden sizes 0x3"},
        {"rrt4_h2_zero", header("RRT4", {2, 0, ONE_F}, 16), "bad RRT4 hidden sizes 2x0"},
        {"rrt4_h1_large", header("RRT4", {4097, 3, ONE_F}, 16), "bad RRT4 hidden sizes 4097x3"},
        {"rrt4_h2_large", header("RRT4", {2, 4097, ONE_F}, 16), "bad RRT4 hidden sizes 2x4097"},
        {"rrt4_huge", header("RRT4", {0xFFFFFFFF, 1, ONE_F}, 16),
         "bad RRT4 hidden sizes 4294967295x1"},
        {"rrt4_float_short", header("RRT4", {2, 3, ONE_F}, v4 - 4),
         "RRT4 file has " + std::to_string(v4 - 4) + " bytes, 2x3 needs " + std::to_string(v4)},
        {"rrt4_float_long", header("RRT4", {2, 3, ONE_F}, v4 + 4),
         "RRT4 file has " + std::to_string(v4 + 4) + " bytes, 2x3 needs " + std::to_string(v4)},
        {"rrt4_header_only", header("RRT4", {2, 3, ONE_F}, 16),
         "RRT4 file has 16 bytes, 2x3 needs " + std::to_string(v4)},
        {"rrt1_h1_zero", header("RRT1", {0, ONE_F}, 12), "bad hidden size 0"},
        {"rrt2_h1_large", header("RRT2", {4097, ONE_F}, 12), "bad hidden size 4097"},
        {"rrt3_h1_zero", header("RRT3", {0, ONE_F}, 5000), "bad hidden size 0"},
        {"rrt1_float_short", header("RRT1", {2, ONE_F}, v1 - 4),
         "router file has " + std::to_string(v1 - 4) + " bytes, hidden 2 needs "
             + std::to_string(v1)},
        {"rrt1_float_long", header("RRT1", {2, ONE_F}, v1 + 4),
         "router file has " + std::to_string(v1 + 4) + " bytes, hidden 2 needs "
             + std::to_string(v1)},
        {"rrt2_float_short", header("RRT2", {2, ONE_F}, v2 - 4),
         "router file has " + std::to_string(v2 - 4) + " bytes, hidden 2 needs "
             + std::to_string(v2)},
        {"rrt2_as_rrt1_size", header("RRT2", {2, ONE_F}, v1),
         "router file has " + std::to_string(v1) + " bytes, hidden 2 needs " + std::to_string(v2)},
        {"rrt3_float_short", header("RRT3", {2, ONE_F}, v3 - 4),
         "router file has " + std::to_string(v3 - 4) + " bytes, hidden 2 needs "
             + std::to_string(v3)},
        {"rrt3_float_long", header("RRT3", {2, ONE_F}, v3 + 4),
         "router file has " + std::to_string(v3 + 4) + " bytes, hidden 2 needs "
             + std::to_string(v3)},
    };
    for (const LoadCase& c : cases) EXPECT_EQ(load_error(c.bytes), c.message) << c.name;
}

TEST(RouterLoad, ExpectedSizesFollowTheLayouts) {
    // 768 h1 + h1 + 384 g + 384 + 384 g + 24,576 + 5 floats after the header.
    EXPECT_EQ(router::expected_size(1, 1, 0), 12u + 4 * 26'502);
    EXPECT_EQ(router::expected_size(2, 1, 0), 12u + 4 * 26'502 + 360);
    EXPECT_EQ(router::expected_size(3, 1, 0), 12u + 4 * 26'502 + 624);
    // h1 = 2, h2 = 3: 1536 + 2 + 1152 + 384 + 1152 + 24,576 + 5 + 108 + 48 + 6 + 3 + 1152.
    EXPECT_EQ(router::expected_size(4, 2, 3), 16u + 4 * 30'124);
    // The engine refuses longer files unread: every network it can load must fit.
    for (int version = 1; version <= 3; ++version)
        EXPECT_LE(router::expected_size(version, router::MAX_HIDDEN, 0), router::MAX_FILE_BYTES);
    EXPECT_LE(router::expected_size(4, router::MAX_HIDDEN, router::MAX_HIDDEN),
              router::MAX_FILE_BYTES);
}

TEST(RouterLoad, EveryVersionRoundTripsThroughItsWriter) {
    for (int version = 1; version <= 4; ++version) {
        SCOPED_TRACE(version);
        RouterNet net = random_net(3, version == 4 ? 2 : 0, 5);
        const std::vector<std::uint8_t> bytes = router::serialise(net, version);
        ASSERT_EQ(bytes.size(), router::expected_size(version, net.h1, net.h2));
        RouterNet loaded = load(bytes);
        EXPECT_EQ(loaded.version, version);
        EXPECT_EQ(loaded.h1, 3u);
        EXPECT_EQ(loaded.h2, version == 4 ? 2u : 0u);
        EXPECT_EQ(loaded.scale, 1.5f);
        EXPECT_EQ(loaded.screlu, version >= 3);
        EXPECT_EQ(loaded.w1, net.w1);
        EXPECT_EQ(loaded.b1, net.b1);
        EXPECT_EQ(loaded.source_weights, net.source_weights);
        EXPECT_EQ(loaded.source_bias, net.source_bias);
        EXPECT_EQ(loaded.dest_weights, net.dest_weights);
        EXPECT_EQ(loaded.move_bias, net.move_bias);
        EXPECT_EQ(loaded.promo_bias, net.promo_bias);
        EXPECT_EQ(loaded.w2, net.w2);
        EXPECT_EQ(loaded.b2, net.b2);
        EXPECT_EQ(loaded.modulation, net.modulation);
        ASSERT_EQ(loaded.move_flag_weights.size(), 108u);
        ASSERT_EQ(loaded.source_flag_weights.size(), 48u);
        // RRT1 has no flag weights; RRT2 keeps the first 11 and 4 of each piece's group.
        for (int i = 0; i < 108; ++i) {
            const bool kept = version >= 3 || (version == 2 && i % 18 < 11);
            EXPECT_EQ(loaded.move_flag_weights[i], kept ? net.move_flag_weights[i] : 0.0f) << i;
        }
        for (int i = 0; i < 48; ++i) {
            const bool kept = version >= 3 || (version == 2 && i % 8 < 4);
            EXPECT_EQ(loaded.source_flag_weights[i], kept ? net.source_flag_weights[i] : 0.0f) << i;
        }
    }
}

TEST(RouterLoad, FreshNetworksHaveTheInitialLayout) {
    RouterNet net = RouterNet::new_v4(16, 4);
    EXPECT_EQ(net.w1.size(), 768u * 16);
    EXPECT_EQ(net.w2.size(), 64u);
    EXPECT_EQ(net.modulation.size(), 384u * 4);
    EXPECT_EQ(net.source_weights.size(), 384u * 4);
    EXPECT_TRUE(net.screlu);
    EXPECT_EQ(net.scale, 1.0f);
    for (float b : net.b1) EXPECT_EQ(b, 0.25f);
    for (float b : net.b2) EXPECT_EQ(b, 0.25f);
    auto max_abs = [](const std::vector<float>& v) {
        float m = 0;
        for (float x : v) m = std::max(m, std::abs(x));
        return m;
    };
    EXPECT_LE(max_abs(net.w1), 0.17677669f);
    EXPECT_GT(max_abs(net.w1), 0.17f);
    EXPECT_LE(max_abs(net.w2), std::sqrt(2.0f / 16) * 0.5f);
    EXPECT_LE(max_abs(net.dest_weights), std::sqrt(1.0f / 4) * 0.5f);
    EXPECT_GT(max_abs(net.dest_weights), 0.24f);
    EXPECT_EQ(max_abs(net.move_bias), 0.0f);
    EXPECT_EQ(max_abs(net.modulation), 0.0f);
    // Same start value, same network.
    EXPECT_EQ(RouterNet::new_v4(16, 4).dest_weights, net.dest_weights);
    EXPECT_EQ(RouterNet::new_v4(16, 0).w2.size(), 0u);
}

// ---------------------------------------------------------------------------------------
// Inference

TEST(RouterNetDot, MatchesAPlainSumForEveryTailLength) {
    router::XorShift64 rng{99};
    std::vector<float> a(80), b(80);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = rng.next();
        b[i] = rng.next();
    }
    for (std::size_t n = 0; n <= a.size(); ++n) {
        double expected = 0;
        for (std::size_t i = 0; i < n; ++i) expected += double(a[i]) * b[i];
        EXPECT_NEAR(RouterNet::dot({a.data(), n}, {b.data(), n}), expected, 1e-5) << n;
    }
}

TEST(RouterNetLogProbs, SumToOneOverTheLegalMoves) {
    for (int version = 1; version <= 4; ++version) {
        const RouterNet net =
            load(router::serialise(random_net(8, version == 4 ? 4 : 0, 11), version));
        for (const char* fen : FENS) {
            const Position pos = from_fen(fen);
            const std::vector<Move> moves = legal_moves(pos);
            const std::vector<float> lp = net.log_probs(pos, moves);
            ASSERT_EQ(lp.size(), moves.size());
            double total = 0;
            for (float x : lp) {
                EXPECT_LE(x, 1e-6f);
                total += std::exp(double(x));
            }
            EXPECT_NEAR(total, 1.0, 1e-5) << "RRT" << version << " " << fen;
        }
    }
}

TEST(RouterNetLogProbs, SingleLegalMoveIsCertain) {
    // The black king is boxed in by the queen; only the pawn can move.
    const Position pos = from_fen("7k/5Q2/8/8/8/p7/8/K7 b - - 0 1");
    const std::vector<Move> moves = legal_moves(pos);
    ASSERT_EQ(moves.size(), 1u);
    for (std::uint32_t h2 : {0u, 4u}) {
        const RouterNet net = random_net(8, h2, 3);
        EXPECT_EQ(net.log_probs(pos, moves)[0], 0.0f);
    }
}

TEST(RouterNetLogProbs, BlackToMoveEqualsTheMirroredWhiteTwin) {
    for (std::uint32_t h2 : {0u, 4u}) {
        const RouterNet net = random_net(8, h2, 17);
        for (const char* fen : FENS) {
            const Position pos = from_fen(fen);
            const Position twin = from_fen(fen_mirror::colour_mirror(fen));
            const std::vector<Move> moves = legal_moves(pos);
            const std::vector<Move> twin_moves = legal_moves(twin);
            ASSERT_EQ(moves.size(), twin_moves.size()) << fen;
            const std::vector<float> lp = net.log_probs(pos, moves);
            const std::vector<float> twin_lp = net.log_probs(twin, twin_moves);
            std::map<Move, float> by_move;
            for (std::size_t i = 0; i < twin_moves.size(); ++i) by_move[twin_moves[i]] = twin_lp[i];
            for (std::size_t i = 0; i < moves.size(); ++i) {
                ASSERT_TRUE(by_move.count(mirror_move(moves[i]))) << move_to_uci(moves[i]);
                EXPECT_NEAR(lp[i], by_move[mirror_move(moves[i])], 2e-5)
                    << fen << " " << move_to_uci(moves[i]);
            }
        }
    }
}

TEST(RouterNetLogProbs, ResultDoesNotDependOnListOrder) {
    const RouterNet net = random_net(8, 4, 23);
    const Position pos = from_fen(FENS[2]);
    std::vector<Move> moves = legal_moves(pos);
    const std::vector<float> lp = net.log_probs(pos, moves);
    std::map<Move, float> by_move;
    for (std::size_t i = 0; i < moves.size(); ++i) by_move[moves[i]] = lp[i];
    std::reverse(moves.begin(), moves.end());
    const std::vector<float> reversed = net.log_probs(pos, moves);
    for (std::size_t i = 0; i < moves.size(); ++i)
        EXPECT_NEAR(reversed[i], by_move[moves[i]], 1e-5);
}

// White: king a1, knight h1; Black: king h8. King moves a2, b1, b2; knight moves f2, g3.
constexpr std::string_view TINY_FEN = "7k/8/8/8/8/8/8/K6N w - - 0 1";
constexpr int A1 = 0, H1 = 7, A2 = 8, G3 = 22;

std::map<std::string, double> tiny_log_probs(const RouterNet& net) {
    const Position pos = from_fen(TINY_FEN);
    const std::vector<Move> moves = legal_moves(pos);
    EXPECT_EQ(moves.size(), 5u);
    const std::vector<float> lp = net.log_probs(pos, moves);
    std::map<std::string, double> out;
    for (std::size_t i = 0; i < moves.size(); ++i) out[move_to_uci(moves[i])] = lp[i];
    return out;
}

TEST(RouterNetLogProbs, HandComputedOneLayerNetwork) {
    RouterNet net = zero_net(1, 0);
    net.b1[0] = 0.5f;  // t = clamp(0.5)^2 = 0.25
    net.source_bias[KING * 64 + A1] = std::log(3.0f);
    net.source_weights[KNIGHT * 64 + H1] = 4.0f;  // knight source: 4 x 0.25 = 1
    net.move_bias[(KING * 64 + A1) * 64 + A2] = std::log(2.0f);
    net.dest_weights[KNIGHT * 64 + G3] = 2.0f;  // h1g3: 2 x 0.25 = 0.5
    net.scale = 2.0f;
    auto lp = tiny_log_probs(net);
    // Sources: king 2 ln 3, knight 2: P(king) = 9 / (9 + e^2).
    const double king = std::log(9.0 / (9.0 + std::exp(2.0)));
    const double knight = std::log(std::exp(2.0) / (9.0 + std::exp(2.0)));
    EXPECT_NEAR(lp["a1a2"], king + std::log(4.0 / 6.0), 1e-5);
    EXPECT_NEAR(lp["a1b1"], king + std::log(1.0 / 6.0), 1e-5);
    EXPECT_NEAR(lp["a1b2"], king + std::log(1.0 / 6.0), 1e-5);
    EXPECT_NEAR(lp["h1g3"], knight + std::log(std::exp(1.0) / (std::exp(1.0) + 1.0)), 1e-5);
    EXPECT_NEAR(lp["h1f2"], knight + std::log(1.0 / (std::exp(1.0) + 1.0)), 1e-5);
}

TEST(RouterNetLogProbs, HandComputedTwoLayerNetworkWithModulation) {
    RouterNet net = zero_net(1, 1);
    net.b1[0] = 0.5f;  // a1 = 0.25
    net.w2[0] = 2.0f;
    net.b2[0] = 0.25f;  // t = clamp(0.25 + 0.5)^2 = 0.5625
    net.source_weights[KNIGHT * 64 + H1] = 1.0f;
    net.modulation[KING * 64 + A1] = 1.0f;    // v = 2 t for the king's moves
    net.dest_weights[KING * 64 + A2] = 1.0f;  // a1a2: 1.125
    auto lp = tiny_log_probs(net);
    const double t = 0.5625;
    const double king = -std::log(1.0 + std::exp(t));
    const double knight = t - std::log(1.0 + std::exp(t));
    const double a2 = std::exp(2 * t);
    EXPECT_NEAR(lp["a1a2"], king + std::log(a2 / (a2 + 2)), 1e-5);
    EXPECT_NEAR(lp["a1b2"], king + std::log(1 / (a2 + 2)), 1e-5);
    EXPECT_NEAR(lp["h1f2"], knight + std::log(0.5), 1e-5);
    EXPECT_NEAR(lp["h1g3"], knight + std::log(0.5), 1e-5);
}

TEST(RouterNetLogProbs, OldFilesUsePlainReluAndNewOnesTheClippedSquare) {
    RouterNet net = zero_net(1, 0);
    net.b1[0] = 3.0f;
    net.source_weights[KNIGHT * 64 + H1] = 1.0f;
    for (int version : {1, 2, 3}) {
        auto lp = tiny_log_probs(load(router::serialise(net, version)));
        // Knight source logit: ReLU gives 3, the clipped square 1; the king's is 0.
        const double t = version >= 3 ? 1.0 : 3.0;
        EXPECT_NEAR(lp["h1g3"], t - std::log(1 + std::exp(t)) + std::log(0.5), 1e-5) << version;
    }
}

TEST(RouterNetLogProbs, LoneMoveCarriesItsSourceAndPairsSplitByLogit) {
    // Two sources with two moves each: king a1 (a2, b1) and pawn b2 (b3, b4).
    const Position pos = from_fen("7k/8/8/8/8/8/1P6/K7 w - - 0 1");
    const std::vector<Move> moves = legal_moves(pos);  // Ka1: a2, b1; pawn b2: b3, b4
    ASSERT_EQ(moves.size(), 4u);
    RouterNet net = zero_net(1, 0);
    net.move_bias[(PAWN * 64 + 9) * 64 + 25] = std::log(3.0f);  // b2b4 three times b2b3
    const std::vector<float> lp = net.log_probs(pos, moves);
    std::map<std::string, double> by;
    for (std::size_t i = 0; i < moves.size(); ++i) by[move_to_uci(moves[i])] = lp[i];
    EXPECT_NEAR(by["b2b4"], std::log(0.5 * 0.75), 1e-6);
    EXPECT_NEAR(by["b2b3"], std::log(0.5 * 0.25), 1e-6);
    EXPECT_NEAR(by["a1a2"], std::log(0.25), 1e-6);

    // With only b2b3 listed for the pawn, that lone move carries the pawn's whole half.
    const std::vector<Move> three = {find_move(pos, "a1a2"), find_move(pos, "a1b1"),
                                     find_move(pos, "b2b3")};
    std::vector<float> lp3 = net.log_probs(pos, three);
    EXPECT_NEAR(lp3[2], std::log(0.5), 1e-6);
}

TEST(RouterNetLogProbs, FlagWeightsReachBothLogits) {
    // Knight b1 under attack by the rook on b5; from a3 and c3 it attacks the rook.
    const std::string_view fen = "4k3/8/8/1r6/8/8/8/1N2K3 w - - 0 1";
    const Position pos = from_fen(fen);
    const std::vector<Move> moves = legal_moves(pos);
    RouterNet net = zero_net(2, 0);
    net.move_flag_weights[KNIGHT * router::MOVE_FLAGS + router::MF_THREAT] = 1.0f;
    net.source_flag_weights[KNIGHT * router::SOURCE_FLAGS + router::SF_ATTACKED] = std::log(5.0f);
    for (int version : {2, 3}) {
        // RRT2 stores the source flag (entry 0) but not the threat flag (entry 15).
        const RouterNet loaded = load(router::serialise(net, version));
        const std::vector<float> lp = loaded.log_probs(pos, moves);
        double knight_total = 0;
        std::map<std::string, double> by;
        for (std::size_t i = 0; i < moves.size(); ++i) {
            by[move_to_uci(moves[i])] = lp[i];
            if (move_from(moves[i]) == 1) knight_total += std::exp(double(lp[i]));
        }
        EXPECT_NEAR(knight_total, 5.0 / 6.0, 1e-5) << version;
        EXPECT_NEAR(by["b1c3"] - by["b1d2"], version == 3 ? 1.0 : 0.0, 1e-5) << version;
        EXPECT_NEAR(by["b1a3"], by["b1c3"], 1e-5) << version;
    }
}

// ---------------------------------------------------------------------------------------
// Tactical flags

struct FlagCase {
    const char* fen;
    const char* move;
    int bit;
    bool set;
};

const FlagCase MOVE_FLAG_CASES[] = {
    {"4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1", "e4d5", router::MF_CAPTURE + PAWN, true},
    {"4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1", "e4d5", router::MF_CAPTURE + KNIGHT, false},
    {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6", router::MF_CAPTURE + PAWN, true},
    {"4k3/8/8/3n4/4P3/8/8/4K3 w - - 0 1", "e4d5", router::MF_CAPTURE + KNIGHT, true},
    {"4k3/8/8/3b4/4P3/8/8/4K3 w - - 0 1", "e4d5", router::MF_CAPTURE + BISHOP, true},
    {"4k3/8/8/3r4/4P3/8/8/4K3 w - - 0 1", "e4d5", router::MF_CAPTURE + ROOK, true},
    {"4k3/8/8/3q4/4P3/8/8/4K3 w - - 0 1", "e4d5", router::MF_CAPTURE + QUEEN, true},
    {"4k3/8/8/3q4/4P3/8/8/4K3 w - - 0 1", "e4e5", router::MF_CAPTURE + QUEEN, false},
    {"4k3/8/8/8/8/8/8/R3K3 w - - 0 1", "a1a8", router::MF_CHECK, true},
    {"4k3/8/8/8/8/8/8/R3K3 w - - 0 1", "a1a2", router::MF_CHECK, false},
    // A queen taking a pawn defended by a pawn loses the exchange; a rook onto a pawn-guarded
    // square too; castling never counts as a loss.
    {"4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1", "d1d5", router::MF_SEE_LOSS, true},
    {"4k3/8/8/2p5/8/8/8/3RK3 w - - 0 1", "d1d4", router::MF_SEE_LOSS, true},
    {"4k3/8/8/2p5/8/8/8/3RK3 w - - 0 1", "d1d3", router::MF_SEE_LOSS, false},
    {"4k3/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1", router::MF_SEE_LOSS, false},
    {"4k3/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1", router::MF_CASTLE, true},
    {"4k3/8/8/8/8/8/8/4K2R w K - 0 1", "e1f1", router::MF_CASTLE, false},
    {"4k3/8/8/2p5/8/8/8/3RK3 w - - 0 1", "d1d4", router::MF_TO_ATTACKED, true},
    {"4k3/8/8/2p5/8/8/8/3RK3 w - - 0 1", "d1d4", router::MF_TO_PAWN_ATTACKED, true},
    {"4k3/8/8/2p5/8/8/8/3RK3 w - - 0 1", "d1d3", router::MF_TO_ATTACKED, false},
    // The pinned rook slides along the pin: e1 is attacked once d1 is empty.
    {"4k3/8/8/8/8/8/8/r2R2K1 w - - 0 1", "d1e1", router::MF_TO_ATTACKED, true},
    {"4k3/8/8/8/8/8/8/r2R2K1 w - - 0 1", "d1e1", router::MF_FROM_ATTACKED, true},
    {"4k3/8/8/8/8/8/8/r2R2K1 w - - 0 1", "d1e1", router::MF_ESCAPE, false},
    // Knight d2 attacked by the c3 pawn; f3 is safe, b1 is guarded by the d3 bishop, b3 by the
    // a4 pawn.
    {"4k3/8/8/8/8/2pb4/3N4/4K3 w - - 0 1", "d2f3", router::MF_FROM_ATTACKED, true},
    {"4k3/8/8/8/8/2pb4/3N4/4K3 w - - 0 1", "d2f3", router::MF_ESCAPE_PAWN, true},
    {"4k3/8/8/8/8/2pb4/3N4/4K3 w - - 0 1", "d2f3", router::MF_ESCAPE, true},
    {"4k3/8/8/8/8/2pb4/3N4/4K3 w - - 0 1", "d2b1", router::MF_ESCAPE, false},
    {"4k3/8/8/8/8/2pb4/3N4/4K3 w - - 0 1", "d2b1", router::MF_ESCAPE_PAWN, true},
    {"4k3/8/8/8/p7/2pb4/3N4/4K3 w - - 0 1", "d2b3", router::MF_ESCAPE_PAWN, false},
    {"4k3/8/8/8/p7/2pb4/3N4/4K3 w - - 0 1", "d2b3", router::MF_TO_PAWN_ATTACKED, true},
    {"4k3/8/8/8/8/2pb4/3N4/4K3 w - - 0 1", "e1f2", router::MF_FROM_ATTACKED, false},
    // A pawn leaving a pawn attack is no piece escape.
    {"4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1", "e4e5", router::MF_ESCAPE_PAWN, false},
    {"4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1", "e4e5", router::MF_ESCAPE, true},
    {"4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7a8q", router::MF_PROMOTION, true},
    {"4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7a8q", router::MF_SEE_GAIN, true},
    {"4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7a8n", router::MF_SEE_GAIN, true},
    {"4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "e1e2", router::MF_PROMOTION, false},
    // A rook winning a loose knight gains; an even knight trade neither gains nor loses.
    {"4k3/8/8/3n4/8/8/8/3RK3 w - - 0 1", "d1d5", router::MF_SEE_GAIN, true},
    {"4k3/8/4p3/3n4/8/4N3/8/4K3 w - - 0 1", "e3d5", router::MF_SEE_GAIN, false},
    {"4k3/8/4p3/3n4/8/4N3/8/4K3 w - - 0 1", "e3d5", router::MF_SEE_LOSS, false},
    {"4k3/8/8/3n4/8/8/8/3RK3 w - - 0 1", "d1d4", router::MF_SEE_GAIN, false},
    {"4k3/8/8/1r6/8/8/8/1N2K3 w - - 0 1", "b1c3", router::MF_THREAT, true},
    {"4k3/8/8/1r6/8/8/8/1N2K3 w - - 0 1", "b1d2", router::MF_THREAT, false},
    {"4k3/8/8/2n5/8/3P4/8/4K3 w - - 0 1", "d3d4", router::MF_THREAT, true},
    {"4k3/8/8/8/8/8/8/R3K3 w - - 0 1", "a1a8", router::MF_THREAT, true},
    {"4k3/8/8/8/8/8/8/R3K3 w - - 0 1", "a1a7", router::MF_THREAT, false},
    // A captured piece is no longer a target: Rxd5 sees nothing else.
    {"4k3/8/8/3n4/8/8/8/3RK3 w - - 0 1", "d1d5", router::MF_THREAT, false},
    {"4k3/8/2p5/8/8/8/1P6/4K3 w - - 0 1", "b2b3", router::MF_PASSED, false},
    {"4k3/8/5p2/8/8/8/1P6/4K3 w - - 0 1", "b2b3", router::MF_PASSED, true},
    {"4k3/8/8/8/8/1p6/8/4K3 w - - 0 1", "e1d2", router::MF_PASSED, false},
    {"4k3/1p6/8/8/8/8/2P5/4K3 b - - 0 1", "b7b6", router::MF_PASSED, false},
    {"4k3/1p6/8/8/8/8/4P3/4K3 b - - 0 1", "b7b6", router::MF_PASSED, true},
    {"4k3/8/8/4P3/8/8/8/4K3 w - - 0 1", "e5e6", router::MF_ADVANCED, true},
    {"4k3/8/8/8/4P3/8/8/4K3 w - - 0 1", "e4e5", router::MF_ADVANCED, false},
    {"4k3/8/8/8/4p3/8/8/4K3 b - - 0 1", "e4e3", router::MF_ADVANCED, true},
    {"4k3/8/8/4p3/8/8/8/4K3 b - - 0 1", "e5e4", router::MF_ADVANCED, false},
};

TEST(RouterFlags, EachMoveFlagOnAPositionBuiltForIt) {
    for (const FlagCase& c : MOVE_FLAG_CASES) {
        const Position pos = from_fen(c.fen);
        const std::vector<Move> moves = legal_moves(pos);
        std::vector<std::uint32_t> flags(moves.size());
        std::array<std::uint8_t, 64> source_flags;
        router::compute_flags(pos, moves, flags.data(), source_flags);
        const Move m = find_move(pos, c.move);
        const auto it = std::find(moves.begin(), moves.end(), m);
        ASSERT_NE(it, moves.end());
        const std::uint32_t f = flags[it - moves.begin()];
        EXPECT_EQ(((f >> c.bit) & 1) != 0, c.set)
            << c.fen << " " << c.move << " bit " << c.bit << " flags " << f;
    }
}

struct SourceCase {
    const char* fen;
    const char* square;
    int bit;
    bool set;
};

const SourceCase SOURCE_FLAG_CASES[] = {
    // Knight d3 attacked by the c4 pawn and not defended; knight d2 is defended by the king.
    {"4k3/8/8/8/2p5/3N4/8/6K1 w - - 0 1", "d3", router::SF_ATTACKED, true},
    {"4k3/8/8/8/2p5/3N4/8/6K1 w - - 0 1", "d3", router::SF_HANGING, true},
    {"4k3/8/8/8/2p5/3N4/8/6K1 w - - 0 1", "d3", router::SF_PAWN_ATTACKED, true},
    {"4k3/8/8/8/8/2p5/3N4/4K3 w - - 0 1", "d2", router::SF_ATTACKED, true},
    {"4k3/8/8/8/8/2p5/3N4/4K3 w - - 0 1", "d2", router::SF_HANGING, false},
    {"4k3/8/8/8/8/2p5/3N4/4K3 w - - 0 1", "e1", router::SF_ATTACKED, false},
    // A pawn attacked by a pawn is not flagged as a pawn-attacked piece.
    {"4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1", "e4", router::SF_PAWN_ATTACKED, false},
    {"4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1", "e4", router::SF_ATTACKED, true},
    {"4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1", "e4", router::SF_GOOD_CAPTURE, true},
    {"4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1", "d1", router::SF_GOOD_CAPTURE, false},
    {"4k3/8/8/3n4/8/8/8/3RK3 w - - 0 1", "d1", router::SF_SEE_GAIN, true},
    {"4k3/8/8/3n4/8/8/8/3RK3 w - - 0 1", "e1", router::SF_SEE_GAIN, false},
    {"4k3/8/8/8/8/8/8/R3K3 w - - 0 1", "a1", router::SF_CHECK, true},
    {"4k3/8/8/8/8/8/8/R3K3 w - - 0 1", "e1", router::SF_CHECK, false},
    {"4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7", router::SF_SEVENTH_PAWN, true},
    {"4k3/8/P7/8/8/8/8/4K3 w - - 0 1", "a6", router::SF_SEVENTH_PAWN, false},
    {"4k3/8/8/8/8/8/p7/4K3 b - - 0 1", "a2", router::SF_SEVENTH_PAWN, true},
    {"4k3/8/8/8/8/8/8/4K2R w K - 0 1", "e1", router::SF_CASTLE, true},
    {"4k3/8/8/8/8/8/8/4K2R w K - 0 1", "h1", router::SF_CASTLE, false},
};

TEST(RouterFlags, EachSourceFlagOnAPositionBuiltForIt) {
    for (const SourceCase& c : SOURCE_FLAG_CASES) {
        const Position pos = from_fen(c.fen);
        const std::vector<Move> moves = legal_moves(pos);
        std::vector<std::uint32_t> flags(moves.size());
        std::array<std::uint8_t, 64> source_flags;
        router::compute_flags(pos, moves, flags.data(), source_flags);
        const int sq = make_square(c.square[0] - 'a', c.square[1] - '1');
        EXPECT_EQ(((source_flags[sq] >> c.bit) & 1) != 0, c.set)
            << c.fen << " " << c.square << " bit " << c.bit;
    }
}
