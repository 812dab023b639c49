// The float network the trainer fits, and its gradients and optimiser. One 768-input block
// (the engine's feature rows for king bucket 0, mirrored left-right when a perspective's king
// is on files e-h) feeds `hidden` units per perspective; each unit's activation is
// a = clamp(x, 0, 1), and the output of the bucket chosen by the piece count is
//     y = bias[b] + sum a_us^2 w[b][i] + sum a_them^2 w[b][hidden + i].
// After quantisation (x255 for the accumulators, x64 for the output weights) the engine's
// integer output is 16320 y and its score 400 y centipawns.
// Loss per position: (sigmoid(400 y / s) - target)^2, target = lambda x result + (1 - lambda) x
// sigmoid(score / s), both from the side to move's view, where s is the scale of the data's
// score-to-result curve (400, the usual one, unless the trainer fits it).
//
// The W/D/L head is a soft-max regression on the same 2 x hidden squared activations, fitted
// afterwards with the feature block frozen.
//
// A factorised model adds one more 768-row block per king bucket (the engine's 8 buckets of
// the perspective's own king): a piece's row is then the shared row plus its king bucket's
// row. Every bucket learns from its own positions while the shared block learns from all of
// them; the buckets start at zero and the weight decay pulls them back toward the shared
// block. The sum is what the engine's bucket holds, so it is kept within the weight limit.
//
// Parameters live in one flat aligned block (the optimiser is one loop over it); each trainer
// thread owns a gradient block of the same layout, summed and cleared by the optimiser step.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "core/eval/nnue/network.h"
#include "train/dataset.h"

namespace orvane::train {

inline constexpr float WEIGHT_LIMIT = 1.98f;  // keeps every quantised value in range
inline constexpr int FEATURE_SCALE = 255;       // the engine's feature weights are in 1/255 steps
inline constexpr int OUTPUT_WEIGHT_SCALE = 64;  // and its output weights in 1/64 steps
inline constexpr float SCORE_SCALE = 400.0f;  // centipawns per unit of y

class Model {
public:
    explicit Model(int hidden, bool factorised = false);

    int hidden() const { return hidden_; }
    bool factorised() const { return factorised_; }
    std::size_t size() const { return params_.size(); }
    float* data() { return params_.data(); }
    const float* data() const { return params_.data(); }

    // Offsets into the flat block.
    std::size_t feature_weights_at() const { return 0; }
    std::size_t feature_biases_at() const { return std::size_t(FEATURES) * hidden_; }
    std::size_t output_weights_at(int bucket) const {
        return feature_biases_at() + hidden_ + std::size_t(bucket) * 2 * hidden_;
    }
    std::size_t output_bias_at(int bucket) const {
        return output_weights_at(OUTPUT_BUCKETS) + bucket;
    }
    // The king bucket's block of a factorised model (aligned to 64 floats).
    std::size_t bucket_weights_at(int king_bucket) const {
        return (output_bias_at(OUTPUT_BUCKETS) + 63) / 64 * 64
               + std::size_t(king_bucket) * FEATURES * hidden_;
    }

    const float* feature_row(int feature) const {
        return data() + std::size_t(feature) * hidden_;
    }
    const float* feature_biases() const { return data() + feature_biases_at(); }
    const float* output_weights(int bucket) const { return data() + output_weights_at(bucket); }
    float output_bias(int bucket) const { return data()[output_bias_at(bucket)]; }
    // The king bucket's own block, or null when the model is not factorised.
    const float* bucket_weights(int king_bucket) const {
        return factorised_ ? data() + bucket_weights_at(king_bucket) : nullptr;
    }
    // The weight of a feature row for a king bucket as the engine will hold it.
    float merged_weight(int king_bucket, int feature, int unit) const {
        const std::size_t at = std::size_t(feature) * hidden_ + unit;
        return data()[at] + (factorised_ ? data()[bucket_weights_at(king_bucket) + at] : 0.0f);
    }

    // Small uniform weights scaled by the inputs a unit sees; zero biases and king buckets.
    void initialise(std::mt19937_64& rng);
    // The same function with `hidden` >= hidden() units: the added units have zero weights and
    // biases, so their activations are 0 and they add nothing to any output.
    Model widened(int hidden) const;
    // Brings every merged weight of king buckets [first, last) within +-limit by moving the
    // bucket's own weight (the shared weight is within the limit already).
    void clamp_merged(int first, int last, float limit = WEIGHT_LIMIT);
    // Adds the shared block into every king bucket's own block and zeroes it: the merged
    // weights stay as they are, but each own block then holds what the engine's bucket holds,
    // so rounding it rounds the engine's weight and not two parts of it.
    void fold_shared_into_buckets();

private:
    int hidden_;
    bool factorised_;
    nnue::AlignedArray<float> params_;
};

// Per-thread work space of the forward and backward passes.
struct Scratch {
    explicit Scratch(int hidden) : act(2 * std::size_t(hidden)) {}
    nnue::AlignedArray<float> act;  // activations: side to move, then the other side
};

float sigmoid(float x);
// The target of a position: lambda x result + (1 - lambda) x sigmoid(score / result_scale).
float target_of(const PackedPosition& p, float lambda, float result_scale = SCORE_SCALE);
// The scale of the data's own score-to-result curve: the s for which sigmoid(score / s) is
// closest (least squares) to the results of the positions. Training with it keeps the
// network's centipawns on the scale of the scores it learns from.
float fit_result_scale(std::span<const PackedPosition> data);
// y of one position (its score is SCORE_SCALE x y centipawns); leaves the activations in
// `scratch`.
float forward(const Model& model, const Features& f, Scratch& scratch);
// Forward and backward for one position: adds scale x d(loss)/d(parameter) to `grad` (the
// model's layout) and returns the loss.
float train_position(const Model& model, const Features& f, float target, float scale,
                     float* grad, Scratch& scratch, float y_factor = 1.0f);

struct AdamWConfig {
    float beta1 = 0.9f;
    float beta2 = 0.999f;
    float epsilon = 1e-8f;
    float decay = 0.01f;
    float bucket_decay = 0.01f;  // of a factorised model's king-bucket blocks
    float limit = WEIGHT_LIMIT;
};

// AdamW over a flat parameter block; each parameter is clamped to +-limit after its step.
class AdamW {
public:
    AdamW(std::size_t size, AdamWConfig config);
    const AdamWConfig& config() const { return config_; }
    // Starts a step (advances the step count used for the bias corrections).
    void begin_step() { ++steps_; }
    // Updates params[begin, end) with the sum of the gradient blocks, which are cleared there,
    // decaying by `decay` (the configured one when negative). Threads may update disjoint
    // ranges of the same step at once.
    void update(float* params, std::span<float* const> grads, std::size_t begin,
                std::size_t end, float lr, float decay = -1.0f);

private:
    AdamWConfig config_;
    nnue::AlignedArray<float> m_, v_;
    long steps_ = 0;
};

// While it lives, the model's weights are rounded to the engine's steps (1/255 for the feature
// block, 1/64 for the output weights); the float weights come back when it ends. Training
// through it (the rounded weights compute the outputs and the gradients, which then move the
// float weights) leaves a model whose outputs the engine reproduces. A factorised model is
// folded first (the engine rounds the sum of its blocks), and a step through the rounded
// weights decays its king buckets as one block's weights, since they then hold the whole
// weight.
class RoundedScope {
public:
    RoundedScope(Model& model, bool active);
    ~RoundedScope();
    RoundedScope(const RoundedScope&) = delete;
    RoundedScope& operator=(const RoundedScope&) = delete;

private:
    Model& model_;
    std::vector<float> saved_;
};
// Rounds the model's weights to the engine's steps for good (a factorised model is folded).
void round_to_engine_steps(Model& model);

// Mini-batch training of a model on `threads` threads.
class Trainer {
public:
    // The prediction is sigmoid(SCORE_SCALE x y / result_scale), so that y stays the engine's
    // score / SCORE_SCALE while it learns results on the data's own scale.
    Trainer(Model& model, int threads, float lambda, AdamWConfig config = {},
            float result_scale = SCORE_SCALE);

    // One optimiser step on the batch; returns its mean loss (before the step).
    double step(std::span<const PackedPosition> batch, float lr);
    // Mean loss over the data, no training.
    double loss(std::span<const PackedPosition> data) const;
    int threads() const { return threads_; }
    // Trains (and measures) through weights rounded to the engine's steps.
    void set_rounded(bool on) { rounded_ = on; }

private:
    Model& model_;
    int threads_;
    float lambda_;
    float result_scale_;
    bool rounded_ = false;
    AdamW optimiser_;
    std::vector<nnue::AlignedArray<float>> grads_;  // per thread, the model's layout
    std::vector<Scratch> scratch_;                  // per thread
};

// Win/draw/loss head: logits z_j = bias_j + sum over the 2 x hidden squared activations of
// a^2 w_j, j = win, draw, loss from the side to move's view, then a soft-max.
class WdlHead {
public:
    explicit WdlHead(int hidden);
    int hidden() const { return hidden_; }
    std::size_t size() const { return params_.size(); }
    float* data() { return params_.data(); }
    const float* data() const { return params_.data(); }
    const float* weights(int j) const { return data() + std::size_t(j) * 2 * hidden_; }
    float bias(int j) const { return data()[std::size_t(3) * 2 * hidden_ + j]; }
    // The head of the model widened to `hidden` units (zero weights on the added ones).
    WdlHead widened(int hidden) const;

private:
    int hidden_;
    nnue::AlignedArray<float> params_;  // [3][2 x hidden] weights, then 3 biases
};

// The head's logits and probabilities for one position (win, draw, loss).
void wdl_logits(const Model& model, const WdlHead& head, const Features& f, Scratch& scratch,
                float logits[3]);
void wdl_probabilities(const Model& model, const WdlHead& head, const Features& f,
                       Scratch& scratch, float probs[3]);
// Mean cross-entropy of the head against the game results.
double wdl_loss(const Model& model, const WdlHead& head, std::span<const PackedPosition> data,
                int threads);
// Fits the head by AdamW on the cross-entropy, the feature block frozen, shuffling the
// training positions each epoch; `report` is called after each epoch with (epoch, mean
// training loss, validation loss).
using WdlReport = std::function<void(int, double, double)>;
void fit_wdl_head(const Model& model, WdlHead& head, std::vector<PackedPosition>& train_set,
                  std::span<const PackedPosition> valid, int epochs, int batch, float lr,
                  int threads, std::mt19937_64& rng, const WdlReport& report);

}  // namespace orvane::train
