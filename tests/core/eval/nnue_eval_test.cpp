// The NNUE evaluator over random networks of several layouts: king keys, feature rows and
// output buckets; scores after random make/unmake walks (castles, en passant, promotions,
// kings crossing the d/e line and bucket rows) against a fresh evaluator and against a
// plain recomputation from the board; every vector path against the scalar one; the
// W/D/L head; copies; and the fatal stops.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/board/movegen.h"
#include "core/eval/nnue/nnue_eval.h"
#include "support/position_helpers.h"

namespace orvane::nnue {
namespace {

// How a random network's weights are drawn: feature weights in -spread..spread and biases
// in bias_lo..bias_hi keep many activations inside 0..255; full_range draws any i16, so
// that accumulators wrap.
struct RandomNet {
    Layout layout;
    int spread;
    int bias_lo, bias_hi;
    bool full_range;
    bool shared_block = false;  // every king bucket a copy of the first
    int cut_from = HIDDEN;      // units from here on are zero in every block...
    bool outputs_only = false;  // ...or only in the output and head weights
};

std::shared_ptr<const Network> random_network(const RandomNet& r, std::uint64_t start) {
    std::mt19937_64 rng(start);
    const Layout& l = r.layout;
    std::vector<std::uint8_t> bytes(exact_length(l));
    auto put = [&](std::size_t i, int v) {
        auto u = static_cast<std::uint16_t>(v);
        bytes[2 * i] = static_cast<std::uint8_t>(u & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
    };
    auto uniform = [&](int lo, int hi) { return lo + int(rng() % std::uint64_t(hi - lo + 1)); };
    std::vector<bool> zero_features(HIDDEN, false), zero_outputs(HIDDEN, false);
    for (int u = r.cut_from; u < HIDDEN; ++u) {
        zero_features[u] = !r.outputs_only;
        zero_outputs[u] = true;
    }
    std::size_t i = 0;
    const std::size_t features = std::size_t(l.king_buckets) * INPUTS * HIDDEN;
    // Four feature weights from each draw: the block is large.
    const auto span = static_cast<std::uint64_t>(2 * r.spread + 1);
    for (; i < features; i += 4) {
        std::uint64_t bits = rng();
        for (std::size_t k = 0; k < 4; ++k, bits >>= 16) {
            const int v = r.full_range ? int(std::int16_t(bits & 0xFFFF))
                                       : int((bits & 0xFFFF) % span) - r.spread;
            put(i + k, zero_features[(i + k) % HIDDEN] ? 0 : v);
        }
    }
    if (r.shared_block)
        for (std::size_t k = std::size_t(INPUTS) * HIDDEN; k < features; ++k)
            put(k, int(std::int16_t(bytes[2 * (k % (INPUTS * HIDDEN))]
                                    | bytes[2 * (k % (INPUTS * HIDDEN)) + 1] << 8)));
    for (int k = 0; k < HIDDEN; ++k, ++i) {
        const int v = r.full_range ? int(std::int16_t(rng())) : uniform(r.bias_lo, r.bias_hi);
        put(i, zero_features[k] ? 0 : v);
    }
    for (int k = 0; k < l.output_buckets * OUTPUT_WIDTH; ++k, ++i) {
        const int v = uniform(-127, 127);
        put(i, zero_outputs[k % HIDDEN] ? 0 : v);
    }
    for (int b = 0; b < l.output_buckets; ++b, ++i) put(i, uniform(-3000, 3000));
    if (l.wdl_head) {
        for (int k = 0; k < WDL_OUTPUTS * OUTPUT_WIDTH; ++k, ++i) {
            const int v = uniform(-127, 127);
            put(i, zero_outputs[k % HIDDEN] ? 0 : v);
        }
        for (int j = 0; j < WDL_OUTPUTS; ++j, ++i) put(i, uniform(-3000, 3000));
    }
    EXPECT_EQ(2 * i, bytes.size());
    NetworkResult result = Network::from_bytes(bytes);
    if (auto* e = std::get_if<NetworkError>(&result)) ADD_FAILURE() << e->message;
    return std::get<std::shared_ptr<const Network>>(result);
}

// King buckets as drawn from the king's own side: rows are the king's rank counted from
// its back rank, columns the files a-d after mirroring e-h onto them.
constexpr int BUCKETS_4[8][4] = {{0, 0, 1, 1}, {2, 2, 2, 2}, {3, 3, 3, 3}, {3, 3, 3, 3},
                                 {3, 3, 3, 3}, {3, 3, 3, 3}, {3, 3, 3, 3}, {3, 3, 3, 3}};
constexpr int BUCKETS_8[8][4] = {{0, 0, 1, 2}, {3, 3, 4, 4}, {5, 5, 6, 6}, {5, 5, 6, 6},
                                 {7, 7, 7, 7}, {7, 7, 7, 7}, {7, 7, 7, 7}, {7, 7, 7, 7}};

// The output sum recomputed from the board alone, in 64 bits wrapped to 32 at the end.
std::int32_t plain_dot(const Network& net, const Position& pos, const std::int16_t* w) {
    const int width = net.width();
    std::int16_t acc[2][HIDDEN];
    for (Color p = WHITE; p <= BLACK; ++p) {
        const int king = pos.king_square(p);
        const int rank = p == WHITE ? rank_of(king) : 7 - rank_of(king);
        const bool mirror = net.king_buckets() > 1 && file_of(king) >= 4;
        const int file = mirror ? 7 - file_of(king) : file_of(king);
        const int bucket = net.king_buckets() == 1   ? 0
                           : net.king_buckets() == 4 ? BUCKETS_4[rank][file]
                                                     : BUCKETS_8[rank][file];
        std::int32_t sum[HIDDEN];
        for (int i = 0; i < width; ++i) sum[i] = net.feature_biases()[i];
        for (int sq = 0; sq < 64; ++sq) {
            const Piece piece = pos.piece_on(sq);
            if (piece == NO_PIECE) continue;
            const int s = sq ^ (p == BLACK ? 56 : 0) ^ (mirror ? 7 : 0);
            const int row =
                bucket * 768 + (color_of(piece) == p ? 0 : 384) + kind_of(piece) * 64 + s;
            for (int i = 0; i < width; ++i) sum[i] += net.feature_row(row)[i];
        }
        for (int i = 0; i < width; ++i) acc[p][i] = static_cast<std::int16_t>(sum[i]);
    }
    const Color us = pos.side();
    std::int64_t dot = 0;
    for (int i = 0; i < OUTPUT_WIDTH; ++i) {
        if (i % HIDDEN >= width) continue;
        const int a = i < HIDDEN ? acc[us][i] : acc[us ^ 1][i - HIDDEN];
        const int v = std::clamp(a, 0, 255);
        dot += std::int64_t(v) * v * w[i];
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(dot));
}

int plain_score(const Network& net, const Position& pos) {
    const int pieces = popcount(pos.pieces());
    const int bucket = net.output_buckets() == 1 ? 0 : std::min(7, std::max(pieces - 2, 0) / 4);
    const std::int64_t out = plain_dot(net, pos, net.output_weights(bucket)) / 255
                             + net.output_bias(bucket);
    return static_cast<int>(out * 400 / 16320);
}

WdlProbs plain_wdl(const Network& net, const Position& pos) {
    float z[3];
    for (int j = 0; j < 3; ++j) {
        const std::int32_t dot = plain_dot(net, pos, net.wdl_weights(j));
        z[j] = static_cast<float>(dot / 255 + net.wdl_bias(j)) / 16320.0f;
    }
    const float m = std::max({z[0], z[1], z[2]});
    const float e0 = std::exp(z[0] - m), e1 = std::exp(z[1] - m), e2 = std::exp(z[2] - m);
    const float sum = e0 + e1 + e2;
    return {e0 / sum, e1 / sum, e2 / sum};
}

struct KeyCase {
    int buckets;
    Color side;
    std::string_view square;
    int key;
};

constexpr KeyCase KEY_CASES[] = {
    {1, WHITE, "e1", 0},  {1, BLACK, "h8", 0},  {1, WHITE, "g5", 0},
    {4, WHITE, "a1", 0},  {4, WHITE, "d1", 2},  {4, WHITE, "f1", 3},  {4, WHITE, "h2", 5},
    {4, BLACK, "a7", 4},  {4, BLACK, "h1", 7},  {4, BLACK, "c8", 2},  {4, WHITE, "e3", 7},
    {8, WHITE, "a1", 0},  {8, WHITE, "b1", 0},  {8, WHITE, "c1", 2},  {8, WHITE, "d1", 4},
    {8, WHITE, "e1", 5},  {8, WHITE, "f1", 3},  {8, WHITE, "h1", 1},  {8, WHITE, "b2", 6},
    {8, WHITE, "g2", 7},  {8, WHITE, "d3", 12}, {8, WHITE, "c4", 12}, {8, WHITE, "a5", 14},
    {8, WHITE, "h8", 15}, {8, BLACK, "e8", 5},  {8, BLACK, "g8", 1},  {8, BLACK, "e1", 15},
    {8, BLACK, "b7", 6},  {8, BLACK, "f6", 13}, {8, BLACK, "a4", 14},
};

int square_of(std::string_view name) { return make_square(name[0] - 'a', name[1] - '1'); }

TEST(NnueEval, KingKeysFollowTheBucketLayouts) {
    for (const KeyCase& c : KEY_CASES)
        EXPECT_EQ(king_key(c.buckets, c.side, static_cast<Square>(square_of(c.square))), c.key)
            << c.buckets << " buckets, " << (c.side == WHITE ? "white" : "black") << " king on "
            << c.square;
    const Position pos = from_fen("8/8/8/8/8/8/6k1/K7 w - - 0 1");
    EXPECT_EQ(king_keys(8, pos), (KingKeys{0, 15}));
}

struct RowCase {
    Color perspective;
    int key;
    Piece piece;
    std::string_view square;
    int row;
};

constexpr RowCase ROW_CASES[] = {
    {WHITE, 0, make_piece(WHITE, PAWN), "e2", 12},
    {BLACK, 0, make_piece(WHITE, PAWN), "e2", 384 + 52},
    {BLACK, 0, make_piece(BLACK, KING), "e8", 5 * 64 + 4},
    {WHITE, 0, make_piece(BLACK, KING), "e8", 384 + 5 * 64 + 60},
    {WHITE, 5, make_piece(WHITE, KNIGHT), "g1", 2 * 768 + 64 + 1},
    {BLACK, 15, make_piece(WHITE, QUEEN), "d4", 7 * 768 + 384 + 4 * 64 + 36},
    {BLACK, 14, make_piece(BLACK, ROOK), "a8", 7 * 768 + 3 * 64 + 0},
};

TEST(NnueEval, FeatureRowsSeeTheBoardFromTheirOwnSide) {
    for (const RowCase& c : ROW_CASES)
        EXPECT_EQ(feature_row(c.perspective, static_cast<std::uint8_t>(c.key), c.piece,
                              static_cast<Square>(square_of(c.square))),
                  c.row)
            << piece_letter(c.piece) << c.square;
}

TEST(NnueEval, OutputBucketsFollowThePieceCount) {
    const int cases[][3] = {{8, 32, 7}, {8, 31, 7}, {8, 30, 7}, {8, 29, 6}, {8, 6, 1},
                            {8, 5, 0},  {8, 3, 0},  {8, 2, 0},  {1, 32, 0}, {1, 2, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(output_bucket(c[0], c[1]), c[2]) << c[0] << " buckets, " << c[1] << " pieces";
}

constexpr std::string_view WALK_STARTS[] = {
    "r3k2r/pppq1ppp/2n1bn2/2bpp3/4P3/2NP1N2/PPPBBPPP/R2QK2R w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq - 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "4k3/1P4P1/8/2pP4/8/8/1p4p1/4K3 w - c6 0 1",
    "8/2p5/3k4/8/8/4K3/5P2/8 w - - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
    "4k3/8/8/8/1pP1pP2/8/8/4K3 b - c3 0 1",
    "4k3/2p1p3/8/3P1P2/8/8/8/4K3 b - - 0 1",
    // Chess960: castles where king and rook cross, swap or share squares
    "rk2r3/pppppppp/8/8/8/8/PPPPPPPP/RK2R3 w EAea - 0 1",
    "1r4kr/8/8/8/8/8/8/1R4KR w HBhb - 0 1",
    "brknrq1b/pp1ppppp/2p5/1P1N4/2P4n/8/P2PPPPP/RQB1KNRB b GQeb - 0 5",
};

struct WalkStats {
    int evaluations = 0, castles = 0, en_passant = 0, promotions = 0, captures = 0;
    int mirror_flips = 0, bucket_row_changes = 0;
};

// The moves a walk favours: the rare kinds first, then king moves.
int rarity(const Position& pos, Move m) {
    if (is_castle(m) || is_en_passant(m) || is_promotion(m)) return 2;
    return kind_of(pos.piece_on(move_from(m))) == KING ? 1 : 0;
}

// A random walk of pushes and pops from `fen`, evaluating (and so updating lazily) at about
// two steps in three. Every evaluator (one per vector path) must agree with a fresh one and
// with the plain recomputation.
void walk(const std::shared_ptr<const Network>& net, std::vector<NnueEval>& evals,
          std::string_view fen, int steps, std::mt19937_64& rng, WalkStats& stats) {
    Position pos = from_fen(fen);
    NnueEval fresh(net);
    for (NnueEval& e : evals) e.reset(pos);
    std::vector<Move> line;
    for (int step = 0; step < steps; ++step) {
        MoveList list;
        movegen::generate_all(pos, list);
        const bool pop = !line.empty() && (list.empty() || rng() % 4 == 0 || line.size() > 40);
        if (pop) {
            pos.unmake_move(line.back());
            line.pop_back();
            for (NnueEval& e : evals) e.pop_move();
        } else if (!list.empty()) {
            std::vector<Move> rare, king;
            for (Move m : list) {
                if (rarity(pos, m) == 2) rare.push_back(m);
                if (rarity(pos, m) == 1) king.push_back(m);
            }
            Move m = list[int(rng() % list.size())];
            if (!rare.empty() && rng() % 2)
                m = rare[rng() % rare.size()];
            else if (!king.empty() && rng() % 3 == 0)
                m = king[rng() % king.size()];
            const int from = move_from(m), to = move_to(m);
            const Color us = pos.side();
            if (kind_of(pos.piece_on(from)) == KING) {
                stats.mirror_flips += (file_of(from) < 4) != (file_of(to) < 4);
                stats.bucket_row_changes += king_key(8, us, static_cast<Square>(from)) / 2
                                            != king_key(8, us, static_cast<Square>(to)) / 2;
            }
            stats.castles += is_castle(m);
            stats.en_passant += is_en_passant(m);
            stats.promotions += is_promotion(m);
            stats.captures += is_capture(m);
            for (NnueEval& e : evals) e.push_move(pos, m);
            pos.make_move(m);
            line.push_back(m);
        }
        if (rng() % 3 == 0) continue;
        ++stats.evaluations;
        fresh.reset(pos);
        const int expected = plain_score(*net, pos);
        ASSERT_EQ(fresh.evaluate(pos), expected) << pos.to_fen();
        for (std::size_t i = 0; i < evals.size(); ++i)
            ASSERT_EQ(evals[i].evaluate(pos), expected)
                << pos.to_fen() << " on the " << simd::kernels(simd::available_paths()[i]).name
                << " path after " << line.size() << " moves";
    }
}

constexpr RandomNet WALK_NETS[] = {
    {{1, 1, false}, 40, -50, 250, false},
    {{1, 8, true}, 40, -50, 250, false},
    {{4, 1, true}, 40, -50, 250, false},
    {{4, 8, false}, 60, -100, 300, false},
    {{8, 8, true}, 40, -50, 250, false},
    {{8, 1, false}, 40, -50, 250, false},
    {{8, 8, false}, 0, 0, 0, true},
    {{8, 8, true}, 40, -50, 250, false, true},
    {{4, 1, false}, 0, 0, 0, true, true},
    {{8, 8, true}, 40, -50, 250, false, false, 512},  // a network trained 512 units wide
};

class NnueWalk : public testing::TestWithParam<RandomNet> {};

TEST_P(NnueWalk, IncrementalScoresEqualFreshOnesOnEveryPath) {
    const RandomNet& r = GetParam();
    auto net = random_network(r, 1000 + r.layout.king_buckets * 10 + r.layout.output_buckets);
    EXPECT_EQ(net->shared_king_block(), r.shared_block);
    std::vector<NnueEval> evals;
    for (simd::Path path : simd::available_paths()) evals.emplace_back(net, path);
    std::mt19937_64 rng(r.layout.king_buckets * 100 + r.layout.output_buckets);
    WalkStats stats;
    for (std::string_view fen : WALK_STARTS) {
        walk(net, evals, fen, 160, rng, stats);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(stats.evaluations, 600);
    EXPECT_GT(stats.castles, 0);
    EXPECT_GT(stats.en_passant, 0);
    EXPECT_GT(stats.promotions, 0);
    EXPECT_GT(stats.captures, 0);
    EXPECT_GT(stats.mirror_flips, 0);
    EXPECT_GT(stats.bucket_row_changes, 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, NnueWalk, testing::ValuesIn(WALK_NETS), [](const auto& info) {
    const RandomNet& r = info.param;
    return "kb" + std::to_string(r.layout.king_buckets) + "_ob"
           + std::to_string(r.layout.output_buckets) + (r.layout.wdl_head ? "_head" : "")
           + (r.full_range ? "_wrapping" : "") + (r.shared_block ? "_shared" : "")
           + (r.cut_from < HIDDEN ? "_narrow" : "");
});

// Units that are zero everywhere are left out of the evaluation; a twin whose extra units
// have live feature weights but zero output weights keeps all 1024 and must score the same.
TEST(NnueEval, NarrowNetworkScoresAsItsFullWidthTwin) {
    const RandomNet narrow{{8, 8, true}, 40, -50, 250, false, false, 512};
    RandomNet twin = narrow;
    twin.outputs_only = true;
    auto cut = random_network(narrow, 77), full = random_network(twin, 77);
    EXPECT_EQ(cut->width(), 512);
    EXPECT_EQ(full->width(), HIDDEN);
    std::vector<NnueEval> evals;
    for (simd::Path path : simd::available_paths()) evals.emplace_back(full, path);
    std::mt19937_64 rng(5);
    WalkStats stats;
    for (std::string_view fen : WALK_STARTS) {
        walk(cut, evals, fen, 60, rng, stats);
        if (HasFatalFailure()) return;
    }
    for (std::string_view fen : WALK_STARTS) {
        const Position pos = from_fen(fen);
        NnueEval a(cut), b(full);
        a.reset(pos);
        b.reset(pos);
        EXPECT_EQ(a.wdl(pos)->win, b.wdl(pos)->win) << fen;
    }
}

TEST(NnueEval, VectorKernelsMatchTheScalarOneBitForBit) {
    std::mt19937_64 rng(99);
    const simd::Kernels& scalar = simd::kernels(simd::Path::SCALAR);
    auto fill = [&](std::int16_t* p, int n, int lo, int hi) {
        for (int i = 0; i < n; ++i)
            p[i] = static_cast<std::int16_t>(lo + int(rng() % std::uint64_t(hi - lo + 1)));
    };
    alignas(64) static std::int16_t rows[8][HIDDEN], src[HIDDEN], weights[OUTPUT_WIDTH];
    alignas(64) static std::int16_t want[HIDDEN], got[HIDDEN], them[HIDDEN];
    for (int round = 0; round < 40; ++round) {
        // Full-range values make the 16-bit sums wrap; narrow ones stay near 0..255.
        const bool wide = round % 2 == 0;
        for (auto& row : rows) fill(row, HIDDEN, wide ? -32768 : -100, wide ? 32767 : 100);
        fill(src, HIDDEN, wide ? -32768 : -50, wide ? 32767 : 300);
        fill(them, HIDDEN, -400, 700);
        fill(weights, OUTPUT_WIDTH, -127, 127);
        const std::int16_t* add[4] = {rows[0], rows[1], rows[2], rows[3]};
        const std::int16_t* sub[4] = {rows[4], rows[5], rows[6], rows[7]};
        const int adds = round % 5, subs = (round / 5) % 5;
        const int width = round % 3 == 0 ? 512 : HIDDEN;
        const std::size_t bytes = std::size_t(width) * sizeof(std::int16_t);
        scalar.update(want, src, add, adds, sub, subs, width);
        const std::int32_t want_dot = scalar.output(src, them, weights, width);
        for (simd::Path path : simd::available_paths()) {
            const simd::Kernels& k = simd::kernels(path);
            SCOPED_TRACE(testing::Message() << k.name << " round " << round << " width " << width);
            k.update(got, src, add, adds, sub, subs, width);
            ASSERT_EQ(std::memcmp(got, want, bytes), 0);
            ASSERT_EQ(k.output(src, them, weights, width), want_dot);
            // In place, as the refresh cache uses it.
            std::memcpy(got, src, sizeof(got));
            k.update(got, got, add, adds, sub, subs, width);
            ASSERT_EQ(std::memcmp(got, want, bytes), 0) << "in place";
        }
    }
    // The largest terms: 255 x 255 x +-127 on every lane, so that the 32-bit sum wraps.
    std::fill(std::begin(src), std::end(src), 300);
    std::fill(std::begin(them), std::end(them), 255);
    std::fill(std::begin(weights), std::end(weights), 127);
    const std::int32_t big = scalar.output(src, them, weights, HIDDEN);
    EXPECT_EQ(big, static_cast<std::int32_t>(std::uint32_t(2048) * 255 * 255 * 127));
    for (simd::Path path : simd::available_paths())
        EXPECT_EQ(simd::kernels(path).output(src, them, weights, HIDDEN), big)
            << simd::kernels(path).name;
}

TEST(NnueEval, WdlComesFromTheHeadAndSumsToOne) {
    auto with_head = random_network({{4, 8, true}, 40, -50, 250, false}, 5);
    auto without = random_network({{4, 8, false}, 40, -50, 250, false}, 5);
    for (std::string_view fen : WALK_STARTS) {
        const Position pos = from_fen(fen);
        NnueEval plain(without);
        plain.reset(pos);
        EXPECT_FALSE(plain.wdl(pos));
        for (simd::Path path : simd::available_paths()) {
            NnueEval e(with_head, path);
            e.reset(pos);
            std::optional<WdlProbs> w = e.wdl(pos);
            ASSERT_TRUE(w);
            const WdlProbs want = plain_wdl(*with_head, pos);
            EXPECT_FLOAT_EQ(w->win, want.win) << fen;
            EXPECT_FLOAT_EQ(w->draw, want.draw) << fen;
            EXPECT_FLOAT_EQ(w->loss, want.loss) << fen;
            EXPECT_GT(w->win, 0.0f);
            EXPECT_GT(w->draw, 0.0f);
            EXPECT_GT(w->loss, 0.0f);
            EXPECT_NEAR(w->win + w->draw + w->loss, 1.0f, 1e-5f);
        }
    }
}

TEST(NnueEval, CopiesKeepTheirOwnStackAndShareTheNetwork) {
    auto net = random_network({{8, 8, true}, 40, -50, 250, false}, 11);
    Position pos = from_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
    NnueEval original(net);
    original.reset(pos);
    // The king crosses to the e-h side and the rook moves: both perspectives change.
    const Move first[] = {make_move(4, 3, QUIET), make_move(63, 62, QUIET),
                          make_move(3, 12, QUIET)};
    for (Move m : first) {
        original.push_move(pos, m);
        pos.make_move(m);
    }
    const int before = original.evaluate(pos);

    NnueEval copy = original;
    EXPECT_EQ(copy.shared_network().get(), original.shared_network().get());
    EXPECT_EQ(copy.ply(), 3);
    const Move second[] = {make_move(60, 61, QUIET), make_move(12, 20, QUIET)};
    for (Move m : second) {
        copy.push_move(pos, m);
        pos.make_move(m);
        EXPECT_EQ(copy.evaluate(pos), plain_score(*net, pos)) << pos.to_fen();
    }
    for (int i = 1; i >= 0; --i) {
        pos.unmake_move(second[i]);
        copy.pop_move();
    }
    EXPECT_EQ(original.evaluate(pos), before);
    EXPECT_EQ(copy.evaluate(pos), before);
    EXPECT_EQ(before, plain_score(*net, pos));
}

TEST(NnueEval, MisuseIsAFatalStop) {
    auto net = random_network({{1, 1, false}, 40, -50, 250, false}, 3);
    Position pos = Position::startpos();
    NnueEval e(net);
    EXPECT_THROW(e.evaluate(pos), FatalError);
    EXPECT_THROW(e.pop_move(), FatalError);

    // Knights shuffling out and back: the stack holds 135 moves above the root.
    e.reset(pos);
    const Move cycle[] = {make_move(6, 21, QUIET), make_move(62, 45, QUIET),
                          make_move(21, 6, QUIET), make_move(45, 62, QUIET)};
    for (int i = 0; i + 1 < STACK_SIZE; ++i) {
        const Move m = cycle[i % 4];
        e.push_move(pos, m);
        pos.make_move(m);
    }
    EXPECT_EQ(e.evaluate(pos), plain_score(*net, pos));
    EXPECT_THROW(e.push_move(pos, cycle[(STACK_SIZE - 1) % 4]), FatalError);
}

}  // namespace
}  // namespace orvane::nnue
