// From a trained float model to the engine's network file, and the check that the engine
// reads back what was trained. Quantisation: feature weights and biases x255 (so an
// activation of 1 is 255), output and W/D/L weights x64, output and W/D/L biases x255 x64.
// Feature values are rounded to the nearest integer. Output and W/D/L weights are each
// rounded down or up, chosen on calibration positions so that the engine's integer output
// (over the rounded feature block) stays closest to the float model's, and the biases then
// absorb the mean difference: typical output weights are only a few steps of 1/64, and
// rounding each of 2048 to the nearest would cost several centipawns. Outputs with too few
// calibration positions (512 for the choice, 64 for the bias) are rounded to the nearest.
// The file has 8 king buckets, each a copy of the one trained block (the engine mirrors
// files exactly as the trainer does, so every bucket computes the trained function) or, for
// a factorised model, the shared block plus the bucket's own; then 8 output buckets and the
// W/D/L head, padded with text to a multiple of 64 bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/eval/nnue/network.h"
#include "train/dataset.h"
#include "train/model.h"

namespace orvane::train {

inline constexpr int OUTPUT_BIAS_SCALE = FEATURE_SCALE * OUTPUT_WEIGHT_SCALE;
inline constexpr nnue::Layout EXPORT_LAYOUT{8, OUTPUT_BUCKETS, true};

// Values that did not fit their integer range and were clamped.
struct ExportReport {
    int clamped_feature_values = 0;  // beyond i16
    int clamped_output_weights = 0;  // output or W/D/L weights beyond -127..127
    int clamped_biases = 0;          // output or W/D/L biases beyond i16
    int largest_output_weight = 0;   // largest |quantised output or W/D/L weight|
    int largest_feature_value = 0;   // largest |quantised feature weight or bias|
    std::size_t calibration_positions = 0;
    // Mean |engine - float| over the calibration positions, in centipawns, with every output
    // weight rounded to the nearest and after the choice of roundings and biases.
    double nearest_error_cp = 0;
    double calibrated_error_cp = 0;
};

inline constexpr std::size_t CALIBRATION_PER_BUCKET = 4096;

// The file's bytes; fails (with a message) unless the model has the engine's 1024 units.
// Up to CALIBRATION_PER_BUCKET positions of each output bucket (and as many for the head)
// are taken from `calibration`; without any, every value is rounded to the nearest.
std::variant<std::vector<std::uint8_t>, std::string> network_bytes(
    const Model& model, const WdlHead& head, std::span<const PackedPosition> calibration,
    ExportReport& report);

// Writes through a temporary file renamed into place, so a failed write never leaves a
// partial network under the name. Returns an error message, empty on success.
std::string write_network(const std::string& path, std::span<const std::uint8_t> bytes);

// One position evaluated by the float model and by the engine over the exported bytes.
struct EvalComparison {
    std::string fen;
    float trained_cp;  // SCORE_SCALE x y of the float model
    int engine_cp;     // NnueEval::evaluate
    float trained_wdl[3];
    float engine_wdl[3];
};

// Loads the bytes with Network::from_bytes (an error message if that fails) and compares
// the two evaluations on every position.
std::variant<std::vector<EvalComparison>, std::string> compare_with_engine(
    const Model& model, const WdlHead& head, std::span<const std::uint8_t> bytes,
    std::span<const PackedPosition> positions);

}  // namespace orvane::train
