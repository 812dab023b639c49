#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "core/board/attacks.h"
#include "core/router/router_bytes.h"
#include "core/router/router_net.h"
#include "core/board/see.h"

namespace orvane::router {
namespace {

constexpr std::string_view NOT_A_ROUTER = "not a router network file (RRT4, RRT3, RRT2, or RRT1)";

constexpr float W1_SCALE = 0.17677669f;  // 1 / sqrt(32)
constexpr float INIT_BIAS = 0.25f;

// Floats of arrays 1-7 for a trunk of g units.
std::uint64_t base_floats(std::uint64_t h1, std::uint64_t g) {
    return 768 * h1 + h1 + 384 * g + 384 + 384 * g + MOVE_BIAS_SIZE + PROMO_KINDS;
}

// Per-thread working vectors, grown to the largest network seen and then reused.
struct Scratch {
    std::vector<float> a1, t, v;
    void ensure(std::size_t h1, std::size_t g) {
        if (a1.size() < h1) a1.resize(h1);
        if (t.size() < g) t.resize(g);
        if (v.size() < g) v.resize(g);
    }
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

void add_row(float* acc, const float* row, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) acc[i] += row[i];
}

float clipped_square(float x) {
    float c = std::clamp(x, 0.0f, 1.0f);
    return c * c;
}

float flag_sum(const float* weights, std::uint32_t bits) {
    float sum = 0.0f;
    for (; bits; bits &= bits - 1) sum += weights[std::countr_zero(bits)];
    return sum;
}

// The trunk vector: the first layer from the active features only (at most 32 rows), its
// activation, and the second layer when there is one.
const float* run_trunk(const RouterNet& net, const Position& pos, Scratch& s) {
    const std::size_t h1 = net.h1, h2 = net.h2;
    const Color us = pos.side();
    const int flip = us == BLACK ? 56 : 0;
    float* a1 = s.a1.data();
    std::copy(net.b1.begin(), net.b1.end(), a1);
    for (Bitboard occ = pos.pieces(); occ;) {
        const int sq = pop_lsb(occ);
        const Piece p = pos.piece_on(sq);
        const int feature = (color_of(p) == us ? 0 : 384) + kind_of(p) * 64 + (sq ^ flip);
        add_row(a1, net.w1.data() + feature * h1, h1);
    }
    for (std::size_t i = 0; i < h1; ++i)
        a1[i] = net.screlu ? clipped_square(a1[i]) : std::max(a1[i], 0.0f);
    if (h2 == 0) return a1;
    float* a2 = s.t.data();
    for (std::size_t j = 0; j < h2; ++j)
        a2[j] = clipped_square(net.b2[j] + RouterNet::dot({net.w2.data() + j * h1, h1}, {a1, h1}));
    return a2;
}

int relative_rank(Color c, int sq) { return c == WHITE ? rank_of(sq) : 7 - rank_of(sq); }

// Squares ahead of `sq` for colour c on its own and the adjacent files.
Bitboard passed_span(Color c, int sq) {
    Bitboard files = FILE_A << file_of(sq);
    files |= ((files << 1) & ~FILE_A) | ((files >> 1) & ~FILE_H);
    int r = rank_of(sq);
    Bitboard ahead =
        c == WHITE ? (r == 7 ? 0 : ~Bitboard{0} << (8 * (r + 1))) : (Bitboard{1} << (8 * r)) - 1;
    return files & ahead;
}

#if defined(__AVX2__)
float horizontal_sum(__m256 v) {
    __m128 half = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    half = _mm_add_ps(half, _mm_movehl_ps(half, half));
    half = _mm_add_ss(half, _mm_shuffle_ps(half, half, 1));
    return _mm_cvtss_f32(half);
}
#endif

}  // namespace

float log_sum_exp(const float* values, int count) {
    float m = -std::numeric_limits<float>::infinity();
    for (int i = 0; i < count; ++i) m = std::max(m, values[i]);
    // All terms -inf (or +inf somewhere): the maximum is the answer, and subtracting it would
    // give NaN.
    if (std::isinf(m)) return m;
    float sum = 0.0f;
    for (int i = 0; i < count; ++i) sum += std::exp(values[i] - m);
    return m + std::log(sum);
}

void group_sources(std::span<const Move> moves, SourceGroups& groups) {
    std::int8_t index_of[64];
    std::fill(std::begin(index_of), std::end(index_of), -1);
    groups.count = 0;
    for (std::size_t i = 0; i < moves.size(); ++i) {
        const int from = move_from(moves[i]);
        if (index_of[from] < 0) {
            index_of[from] = static_cast<std::int8_t>(groups.count);
            groups.from[groups.count++] = static_cast<std::uint8_t>(from);
        }
        groups.of_move[i] = static_cast<std::uint8_t>(index_of[from]);
    }
}

void two_level_log_softmax(const SourceGroups& groups, const float* source_logits,
                           const float* move_logits, std::span<float> out) {
    float source_lse[64];
    float members[MAX_MOVES];
    for (int si = 0; si < groups.count; ++si) {
        int count = 0;
        for (std::size_t i = 0; i < out.size(); ++i)
            if (groups.of_move[i] == si) members[count++] = move_logits[i];
        source_lse[si] = log_sum_exp(members, count);
    }
    const float total = log_sum_exp(source_logits, groups.count);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int si = groups.of_move[i];
        out[i] = (source_logits[si] - total) + (move_logits[i] - source_lse[si]);
    }
}

void compute_flags(const Position& pos, std::span<const Move> moves, std::uint32_t* move_flags,
                   std::array<std::uint8_t, 64>& source_flags) {
    const Color us = pos.side();
    const Color them = us ^ 1;
    const Bitboard occ = pos.pieces();
    const Bitboard own = pos.pieces(us);
    const Bitboard enemy = pos.pieces(them);
    const Bitboard their_pawns = pos.pieces(them, PAWN);
    source_flags.fill(0);
    Bitboard from_squares = 0;

    for (std::size_t i = 0; i < moves.size(); ++i) {
        const Move m = moves[i];
        const int from = move_from(m), to = move_to(m);
        const int kind = kind_of(pos.piece_on(from));
        const bool capture = is_capture(m), promo = is_promotion(m), castle = is_castle(m);
        std::uint32_t f = 0;

        if (capture) {
            int victim = is_en_passant(m) ? PAWN : kind_of(pos.piece_on(to));
            if (victim < KING) f |= 1u << (MF_CAPTURE + victim);
        }
        if (pos.gives_check(m)) f |= 1u << MF_CHECK;
        const bool see_loss = !castle && !see::see_ge(pos, m, 0);
        if (see_loss) f |= 1u << MF_SEE_LOSS;
        const Bitboard occ_from = occ & ~bit(from);
        const bool to_attacked = pos.is_attacked(to, them, occ_from);
        const bool to_pawn_attacked = (attacks::PAWN[us][to] & their_pawns) != 0;
        const bool from_attacked = pos.is_attacked(from, them, occ);
        if (to_attacked) f |= 1u << MF_TO_ATTACKED;
        if (to_pawn_attacked) f |= 1u << MF_TO_PAWN_ATTACKED;
        if (castle) f |= 1u << MF_CASTLE;
        if (from_attacked) f |= 1u << MF_FROM_ATTACKED;
        if (promo) f |= 1u << MF_PROMOTION;
        if ((promo || (capture && !see_loss)) && see::see_ge(pos, m, 1)) f |= 1u << MF_SEE_GAIN;
        if (kind != PAWN && !to_pawn_attacked && (attacks::PAWN[us][from] & their_pawns))
            f |= 1u << MF_ESCAPE_PAWN;
        if (!to_attacked && from_attacked) f |= 1u << MF_ESCAPE;

        // Threat from the destination, on the board after the move.
        Bitboard after = occ_from | bit(to);
        Bitboard targets = enemy & ~bit(to);
        if (is_en_passant(m)) {
            after &= ~bit(to ^ 8);
            targets &= ~bit(to ^ 8);
        }
        Bitboard reach = kind == PAWN ? attacks::PAWN[us][to] : attacks::of_kind(kind, to, after);
        if (reach & targets) f |= 1u << MF_THREAT;

        if (kind == PAWN) {
            if (!(passed_span(us, to) & their_pawns)) f |= 1u << MF_PASSED;
            if (relative_rank(us, to) >= 5) f |= 1u << MF_ADVANCED;
        }
        move_flags[i] = f;

        std::uint8_t& sf = source_flags[from];
        if (from_attacked) sf |= 1u << SF_ATTACKED;
        if ((f & 0x1F) && !see_loss) sf |= 1u << SF_GOOD_CAPTURE;
        if (f & (1u << MF_CHECK)) sf |= 1u << SF_CHECK;
        if (f & (1u << MF_SEE_GAIN)) sf |= 1u << SF_SEE_GAIN;
        if (castle) sf |= 1u << SF_CASTLE;
        from_squares |= bit(from);
    }

    while (from_squares) {
        const int s = pop_lsb(from_squares);
        const int kind = kind_of(pos.piece_on(s));
        std::uint8_t& sf = source_flags[s];
        if ((sf & (1u << SF_ATTACKED)) && !(pos.attackers_to(s, occ) & own)) sf |= 1u << SF_HANGING;
        if (kind != PAWN && (attacks::PAWN[us][s] & their_pawns)) sf |= 1u << SF_PAWN_ATTACKED;
        if (kind == PAWN && relative_rank(us, s) == 6) sf |= 1u << SF_SEVENTH_PAWN;
    }
}

std::uint64_t expected_size(int version, std::uint32_t h1, std::uint32_t h2) {
    switch (version) {
        case 1: return 12 + 4 * base_floats(h1, h1);
        case 2:
            return 12 + 4 * base_floats(h1, h1) + 4 * (6 * RRT2_MOVE_FLAGS + 6 * RRT2_SOURCE_FLAGS);
        case 3: return 12 + 4 * base_floats(h1, h1) + 4 * (6 * MOVE_FLAGS + 6 * SOURCE_FLAGS);
        default:
            return 16
                   + 4
                         * (base_floats(h1, h2) + 6 * MOVE_FLAGS + 6 * SOURCE_FLAGS
                            + std::uint64_t{h1} * h2 + h2 + 384 * std::uint64_t{h2});
    }
}

LoadResult RouterNet::from_bytes(std::span<const std::uint8_t> bytes) {
    const std::uint64_t length = bytes.size();
    if (length < 12) return LoadError{std::string(NOT_A_ROUTER)};
    const std::string_view magic(reinterpret_cast<const char*>(bytes.data()), 4);
    int version = magic == "RRT1"   ? 1
                  : magic == "RRT2" ? 2
                  : magic == "RRT3" ? 3
                  : magic == "RRT4" ? 4
                                    : 0;
    if (version == 0) return LoadError{std::string(NOT_A_ROUTER)};

    auto net = std::make_shared<RouterNet>();
    net->version = version;
    ByteReader r{bytes, 4, magic};
    if (version == 4) {
        if (length < 16) return LoadError{"truncated RRT4 header"};
        net->h1 = r.u32();
        net->h2 = r.u32();
        net->scale = r.f32();
        const std::string sizes = std::to_string(net->h1) + "x" + std::to_string(net->h2);
        if (net->h1 < 1 || net->h1 > MAX_HIDDEN || net->h2 < 1 || net->h2 > MAX_HIDDEN)
            return LoadError{"bad RRT4 hidden sizes " + sizes};
        const std::uint64_t expected = expected_size(4, net->h1, net->h2);
        if (length != expected)
            return LoadError{"RRT4 file has " + std::to_string(length) + " bytes, " + sizes
                             + " needs " + std::to_string(expected)};
    } else {
        net->h1 = r.u32();
        net->scale = r.f32();
        if (net->h1 < 1 || net->h1 > MAX_HIDDEN)
            return LoadError{"bad hidden size " + std::to_string(net->h1)};
        const std::uint64_t expected = expected_size(version, net->h1, 0);
        if (length != expected)
            return LoadError{"router file has " + std::to_string(length) + " bytes, hidden "
                             + std::to_string(net->h1) + " needs " + std::to_string(expected)};
    }
    net->screlu = version >= 3;

    const std::size_t h1 = net->h1, h2 = net->h2, g = net->trunk_size();
    r.floats(net->w1, INPUTS * h1);
    r.floats(net->b1, h1);
    r.floats(net->source_weights, SOURCES * g);
    r.floats(net->source_bias, SOURCES);
    r.floats(net->dest_weights, SOURCES * g);
    r.floats(net->move_bias, MOVE_BIAS_SIZE);
    r.floats(net->promo_bias, PROMO_KINDS);
    switch (version) {
        case 1:
            net->move_flag_weights.assign(6 * MOVE_FLAGS, 0.0f);
            net->source_flag_weights.assign(6 * SOURCE_FLAGS, 0.0f);
            break;
        case 2:
            r.grouped(net->move_flag_weights, 6, MOVE_FLAGS, RRT2_MOVE_FLAGS);
            r.grouped(net->source_flag_weights, 6, SOURCE_FLAGS, RRT2_SOURCE_FLAGS);
            break;
        default:
            r.floats(net->move_flag_weights, 6 * MOVE_FLAGS);
            r.floats(net->source_flag_weights, 6 * SOURCE_FLAGS);
            break;
    }
    if (version == 4) {
        r.floats(net->w2, h1 * h2);
        r.floats(net->b2, h2);
        r.floats(net->modulation, SOURCES * h2);
    }
    if (r.error) return LoadError{*r.error};  // only if expected_size and these reads disagree
    return std::shared_ptr<const RouterNet>(std::move(net));
}

RouterNet RouterNet::new_v4(std::uint32_t h1, std::uint32_t h2, std::uint64_t rng_state) {
    RouterNet net;
    net.h1 = h1;
    net.h2 = h2;
    net.version = h2 > 0 ? 4 : 3;
    const std::size_t g = net.trunk_size();
    XorShift64 rng{rng_state};

    net.w1.resize(INPUTS * std::size_t{h1});
    for (float& w : net.w1) w = rng.next() * W1_SCALE;
    net.w2.resize(std::size_t{h1} * h2);
    const float w2_scale = h2 > 0 ? std::sqrt(2.0f / static_cast<float>(h1)) * 0.5f : 0.0f;
    for (float& w : net.w2) w = rng.next() * w2_scale;
    const float head_scale = std::sqrt(1.0f / static_cast<float>(g)) * 0.5f;
    net.source_weights.resize(SOURCES * g);
    for (float& w : net.source_weights) w = rng.next() * head_scale;
    net.dest_weights.resize(SOURCES * g);
    for (float& w : net.dest_weights) w = rng.next() * head_scale;

    net.b1.assign(h1, INIT_BIAS);
    net.b2.assign(h2, INIT_BIAS);
    net.source_bias.assign(SOURCES, 0.0f);
    net.move_bias.assign(MOVE_BIAS_SIZE, 0.0f);
    net.promo_bias.assign(PROMO_KINDS, 0.0f);
    net.move_flag_weights.assign(6 * MOVE_FLAGS, 0.0f);
    net.source_flag_weights.assign(6 * SOURCE_FLAGS, 0.0f);
    net.modulation.assign(SOURCES * std::size_t{h2}, 0.0f);
    net.scale = 1.0f;
    net.screlu = true;
    return net;
}

std::vector<std::uint8_t> serialise(const RouterNet& net, int version) {
    if (version < 1 || version > 4 || (version == 4) != (net.h2 > 0))
        fatal("router serialise: version does not fit the layout");
    std::vector<std::uint8_t> out{'R', 'R', 'T', static_cast<std::uint8_t>('0' + version)};
    out.reserve(expected_size(version, net.h1, net.h2));
    put_u32(out, net.h1);
    if (version == 4) put_u32(out, net.h2);
    put_floats(out, {&net.scale, 1});
    put_floats(out, net.w1);
    put_floats(out, net.b1);
    put_floats(out, net.source_weights);
    put_floats(out, net.source_bias);
    put_floats(out, net.dest_weights);
    put_floats(out, net.move_bias);
    put_floats(out, net.promo_bias);
    if (version == 2) {
        for (int g = 0; g < 6; ++g)
            put_floats(out, {net.move_flag_weights.data() + g * MOVE_FLAGS, RRT2_MOVE_FLAGS});
        for (int g = 0; g < 6; ++g)
            put_floats(out, {net.source_flag_weights.data() + g * SOURCE_FLAGS, RRT2_SOURCE_FLAGS});
    } else if (version >= 3) {
        put_floats(out, net.move_flag_weights);
        put_floats(out, net.source_flag_weights);
    }
    if (version == 4) {
        put_floats(out, net.w2);
        put_floats(out, net.b2);
        put_floats(out, net.modulation);
    }
    return out;
}

float RouterNet::dot(std::span<const float> a, std::span<const float> b) {
    const float* x = a.data();
    const float* y = b.data();
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
#if defined(__AVX512F__)
    __m512 acc0 = _mm512_setzero_ps(), acc1 = _mm512_setzero_ps();
    for (; i + 32 <= n; i += 32) {
        acc0 = _mm512_fmadd_ps(_mm512_loadu_ps(x + i), _mm512_loadu_ps(y + i), acc0);
        acc1 = _mm512_fmadd_ps(_mm512_loadu_ps(x + i + 16), _mm512_loadu_ps(y + i + 16), acc1);
    }
    if (i + 16 <= n) {
        acc0 = _mm512_fmadd_ps(_mm512_loadu_ps(x + i), _mm512_loadu_ps(y + i), acc0);
        i += 16;
    }
    if (i < n) {
        const __mmask16 mask = static_cast<__mmask16>((1u << (n - i)) - 1);
        acc1 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(mask, x + i),
                               _mm512_maskz_loadu_ps(mask, y + i), acc1);
    }
    // GCC 12's own reduction helpers trip its -Wuninitialized; the lanes are summed by hand.
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, _mm512_add_ps(acc0, acc1));
    const __m256 acc8 = _mm256_add_ps(_mm256_load_ps(lanes), _mm256_load_ps(lanes + 8));
    return horizontal_sum(acc8);
#elif defined(__AVX2__) && defined(__FMA__)
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    for (; i + 16 <= n; i += 16) {
        acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(x + i), _mm256_loadu_ps(y + i), acc0);
        acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(x + i + 8), _mm256_loadu_ps(y + i + 8), acc1);
    }
    float sum = horizontal_sum(_mm256_add_ps(acc0, acc1));
    for (; i < n; ++i) sum += x[i] * y[i];
    return sum;
#else
    float sum = 0.0f;
    for (; i < n; ++i) sum += x[i] * y[i];
    return sum;
#endif
}

std::vector<float> RouterNet::log_probs(const Position& pos, std::span<const Move> moves) const {
    std::vector<float> out(moves.size());
    log_probs(pos, moves, out);
    return out;
}

void RouterNet::log_probs(const Position& pos, std::span<const Move> moves,
                          std::span<float> out) const {
    const int n = static_cast<int>(moves.size());
    if (n > MAX_MOVES || out.size() < moves.size()) fatal("router: move list does not fit");
    if (n == 0) return;
    const int flip = pos.side() == BLACK ? 56 : 0;
    const std::size_t g = trunk_size();
    Scratch& s = scratch();
    s.ensure(h1, g);

    const float* t = run_trunk(*this, pos, s);
    const std::span<const float> trunk{t, g};

    std::uint32_t flags[MAX_MOVES];
    std::array<std::uint8_t, 64> source_flags;
    compute_flags(pos, moves, flags, source_flags);

    SourceGroups groups;
    group_sources(moves, groups);
    float source_logit[64];
    float move_logit[MAX_MOVES];
    for (int si = 0; si < groups.count; ++si) {
        const int from = groups.from[si];
        const int kind = kind_of(pos.piece_on(from));
        const std::size_t row = kind * 64 + (from ^ flip);
        source_logit[si] =
            scale
            * (source_bias[row] + dot({source_weights.data() + row * g, g}, trunk)
               + flag_sum(source_flag_weights.data() + kind * SOURCE_FLAGS, source_flags[from]));

        // The destination head sees the trunk modulated per source in the two-layer layout.
        std::span<const float> v = trunk;
        if (h2 > 0) {
            const float* mod = modulation.data() + row * h2;
            float* mv = s.v.data();
            for (std::size_t i = 0; i < h2; ++i) mv[i] = (1.0f + mod[i]) * t[i];
            v = {mv, g};
        }
        for (int i = 0; i < n; ++i) {
            if (groups.of_move[i] != si) continue;
            const Move m = moves[i];
            const int to = move_to(m) ^ flip;
            const int promo = is_promotion(m) ? promoted_kind(m) : 0;
            move_logit[i] =
                scale
                * (move_bias[row * 64 + to]
                   + dot({dest_weights.data() + (kind * 64 + to) * g, g}, v) + promo_bias[promo]
                   + flag_sum(move_flag_weights.data() + kind * MOVE_FLAGS, flags[i]));
        }
    }
    two_level_log_softmax(groups, source_logit, move_logit, out.first(moves.size()));
}

}  // namespace orvane::router
