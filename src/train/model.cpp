#include "train/model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <immintrin.h>
#include <thread>

namespace orvane::train {
namespace {

// A vector of floats of the widest kind this build has, and the one-lane stand-in that
// finishes sizes that are not a multiple of the width. The kernels below are written once
// over either.
#if defined(__AVX512F__)
struct Vec {
    static constexpr int WIDTH = 16;
    __m512 v;
    static Vec load(const float* p) { return {_mm512_loadu_ps(p)}; }
    static Vec all(float x) { return {_mm512_set1_ps(x)}; }
    void store(float* p) const { _mm512_storeu_ps(p, v); }
    float sum() const {
        alignas(64) float lanes[WIDTH];
        _mm512_store_ps(lanes, v);
        float s = 0.0f;
        for (float x : lanes) s += x;
        return s;
    }
    friend Vec operator+(Vec a, Vec b) { return {_mm512_add_ps(a.v, b.v)}; }
    friend Vec operator-(Vec a, Vec b) { return {_mm512_sub_ps(a.v, b.v)}; }
    friend Vec operator*(Vec a, Vec b) { return {_mm512_mul_ps(a.v, b.v)}; }
    friend Vec operator/(Vec a, Vec b) { return {_mm512_div_ps(a.v, b.v)}; }
    // Masked forms with every lane selected: GCC 12 warns falsely about the undefined
    // pass-through operand of the plain ones.
    friend Vec min(Vec a, Vec b) { return {_mm512_mask_min_ps(a.v, 0xFFFF, a.v, b.v)}; }
    friend Vec max(Vec a, Vec b) { return {_mm512_mask_max_ps(a.v, 0xFFFF, a.v, b.v)}; }
    friend Vec sqrt(Vec a) { return {_mm512_mask_sqrt_ps(a.v, 0xFFFF, a.v)}; }
    friend Vec mul_add(Vec a, Vec b, Vec c) { return {_mm512_fmadd_ps(a.v, b.v, c.v)}; }
    // value where x < limit, else 0
    friend Vec below(Vec x, Vec limit, Vec value) {
        return {_mm512_maskz_mov_ps(_mm512_cmp_ps_mask(x.v, limit.v, _CMP_LT_OQ), value.v)};
    }
};
#elif defined(__AVX2__)
struct Vec {
    static constexpr int WIDTH = 8;
    __m256 v;
    static Vec load(const float* p) { return {_mm256_loadu_ps(p)}; }
    static Vec all(float x) { return {_mm256_set1_ps(x)}; }
    void store(float* p) const { _mm256_storeu_ps(p, v); }
    float sum() const {
        __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
        s = _mm_hadd_ps(s, s);
        return _mm_cvtss_f32(_mm_hadd_ps(s, s));
    }
    friend Vec operator+(Vec a, Vec b) { return {_mm256_add_ps(a.v, b.v)}; }
    friend Vec operator-(Vec a, Vec b) { return {_mm256_sub_ps(a.v, b.v)}; }
    friend Vec operator*(Vec a, Vec b) { return {_mm256_mul_ps(a.v, b.v)}; }
    friend Vec operator/(Vec a, Vec b) { return {_mm256_div_ps(a.v, b.v)}; }
    friend Vec min(Vec a, Vec b) { return {_mm256_min_ps(a.v, b.v)}; }
    friend Vec max(Vec a, Vec b) { return {_mm256_max_ps(a.v, b.v)}; }
    friend Vec sqrt(Vec a) { return {_mm256_sqrt_ps(a.v)}; }
    friend Vec mul_add(Vec a, Vec b, Vec c) { return {_mm256_fmadd_ps(a.v, b.v, c.v)}; }
    friend Vec below(Vec x, Vec limit, Vec value) {
        return {_mm256_and_ps(_mm256_cmp_ps(x.v, limit.v, _CMP_LT_OQ), value.v)};
    }
};
#endif

struct Lane {
    static constexpr int WIDTH = 1;
    float v;
    static Lane load(const float* p) { return {*p}; }
    static Lane all(float x) { return {x}; }
    void store(float* p) const { *p = v; }
    float sum() const { return v; }
    friend Lane operator+(Lane a, Lane b) { return {a.v + b.v}; }
    friend Lane operator-(Lane a, Lane b) { return {a.v - b.v}; }
    friend Lane operator*(Lane a, Lane b) { return {a.v * b.v}; }
    friend Lane operator/(Lane a, Lane b) { return {a.v / b.v}; }
    friend Lane min(Lane a, Lane b) { return {a.v < b.v ? a.v : b.v}; }
    friend Lane max(Lane a, Lane b) { return {a.v > b.v ? a.v : b.v}; }
    friend Lane sqrt(Lane a) { return {std::sqrt(a.v)}; }
    friend Lane mul_add(Lane a, Lane b, Lane c) { return {a.v * b.v + c.v}; }
    friend Lane below(Lane x, Lane limit, Lane value) { return {x.v < limit.v ? value.v : 0.0f}; }
};

#if !defined(__AVX2__) && !defined(__AVX512F__)
using Vec = Lane;
#endif

// Vectors per block: a slice of a row sum stays in registers while every row of the
// position is added, and the backward pass keeps twice as many (both perspectives). Eight
// of the 32 AVX-512 registers measured fastest (by half over four); AVX2 has 16 in all.
#if defined(__AVX512F__)
constexpr int UNROLL = 8;
#else
constexpr int UNROLL = 4;
#endif

// Calls body<V, U>(i) for blocks covering [begin, end): U vectors of type V starting at i.
template <typename Body>
inline void over_blocks(std::size_t begin, std::size_t end, Body&& body) {
    std::size_t i = begin;
    for (; i + UNROLL * Vec::WIDTH <= end; i += UNROLL * Vec::WIDTH)
        body.template operator()<Vec, UNROLL>(i);
    for (; i + Vec::WIDTH <= end; i += Vec::WIDTH) body.template operator()<Vec, 1>(i);
    for (; i < end; ++i) body.template operator()<Lane, 1>(i);
}

// The king bucket's own block for a perspective (0 side to move, 1 the other), or null.
template <typename T>
T* bucket_block(const Model& model, T* base, const Features& f, int perspective) {
    if (!model.factorised()) return nullptr;
    return base + model.bucket_weights_at(perspective == 0 ? f.us_king_bucket : f.them_king_bucket);
}

// Activations of both perspectives: a = clamp(bias + sum of the rows, 0, 1).
void activate(const Model& model, const Features& f, float* act) {
    const std::size_t h = std::size_t(model.hidden());
    const float* weights = model.data();
    const float* biases = model.feature_biases();
    for (int p = 0; p < 2; ++p) {
        const std::uint16_t* rows = p == 0 ? f.us : f.them;
        const float* blocks[] = {weights, bucket_block(model, weights, f, p)};
        float* out = act + p * h;
        over_blocks(0, h, [&]<typename V, int U>(std::size_t i) {
            V r[U];
            for (int u = 0; u < U; ++u) r[u] = V::load(biases + i + u * V::WIDTH);
            for (const float* block : blocks) {
                if (!block) continue;
                for (int k = 0; k < f.count; ++k) {
                    const float* row = block + rows[k] * h + i;
                    for (int u = 0; u < U; ++u) r[u] = r[u] + V::load(row + u * V::WIDTH);
                }
            }
            for (int u = 0; u < U; ++u)
                min(max(r[u], V::all(0.0f)), V::all(1.0f)).store(out + i + u * V::WIDTH);
        });
    }
}

// sum over i < n of act_i^2 w_i
float squared_dot(const float* act, const float* w, std::size_t n) {
    Vec vector_sum = Vec::all(0.0f);
    float lane_sum = 0.0f;
    over_blocks(0, n, [&]<typename V, int U>(std::size_t i) {
        for (int u = 0; u < U; ++u) {
            const V a = V::load(act + i + u * V::WIDTH);
            const V term = a * a * V::load(w + i + u * V::WIDTH);
            if constexpr (std::is_same_v<V, Vec>)
                vector_sum = vector_sum + term;
            else
                lane_sum += term.sum();
        }
    });
    return vector_sum.sum() + lane_sum;
}

// Runs work(thread index) on `threads` threads, the caller's being the first.
template <typename Work>
void run_parallel(int threads, Work&& work) {
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads; ++t) helpers.emplace_back([&work, t] { work(t); });
    work(0);
    for (std::thread& h : helpers) h.join();
}

// The thread's share [first, last) of n items.
std::pair<std::size_t, std::size_t> share(std::size_t n, int thread, int threads) {
    return {n * thread / threads, n * (thread + 1) / threads};
}

// The thread's share of a parameter block, cut at multiples of 64 floats.
std::pair<std::size_t, std::size_t> param_share(std::size_t n, int thread, int threads) {
    auto cut = [&](int t) {
        return t == threads ? n : std::min(n, n * t / threads / 64 * 64);
    };
    return {cut(thread), cut(thread + 1)};
}

}  // namespace

Model::Model(int hidden, bool factorised)
    : hidden_(hidden),
      factorised_(factorised),
      params_(factorised ? bucket_weights_at(KING_BUCKETS) : output_bias_at(OUTPUT_BUCKETS)) {}

namespace {

// Copies `rows` rows of `from_width` values into rows of `to_width` (already zeroed).
void copy_rows(const float* from, std::size_t from_width, float* to, std::size_t to_width,
               std::size_t rows) {
    for (std::size_t r = 0; r < rows; ++r)
        std::memcpy(to + r * to_width, from + r * from_width, from_width * sizeof(float));
}

}  // namespace

Model Model::widened(int hidden) const {
    if (hidden < hidden_) fatal("a model cannot be narrowed");
    Model wide(hidden, factorised_);
    const std::size_t h = hidden_, w = hidden;
    // The feature block with the biases as one more row, then each output's two halves.
    copy_rows(data(), h, wide.data(), w, FEATURES + 1);
    copy_rows(data() + output_weights_at(0), h, wide.data() + wide.output_weights_at(0), w,
              2 * std::size_t(OUTPUT_BUCKETS));
    for (int b = 0; b < OUTPUT_BUCKETS; ++b)
        wide.data()[wide.output_bias_at(b)] = output_bias(b);
    if (factorised_)
        copy_rows(data() + bucket_weights_at(0), h, wide.data() + wide.bucket_weights_at(0), w,
                  std::size_t(KING_BUCKETS) * FEATURES);
    return wide;
}

void Model::initialise(std::mt19937_64& rng) {
    auto uniform = [&](float* p, std::size_t n, float limit) {
        std::uniform_real_distribution<float> d(-limit, limit);
        for (std::size_t i = 0; i < n; ++i) p[i] = d(rng);
    };
    std::memset(data(), 0, size() * sizeof(float));
    uniform(data(), std::size_t(FEATURES) * hidden_, 1.0f / std::sqrt(float(FEATURES)));
    uniform(data() + output_weights_at(0), std::size_t(OUTPUT_BUCKETS) * 2 * hidden_,
            1.0f / std::sqrt(float(2 * hidden_)));
}

void Model::clamp_merged(int first, int last, float limit) {
    if (!factorised_) return;
    const std::size_t n = std::size_t(FEATURES) * hidden_;
    const float* shared = data();
    for (int b = first; b < last; ++b) {
        float* own = data() + bucket_weights_at(b);
        over_blocks(0, n, [&]<typename V, int U>(std::size_t i) {
            for (int u = 0; u < U; ++u) {
                const std::size_t at = i + u * V::WIDTH;
                const V s = V::load(shared + at);
                const V low = V::all(-limit) - s, high = V::all(limit) - s;
                min(max(V::load(own + at), low), high).store(own + at);
            }
        });
    }
}

void Model::fold_shared_into_buckets() {
    if (!factorised_) return;
    const std::size_t n = std::size_t(FEATURES) * hidden_;
    float* shared = data();
    for (int b = 0; b < KING_BUCKETS; ++b) {
        float* own = data() + bucket_weights_at(b);
        for (std::size_t i = 0; i < n; ++i) own[i] += shared[i];
    }
    std::fill(shared, shared + n, 0.0f);
}

float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

float target_of(const PackedPosition& p, float lambda, float result_scale) {
    return lambda * (0.5f * p.result) + (1.0f - lambda) * sigmoid(p.score / result_scale);
}

float fit_result_scale(std::span<const PackedPosition> data) {
    auto error = [&](double scale) {
        double sum = 0;
        for (const PackedPosition& p : data) {
            const double d = 1.0 / (1.0 + std::exp(-p.score / scale)) - 0.5 * p.result;
            sum += d * d;
        }
        return sum;
    };
    // Golden-section search on the logarithm of the scale: the error has one minimum.
    const double ratio = (std::sqrt(5.0) - 1) / 2;
    double lo = std::log(50.0), hi = std::log(2000.0);
    double a = hi - ratio * (hi - lo), b = lo + ratio * (hi - lo);
    double ea = error(std::exp(a)), eb = error(std::exp(b));
    for (int i = 0; i < 40; ++i) {
        if (ea < eb) {
            hi = b;
            b = a;
            eb = ea;
            a = hi - ratio * (hi - lo);
            ea = error(std::exp(a));
        } else {
            lo = a;
            a = b;
            ea = eb;
            b = lo + ratio * (hi - lo);
            eb = error(std::exp(b));
        }
    }
    return float(std::exp((lo + hi) / 2));
}

float forward(const Model& model, const Features& f, Scratch& scratch) {
    activate(model, f, scratch.act.data());
    return model.output_bias(f.bucket)
           + squared_dot(scratch.act.data(), model.output_weights(f.bucket),
                         2 * std::size_t(model.hidden()));
}

float train_position(const Model& model, const Features& f, float target, float scale,
                     float* grad, Scratch& scratch, float y_factor) {
    const float y = forward(model, f, scratch);
    const float s = sigmoid(y_factor * y);
    const float diff = s - target;
    // d(loss)/dy, scaled for the batch mean.
    const float g = 2.0f * diff * s * (1.0f - s) * y_factor * scale;

    const std::size_t h = std::size_t(model.hidden());
    const float* act = scratch.act.data();
    const float* out_w = model.output_weights(f.bucket);
    float* grad_out_w = grad + model.output_weights_at(f.bucket);
    float* grad_bias = grad + model.feature_biases_at();
    grad[model.output_bias_at(f.bucket)] += g;

    // Per hidden unit: the output weight's gradient g a^2, and the unit's pre-activation
    // gradient 2 g w a where 0 < a < 1 (a = 0 makes it vanish by itself), which the bias and
    // every active feature row receive. (Recomputing the pre-activations slice by slice, to
    // keep rows in the core's cache over many positions, measured slower than this: the
    // work is bound by the vector units more than by the memory.)
    over_blocks(0, h, [&]<typename V, int U>(std::size_t i) {
        const V g1 = V::all(g), g2 = V::all(2.0f * g), one = V::all(1.0f);
        V d[2][U];
        for (int p = 0; p < 2; ++p)
            for (int u = 0; u < U; ++u) {
                const std::size_t at = p * h + i + u * V::WIDTH;
                const V a = V::load(act + at);
                mul_add(g1 * a, a, V::load(grad_out_w + at)).store(grad_out_w + at);
                d[p][u] = below(a, one, g2 * a * V::load(out_w + at));
            }
        for (int u = 0; u < U; ++u) {
            float* b = grad_bias + i + u * V::WIDTH;
            (V::load(b) + d[0][u] + d[1][u]).store(b);
        }
        for (int p = 0; p < 2; ++p) {
            const std::uint16_t* rows = p == 0 ? f.us : f.them;
            for (float* block : {grad, bucket_block(model, grad, f, p)}) {
                if (!block) continue;
                for (int k = 0; k < f.count; ++k) {
                    float* row = block + rows[k] * h + i;
                    for (int u = 0; u < U; ++u)
                        (V::load(row + u * V::WIDTH) + d[p][u]).store(row + u * V::WIDTH);
                }
            }
        }
    });
    return diff * diff;
}

AdamW::AdamW(std::size_t size, AdamWConfig config) : config_(config), m_(size), v_(size) {}

void AdamW::update(float* params, std::span<float* const> grads, std::size_t begin,
                   std::size_t end, float lr, float decay) {
    if (decay < 0) decay = config_.decay;
    const float c1 = 1.0f / (1.0f - std::pow(config_.beta1, float(steps_)));
    const float c2 = 1.0f / (1.0f - std::pow(config_.beta2, float(steps_)));
    over_blocks(begin, end, [&]<typename V, int U>(std::size_t i) {
        const V b1 = V::all(config_.beta1), b2 = V::all(config_.beta2);
        const V rest1 = V::all(1.0f - config_.beta1), rest2 = V::all(1.0f - config_.beta2);
        const V zero = V::all(0.0f), limit = V::all(config_.limit);
        for (int u = 0; u < U; ++u) {
            const std::size_t at = i + u * V::WIDTH;
            V g = zero;
            for (float* grad : grads) {
                g = g + V::load(grad + at);
                zero.store(grad + at);
            }
            const V m = mul_add(b1, V::load(m_.data() + at), rest1 * g);
            const V v = mul_add(b2, V::load(v_.data() + at), rest2 * g * g);
            m.store(m_.data() + at);
            v.store(v_.data() + at);
            V p = V::load(params + at);
            const V adam = m * V::all(c1) / (sqrt(v * V::all(c2)) + V::all(config_.epsilon));
            p = p - V::all(lr) * (adam + V::all(decay) * p);
            min(max(p, zero - limit), limit).store(params + at);
        }
    });
}

namespace {

// The model's parameters in the engine's steps: [first, last) of the flat block, and the step.
struct RoundedRange {
    std::size_t first, last;
    float scale;
};

// A factorised model must be folded: its shared block is then zero and each king bucket's
// own block is the engine's.
std::vector<RoundedRange> rounded_ranges(const Model& model) {
    std::vector<RoundedRange> ranges;
    ranges.push_back({0, model.feature_biases_at() + std::size_t(model.hidden()), float(FEATURE_SCALE)});
    if (model.factorised())
        ranges.push_back({model.bucket_weights_at(0), model.bucket_weights_at(KING_BUCKETS),
                          float(FEATURE_SCALE)});
    ranges.push_back(
        {model.output_weights_at(0), model.output_weights_at(OUTPUT_BUCKETS), float(OUTPUT_WEIGHT_SCALE)});
    return ranges;
}

void round_range(Model& model, const RoundedRange& r) {
    float* p = model.data();
    for (std::size_t i = r.first; i < r.last; ++i) p[i] = std::round(p[i] * r.scale) / r.scale;
}

}  // namespace

RoundedScope::RoundedScope(Model& model, bool active) : model_(model) {
    if (!active) return;
    model.fold_shared_into_buckets();
    for (const RoundedRange& r : rounded_ranges(model)) {
        saved_.insert(saved_.end(), model.data() + r.first, model.data() + r.last);
        round_range(model, r);
    }
}

RoundedScope::~RoundedScope() {
    if (saved_.empty()) return;
    std::size_t at = 0;
    for (const RoundedRange& r : rounded_ranges(model_)) {
        std::copy(saved_.begin() + at, saved_.begin() + at + (r.last - r.first), model_.data() + r.first);
        at += r.last - r.first;
    }
}

void round_to_engine_steps(Model& model) {
    model.fold_shared_into_buckets();
    for (const RoundedRange& r : rounded_ranges(model)) round_range(model, r);
}

Trainer::Trainer(Model& model, int threads, float lambda, AdamWConfig config, float result_scale)
    : model_(model),
      threads_(threads),
      lambda_(lambda),
      result_scale_(result_scale),
      optimiser_(model.size(), config) {
    for (int t = 0; t < threads; ++t) {
        grads_.emplace_back(model.size());
        scratch_.emplace_back(model.hidden());
    }
}

double Trainer::step(std::span<const PackedPosition> batch, float lr) {
    if (batch.empty()) return 0.0;
    const float scale = 1.0f / float(batch.size());
    std::vector<double> losses(threads_);
    {
        const RoundedScope rounded(model_, rounded_);
        run_parallel(threads_, [&](int t) {
            const auto [first, last] = share(batch.size(), t, threads_);
            Features f;
            double sum = 0;
            for (std::size_t i = first; i < last; ++i) {
                extract(batch[i], f);
                sum += train_position(model_, f, target_of(batch[i], lambda_, result_scale_),
                                      scale, grads_[t].data(), scratch_[t],
                                      SCORE_SCALE / result_scale_);
            }
            losses[t] = sum;
        });
    }
    std::vector<float*> grads;
    for (auto& g : grads_) grads.push_back(g.data());
    optimiser_.begin_step();
    // The king buckets' own blocks (the tail of the model) may decay at their own rate, but
    // not once they are folded to hold the whole weight.
    const float bucket_decay =
        rounded_ ? optimiser_.config().decay : optimiser_.config().bucket_decay;
    const std::size_t shared_end =
        model_.factorised() ? model_.bucket_weights_at(0) : model_.size();
    run_parallel(threads_, [&](int t) {
        const auto [first, last] = param_share(model_.size(), t, threads_);
        if (first < shared_end)
            optimiser_.update(model_.data(), grads, first, std::min(last, shared_end), lr);
        if (last > shared_end)
            optimiser_.update(model_.data(), grads, std::max(first, shared_end), last, lr,
                              bucket_decay);
    });
    if (model_.factorised())
        run_parallel(threads_, [&](int t) {
            const auto [first, last] = share(KING_BUCKETS, t, threads_);
            model_.clamp_merged(int(first), int(last));
        });
    double total = 0;
    for (double l : losses) total += l;
    return total / double(batch.size());
}

double Trainer::loss(std::span<const PackedPosition> data) const {
    if (data.empty()) return 0.0;
    const RoundedScope rounded(model_, rounded_);
    std::vector<double> losses(threads_);
    run_parallel(threads_, [&](int t) {
        const auto [first, last] = share(data.size(), t, threads_);
        Scratch scratch(model_.hidden());
        Features f;
        double sum = 0;
        for (std::size_t i = first; i < last; ++i) {
            extract(data[i], f);
            const float y = forward(model_, f, scratch);
            const float diff = sigmoid(SCORE_SCALE / result_scale_ * y)
                               - target_of(data[i], lambda_, result_scale_);
            sum += diff * diff;
        }
        losses[t] = sum;
    });
    double total = 0;
    for (double l : losses) total += l;
    return total / double(data.size());
}

WdlHead::WdlHead(int hidden)
    : hidden_(hidden), params_(std::size_t(3) * 2 * hidden + 3) {}

WdlHead WdlHead::widened(int hidden) const {
    if (hidden < hidden_) fatal("a head cannot be narrowed");
    WdlHead wide(hidden);
    copy_rows(data(), hidden_, wide.data(), hidden, 2 * 3);
    for (int j = 0; j < 3; ++j) wide.data()[std::size_t(3) * 2 * hidden + j] = bias(j);
    return wide;
}

namespace {

// Logits of the head over activations already computed.
void head_logits(const WdlHead& head, const float* act, float z[3]) {
    const std::size_t width = 2 * std::size_t(head.hidden());
    for (int j = 0; j < 3; ++j) z[j] = head.bias(j) + squared_dot(act, head.weights(j), width);
}

void softmax(const float z[3], float probs[3]) {
    const float m = std::max({z[0], z[1], z[2]});
    float sum = 0.0f;
    for (int j = 0; j < 3; ++j) sum += probs[j] = std::exp(z[j] - m);
    for (int j = 0; j < 3; ++j) probs[j] /= sum;
}

// Class of a result from the side to move's view: 0 win, 1 draw, 2 loss.
int wdl_class(const PackedPosition& p) { return 2 - p.result; }

float cross_entropy(const float probs[3], int cls) {
    return -std::log(std::max(probs[cls], 1e-30f));
}

}  // namespace

void wdl_logits(const Model& model, const WdlHead& head, const Features& f, Scratch& scratch,
                float logits[3]) {
    activate(model, f, scratch.act.data());
    head_logits(head, scratch.act.data(), logits);
}

void wdl_probabilities(const Model& model, const WdlHead& head, const Features& f,
                       Scratch& scratch, float probs[3]) {
    float z[3];
    wdl_logits(model, head, f, scratch, z);
    softmax(z, probs);
}

double wdl_loss(const Model& model, const WdlHead& head, std::span<const PackedPosition> data,
                int threads) {
    if (data.empty()) return 0.0;
    std::vector<double> losses(threads);
    run_parallel(threads, [&](int t) {
        const auto [first, last] = share(data.size(), t, threads);
        Scratch scratch(model.hidden());
        Features f;
        float probs[3];
        double sum = 0;
        for (std::size_t i = first; i < last; ++i) {
            extract(data[i], f);
            wdl_probabilities(model, head, f, scratch, probs);
            sum += cross_entropy(probs, wdl_class(data[i]));
        }
        losses[t] = sum;
    });
    double total = 0;
    for (double l : losses) total += l;
    return total / double(data.size());
}

namespace {

// One optimiser step of the head; returns the batch's mean cross-entropy.
double wdl_step(const Model& model, WdlHead& head, AdamW& optimiser,
                std::span<const PackedPosition> batch, float lr, int threads,
                std::vector<nnue::AlignedArray<float>>& grads) {
    if (batch.empty()) return 0.0;
    const float scale = 1.0f / float(batch.size());
    const std::size_t width = 2 * std::size_t(model.hidden());
    std::vector<double> losses(threads);
    run_parallel(threads, [&](int t) {
        const auto [first, last] = share(batch.size(), t, threads);
        Scratch scratch(model.hidden());
        float* grad = grads[t].data();
        Features f;
        float probs[3];
        double sum = 0;
        for (std::size_t i = first; i < last; ++i) {
            extract(batch[i], f);
            wdl_probabilities(model, head, f, scratch, probs);
            const int cls = wdl_class(batch[i]);
            sum += cross_entropy(probs, cls);
            const float* act = scratch.act.data();
            for (int j = 0; j < 3; ++j) {
                // d(cross-entropy)/dz_j = p_j - [j is the result]
                const float gz = (probs[j] - (j == cls ? 1.0f : 0.0f)) * scale;
                float* gw = grad + std::size_t(j) * width;
                over_blocks(0, width, [&]<typename V, int U>(std::size_t k) {
                    for (int u = 0; u < U; ++u) {
                        const std::size_t at = k + u * V::WIDTH;
                        const V a = V::load(act + at);
                        mul_add(V::all(gz) * a, a, V::load(gw + at)).store(gw + at);
                    }
                });
                grad[3 * width + j] += gz;
            }
        }
        losses[t] = sum;
    });
    std::vector<float*> ptrs;
    for (auto& g : grads) ptrs.push_back(g.data());
    optimiser.begin_step();
    run_parallel(threads, [&](int t) {
        const auto [first, last] = param_share(head.size(), t, threads);
        optimiser.update(head.data(), ptrs, first, last, lr);
    });
    double total = 0;
    for (double l : losses) total += l;
    return total / double(batch.size());
}

}  // namespace

void fit_wdl_head(const Model& model, WdlHead& head, std::vector<PackedPosition>& train_set,
                  std::span<const PackedPosition> valid, int epochs, int batch, float lr,
                  int threads, std::mt19937_64& rng, const WdlReport& report) {
    AdamW optimiser(head.size(), AdamWConfig{});
    std::vector<nnue::AlignedArray<float>> grads;
    for (int t = 0; t < threads; ++t) grads.emplace_back(head.size());
    const std::span<const PackedPosition> all(train_set);
    for (int epoch = 1; epoch <= epochs; ++epoch) {
        std::shuffle(train_set.begin(), train_set.end(), rng);
        double sum = 0;
        for (std::size_t at = 0; at < all.size(); at += std::size_t(batch)) {
            const auto part = all.subspan(at, std::min(std::size_t(batch), all.size() - at));
            const double loss = wdl_step(model, head, optimiser, part, lr, threads, grads);
            sum += loss * double(part.size());
        }
        report(epoch, all.empty() ? 0.0 : sum / double(all.size()),
               wdl_loss(model, head, valid, threads));
    }
}

}  // namespace orvane::train
