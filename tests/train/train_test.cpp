// The network trainer: packed positions and their features against the engine's feature
// rows, king mirroring and output buckets; the symmetries the features must keep; game files
// (raw and zstd) expanded and filtered; the gradients against finite differences on small
// networks; AdamW; one and two threads agreeing; the W/D/L head learning; and an exported
// file that the engine loads and evaluates as the float model does.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/board/movegen.h"
#include "support/fen_mirror.h"
#include "support/position_helpers.h"
#include "core/eval/nnue/nnue_eval.h"
#include "train/dataset.h"
#include "train/export.h"
#include "train/model.h"

namespace orvane::train {
namespace {


Move uci(const Position& pos, std::string_view text) {
    std::optional<Move> m = pos.parse_uci_move(text);
    if (!m) ADD_FAILURE() << "no move " << text << " in " << pos.to_fen();
    return m.value_or(NULL_MOVE);
}

std::string temp_path(std::string_view name) {
    return (std::filesystem::temp_directory_path()
            / ("orvane_train_test_" + std::to_string(getpid()) + "_" + std::string(name)))
        .string();
}

// Kings on both halves of the board, both sides to move, full and nearly empty boards.
constexpr std::string_view FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "2kr3r/ppp2ppp/8/8/8/8/PPP2PPP/2KR3R w - - 0 1",
    "8/8/8/3k4/8/8/8/4K3 b - - 0 1",
    "8/5k2/8/8/8/8/1K6/7R w - - 0 1",
    "r1b1k2r/pp3ppp/2n5/3p4/1b1P4/2N5/PP3PPP/R1B1KB1R w KQkq - 0 1",
};

// The board mirrored left to right, or with colours swapped and ranks flipped (side too);
// castling rights and en passant are dropped, as the network does not see them.
std::string mirrored_fen(const Position& pos, bool files, bool colours) {
    std::string fen = fen_mirror::file_mirror(pos.to_fen());  // drops castling and en passant
    if (!files) fen = fen_mirror::file_mirror(fen);
    return colours ? fen_mirror::colour_mirror(fen) : fen;
}

// Features of a position as the engine indexes them with 8 king buckets, less the bucket
// offset: the trained block must see exactly these.
std::multiset<int> engine_rows(const Position& pos, Color p) {
    const nnue::KingKeys keys = nnue::king_keys(8, pos);
    std::multiset<int> rows;
    for (Bitboard b = pos.pieces(); b;) {
        const Square sq = pop_lsb(b);
        rows.insert(nnue::feature_row(p, keys[p], pos.piece_on(sq), sq) - (keys[p] >> 1) * 768);
    }
    return rows;
}

TEST(TrainFeatures, MatchTheEngineRowsBucketsAndBoard) {
    for (std::string_view fen : FENS) {
        SCOPED_TRACE(fen);
        const Position pos = from_fen(fen);
        const PackedPosition packed = pack(pos, -123, 2, 7);
        EXPECT_EQ(packed.score, -123);
        EXPECT_EQ(packed.result, 2);
        EXPECT_EQ(packed.game, 7u);
        // The packed board reads back as the same board and side.
        const Position back = from_fen(packed_fen(packed));
        for (int sq = 0; sq < 64; ++sq) EXPECT_EQ(back.piece_on(sq), pos.piece_on(sq)) << sq;
        EXPECT_EQ(back.side(), pos.side());

        Features f;
        extract(packed, f);
        EXPECT_EQ(f.count, pos.piece_count());
        EXPECT_EQ(f.bucket, nnue::output_bucket(8, pos.piece_count()));
        EXPECT_EQ(std::multiset<int>(f.us, f.us + f.count), engine_rows(pos, pos.side()));
        EXPECT_EQ(std::multiset<int>(f.them, f.them + f.count), engine_rows(pos, pos.side() ^ 1));
        const nnue::KingKeys keys = nnue::king_keys(8, pos);
        EXPECT_EQ(f.us_king_bucket, keys[pos.side()] >> 1);
        EXPECT_EQ(f.them_king_bucket, keys[pos.side() ^ 1] >> 1);
        for (int k = 0; k < f.count; ++k) {
            EXPECT_LT(f.us[k], FEATURES);
            EXPECT_LT(f.them[k], FEATURES);
        }
    }
}

TEST(TrainFeatures, BucketsFollowThePieceCount) {
    struct Case {
        int pieces, bucket;
    };
    for (Case c : {Case{2, 0}, {3, 0}, {5, 0}, {6, 1}, {17, 3}, {29, 6}, {30, 7}, {32, 7}}) {
        EXPECT_EQ(nnue::output_bucket(8, c.pieces), c.bucket) << c.pieces;
    }
    Features f;
    extract(pack(from_fen("8/8/8/3k4/8/8/8/4K3 w - - 0 1"), 0, 1, 0), f);
    EXPECT_EQ(f.bucket, 0);
    extract(pack(from_fen(START_FEN), 0, 1, 0), f);
    EXPECT_EQ(f.bucket, 7);
}

// Random weights with activations spread over 0..1, some clipped at either end; a
// factorised model's king buckets get weights of their own.
Model random_model(int hidden, std::uint64_t start, bool factorised = false) {
    Model m(hidden, factorised);
    std::mt19937_64 rng(start);
    auto fill = [&](std::size_t at, std::size_t n, float lo, float hi) {
        std::uniform_real_distribution<float> d(lo, hi);
        for (std::size_t i = 0; i < n; ++i) m.data()[at + i] = d(rng);
    };
    fill(m.feature_weights_at(), std::size_t(FEATURES) * hidden, -0.15f, 0.15f);
    fill(m.feature_biases_at(), hidden, -0.3f, 1.1f);
    const float w = 2.0f / std::sqrt(float(hidden));
    fill(m.output_weights_at(0), std::size_t(OUTPUT_BUCKETS) * 2 * hidden, -w, w);
    fill(m.output_bias_at(0), OUTPUT_BUCKETS, -0.3f, 0.3f);
    if (factorised)
        fill(m.bucket_weights_at(0), std::size_t(KING_BUCKETS) * FEATURES * hidden, -0.1f, 0.1f);
    return m;
}

// Positions of every bucket from the FEN list, with made-up scores and results.
std::vector<PackedPosition> sample_positions() {
    std::vector<PackedPosition> out;
    int i = 0;
    for (std::string_view fen : FENS) {
        out.push_back(pack(from_fen(fen), (i * 137) % 900 - 450, i % 3, std::uint32_t(i)));
        ++i;
    }
    return out;
}

TEST(TrainFeatures, MirroredAndColourFlippedBoardsEvaluateAlike) {
    for (bool factorised : {false, true}) {
        const Model model = random_model(40, 5, factorised);
        Scratch scratch(40);
        for (std::string_view fen : FENS) {
            SCOPED_TRACE(fen);
            const Position pos = from_fen(fen);
            Features f;
            extract(pack(pos, 0, 1, 0), f);
            const float y = forward(model, f, scratch);
            for (bool files : {false, true})
                for (bool colours : {false, true}) {
                    extract(pack(from_fen(mirrored_fen(pos, files, colours)), 0, 1, 0), f);
                    // Equal but for the order of the float sums.
                    EXPECT_NEAR(forward(model, f, scratch), y, 1e-6)
                        << files << colours << factorised;
                }
        }
    }
}

// A narrower model exports as the engine's width with zero units: the widened model (and
// head) must compute the same outputs.
TEST(TrainFeatures, WidenedModelsComputeTheSameFunction) {
    for (bool factorised : {false, true}) {
        const Model narrow = random_model(24, 8, factorised);
        WdlHead head(24);
        std::mt19937_64 rng(3);
        std::uniform_real_distribution<float> d(-0.5f, 0.5f);
        for (std::size_t i = 0; i < head.size(); ++i) head.data()[i] = d(rng);
        const Model wide = narrow.widened(40);
        const WdlHead wide_head = head.widened(40);
        Scratch small(24), large(40);
        for (const PackedPosition& p : sample_positions()) {
            Features f;
            extract(p, f);
            float z[3], wide_z[3];
            wdl_logits(narrow, head, f, small, z);
            wdl_logits(wide, wide_head, f, large, wide_z);
            EXPECT_NEAR(forward(wide, f, large), forward(narrow, f, small), 1e-6) << factorised;
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(wide_z[j], z[j], 1e-6) << factorised;
        }
    }
}

// The loss written out plainly in double precision, with one parameter moved by `delta`.
double reference_loss(const Model& m, const std::vector<PackedPosition>& data, float lambda,
                      float result_scale, std::size_t moved, double delta,
                      std::vector<double>* outputs = nullptr) {
    auto param = [&](std::size_t i) { return double(m.data()[i]) + (i == moved ? delta : 0.0); };
    const int h = m.hidden();
    double sum = 0;
    for (const PackedPosition& p : data) {
        Features f;
        extract(p, f);
        double y = param(m.output_bias_at(f.bucket));
        for (int side = 0; side < 2; ++side) {
            const std::uint16_t* rows = side == 0 ? f.us : f.them;
            for (int i = 0; i < h; ++i) {
                double acc = param(m.feature_biases_at() + i);
                const int king_bucket = side == 0 ? f.us_king_bucket : f.them_king_bucket;
                for (int k = 0; k < f.count; ++k) {
                    acc += param(std::size_t(rows[k]) * h + i);
                    if (m.factorised())
                        acc += param(m.bucket_weights_at(king_bucket) + std::size_t(rows[k]) * h + i);
                }
                const double a = std::clamp(acc, 0.0, 1.0);
                y += a * a * param(m.output_weights_at(f.bucket) + std::size_t(side) * h + i);
            }
        }
        if (outputs) outputs->push_back(y);
        const double d =
            1.0 / (1.0 + std::exp(-y * SCORE_SCALE / result_scale)) - target_of(p, lambda, result_scale);
        sum += d * d;
    }
    return sum / double(data.size());
}

// 8 units run through the one-lane code alone; 157 through every block width, with AVX-512
// (128 + 16 + 13) as with AVX2 (4 x 32 + 3 x 8 + 5). Each with and without king buckets.
class TrainGradients : public testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(TrainGradients, MatchFiniteDifferences) {
    const auto [hidden, factorised] = GetParam();
    Model model = random_model(hidden, 11, factorised);
    const std::vector<PackedPosition> data = sample_positions();
    constexpr float LAMBDA = 0.3f;
    // The factorised runs also check a result scale of the data other than the usual one.
    const float result_scale = factorised ? 250.0f : SCORE_SCALE;

    nnue::AlignedArray<float> grad(model.size());
    Scratch scratch(hidden);
    Features f;
    std::vector<double> outputs;
    reference_loss(model, data, LAMBDA, result_scale, model.size(), 0.0, &outputs);
    std::set<std::size_t> active_rows;
    std::set<std::size_t> active_bucket_rows;  // king bucket x 768 + row
    int clipped_low = 0, clipped_high = 0, inside = 0;
    for (std::size_t n = 0; n < data.size(); ++n) {
        extract(data[n], f);
        EXPECT_NEAR(forward(model, f, scratch), outputs[n], 1e-5) << n;
        train_position(model, f, target_of(data[n], LAMBDA, result_scale),
                       1.0f / float(data.size()), grad.data(), scratch, SCORE_SCALE / result_scale);
        for (int i = 0; i < 2 * hidden; ++i) {
            const float a = scratch.act[i];
            (a == 0.0f ? clipped_low : a == 1.0f ? clipped_high : inside)++;
        }
        active_rows.insert(f.us, f.us + f.count);
        active_rows.insert(f.them, f.them + f.count);
        for (int k = 0; k < f.count; ++k) {
            active_bucket_rows.insert(std::size_t(f.us_king_bucket) * FEATURES + f.us[k]);
            active_bucket_rows.insert(std::size_t(f.them_king_bucket) * FEATURES + f.them[k]);
        }
    }
    // The check covers both clipped ends and the live range.
    EXPECT_GT(clipped_low, 0);
    EXPECT_GT(clipped_high, 0);
    EXPECT_GT(inside, 0);

    // The rows of the pieces on the boards (every other row has no gradient), the biases and
    // the output weights: all of them with the small model, a spread with the larger one.
    std::vector<std::size_t> checked;
    const std::size_t stride = hidden <= 8 ? 1 : 13;
    for (std::size_t row : active_rows)
        for (std::size_t i = row * hidden; i < (row + 1) * hidden; i += stride)
            checked.push_back(i);
    for (std::size_t i = model.feature_biases_at(); i < model.output_bias_at(OUTPUT_BUCKETS);
         i += (stride + 1) / 2)
        checked.push_back(i);
    if (factorised) {
        // The king buckets' own rows; every bucket row of a piece not on a board has none.
        const std::size_t bucket_stride = hidden <= 8 ? 1 : 29;
        for (std::size_t row : active_bucket_rows)
            for (std::size_t i = row * hidden; i < (row + 1) * hidden; i += bucket_stride)
                checked.push_back(model.bucket_weights_at(0) + i);
        checked.push_back(model.bucket_weights_at(5) + 3 * std::size_t(hidden) + 1);
    }
    for (int b = 0; b < OUTPUT_BUCKETS; ++b) checked.push_back(model.output_bias_at(b));
    checked.push_back(3 * std::size_t(hidden) + 1);  // a pawn on the first rank: never active

    constexpr double EPS = 1e-6;  // small enough that no unit crosses 0 or 1 on the way
    int nonzero = 0;
    for (std::size_t i : checked) {
        const double numeric = (reference_loss(model, data, LAMBDA, result_scale, i, EPS)
                                - reference_loss(model, data, LAMBDA, result_scale, i, -EPS))
                               / (2 * EPS);
        ASSERT_NEAR(grad[i], numeric, 1e-7 + 1e-3 * std::abs(numeric)) << "parameter " << i;
        nonzero += std::abs(numeric) > 1e-6;
    }
    EXPECT_GT(nonzero, int(checked.size()) / 4);
}

INSTANTIATE_TEST_SUITE_P(Hidden, TrainGradients,
                         testing::Combine(testing::Values(8, 157), testing::Bool()),
                         [](const auto& info) {
                             return std::to_string(std::get<0>(info.param))
                                    + (std::get<1>(info.param) ? "_king_buckets" : "_one_block");
                         });

// Positions whose results follow sigmoid(score / s) on average give back s.
TEST(TrainTarget, TheFittedScaleIsTheDataOwn) {
    for (const double scale : {150.0, 280.0, 400.0, 700.0}) {
        std::vector<PackedPosition> data;
        for (int score = -1500; score <= 1500; score += 25) {
            const int wins = int(std::lround(100 / (1 + std::exp(-score / scale))));
            PackedPosition p{};
            p.score = std::int16_t(score);
            for (int k = 0; k < 100; ++k) {
                p.result = k < wins ? 2 : 0;
                data.push_back(p);
            }
        }
        EXPECT_NEAR(fit_result_scale(data), scale, 0.02 * scale);
    }
}

TEST(TrainOptimiser, AdamWMovesAgainstTheGradientClampsAndClears) {
    AdamW adam(4, AdamWConfig{});
    float params[4] = {0.5f, -0.5f, 1.979f, 0.0f};
    nnue::AlignedArray<float> g1(4), g2(4);
    g1[0] = 0.25f;
    g2[0] = 0.25f;   // the blocks are summed
    g1[1] = -3.0f;
    g1[2] = -1.0f;   // pushes past the limit
    float* const grads[] = {g1.data(), g2.data()};
    adam.begin_step();
    adam.update(params, grads, 0, 4, 0.01f);
    // The first step of Adam moves each parameter by about lr against its gradient's sign;
    // the decoupled decay takes lr x 0.01 x the parameter besides.
    EXPECT_NEAR(params[0], 0.5f - 0.01f - 0.01f * 0.01f * 0.5f, 1e-6);
    EXPECT_NEAR(params[1], -0.5f + 0.01f + 0.01f * 0.01f * 0.5f, 1e-6);
    EXPECT_FLOAT_EQ(params[2], WEIGHT_LIMIT);
    EXPECT_FLOAT_EQ(params[3], 0.0f);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(g1[i] + g2[i], 0.0f) << i;

    // Without gradient only the decay acts, at the rate the caller gives.
    AdamW fresh(4, AdamWConfig{});
    fresh.begin_step();
    fresh.update(params, grads, 0, 1, 0.01f, 5.0f);
    EXPECT_FLOAT_EQ(params[0], (0.5f - 0.01f - 0.01f * 0.01f * 0.5f) * (1 - 0.01f * 5.0f));
}

TEST(TrainOptimiser, KingBucketsDecayAtTheirOwnRate) {
    const std::vector<PackedPosition> data = sample_positions();
    auto bucket_norm = [&](float bucket_decay) {
        Model model = random_model(16, 4, true);
        AdamWConfig config;
        config.bucket_decay = bucket_decay;
        Trainer trainer(model, 2, 0.5f, config);
        for (int step = 0; step < 20; ++step) trainer.step(data, 0.01f);
        double norm = 0;
        for (std::size_t i = model.bucket_weights_at(0); i < model.size(); ++i)
            norm += std::abs(model.data()[i]);
        return norm;
    };
    EXPECT_LT(bucket_norm(20.0f), 0.3 * bucket_norm(0.0f));
}

// Training through the rounded weights: they give the loss and the steps, as for a model
// rounded beforehand, and the float weights go on. A factorised model is rounded as the
// engine holds it, the sum of its blocks, and its king buckets then decay as one block.
TEST(TrainOptimiser, RoundedTrainingStepsAsTheRoundedModel) {
    const std::vector<PackedPosition> data = sample_positions();
    for (bool factorised : {false, true}) {
        SCOPED_TRACE(factorised);
        Model through = random_model(24, 5, factorised), rounded = random_model(24, 5, factorised);
        round_to_engine_steps(rounded);
        int off_grid = 0;
        for (int bucket = 0; bucket < KING_BUCKETS; ++bucket)
            for (int feature = 0; feature < FEATURES; feature += 7)
                for (int unit = 0; unit < 24; ++unit) {
                    const float w = rounded.merged_weight(bucket, feature, unit) * FEATURE_SCALE;
                    off_grid += std::abs(w - std::round(w)) > 1e-3;
                }
        EXPECT_EQ(off_grid, 0) << "the engine rounds the merged weights";

        // Folded king buckets hold whole weights: their own decay would wipe them out.
        Model through_decaying = through;
        const AdamWConfig strong_bucket_decay{.bucket_decay = 20.0f};
        Trainer a(through, 2, 0.5f), b(rounded, 2, 0.5f),
            c(through_decaying, 2, 0.5f, strong_bucket_decay);
        a.set_rounded(true);
        c.set_rounded(true);
        EXPECT_NEAR(a.loss(data), b.loss(data), 1e-9);
        EXPECT_NEAR(a.step(data, 0.01f), b.step(data, 0.01f), 1e-9);
        c.step(data, 0.01f);
        EXPECT_NEAR(a.loss(data), c.loss(data), 1e-9);
        off_grid = 0;
        for (std::size_t i = through.output_weights_at(0); i < through.output_weights_at(OUTPUT_BUCKETS); ++i) {
            const float w = through.data()[i] * OUTPUT_WEIGHT_SCALE;
            off_grid += std::abs(w - std::round(w)) > 1e-3;
        }
        EXPECT_GT(off_grid, 0) << "the float output weights were lost";
    }
}

TEST(TrainOptimiser, OneAndTwoThreadsTakeTheSameSteps) {
    const std::vector<PackedPosition> data = sample_positions();
    for (bool factorised : {false, true}) {
        SCOPED_TRACE(factorised);
        Model one = random_model(24, 3, factorised), two = random_model(24, 3, factorised);
        Trainer a(one, 1, 0.5f), b(two, 2, 0.5f);
        double first = 0, last = 0;
        for (int step = 0; step < 30; ++step) {
            const double la = a.step(data, 0.01f);
            const double lb = b.step(data, 0.01f);
            EXPECT_NEAR(la, lb, 1e-5);
            if (step == 0) first = la;
            last = la;
        }
        for (std::size_t i = 0; i < one.size(); ++i)
            ASSERT_NEAR(one.data()[i], two.data()[i], 1e-4) << i;
        EXPECT_LT(last, first * 0.5) << "a fixed batch is learnt";
        EXPECT_NEAR(a.loss(data), b.loss(data), 1e-6);
    }
}

TEST(TrainOptimiser, KingBucketsKeepTheMergedWeightsWithinTheLimit) {
    Model model(16, true);
    const std::size_t row = 5 * 16 + 3;
    model.data()[row] = 1.9f;
    model.data()[model.bucket_weights_at(0) + row] = 0.5f;   // 2.4: too large
    model.data()[model.bucket_weights_at(3) + row] = -4.0f;  // -2.1: too small
    model.data()[model.bucket_weights_at(7) + row] = -3.0f;  // -1.1: fits
    model.clamp_merged(0, KING_BUCKETS);
    EXPECT_FLOAT_EQ(model.merged_weight(0, 5, 3), WEIGHT_LIMIT);
    EXPECT_FLOAT_EQ(model.merged_weight(3, 5, 3), -WEIGHT_LIMIT);
    EXPECT_FLOAT_EQ(model.merged_weight(7, 5, 3), -1.1f);
    EXPECT_FLOAT_EQ(model.merged_weight(1, 5, 3), 1.9f);

    // Training with a learning rate far too large for the data pushes weights everywhere;
    // every sum the engine would hold stays within the limit.
    Model trained = random_model(16, 8, true);
    Trainer trainer(trained, 2, 0.0f);
    const std::vector<PackedPosition> data = sample_positions();
    for (int step = 0; step < 40; ++step) trainer.step(data, 0.5f);
    float largest = 0;
    for (int b = 0; b < KING_BUCKETS; ++b)
        for (int feature = 0; feature < FEATURES; ++feature)
            for (int unit = 0; unit < 16; ++unit)
                largest = std::max(largest, std::abs(trained.merged_weight(b, feature, unit)));
    EXPECT_LE(largest, WEIGHT_LIMIT * (1 + 1e-6f));  // the sum may round up by a bit
    EXPECT_GT(largest, 1.5f) << "the steps should have reached the limit";
}

TEST(TrainWdlHead, LearnsTheResultsOfItsPositions) {
    std::vector<PackedPosition> data = sample_positions();
    const Model model = random_model(16, 9);
    WdlHead head(16);
    // Before fitting every outcome is equally likely.
    EXPECT_NEAR(wdl_loss(model, head, data, 2), std::log(3.0), 1e-5);
    std::mt19937_64 rng(4);
    double last_valid = 0;
    fit_wdl_head(model, head, data, data, 300, 64, 0.05f, 2, rng,
                 [&](int, double, double valid) { last_valid = valid; });
    EXPECT_LT(last_valid, 0.5 * std::log(3.0));
}

// Game files.

struct PlannedPly {
    std::string_view move;
    int score;
};

// 12 unscored opening plies, then scored plies that exercise every filter: knights back home
// (the first four searched plies, dropped as early where a test asks), quiet moves, scores beyond 2000 and a mate score, a capture, and replies
// to checks.
game_record::Game filter_game() {
    constexpr std::string_view OPENING[] = {"g1f3", "g8f6", "f3g1", "f6g8", "g1f3", "g8f6",
                                            "f3g1", "f6g8", "g1f3", "g8f6", "f3g1", "f6g8"};
    constexpr PlannedPly PLIES[] = {
        {"b1c3", 10},    {"b8c6", 0},     {"c3b1", 5},    {"c6b8", 0},    // plies 12-15
        {"e2e4", 30},    {"e7e5", -20},                                   // kept
        {"f1c4", 3000},  {"b8c6", -31990},                                // beyond 2000, mate
        {"c4f7", 100},                                                    // capture
        {"e8f7", -100},                                                   // in check
        {"d1h5", 50},                                                     // kept
        {"g7g6", -60},                                                    // in check
        {"h5f3", 0},                                                      // kept
        {"g8f6", -40},                                                    // in check
        {"b1c3", -2000},                                                  // kept (limit)
        {"h7h5", 2001},                                                   // beyond 2000
    };
    game_record::Game game;
    game.result = game_record::Result::WHITE_WIN;
    Position pos = Position::startpos();
    for (std::string_view m : OPENING) {
        game.opening.push_back(uci(pos, m));
        pos.make_move(game.opening.back());
    }
    for (const PlannedPly& p : PLIES) {
        game.plies.push_back({uci(pos, p.move), static_cast<std::int16_t>(p.score)});
        pos.make_move(game.plies.back().move);
    }
    return game;
}

std::vector<std::uint8_t> bytes_of(const std::vector<game_record::Game>& games) {
    std::ostringstream out;
    for (const game_record::Game& g : games) game_record::write(out, g);
    const std::string s = out.str();
    return {s.begin(), s.end()};
}

TEST(TrainGames, RecordsRoundTrip) {
    const game_record::Game game = filter_game();
    game_record::Game other;
    other.result = game_record::Result::BLACK_WIN;
    other.plies.push_back({uci(Position::startpos(), "d2d4"), -32000});
    const std::vector<std::uint8_t> bytes = bytes_of({game, other});
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    for (const game_record::Game& want : {game, other}) {
        std::optional<game_record::Game> got = game_record::read(in);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->result, want.result);
        EXPECT_EQ(got->opening, want.opening);
        ASSERT_EQ(got->plies.size(), want.plies.size());
        for (std::size_t i = 0; i < want.plies.size(); ++i) {
            EXPECT_EQ(got->plies[i].move, want.plies[i].move);
            EXPECT_EQ(got->plies[i].score, want.plies[i].score);
        }
    }
    EXPECT_FALSE(game_record::read(in));
}

TEST(TrainGames, ExpandingKeepsOnlyQuietScoredPositions) {
    std::vector<PackedPosition> out;
    LoadStats stats;
    std::uint32_t next_game = 3;
    expand_games(bytes_of({filter_game()}), next_game, out, stats, {}, EarlyPlies{4});
    EXPECT_EQ(next_game, 4u);
    EXPECT_EQ(stats.games, 1u);
    EXPECT_EQ(stats.scored_plies, 16u);
    EXPECT_EQ(stats.early, 4u);
    EXPECT_EQ(stats.extreme, 3u);
    EXPECT_EQ(stats.noisy, 1u);
    EXPECT_EQ(stats.in_check, 3u);
    EXPECT_EQ(stats.kept, 5u);
    EXPECT_EQ(stats.trailing_bytes, 0u);

    struct Kept {
        Color side;
        int score, result;
    };
    // White won: White's positions are wins (2), Black's losses (0).
    constexpr Kept KEPT[] = {{WHITE, 30, 2}, {BLACK, -20, 0}, {WHITE, 50, 2}, {WHITE, 0, 2},
                             {WHITE, -2000, 2}};
    ASSERT_EQ(out.size(), std::size(KEPT));
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].side, KEPT[i].side) << i;
        EXPECT_EQ(out[i].score, KEPT[i].score) << i;
        EXPECT_EQ(out[i].result, KEPT[i].result) << i;
        EXPECT_EQ(out[i].game, 3u);
        EXPECT_FALSE(from_fen(packed_fen(out[i])).in_check()) << i;
    }
    // The first kept position is the start position with White to move, 16 plies in.
    EXPECT_EQ(packed_fen(out[0]), "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w - - 0 1");
}

TEST(TrainGames, EarlyPliesCountFromTheOpeningOrFromTheStart) {
    struct Case {
        EarlyPlies rule;
        std::uint64_t early, kept;
    };
    const Case cases[] = {{{}, 0, 9}, {{4, 0}, 4, 5}, {{0, 16}, 4, 5}, {{5, 16}, 5, 4}, {{0, 13}, 1, 8}};
    for (const Case& c : cases) {
        std::vector<PackedPosition> out;
        LoadStats stats;
        std::uint32_t next_game = 0;
        expand_games(bytes_of({filter_game()}), next_game, out, stats, {}, c.rule);
        EXPECT_EQ(stats.early, c.early) << c.rule.after_opening << " " << c.rule.from_start;
        EXPECT_EQ(stats.kept, c.kept) << c.rule.after_opening << " " << c.rule.from_start;
    }
}

TEST(TrainGames, CorruptGamesAndTruncatedTailsAreSkippedAndCounted) {
    game_record::Game bad = filter_game();
    bad.plies[6].move = make_move(0, 63, QUIET);  // a1-h8: illegal
    std::vector<std::uint8_t> bytes = bytes_of({bad, filter_game()});
    const std::vector<std::uint8_t> tail = bytes_of({filter_game()});
    bytes.insert(bytes.end(), tail.begin(), tail.end() - 3);  // cut inside the last record

    std::vector<PackedPosition> out;
    LoadStats stats;
    std::uint32_t next_game = 0;
    expand_games(bytes, next_game, out, stats, {}, EarlyPlies{4});
    EXPECT_EQ(stats.games, 2u);
    EXPECT_EQ(stats.corrupt_games, 1u);
    EXPECT_EQ(stats.kept, 5u);
    EXPECT_EQ(out.size(), 5u);
    EXPECT_EQ(stats.trailing_bytes, tail.size() - 3);
    for (const PackedPosition& p : out) EXPECT_EQ(p.game, 1u);
}

TEST(TrainGames, RawAndZstdFilesReadAlikeAndFailuresAreReported) {
    const std::vector<std::uint8_t> bytes = bytes_of({filter_game(), filter_game()});
    const std::string raw = temp_path("games.bin");
    const std::string packed = raw + ".zst";
    {
        std::ofstream out(raw, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    std::string error;
    EXPECT_EQ(read_game_file(raw, error), bytes);
    EXPECT_EQ(error, "");

    // The machines have the zstd command; without it reading .zst files cannot work.
    ASSERT_EQ(std::system(("zstd -q -f '" + raw + "' -o '" + packed + "'").c_str()), 0);
    EXPECT_EQ(read_game_file(packed, error), bytes);
    EXPECT_EQ(error, "");

    // A damaged archive is an error, not a short file.
    {
        std::fstream f(packed, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(-6, std::ios::end);
        f.write("XXXXXX", 6);
    }
    EXPECT_TRUE(read_game_file(packed, error).empty());
    EXPECT_NE(error.find("zstd could not decompress"), std::string::npos) << error;

    EXPECT_TRUE(read_game_file(raw + ".missing", error).empty());
    EXPECT_EQ(error, "cannot open " + raw + ".missing");
    EXPECT_TRUE(read_game_file(raw + ".missing.zst", error).empty());
    EXPECT_EQ(error, "cannot open " + raw + ".missing.zst");
    std::remove(raw.c_str());
    std::remove(packed.c_str());
}

TEST(TrainGames, ValidationHoldsOutWholeGames) {
    std::vector<PackedPosition> all;
    for (std::uint32_t game = 0; game < 50; ++game)
        for (int k = 0; k < 10; ++k) {
            PackedPosition p = pack(Position::startpos(), k, 1, game);
            all.push_back(p);
        }
    std::mt19937_64 rng(1);
    const Split split = split_by_game(all, 0.05, rng);
    EXPECT_EQ(split.train.size() + split.valid.size(), all.size());
    EXPECT_GE(split.valid.size(), 25u);
    EXPECT_LE(split.valid.size(), 40u);
    std::set<std::uint32_t> train_games, valid_games;
    for (const PackedPosition& p : split.train) train_games.insert(p.game);
    for (const PackedPosition& p : split.valid) valid_games.insert(p.game);
    for (std::uint32_t g : valid_games) EXPECT_FALSE(train_games.count(g)) << g;

    // Two games: one is held out however small the fraction; one game alone is never.
    const std::vector<PackedPosition> two(all.begin(), all.begin() + 20);
    EXPECT_EQ(split_by_game(two, 0.01, rng).valid.size(), 10u);
    const std::vector<PackedPosition> one(all.begin(), all.begin() + 10);
    EXPECT_TRUE(split_by_game(one, 0.5, rng).valid.empty());
}

// Export.

// Positions from random play, scored by material from the side to move's view.
std::vector<PackedPosition> random_play_positions(int count, std::uint64_t start) {
    constexpr int VALUE[6] = {100, 300, 320, 500, 900, 0};
    std::mt19937_64 rng(start);
    std::vector<PackedPosition> out;
    for (std::uint32_t game = 0; int(out.size()) < count; ++game) {
        Position pos = Position::startpos();
        for (int ply = 0; ply < 120 && int(out.size()) < count; ++ply) {
            MoveList moves;
            movegen::generate_all(pos, moves);
            if (moves.empty()) break;
            if (ply >= 6 && !pos.in_check()) {
                int material = 0;
                for (Bitboard b = pos.pieces(); b;) {
                    const Piece p = pos.piece_on(pop_lsb(b));
                    material += (color_of(p) == pos.side() ? 1 : -1) * VALUE[kind_of(p)];
                }
                out.push_back(pack(pos, std::clamp(material, -1500, 1500), int(rng() % 3), game));
            }
            pos.make_move(moves[int(rng() % std::uint64_t(moves.size()))]);
        }
    }
    return out;
}

// A model whose every value lies on the integer grid of the file: the engine must then
// compute the float model's function exactly, but for its two truncating divisions.
void snap_to_grid(Model& model, WdlHead& head) {
    auto snap = [](float* p, std::size_t n, double scale, double limit) {
        for (std::size_t i = 0; i < n; ++i)
            p[i] = float(std::clamp(std::round(p[i] * scale), -limit, limit) / scale);
    };
    snap(model.data(), model.output_weights_at(0), FEATURE_SCALE, 32767);
    if (model.factorised())  // sums of values on the grid are on it too
        snap(model.data() + model.bucket_weights_at(0),
             std::size_t(KING_BUCKETS) * FEATURES * model.hidden(), FEATURE_SCALE, 32767);
    const std::size_t out_at = model.output_weights_at(0);
    snap(model.data() + out_at, model.output_bias_at(0) - out_at, OUTPUT_WEIGHT_SCALE, 127);
    snap(model.data() + model.output_bias_at(0), OUTPUT_BUCKETS, OUTPUT_BIAS_SCALE, 32767);
    snap(head.data(), 3 * 2 * std::size_t(head.hidden()), OUTPUT_WEIGHT_SCALE, 127);
    snap(head.data() + 3 * 2 * std::size_t(head.hidden()), 3, OUTPUT_BIAS_SCALE, 32767);
}

struct Trained {
    explicit Trained(bool factorised) : model(nnue::HIDDEN, factorised) {}
    Model model;
    WdlHead head{nnue::HIDDEN};
    std::vector<PackedPosition> data;
};

// A few steps on positions of random play, enough of the full-board bucket for the
// rounding choice and few of the others.
const Trained& trained(bool factorised = false) {
    static const Trained* models[2] = {};
    const Trained*& t = models[factorised];
    if (!t) {
        auto* made = new Trained(factorised);
        made->data = random_play_positions(1200, 21);
        std::mt19937_64 rng(2);
        made->model.initialise(rng);
        Trainer trainer(made->model, 2, 0.5f);
        for (int step = 0; step < 6; ++step) trainer.step(made->data, 0.005f);
        fit_wdl_head(made->model, made->head, made->data, made->data, 2, 256, 0.01f, 2, rng,
                     [](int, double, double) {});
        t = made;
    }
    return *t;
}

// Fresh positions, calibration ones and the FEN list.
std::vector<PackedPosition> positions_to_compare() {
    std::vector<PackedPosition> out = random_play_positions(200, 77);
    out.insert(out.end(), trained().data.begin(), trained().data.begin() + 200);
    for (std::string_view fen : FENS) out.push_back(pack(from_fen(fen), 0, 1, 0));
    return out;
}

TEST(TrainExport, TheFileLoadsWithEightBucketsAndAHead) {
    const Trained& t = trained();
    ExportReport report;
    auto made = network_bytes(t.model, t.head, t.data, report);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(made));
    const auto& bytes = std::get<std::vector<std::uint8_t>>(made);
    EXPECT_EQ(bytes.size(), 12'630'080u);
    EXPECT_EQ(report.clamped_feature_values + report.clamped_output_weights
                  + report.clamped_biases,
              0);
    EXPECT_EQ(report.calibration_positions, t.data.size());

    // Through a file, as the engine would read it.
    const std::string path = temp_path("net.nnue");
    ASSERT_EQ(write_network(path, bytes), "");
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> read_back((std::istreambuf_iterator<char>(in)), {});
    std::remove(path.c_str());
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    ASSERT_EQ(read_back, bytes);
    nnue::NetworkResult net = nnue::Network::from_bytes(read_back);
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<const nnue::Network>>(net));
    const auto& loaded = *std::get<std::shared_ptr<const nnue::Network>>(net);
    EXPECT_EQ(loaded.king_buckets(), 8);
    EXPECT_EQ(loaded.output_buckets(), 8);
    EXPECT_TRUE(loaded.has_wdl_head());
    // Every king bucket holds the trained block.
    for (int bucket = 1; bucket < 8; ++bucket)
        for (int row : {0, 100, 767})
            EXPECT_EQ(std::memcmp(loaded.feature_row(bucket * 768 + row), loaded.feature_row(row),
                                  nnue::HIDDEN * 2),
                      0)
                << bucket << " " << row;
}

TEST(TrainExport, KingBucketsHoldTheSharedBlockPlusTheirOwn) {
    const Trained& t = trained(true);
    ExportReport report;
    auto made = network_bytes(t.model, t.head, t.data, report);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(made));
    nnue::NetworkResult net = nnue::Network::from_bytes(std::get<std::vector<std::uint8_t>>(made));
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<const nnue::Network>>(net));
    const auto& loaded = *std::get<std::shared_ptr<const nnue::Network>>(net);
    int differing = 0;
    for (int bucket = 0; bucket < KING_BUCKETS; ++bucket)
        for (int row : {12, 64 + 6, 4 * 64 + 3, 384 + 5 * 64 + 60})
            for (int unit : {0, 517, 1023}) {
                const float merged = t.model.merged_weight(bucket, row, unit);
                EXPECT_EQ(loaded.feature_row(bucket * 768 + row)[unit],
                          std::lround(merged * FEATURE_SCALE))
                    << bucket << " " << row << " " << unit;
                differing += loaded.feature_row(bucket * 768 + row)[unit]
                             != loaded.feature_row(row)[unit];
            }
    EXPECT_GT(differing, 0) << "the buckets were trained apart";
}

// Computed exactly by the engine on the grid, with one block or with king buckets.
class TrainExportGrid : public testing::TestWithParam<bool> {};

TEST_P(TrainExportGrid, TheEngineComputesTheFloatFunction) {
    Trained t(GetParam());
    t.model = trained(GetParam()).model;
    t.head = trained(GetParam()).head;
    snap_to_grid(t.model, t.head);
    ExportReport report;
    auto made = network_bytes(t.model, t.head, trained().data, report);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(made));
    auto compared = compare_with_engine(t.model, t.head, std::get<std::vector<std::uint8_t>>(made),
                                        positions_to_compare());
    ASSERT_TRUE(std::holds_alternative<std::vector<EvalComparison>>(compared));
    double spread = 0;
    for (const EvalComparison& c : std::get<std::vector<EvalComparison>>(compared)) {
        // The engine's score truncates toward zero.
        EXPECT_NEAR(c.engine_cp, c.trained_cp, 1.05) << c.fen;
        EXPECT_LE(std::abs(c.engine_cp), std::abs(c.trained_cp) + 0.05) << c.fen;
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(c.engine_wdl[j], c.trained_wdl[j], 1e-3) << c.fen;
        spread = std::max(spread, double(std::abs(c.trained_cp)));
    }
    EXPECT_GT(spread, 20.0) << "the model should have learnt something to compare";
}

INSTANTIATE_TEST_SUITE_P(Models, TrainExportGrid, testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "king_buckets" : "one_block");
});

TEST(TrainExport, RoundingKeepsTheEngineCloseToTheFloatModel) {
    const Trained& t = trained();
    ExportReport report;
    auto made = network_bytes(t.model, t.head, t.data, report);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(made));
    EXPECT_LT(report.calibrated_error_cp, report.nearest_error_cp);
    auto compared = compare_with_engine(t.model, t.head, std::get<std::vector<std::uint8_t>>(made),
                                        positions_to_compare());
    ASSERT_TRUE(std::holds_alternative<std::vector<EvalComparison>>(compared));
    double total = 0, worst = 0;
    const auto& rows = std::get<std::vector<EvalComparison>>(compared);
    for (const EvalComparison& c : rows) {
        const double diff = std::abs(c.engine_cp - c.trained_cp);
        total += diff;
        worst = std::max(worst, diff);
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(c.engine_wdl[j], c.trained_wdl[j], 0.02) << c.fen;
    }
    // Rounding 2048 output weights to steps of 1/64 costs a few centipawns; a lightly
    // trained model like this one has many small weights, the worst case.
    EXPECT_LT(total / double(rows.size()), 6.0);
    EXPECT_LT(worst, 30.0);
}

TEST(TrainExport, OnlyTheEnginesWidthExportsAndOverflowsAreClampedAndCounted) {
    ExportReport report;
    auto refused = network_bytes(Model(64), WdlHead(64), {}, report);
    ASSERT_TRUE(std::holds_alternative<std::string>(refused));
    EXPECT_EQ(std::get<std::string>(refused),
              "the engine's network needs 1024 hidden units, the model has 64");

    Model model(nnue::HIDDEN);
    WdlHead head(nnue::HIDDEN);
    model.data()[model.output_weights_at(3) + 5] = 2.5f;     // 160: beyond 127
    model.data()[model.output_weights_at(3) + 6] = -1.98f;   // -126.7: fits
    model.data()[model.output_bias_at(2)] = 2.5f;            // 40800: beyond i16
    model.data()[model.feature_weights_at() + 9] = 200.0f;   // 51000: beyond i16
    auto made = network_bytes(model, head, {}, report);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(made));
    EXPECT_EQ(report.clamped_output_weights, 1);
    EXPECT_EQ(report.clamped_biases, 1);
    EXPECT_EQ(report.clamped_feature_values, 1);
    EXPECT_EQ(report.largest_output_weight, 127);
    nnue::NetworkResult net = nnue::Network::from_bytes(std::get<std::vector<std::uint8_t>>(made));
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<const nnue::Network>>(net));
    const auto& loaded = *std::get<std::shared_ptr<const nnue::Network>>(net);
    EXPECT_EQ(loaded.output_weights(3)[5], 127);
    EXPECT_EQ(loaded.output_weights(3)[6], -127);
    EXPECT_EQ(loaded.output_bias(2), 32767);
    for (int bucket = 0; bucket < 8; ++bucket)
        EXPECT_EQ(loaded.feature_row(bucket * 768)[9], 32767) << bucket;
}

}  // namespace
}  // namespace orvane::train
