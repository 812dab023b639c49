#include "train/export.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>

#include "core/eval/nnue/nnue_eval.h"

namespace orvane::train {
namespace {

constexpr std::string_view PADDING_TEXT = "orvane-train: mirrored 768 x 1024 block\n";
constexpr int MAX_SWEEPS = 8;  // passes over the weights while the rounding choice improves
// With fewer positions the choice of 2048 roundings, or even the mean, would fit noise.
constexpr std::size_t MIN_CHOICE_POSITIONS = 512;
constexpr std::size_t MIN_BIAS_POSITIONS = 64;
constexpr std::size_t ACTIVATIONS = nnue::OUTPUT_WIDTH;

long clamp_count(long v, long lo, long hi, int& count) {
    if (v >= lo && v <= hi) return v;
    ++count;
    return v < lo ? lo : hi;
}

// The feature transformer as the engine holds it: [8 king buckets][768][1024] weights, each
// bucket the shared block plus the bucket's own (or the shared block alone), then 1024 biases.
std::vector<std::int16_t> quantise_block(const Model& model, ExportReport& report) {
    constexpr std::size_t BUCKET = std::size_t(FEATURES) * nnue::HIDDEN;
    std::vector<std::int16_t> q(BUCKET * KING_BUCKETS + nnue::HIDDEN);
    auto put = [&](std::size_t at, float x) {
        const long v = clamp_count(std::lround(x * FEATURE_SCALE), INT16_MIN, INT16_MAX,
                                   report.clamped_feature_values);
        report.largest_feature_value =
            std::max<int>(report.largest_feature_value, int(std::abs(v)));
        q[at] = static_cast<std::int16_t>(v);
    };
    for (int b = 0; b < KING_BUCKETS; ++b) {
        const float* own = model.bucket_weights(b);
        if (!own && b > 0) {
            std::copy(q.begin(), q.begin() + BUCKET, q.begin() + b * BUCKET);
            continue;
        }
        for (std::size_t i = 0; i < BUCKET; ++i)
            put(b * BUCKET + i, model.data()[i] + (own ? own[i] : 0.0f));
    }
    for (int i = 0; i < nnue::HIDDEN; ++i)
        put(KING_BUCKETS * BUCKET + i, model.feature_biases()[i]);
    return q;
}

// Squared activations of calibration positions as the engine computes them from the
// rounded block, (clamp(acc, 0, 255) / 255)^2, stored unit by unit so that one unit's
// values over all positions are contiguous; and the float model's outputs to match, one
// list per output that shares these positions.
struct Calibration {
    std::size_t count = 0;
    std::vector<float> squares;               // [2048][count]
    std::vector<std::vector<float>> targets;  // [output][count]
};

Calibration calibrate(const std::vector<std::int16_t>& block,
                      std::span<const PackedPosition* const> positions, int outputs,
                      const std::function<void(const Features&, float*)>& targets) {
    Calibration cal;
    cal.count = positions.size();
    cal.squares.resize(ACTIVATIONS * cal.count);
    cal.targets.assign(outputs, std::vector<float>(cal.count));
    std::vector<float> values(outputs);
    constexpr std::size_t BUCKET = std::size_t(FEATURES) * nnue::HIDDEN;
    const std::int16_t* biases = block.data() + KING_BUCKETS * BUCKET;
    std::vector<std::int32_t> acc(nnue::HIDDEN);
    Features f;
    for (std::size_t n = 0; n < cal.count; ++n) {
        extract(*positions[n], f);
        targets(f, values.data());
        for (int j = 0; j < outputs; ++j) cal.targets[j][n] = values[j];
        for (int p = 0; p < 2; ++p) {
            const std::uint16_t* rows = p == 0 ? f.us : f.them;
            const std::int16_t* own =
                block.data() + (p == 0 ? f.us_king_bucket : f.them_king_bucket) * BUCKET;
            for (int i = 0; i < nnue::HIDDEN; ++i) acc[i] = biases[i];
            for (int k = 0; k < f.count; ++k) {
                const std::int16_t* row = own + std::size_t(rows[k]) * nnue::HIDDEN;
                for (int i = 0; i < nnue::HIDDEN; ++i) acc[i] += row[i];
            }
            for (int i = 0; i < nnue::HIDDEN; ++i) {
                const float a = float(std::clamp(acc[i], 0, nnue::ACTIVATION_MAX))
                                / float(nnue::ACTIVATION_MAX);
                cal.squares[(std::size_t(p) * nnue::HIDDEN + i) * cal.count + n] = a * a;
            }
        }
    }
    return cal;
}

struct RoundedOutput {
    std::vector<int> weights;  // x64
    long bias = 0;             // x16320
    double nearest_error = 0;  // mean |integer - float| with nearest rounding, float units
    double final_error = 0;    // the same after the choice
};

double mean_abs(const std::vector<double>& r, double shift) {
    double sum = 0;
    for (double x : r) sum += std::abs(x - shift);
    return r.empty() ? 0.0 : sum / double(r.size());
}

// Rounds one output (2048 weights and a bias) of the float model. Each weight may go to
// either integer next to 64 w; greedy passes flip the choice wherever that lowers the
// variance, over the calibration positions, of r = integer output - float output, and the
// bias then takes away the mean of r.
RoundedOutput round_output(const float* w, float bias, const Calibration& cal, int output,
                           ExportReport& report) {
    RoundedOutput out;
    out.weights.resize(ACTIVATIONS);
    std::vector<int> low(ACTIVATIONS), high(ACTIVATIONS);
    for (std::size_t i = 0; i < ACTIVATIONS; ++i) {
        const double x = double(w[i]) * OUTPUT_WEIGHT_SCALE;
        const long nearest = clamp_count(std::lround(x), -nnue::MAX_OUTPUT_WEIGHT,
                                         nnue::MAX_OUTPUT_WEIGHT, report.clamped_output_weights);
        low[i] = int(std::clamp<long>(long(std::floor(x)), -nnue::MAX_OUTPUT_WEIGHT, nearest));
        high[i] = int(std::clamp<long>(long(std::ceil(x)), nearest, nnue::MAX_OUTPUT_WEIGHT));
        out.weights[i] = int(nearest);
    }
    const std::size_t n = cal.count;
    if (n > 0) {
        // r = sum of a^2 q / 64 + float bias - float output, per position.
        std::vector<double> r(n);
        for (std::size_t k = 0; k < n; ++k) r[k] = double(bias) - cal.targets[output][k];
        std::vector<double> mean(ACTIVATIONS), variance(ACTIVATIONS);
        for (std::size_t i = 0; i < ACTIVATIONS; ++i) {
            const float* col = cal.squares.data() + i * n;
            const double q = out.weights[i] / double(OUTPUT_WEIGHT_SCALE);
            double s = 0, s2 = 0;
            for (std::size_t k = 0; k < n; ++k) {
                r[k] += col[k] * q;
                s += col[k];
                s2 += double(col[k]) * col[k];
            }
            mean[i] = s / double(n);
            variance[i] = s2 / double(n) - mean[i] * mean[i];
        }
        double r_mean = 0;
        for (double x : r) r_mean += x;
        r_mean /= double(n);
        out.nearest_error = mean_abs(r, 0.0);
        for (int sweep = 0; sweep < MAX_SWEEPS && n >= MIN_CHOICE_POSITIONS; ++sweep) {
            int flips = 0;
            for (std::size_t i = 0; i < ACTIVATIONS; ++i) {
                const int other = out.weights[i] == low[i] ? high[i] : low[i];
                if (other == out.weights[i]) continue;
                const double d = (other - out.weights[i]) / double(OUTPUT_WEIGHT_SCALE);
                const float* col = cal.squares.data() + i * n;
                double dot = 0;
                for (std::size_t k = 0; k < n; ++k) dot += r[k] * col[k];
                const double covariance = dot / double(n) - r_mean * mean[i];
                // var(r + d col) - var(r)
                if (2 * d * covariance + d * d * variance[i] >= -1e-12) continue;
                out.weights[i] = other;
                for (std::size_t k = 0; k < n; ++k) r[k] += d * col[k];
                r_mean += d * mean[i];
                ++flips;
            }
            if (flips == 0) break;
        }
        if (n < MIN_BIAS_POSITIONS) r_mean = 0;
        bias -= float(r_mean);
        out.final_error = mean_abs(r, r_mean);
    }
    out.bias = clamp_count(std::lround(double(bias) * OUTPUT_BIAS_SCALE), INT16_MIN, INT16_MAX,
                           report.clamped_biases);
    for (int q : out.weights)
        report.largest_output_weight = std::max(report.largest_output_weight, std::abs(q));
    return out;
}

void put(std::vector<std::uint8_t>& out, long v) {
    const auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
}

}  // namespace

std::variant<std::vector<std::uint8_t>, std::string> network_bytes(
    const Model& model, const WdlHead& head, std::span<const PackedPosition> calibration,
    ExportReport& report) {
    if (model.hidden() != nnue::HIDDEN || head.hidden() != nnue::HIDDEN)
        return "the engine's network needs " + std::to_string(nnue::HIDDEN)
               + " hidden units, the model has " + std::to_string(model.hidden());
    report = {};
    const std::vector<std::int16_t> block = quantise_block(model, report);

    // The calibration positions: up to CALIBRATION_PER_BUCKET of each output bucket, and as
    // many of any bucket for the head.
    std::vector<const PackedPosition*> by_bucket[OUTPUT_BUCKETS], any;
    for (const PackedPosition& p : calibration) {
        auto& list = by_bucket[nnue::output_bucket(OUTPUT_BUCKETS, popcount(p.occupancy))];
        if (list.size() < CALIBRATION_PER_BUCKET) list.push_back(&p);
        if (any.size() < CALIBRATION_PER_BUCKET) any.push_back(&p);
    }
    Scratch scratch(model.hidden());
    std::vector<RoundedOutput> outputs;
    double nearest = 0, calibrated = 0;
    for (int b = 0; b < OUTPUT_BUCKETS; ++b) {
        const Calibration cal =
            calibrate(block, by_bucket[b], 1, [&](const Features& f, float* y) {
                *y = forward(model, f, scratch);
            });
        outputs.push_back(
            round_output(model.output_weights(b), model.output_bias(b), cal, 0, report));
        nearest += outputs.back().nearest_error * double(cal.count);
        calibrated += outputs.back().final_error * double(cal.count);
        report.calibration_positions += cal.count;
    }
    if (report.calibration_positions) {
        report.nearest_error_cp = SCORE_SCALE * nearest / double(report.calibration_positions);
        report.calibrated_error_cp =
            SCORE_SCALE * calibrated / double(report.calibration_positions);
    }
    const Calibration cal =
        calibrate(block, any, nnue::WDL_OUTPUTS, [&](const Features& f, float* z) {
            wdl_logits(model, head, f, scratch, z);
        });
    for (int j = 0; j < nnue::WDL_OUTPUTS; ++j)
        outputs.push_back(round_output(head.weights(j), head.bias(j), cal, j, report));

    std::vector<std::uint8_t> out;
    out.reserve(nnue::padded_length(EXPORT_LAYOUT));
    static_assert(EXPORT_LAYOUT.king_buckets == KING_BUCKETS);
    for (std::int16_t v : block) put(out, v);  // the buckets' rows, then the biases
    for (int b = 0; b < OUTPUT_BUCKETS; ++b)
        for (int q : outputs[b].weights) put(out, q);
    for (int b = 0; b < OUTPUT_BUCKETS; ++b) put(out, outputs[b].bias);
    for (int j = 0; j < nnue::WDL_OUTPUTS; ++j)
        for (int q : outputs[OUTPUT_BUCKETS + j].weights) put(out, q);
    for (int j = 0; j < nnue::WDL_OUTPUTS; ++j) put(out, outputs[OUTPUT_BUCKETS + j].bias);
    if (out.size() != nnue::exact_length(EXPORT_LAYOUT)) fatal("network export length");
    for (std::size_t i = 0; out.size() < nnue::padded_length(EXPORT_LAYOUT); ++i)
        out.push_back(static_cast<std::uint8_t>(PADDING_TEXT[i % PADDING_TEXT.size()]));
    return out;
}

std::string write_network(const std::string& path, std::span<const std::uint8_t> bytes) {
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return "cannot write " + temporary;
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            return "cannot write " + temporary;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return "cannot rename " + temporary + " to " + path;
    }
    return {};
}

std::variant<std::vector<EvalComparison>, std::string> compare_with_engine(
    const Model& model, const WdlHead& head, std::span<const std::uint8_t> bytes,
    std::span<const PackedPosition> positions) {
    nnue::NetworkResult loaded = nnue::Network::from_bytes(bytes);
    if (auto* e = std::get_if<nnue::NetworkError>(&loaded)) return e->message;
    nnue::NnueEval engine(std::get<std::shared_ptr<const nnue::Network>>(loaded));
    Scratch scratch(model.hidden());
    std::vector<EvalComparison> rows;
    for (const PackedPosition& p : positions) {
        EvalComparison c{};
        c.fen = packed_fen(p);
        FenResult parsed = Position::from_fen(c.fen);
        if (auto* e = std::get_if<FenError>(&parsed)) return e->text() + " in " + c.fen;
        const Position& pos = std::get<Position>(parsed);
        Features f;
        extract(p, f);
        c.trained_cp = SCORE_SCALE * forward(model, f, scratch);
        wdl_probabilities(model, head, f, scratch, c.trained_wdl);
        engine.reset(pos);
        c.engine_cp = engine.evaluate(pos);
        if (std::optional<WdlProbs> wdl = engine.wdl(pos)) {
            c.engine_wdl[0] = wdl->win;
            c.engine_wdl[1] = wdl->draw;
            c.engine_wdl[2] = wdl->loss;
        }
        rows.push_back(c);
    }
    return rows;
}

}  // namespace orvane::train
