#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "core/board/attacks.h"
#include "core/router/router_bytes.h"
#include "core/router/router_moe_net.h"

namespace orvane::router_moe {
namespace {

using router::ByteReader;
using router::LoadError;
using router::put_floats;
using router::put_u32;

float dot(std::span<const float> a, std::span<const float> b) {
    return router::RouterNet::dot(a, b);
}

// Expert feature offsets after the two trunk vectors.
constexpr int FEAT_PROMO = 0;  // + promotion kind 0..4 (0 = none)
constexpr int FEAT_CAPTURE = 5;
constexpr int FEAT_VICTIM_VALUE = 6;
constexpr int FEAT_IS_PROMOTION = 7;
constexpr int FEAT_CASTLE = 8;
constexpr int FEAT_TO_PAWN_ATTACKED = 9;
constexpr int FEAT_FROM_PAWN_ATTACKED = 10;

// Captured piece values by type; en passant takes a pawn.
constexpr float VICTIM_VALUE[6] = {0.1f, 0.3f, 0.33f, 0.5f, 0.9f, 1.0f};

#if defined(__AVX2__) && defined(__FMA__)
// e^x to about 2 ulp: x = n ln 2 + r with |r| <= ln 2 / 2, e^r by a degree-6 polynomial, 2^n
// through the exponent bits. Inputs are clamped so that 2^n stays a normal number or zero.
__m256 exp8(__m256 x) {
    x = _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(-87.0f)), _mm256_set1_ps(88.0f));
    const __m256 n = _mm256_round_ps(_mm256_mul_ps(x, _mm256_set1_ps(1.44269504088896341f)),
                                     _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(0.693359375f), x);
    r = _mm256_fnmadd_ps(n, _mm256_set1_ps(-2.12194440e-4f), r);
    __m256 p = _mm256_set1_ps(1.9875691500e-4f);
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.3981999507e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(8.3334519073e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(4.1665795894e-2f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.6666665459e-1f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(5.0000001201e-1f));
    p = _mm256_fmadd_ps(p, _mm256_mul_ps(r, r), _mm256_add_ps(r, _mm256_set1_ps(1.0f)));
    const __m256i bits =
        _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(n), _mm256_set1_epi32(127)), 23);
    return _mm256_mul_ps(p, _mm256_castsi256_ps(bits));
}

__m256 silu8(__m256 x) {
    const __m256 denom =
        _mm256_add_ps(_mm256_set1_ps(1.0f), exp8(_mm256_sub_ps(_mm256_setzero_ps(), x)));
    return _mm256_div_ps(x, denom);
}
#endif

// silu(x) = x / (1 + e^-x) over an array. Every element goes through the same code, the
// tail included, so a value does not depend on where it stands.
void silu_into(const float* in, float* out, std::size_t n) {
#if defined(__AVX2__) && defined(__FMA__)
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, silu8(_mm256_loadu_ps(in + i)));
    if (i < n) {
        alignas(32) float tail[8] = {};
        std::copy(in + i, in + n, tail);
        _mm256_store_ps(tail, silu8(_mm256_load_ps(tail)));
        std::copy(tail, tail + (n - i), out + i);
    }
#else
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i] / (1.0f + std::exp(-in[i]));
#endif
}

// h += x * row over the expert's units.
void axpy(float* h, const float* row, float x, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) h[i] += x * row[i];
}

void fill_uniform(std::vector<float>& v, std::size_t count, float scale, router::XorShift64& rng) {
    v.resize(count);
    for (float& w : v) w = rng.next() * scale;
}

// Per-thread working vectors, grown to the largest network seen and then reused.
struct Scratch {
    std::vector<float> planes, x, y, a, trunk, z, hidden, h_source, h;
    void ensure(std::size_t c, std::size_t e) {
        auto grow = [](std::vector<float>& v, std::size_t n) {
            if (v.size() < n) v.resize(n);
        };
        grow(planes, INPUT_PLANES * 64);
        grow(x, c * 64);
        grow(y, c * 64);
        grow(a, c * 64);
        grow(trunk, c * 64);
        grow(z, c + EMBED);
        grow(hidden, c);
        grow(h_source, e);
        grow(h, e);
    }
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

}  // namespace

void input_planes(const Position& pos, float* planes) {
    std::fill(planes, planes + INPUT_PLANES * 64, 0.0f);
    const Color us = pos.side();
    const Color them = us ^ 1;
    const int flip = us == BLACK ? 56 : 0;
    for (Bitboard occ = pos.pieces(); occ;) {
        const int sq = pop_lsb(occ);
        const Piece p = pos.piece_on(sq);
        const int plane = (color_of(p) == us ? PLANE_OWN : PLANE_ENEMY) + kind_of(p);
        planes[plane * 64 + (sq ^ flip)] = 1.0f;
    }
    const std::uint8_t rights = pos.castling();
    const std::uint8_t king_side[2] = {WHITE_KING_SIDE, BLACK_KING_SIDE};
    const std::uint8_t queen_side[2] = {WHITE_QUEEN_SIDE, BLACK_QUEEN_SIDE};
    const bool castle[4] = {(rights & king_side[us]) != 0, (rights & queen_side[us]) != 0,
                            (rights & king_side[them]) != 0, (rights & queen_side[them]) != 0};
    for (int k = 0; k < 4; ++k)
        if (castle[k])
            std::fill(planes + (PLANE_CASTLE + k) * 64, planes + (PLANE_CASTLE + k + 1) * 64, 1.0f);
    if (pos.ep_square() < 64) planes[PLANE_EP * 64 + (pos.ep_square() ^ flip)] = 1.0f;
    for (Bitboard b = attacks::of_pawns(pos.pieces(them, PAWN), them); b;)
        planes[PLANE_PAWN_ATTACKS * 64 + (pop_lsb(b) ^ flip)] = 1.0f;
    for (Bitboard b = pos.pieces(us); b;) planes[PLANE_OCCUPIED * 64 + (pop_lsb(b) ^ flip)] = 1.0f;
}

void conv3x3_8x8(const float* input, int in_channels, const float* weights, const float* bias,
                 int out_channels, float* output) {
    // Zero-bordered 10x10 copies of every input plane: the border is the padding, and each
    // output row is then eight contiguous products per kernel tap.
    thread_local std::vector<float> padded;
    if (padded.size() < static_cast<std::size_t>(in_channels) * 100)
        padded.resize(static_cast<std::size_t>(in_channels) * 100);
    for (int i = 0; i < in_channels; ++i) {
        float* pad = padded.data() + i * 100;
        std::fill(pad, pad + 100, 0.0f);
        for (int r = 0; r < 8; ++r) std::memcpy(pad + (r + 1) * 10 + 1, input + i * 64 + r * 8, 32);
    }
    for (int o = 0; o < out_channels; ++o) {
        const float* w = weights + static_cast<std::size_t>(o) * in_channels * 9;
        float* out = output + o * 64;
#if defined(__AVX2__) && defined(__FMA__)
        __m256 acc[8];
        for (int r = 0; r < 8; ++r) acc[r] = _mm256_set1_ps(bias[o]);
        for (int i = 0; i < in_channels; ++i, w += 9) {
            const float* pad = padded.data() + i * 100;
            for (int ky = 0; ky < 3; ++ky)
                for (int kx = 0; kx < 3; ++kx) {
                    const __m256 wk = _mm256_set1_ps(w[ky * 3 + kx]);
                    for (int r = 0; r < 8; ++r)
                        acc[r] =
                            _mm256_fmadd_ps(wk, _mm256_loadu_ps(pad + (r + ky) * 10 + kx), acc[r]);
                }
        }
        for (int r = 0; r < 8; ++r) _mm256_storeu_ps(out + r * 8, acc[r]);
#else
        std::fill(out, out + 64, bias[o]);
        for (int i = 0; i < in_channels; ++i, w += 9) {
            const float* pad = padded.data() + i * 100;
            for (int ky = 0; ky < 3; ++ky)
                for (int kx = 0; kx < 3; ++kx)
                    for (int r = 0; r < 8; ++r)
                        for (int c = 0; c < 8; ++c)
                            out[r * 8 + c] += w[ky * 3 + kx] * pad[(r + ky) * 10 + c + kx];
        }
#endif
    }
}

LoadResult RouterMoeNet::from_bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < HEADER_BYTES || std::memcmp(bytes.data(), "RRT5", 4) != 0)
        return LoadError{"not an RRT5 router network file"};
    ByteReader r{bytes, 4, "RRT5"};
    const std::uint32_t c = r.u32(), b = r.u32(), e = r.u32(), in = r.u32();
    if (c < 1 || c > MAX_CHANNELS || b > MAX_BLOCKS || e < 1 || in != INPUT_PLANES)
        return LoadError{"invalid RRT5 header C=" + std::to_string(c) + " B=" + std::to_string(b)
                         + " E=" + std::to_string(e) + " in=" + std::to_string(in)};

    auto net = std::make_shared<RouterMoeNet>();
    net->channels = c;
    net->blocks = b;
    net->expert_units = e;
    net->input_planes = in;
    const std::uint64_t cc = c, ee = e, f = net->feature_count();
    r.floats(net->stem_weights, INPUT_PLANES * cc * 9);
    r.floats(net->stem_bias, cc);
    net->res_blocks.resize(b);
    for (ResBlockWeights& block : net->res_blocks) {
        r.floats(block.conv1_weights, cc * cc * 9);
        r.floats(block.conv1_bias, cc);
        r.floats(block.conv2_weights, cc * cc * 9);
        r.floats(block.conv2_bias, cc);
    }
    r.floats(net->piece_embed, 6 * EMBED);
    r.floats(net->source_hidden_weights, cc * (cc + EMBED));
    r.floats(net->source_hidden_bias, cc);
    r.floats(net->source_out_weights, cc);
    net->source_out_bias = r.f32();
    r.floats(net->expert_weights, 6 * f * ee);
    r.floats(net->expert_bias, 6 * ee);
    r.floats(net->expert_out_weights, 6 * ee);
    r.floats(net->piece_bias, 6);
    r.floats(net->move_bias, MOVE_BIAS_SIZE);
    if (r.error) return LoadError{*r.error};
    if (r.offset != bytes.size())
        return LoadError{"RRT5 file size mismatch: read " + std::to_string(r.offset) + ", total "
                         + std::to_string(bytes.size())};
    return std::shared_ptr<const RouterMoeNet>(std::move(net));
}

RouterMoeNet RouterMoeNet::random(std::uint32_t channels, std::uint32_t blocks,
                                  std::uint32_t expert_units, std::uint64_t rng_state) {
    RouterMoeNet net;
    net.channels = channels;
    net.blocks = blocks;
    net.expert_units = expert_units;
    const std::size_t c = channels, e = expert_units, f = net.feature_count();
    router::XorShift64 rng{rng_state};
    auto inv_sqrt = [](std::size_t n) { return 1.0f / std::sqrt(static_cast<float>(n)); };

    fill_uniform(net.stem_weights, INPUT_PLANES * c * 9, inv_sqrt(INPUT_PLANES * 9), rng);
    net.stem_bias.assign(c, 0.0f);
    net.res_blocks.resize(blocks);
    for (ResBlockWeights& block : net.res_blocks) {
        fill_uniform(block.conv1_weights, c * c * 9, inv_sqrt(c * 9), rng);
        block.conv1_bias.assign(c, 0.0f);
        // The residual branch starts small so the tower stays near the identity.
        fill_uniform(block.conv2_weights, c * c * 9, 0.5f * inv_sqrt(c * 9), rng);
        block.conv2_bias.assign(c, 0.0f);
    }
    fill_uniform(net.piece_embed, 6 * EMBED, 1.0f, rng);
    fill_uniform(net.source_hidden_weights, c * (c + EMBED), inv_sqrt(c + EMBED), rng);
    net.source_hidden_bias.assign(c, 0.0f);
    fill_uniform(net.source_out_weights, c, inv_sqrt(c), rng);
    net.source_out_bias = 0.0f;
    fill_uniform(net.expert_weights, 6 * f * e, inv_sqrt(f), rng);
    net.expert_bias.assign(6 * e, 0.0f);
    fill_uniform(net.expert_out_weights, 6 * e, inv_sqrt(e), rng);
    net.piece_bias.assign(6, 0.0f);
    net.move_bias.assign(MOVE_BIAS_SIZE, 0.0f);
    return net;
}

std::vector<std::uint8_t> serialise(const RouterMoeNet& net) {
    std::vector<std::uint8_t> out{'R', 'R', 'T', '5'};
    put_u32(out, net.channels);
    put_u32(out, net.blocks);
    put_u32(out, net.expert_units);
    put_u32(out, net.input_planes);
    put_floats(out, net.stem_weights);
    put_floats(out, net.stem_bias);
    for (const ResBlockWeights& block : net.res_blocks) {
        put_floats(out, block.conv1_weights);
        put_floats(out, block.conv1_bias);
        put_floats(out, block.conv2_weights);
        put_floats(out, block.conv2_bias);
    }
    put_floats(out, net.piece_embed);
    put_floats(out, net.source_hidden_weights);
    put_floats(out, net.source_hidden_bias);
    put_floats(out, net.source_out_weights);
    put_floats(out, {&net.source_out_bias, 1});
    put_floats(out, net.expert_weights);
    put_floats(out, net.expert_bias);
    put_floats(out, net.expert_out_weights);
    put_floats(out, net.piece_bias);
    put_floats(out, net.move_bias);
    return out;
}

std::vector<float> RouterMoeNet::log_probs(const Position& pos, std::span<const Move> moves,
                                           std::uint32_t top_k) const {
    std::vector<float> out(moves.size());
    log_probs(pos, moves, top_k, out);
    return out;
}

namespace {

// x = stem(planes); per block x += conv2(silu(conv1(silu(x)))); t = silu(x), stored square by
// square so that t[s] is a contiguous C-vector.
const float* run_tower(const RouterMoeNet& net, const Position& pos, Scratch& s) {
    const std::size_t c = net.channels;
    const int ci = static_cast<int>(c);
    float* x = s.x.data();
    float* y = s.y.data();
    float* a = s.a.data();
    router_moe::input_planes(pos, s.planes.data());
    conv3x3_8x8(s.planes.data(), INPUT_PLANES, net.stem_weights.data(), net.stem_bias.data(), ci,
                x);
    for (const ResBlockWeights& block : net.res_blocks) {
        silu_into(x, a, c * 64);
        conv3x3_8x8(a, ci, block.conv1_weights.data(), block.conv1_bias.data(), ci, y);
        silu_into(y, a, c * 64);
        conv3x3_8x8(a, ci, block.conv2_weights.data(), block.conv2_bias.data(), ci, y);
        for (std::size_t i = 0; i < c * 64; ++i) x[i] += y[i];
    }
    silu_into(x, a, c * 64);
    float* trunk = s.trunk.data();
    for (std::size_t ch = 0; ch < c; ++ch)
        for (int sq = 0; sq < 64; ++sq) trunk[sq * c + ch] = a[ch * 64 + sq];
    return trunk;
}

// Output bias + sum over hidden units of out weight x silu(hidden bias + row . [t, embedding]).
float source_logit(const RouterMoeNet& net, const float* t_from, int kind, Scratch& s) {
    const std::size_t c = net.channels, width = c + EMBED;
    float* z = s.z.data();
    float* hidden = s.hidden.data();
    std::copy_n(t_from, c, z);
    std::copy_n(net.piece_embed.data() + kind * EMBED, EMBED, z + c);
    for (std::size_t l = 0; l < c; ++l)
        hidden[l] = net.source_hidden_bias[l]
                    + dot({net.source_hidden_weights.data() + l * width, width}, {z, width});
    silu_into(hidden, hidden, c);
    return net.source_out_bias + dot(net.source_out_weights, {hidden, c});
}

// Marks the `top_k` best sources as expanded: a stable sort keeps ties in order of first
// appearance, and a NaN logit (corrupt weights) ranks last.
void mark_top_sources(const float* logits, int count, std::uint32_t top_k, bool* expanded) {
    std::uint8_t order[64];
    for (int si = 0; si < count; ++si) order[si] = static_cast<std::uint8_t>(si);
    auto key = [&](int si) {
        return std::isnan(logits[si]) ? -std::numeric_limits<float>::infinity() : logits[si];
    };
    std::stable_sort(order, order + count,
                     [&](std::uint8_t l, std::uint8_t r) { return key(l) > key(r); });
    std::fill(expanded, expanded + count, false);
    for (std::uint32_t k = 0; k < top_k; ++k) expanded[order[k]] = true;
}

// What every move of one source shares: the expert of the moving piece, and its first layer
// over the from-square's features.
struct Expert {
    const float* weights;      // F x E
    const float* out_weights;  // E
    int kind;
    int mfrom;  // from-square, side to move's view
};

Expert start_expert(const RouterMoeNet& net, const float* trunk, int kind, int from, int flip,
                    Bitboard enemy_pawn_attacks, float* h_source) {
    const std::size_t c = net.channels, e = net.expert_units, f = net.feature_count();
    Expert ex{net.expert_weights.data() + kind * f * e, net.expert_out_weights.data() + kind * e,
              kind, from ^ flip};
    std::copy_n(net.expert_bias.data() + kind * e, e, h_source);
    const float* t_from = trunk + ex.mfrom * c;
    // Features that are exactly 0 cost nothing.
    for (std::size_t k = 0; k < c; ++k)
        if (t_from[k] != 0.0f) axpy(h_source, ex.weights + k * e, t_from[k], e);
    if (enemy_pawn_attacks & bit(from))
        axpy(h_source, ex.weights + (2 * c + FEAT_FROM_PAWN_ATTACKED) * e, 1.0f, e);
    return ex;
}

float expert_logit(const RouterMoeNet& net, const Expert& ex, const Position& pos, Move m, int flip,
                   Bitboard enemy_pawn_attacks, const float* trunk, const float* h_source,
                   float* h) {
    const std::size_t c = net.channels, e = net.expert_units;
    const int to = move_to(m);
    const int mto = to ^ flip;
    std::copy_n(h_source, e, h);
    const float* t_to = trunk + mto * c;
    for (std::size_t k = 0; k < c; ++k)
        if (t_to[k] != 0.0f) axpy(h, ex.weights + (c + k) * e, t_to[k], e);
    const float* scalars = ex.weights + 2 * c * e;
    const int promo = is_promotion(m) ? promoted_kind(m) : 0;
    axpy(h, scalars + (FEAT_PROMO + promo) * e, 1.0f, e);
    if (is_capture(m)) {
        const int victim = is_en_passant(m) ? PAWN : kind_of(pos.piece_on(to));
        axpy(h, scalars + FEAT_CAPTURE * e, 1.0f, e);
        axpy(h, scalars + FEAT_VICTIM_VALUE * e, VICTIM_VALUE[victim], e);
    }
    if (promo) axpy(h, scalars + FEAT_IS_PROMOTION * e, 1.0f, e);
    if (is_castle(m)) axpy(h, scalars + FEAT_CASTLE * e, 1.0f, e);
    if (enemy_pawn_attacks & bit(to)) axpy(h, scalars + FEAT_TO_PAWN_ATTACKED * e, 1.0f, e);
    silu_into(h, h, e);
    return net.piece_bias[ex.kind] + net.move_bias[ex.kind * 4096 + ex.mfrom * 64 + mto]
           + dot({ex.out_weights, e}, {h, e});
}

}  // namespace

void RouterMoeNet::log_probs(const Position& pos, std::span<const Move> moves, std::uint32_t top_k,
                             std::span<float> out) const {
    const int n = static_cast<int>(moves.size());
    if (n > MAX_MOVES || out.size() < moves.size()) fatal("router: move list does not fit");
    if (n == 0) return;
    const int flip = pos.side() == BLACK ? 56 : 0;
    Scratch& s = scratch();
    s.ensure(channels, expert_units);
    const float* trunk = run_tower(*this, pos, s);

    // Sources (from-squares) in order of first appearance, each with its source logit.
    router::SourceGroups groups;
    router::group_sources(moves, groups);
    float logits[64];
    for (int si = 0; si < groups.count; ++si) {
        const int from = groups.from[si];
        logits[si] =
            source_logit(*this, trunk + (from ^ flip) * channels, kind_of(pos.piece_on(from)), s);
    }

    // Only the top-K sources get the expert head; the moves of the others keep logit 0.
    bool expanded[64];
    std::fill(expanded, expanded + groups.count, true);
    if (top_k > 0 && top_k < static_cast<std::uint32_t>(groups.count))
        mark_top_sources(logits, groups.count, top_k, expanded);

    const Color them = pos.side() ^ 1;
    const Bitboard enemy_pawn_attacks = attacks::of_pawns(pos.pieces(them, PAWN), them);
    float move_logit[MAX_MOVES];
    for (int si = 0; si < groups.count; ++si) {
        const int from = groups.from[si];
        Expert ex{};
        if (expanded[si])
            ex = start_expert(*this, trunk, kind_of(pos.piece_on(from)), from, flip,
                              enemy_pawn_attacks, s.h_source.data());
        for (int i = 0; i < n; ++i) {
            if (groups.of_move[i] != si) continue;
            move_logit[i] = expanded[si]
                                ? expert_logit(*this, ex, pos, moves[i], flip, enemy_pawn_attacks,
                                               trunk, s.h_source.data(), s.h.data())
                                : 0.0f;
        }
    }
    router::two_level_log_softmax(groups, logits, move_logit, out.first(moves.size()));
}

}  // namespace orvane::router_moe
