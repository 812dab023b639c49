#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

#include "core/board/movegen.h"
#include "core/router/router_moe_net.h"
#include "support/fen_mirror.h"
#include "support/position_helpers.h"

using namespace orvane;
using router_moe::RouterMoeNet;

namespace {

std::string load_error(const std::vector<std::uint8_t>& bytes) {
    auto result = RouterMoeNet::from_bytes(bytes);
    if (auto* err = std::get_if<router::LoadError>(&result)) return err->message;
    return "<loaded>";
}

std::vector<std::uint8_t> header(std::string_view magic, std::vector<std::uint32_t> words) {
    std::vector<std::uint8_t> bytes(magic.begin(), magic.end());
    for (std::uint32_t w : words)
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
    return bytes;
}

RouterMoeNet zero_net(std::uint32_t c, std::uint32_t b, std::uint32_t e) {
    RouterMoeNet net = RouterMoeNet::random(c, b, e);
    auto zero = [](std::vector<float>& v) { std::fill(v.begin(), v.end(), 0.0f); };
    for (auto* v : {&net.stem_weights, &net.stem_bias, &net.piece_embed, &net.source_hidden_weights,
                    &net.source_hidden_bias, &net.source_out_weights, &net.expert_weights,
                    &net.expert_bias, &net.expert_out_weights, &net.piece_bias, &net.move_bias})
        zero(*v);
    for (auto& block : net.res_blocks)
        for (auto* v :
             {&block.conv1_weights, &block.conv1_bias, &block.conv2_weights, &block.conv2_bias})
            zero(*v);
    return net;
}

// Random biases too, so that every array of the file takes part.
RouterMoeNet random_net(std::uint32_t c, std::uint32_t b, std::uint32_t e, std::uint64_t state) {
    RouterMoeNet net = RouterMoeNet::random(c, b, e, state);
    router::XorShift64 rng{state + 101};
    for (auto* v : {&net.stem_bias, &net.source_hidden_bias, &net.expert_bias, &net.piece_bias,
                    &net.move_bias})
        for (float& x : *v) x = rng.next();
    for (auto& block : net.res_blocks)
        for (float& x : block.conv1_bias) x = rng.next() * 0.5f;
    net.source_out_bias = 0.3f;
    return net;
}

std::map<std::string, double> by_uci(const std::vector<Move>& moves, const std::vector<float>& lp) {
    std::map<std::string, double> out;
    for (std::size_t i = 0; i < moves.size(); ++i) out[move_to_uci(moves[i])] = lp[i];
    return out;
}

double silu(double x) { return x / (1 + std::exp(-x)); }

const char* const FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b Kq - 0 1",
    "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 b - - 0 1",
    "4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1",
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Loading

TEST(RouterMoeLoad, RejectsMalformedHeaders) {
    const std::string not_rrt5 = "not an RRT5 router network file";
    EXPECT_EQ(load_error({}), not_rrt5);
    EXPECT_EQ(load_error(header("RRT5", {1, 0, 1})), not_rrt5);  // 16 bytes
    std::vector<std::uint8_t> nineteen = header("RRT5", {1, 0, 1, 19});
    nineteen.pop_back();
    EXPECT_EQ(load_error(nineteen), not_rrt5);
    EXPECT_EQ(load_error(header("RRT4", {1, 0, 1, 19})), not_rrt5);

    struct HeaderCase {
        std::uint32_t c, b, e, in;
    };
    const HeaderCase bad[] = {{0, 1, 2, 19}, {257, 1, 2, 19}, {4, 17, 2, 19},        {4, 1, 0, 19},
                              {4, 1, 2, 18}, {4, 1, 2, 20},   {0xFFFFFFFF, 0, 1, 19}};
    for (const HeaderCase& h : bad) {
        const std::string expected = "invalid RRT5 header C=" + std::to_string(h.c)
                                     + " B=" + std::to_string(h.b) + " E=" + std::to_string(h.e)
                                     + " in=" + std::to_string(h.in);
        std::vector<std::uint8_t> bytes = header("RRT5", {h.c, h.b, h.e, h.in});
        bytes.resize(100'000);
        EXPECT_EQ(load_error(bytes), expected);
    }
}

TEST(RouterMoeLoad, ReportsWhereAFileIsCut) {
    // C = 2, B = 1, E = 3: the arrays and their float counts, in file order.
    const std::vector<std::uint8_t> full = router_moe::serialise(random_net(2, 1, 3, 9));
    const std::uint64_t sizes[] = {19 * 2 * 9, 2,     2 * 2 * 9, 2, 2 * 2 * 9,         2,  48,
                                   2 * 10,     2,     2,         1, (12 * 2 + 66) * 3, 18, 18,
                                   6,          24'576};
    std::uint64_t total = 20;
    for (std::uint64_t s : sizes) total += 4 * s;
    ASSERT_EQ(full.size(), total);
    EXPECT_EQ(load_error(full), "<loaded>");

    std::uint64_t offset = 20;
    for (std::uint64_t s : sizes) {
        // Cut anywhere inside an array: the message names the array's start and full size.
        for (std::uint64_t cut : {offset, offset + 4 * s - 4, offset + 2 * s}) {
            std::vector<std::uint8_t> bytes(full.begin(), full.begin() + cut);
            EXPECT_EQ(load_error(bytes), "truncated RRT5 file at byte " + std::to_string(offset)
                                             + ", need " + std::to_string(4 * s) + " more")
                << "cut " << cut;
        }
        offset += 4 * s;
    }

    std::vector<std::uint8_t> longer = full;
    longer.insert(longer.end(), {0, 0, 0, 0});
    EXPECT_EQ(load_error(longer), "RRT5 file size mismatch: read " + std::to_string(total)
                                      + ", total " + std::to_string(total + 4));
    longer.push_back(0);
    EXPECT_EQ(load_error(longer), "RRT5 file size mismatch: read " + std::to_string(total)
                                      + ", total " + std::to_string(total + 5));
}

TEST(RouterMoeLoad, HugeExpertSizeIsRefusedWithoutAllocating) {
    // C = 1, B = 0, E = 2^32 - 1: everything before the experts is present (232 floats).
    std::vector<std::uint8_t> bytes = header("RRT5", {1, 0, 0xFFFFFFFF, 19});
    bytes.resize(20 + 4 * 232);
    EXPECT_EQ(load_error(bytes), "truncated RRT5 file at byte 948, need "
                                     + std::to_string(4ULL * 78 * 0xFFFFFFFFULL) + " more");
}

TEST(RouterMoeLoad, RoundTripsThroughItsWriter) {
    for (std::uint32_t blocks : {0u, 2u}) {
        const RouterMoeNet net = random_net(3, blocks, 5, 4);
        auto result = RouterMoeNet::from_bytes(router_moe::serialise(net));
        ASSERT_TRUE(std::holds_alternative<std::shared_ptr<const RouterMoeNet>>(result));
        const RouterMoeNet& loaded = *std::get<std::shared_ptr<const RouterMoeNet>>(result);
        EXPECT_EQ(loaded.channels, 3u);
        EXPECT_EQ(loaded.blocks, blocks);
        EXPECT_EQ(loaded.expert_units, 5u);
        EXPECT_EQ(loaded.input_planes, 19u);
        EXPECT_EQ(loaded.stem_weights, net.stem_weights);
        EXPECT_EQ(loaded.stem_bias, net.stem_bias);
        ASSERT_EQ(loaded.res_blocks.size(), blocks);
        for (std::uint32_t i = 0; i < blocks; ++i) {
            EXPECT_EQ(loaded.res_blocks[i].conv1_weights, net.res_blocks[i].conv1_weights);
            EXPECT_EQ(loaded.res_blocks[i].conv2_bias, net.res_blocks[i].conv2_bias);
        }
        EXPECT_EQ(loaded.piece_embed, net.piece_embed);
        EXPECT_EQ(loaded.source_hidden_weights, net.source_hidden_weights);
        EXPECT_EQ(loaded.source_out_bias, net.source_out_bias);
        EXPECT_EQ(loaded.expert_weights, net.expert_weights);
        EXPECT_EQ(loaded.expert_out_weights, net.expert_out_weights);
        EXPECT_EQ(loaded.piece_bias, net.piece_bias);
        EXPECT_EQ(loaded.move_bias, net.move_bias);
    }
}

// ---------------------------------------------------------------------------------------
// Convolution and input planes

TEST(RouterMoeConv, MatchesADirectZeroPaddedConvolution) {
    const int in = 3, out = 2;
    router::XorShift64 rng{77};
    std::vector<float> input(in * 64), weights(out * in * 9), bias(out), result(out * 64);
    for (float& x : input) x = rng.next();
    for (float& x : weights) x = rng.next();
    for (float& x : bias) x = rng.next();
    router_moe::conv3x3_8x8(input.data(), in, weights.data(), bias.data(), out, result.data());
    for (int o = 0; o < out; ++o)
        for (int sq = 0; sq < 64; ++sq) {
            const int r = sq / 8, c = sq % 8;
            double expected = bias[o];
            for (int i = 0; i < in; ++i)
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        if (r + dy < 0 || r + dy > 7 || c + dx < 0 || c + dx > 7) continue;
                        expected += double(weights[((o * in + i) * 3 + dy + 1) * 3 + dx + 1])
                                    * input[i * 64 + (r + dy) * 8 + c + dx];
                    }
            EXPECT_NEAR(result[o * 64 + sq], expected, 1e-5) << o << " " << sq;
        }
}

TEST(RouterMoeConv, OffBoardSquaresCountAsZero) {
    std::vector<float> ones(64, 1.0f), kernel(9, 1.0f), out(64);
    const float bias = 0.5f;
    router_moe::conv3x3_8x8(ones.data(), 1, kernel.data(), &bias, 1, out.data());
    EXPECT_EQ(out[0], 4.5f);   // a1: corner
    EXPECT_EQ(out[63], 4.5f);  // h8
    EXPECT_EQ(out[3], 6.5f);   // d1: edge
    EXPECT_EQ(out[24], 6.5f);  // a4
    EXPECT_EQ(out[27], 9.5f);  // d4: inside
    // A kernel that only looks one square to the right shifts the plane left.
    std::vector<float> right(9, 0.0f), marked(64, 0.0f);
    right[1 * 3 + 2] = 1.0f;
    marked[10] = 1.0f;  // c2
    const float zero = 0.0f;
    router_moe::conv3x3_8x8(marked.data(), 1, right.data(), &zero, 1, out.data());
    for (int sq = 0; sq < 64; ++sq) EXPECT_EQ(out[sq], sq == 9 ? 1.0f : 0.0f) << sq;
}

TEST(RouterMoePlanes, EncodeTheSideToMovesView) {
    const Position pos = from_fen("r3k2r/8/8/3pP3/8/8/8/R3K2R w Kq d6 0 1");
    std::vector<float> planes(19 * 64);
    router_moe::input_planes(pos, planes.data());
    auto at = [&](int plane, int sq) { return planes[plane * 64 + sq]; };
    EXPECT_EQ(at(PAWN, 36), 1.0f);      // own pawn e5
    EXPECT_EQ(at(6 + PAWN, 35), 1.0f);  // their pawn d5
    EXPECT_EQ(at(ROOK, 0), 1.0f);
    EXPECT_EQ(at(6 + KING, 60), 1.0f);
    EXPECT_EQ(at(12, 17), 1.0f);  // own king side right: every square
    EXPECT_EQ(at(13, 17), 0.0f);
    EXPECT_EQ(at(14, 50), 0.0f);
    EXPECT_EQ(at(15, 50), 1.0f);  // their queen side right
    EXPECT_EQ(at(16, 43), 1.0f);  // en passant d6
    EXPECT_EQ(at(17, 26), 1.0f);  // c4 and e4, attacked by the d5 pawn
    EXPECT_EQ(at(17, 28), 1.0f);
    EXPECT_EQ(at(17, 36), 0.0f);
    EXPECT_EQ(at(18, 4), 1.0f);  // own pieces
    EXPECT_EQ(at(18, 60), 0.0f);
    float total = 0;
    for (float x : planes) total += x;
    // 8 pieces, 2 x 64 castling squares, 1 en passant, 2 pawn attacks, 4 own pieces.
    EXPECT_EQ(total, 8 + 128 + 1 + 2 + 4);

    // Black to move sees the same planes as White in the mirrored position.
    for (const char* fen : FENS) {
        std::vector<float> mine(19 * 64), twin(19 * 64);
        router_moe::input_planes(from_fen(fen), mine.data());
        router_moe::input_planes(from_fen(fen_mirror::colour_mirror(fen)), twin.data());
        EXPECT_EQ(mine, twin) << fen;
    }
}

// ---------------------------------------------------------------------------------------
// Log-probabilities

TEST(RouterMoeLogProbs, SumToOneAndMatchTheMirroredTwin) {
    const RouterMoeNet net = random_net(4, 1, 6, 21);
    for (std::uint32_t top_k : {0u, 1u, 3u}) {
        for (const char* fen : FENS) {
            const Position pos = from_fen(fen);
            const Position twin = from_fen(fen_mirror::colour_mirror(fen));
            const std::vector<Move> moves = legal_moves(pos);
            const std::vector<Move> twin_moves = legal_moves(twin);
            const std::vector<float> lp = net.log_probs(pos, moves, top_k);
            double total = 0;
            for (float x : lp) total += std::exp(double(x));
            EXPECT_NEAR(total, 1.0, 1e-5) << fen << " top " << top_k;

            std::map<Move, float> twin_lp;
            const std::vector<float> tl = net.log_probs(twin, twin_moves, top_k);
            for (std::size_t i = 0; i < twin_moves.size(); ++i) twin_lp[twin_moves[i]] = tl[i];
            ASSERT_EQ(moves.size(), twin_moves.size());
            for (std::size_t i = 0; i < moves.size(); ++i) {
                const Move m = moves[i];
                const Move mirrored = make_move(move_from(m) ^ 56, move_to(m) ^ 56, move_kind(m));
                ASSERT_TRUE(twin_lp.count(mirrored)) << fen << " " << move_to_uci(m);
                EXPECT_NEAR(lp[i], twin_lp[mirrored], 2e-5) << fen << " " << move_to_uci(m);
            }
        }
    }
}

TEST(RouterMoeLogProbs, SingleLegalMoveIsCertain) {
    const Position pos = from_fen("7k/5Q2/8/8/8/p7/8/K7 b - - 0 1");
    const std::vector<Move> moves = legal_moves(pos);
    ASSERT_EQ(moves.size(), 1u);
    for (std::uint32_t top_k : {0u, 1u})
        EXPECT_EQ(random_net(4, 2, 4, 5).log_probs(pos, moves, top_k)[0], 0.0f);
}

TEST(RouterMoeLogProbs, TopKSplitsTheOtherSourcesEvenly) {
    // Three sources: king a1 (a2, b1), pawn b2 (b3, b4), knight h1 (f2, g3).
    const Position pos = from_fen("7k/8/8/8/8/8/1P6/K6N w - - 0 1");
    const std::vector<Move> moves = legal_moves(pos);
    ASSERT_EQ(moves.size(), 6u);
    const RouterMoeNet net = random_net(4, 1, 6, 31);
    const std::vector<float> full = net.log_probs(pos, moves, 0);
    EXPECT_EQ(net.log_probs(pos, moves, 3), full);
    EXPECT_EQ(net.log_probs(pos, moves, 16), full);

    const std::vector<float> top1 = net.log_probs(pos, moves, 1);
    std::map<int, std::vector<int>> by_source;
    for (std::size_t i = 0; i < moves.size(); ++i) by_source[move_from(moves[i])].push_back(i);
    int expanded = 0;
    for (const auto& [from, idx] : by_source) {
        ASSERT_EQ(idx.size(), 2u);
        // The source keeps its probability whether or not it is expanded.
        const double p_full = std::exp(double(full[idx[0]])) + std::exp(double(full[idx[1]]));
        const double p_top = std::exp(double(top1[idx[0]])) + std::exp(double(top1[idx[1]]));
        EXPECT_NEAR(p_full, p_top, 1e-6);
        if (top1[idx[0]] == top1[idx[1]]) {
            EXPECT_NEAR(top1[idx[0]], std::log(p_full / 2), 1e-5);
        } else {
            ++expanded;
            EXPECT_NEAR(top1[idx[0]], full[idx[0]], 1e-6);
            // The expanded source is the most likely one.
            for (const auto& [other, oidx] : by_source)
                EXPECT_GE(p_full + 1e-9,
                          std::exp(double(full[oidx[0]])) + std::exp(double(full[oidx[1]])));
        }
    }
    EXPECT_EQ(expanded, 1);
}

// White: king a1 (a2, b1, b2) and knight h1 (f2, g3); Black: king h8.
constexpr std::string_view TINY_FEN = "7k/8/8/8/8/8/8/K6N w - - 0 1";

TEST(RouterMoeLogProbs, HandComputedNetworkWithoutBlocks) {
    // C = 1, B = 0, E = 1: F = 13 features (t[from], t[to], then the 11 scalars).
    RouterMoeNet net = zero_net(1, 0, 1);
    net.stem_bias[0] = 0.5f;  // t = silu(0.5) on every square
    net.piece_embed[KING * 8] = 1.0f;
    net.source_hidden_weights[1] = 2.0f;  // hidden = 2 x embedding[0]
    net.source_out_weights[0] = 1.0f;
    net.source_out_bias = 0.25f;
    // King expert: h = t[from] + 0.5 (the "no promotion" one-hot); a1a2 has move bias 1.
    net.expert_weights[KING * 13 + 0] = 1.0f;
    net.expert_weights[KING * 13 + 2] = 0.5f;
    net.expert_out_weights[KING] = 1.0f;
    net.piece_bias[KING] = 0.1f;
    net.move_bias[KING * 4096 + 0 * 64 + 8] = 1.0f;
    // Knight expert: h = 2 t[to]; h1g3 has move bias ln 3.
    net.expert_weights[KNIGHT * 13 + 1] = 2.0f;
    net.expert_out_weights[KNIGHT] = 1.0f;
    net.move_bias[KNIGHT * 4096 + 7 * 64 + 22] = std::log(3.0f);

    const Position pos = from_fen(TINY_FEN);
    const std::vector<Move> moves = legal_moves(pos);
    auto lp = by_uci(moves, net.log_probs(pos, moves, 0));
    const double king_logit = 0.25 + silu(2.0), knight_logit = 0.25;
    const double king = king_logit - std::log(std::exp(king_logit) + std::exp(knight_logit));
    const double knight = knight_logit - std::log(std::exp(king_logit) + std::exp(knight_logit));
    const double e = std::exp(1.0);
    EXPECT_NEAR(lp["a1a2"], king + std::log(e / (e + 2)), 1e-5);
    EXPECT_NEAR(lp["a1b1"], king + std::log(1 / (e + 2)), 1e-5);
    EXPECT_NEAR(lp["h1g3"], knight + std::log(0.75), 1e-5);
    EXPECT_NEAR(lp["h1f2"], knight + std::log(0.25), 1e-5);

    // With top_k = 1 only the king is expanded; the knight's moves split evenly.
    auto top1 = by_uci(moves, net.log_probs(pos, moves, 1));
    EXPECT_NEAR(top1["a1a2"], lp["a1a2"], 1e-6);
    EXPECT_NEAR(top1["h1g3"], knight + std::log(0.5), 1e-5);
}

TEST(RouterMoeLogProbs, HandComputedResidualBlockAndCaptureValue) {
    // B = 1 with zero kernels: x = stem bias + conv2 bias, so t = silu(0.5 + 0.25).
    RouterMoeNet net = zero_net(1, 1, 1);
    net.stem_bias[0] = 0.5f;
    net.res_blocks[0].conv1_bias[0] = 3.0f;  // feeds only conv2's zero kernel
    net.res_blocks[0].conv2_bias[0] = 0.25f;
    net.piece_embed[KNIGHT * 8] = 1.0f;
    net.source_hidden_weights[0] = 1.0f;  // hidden = t[from] + embedding[0]
    net.source_hidden_weights[1] = 1.0f;
    net.source_out_weights[0] = 1.0f;
    // Knight expert: h = captured value (rook 0.5).
    net.expert_weights[KNIGHT * 13 + 2 + 6] = 1.0f;
    net.expert_out_weights[KNIGHT] = 1.0f;

    // The knight on h1 may take the rook on g3.
    const Position pos = from_fen("7k/8/8/8/8/6r1/8/K6N w - - 0 1");
    const std::vector<Move> moves = legal_moves(pos);
    auto lp = by_uci(moves, net.log_probs(pos, moves, 0));
    const double t = silu(0.75);
    const double king_logit = silu(t), knight_logit = silu(t + 1);
    const double norm = std::log(std::exp(king_logit) + std::exp(knight_logit));
    const double take = std::exp(silu(0.5));
    EXPECT_NEAR(lp["h1g3"], knight_logit - norm + std::log(take / (take + 1)), 1e-5);
    EXPECT_NEAR(lp["h1f2"], knight_logit - norm + std::log(1 / (take + 1)), 1e-5);
    EXPECT_NEAR(lp["a1a2"], king_logit - norm + std::log(1.0 / 3), 1e-5);
}

TEST(RouterMoeLogProbs, HandComputedPromotionFeatures) {
    // Pawn expert: h = [queen promotion] + 0.7 x [any promotion].
    RouterMoeNet net = zero_net(1, 0, 1);
    net.expert_weights[PAWN * 13 + 2 + 4] = 1.0f;
    net.expert_weights[PAWN * 13 + 2 + 7] = 0.7f;
    net.expert_out_weights[PAWN] = 1.0f;
    const Position pos = from_fen("7k/P7/8/8/8/8/8/K7 w - - 0 1");
    const std::vector<Move> moves = legal_moves(pos);
    auto lp = by_uci(moves, net.log_probs(pos, moves, 0));
    // Both sources score 0 (zero source head): each holds half.
    const double q = std::exp(silu(1.7)), other = std::exp(silu(0.7));
    EXPECT_NEAR(lp["a7a8q"], std::log(0.5 * q / (q + 3 * other)), 1e-5);
    EXPECT_NEAR(lp["a7a8n"], std::log(0.5 * other / (q + 3 * other)), 1e-5);
    EXPECT_NEAR(lp["a1b2"], std::log(0.5 / 3), 1e-5);
}

TEST(RouterMoeLogProbs, CorruptSourceLogitsShowInEveryValue) {
    // The king's source logit is NaN: the top-K choice must rank it without breaking the sort,
    // and no move may get a plausible probability out of corrupt weights.
    RouterMoeNet net = random_net(2, 0, 2, 8);
    const Position pos = from_fen("7k/8/8/8/8/8/1P6/K6N w - - 0 1");
    const std::vector<Move> moves = legal_moves(pos);
    for (float lp : net.log_probs(pos, moves, 1)) EXPECT_TRUE(std::isfinite(lp));
    net.piece_embed[KING * 8] = std::nanf("");
    for (std::uint32_t top_k : {0u, 1u, 2u}) {
        const std::vector<float> lp = net.log_probs(pos, moves, top_k);
        ASSERT_EQ(lp.size(), moves.size());
        for (std::size_t i = 0; i < lp.size(); ++i)
            EXPECT_TRUE(std::isnan(lp[i])) << "top " << top_k << " " << move_to_uci(moves[i]);
    }
}
