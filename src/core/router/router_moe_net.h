// The RRT5 router: a convolutional residual tower over the 8x8 board (SiLU everywhere), a
// source head that scores each from-square, and six small expert networks, one per moving
// piece type, that score the moves of the best from-squares. Like the RRT1-RRT4 networks it
// gives every legal move a log-probability; a loaded network is immutable and shared
// read-only by every searcher's policy, and scratch space lives per thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "core/board/position.h"
#include "core/router/router_net.h"

namespace orvane::router_moe {

inline constexpr std::uint32_t INPUT_PLANES = 19;
inline constexpr std::uint32_t MAX_CHANNELS = 256;
inline constexpr std::uint32_t MAX_BLOCKS = 16;
inline constexpr int EMBED = 8;                // piece embedding width
inline constexpr int SCALAR_FEATURES = 11;     // expert features after the two trunk vectors
inline constexpr int MOVE_BIAS_SIZE = 24'576;  // piece x 4,096 + from x 64 + to
inline constexpr int HEADER_BYTES = 20;

// Input planes, side to move's view (squares mirrored when Black is to move).
inline constexpr int PLANE_OWN = 0;      // + piece type
inline constexpr int PLANE_ENEMY = 6;    // + piece type
inline constexpr int PLANE_CASTLE = 12;  // own king side, own queen side, theirs, theirs
inline constexpr int PLANE_EP = 16;
inline constexpr int PLANE_PAWN_ATTACKS = 17;  // squares attacked by an enemy pawn
inline constexpr int PLANE_OCCUPIED = 18;      // squares of the side to move

struct ResBlockWeights {
    std::vector<float> conv1_weights;  // C x C x 9
    std::vector<float> conv1_bias;     // C
    std::vector<float> conv2_weights;  // C x C x 9
    std::vector<float> conv2_bias;     // C
};

struct RouterMoeNet;
using LoadResult = std::variant<std::shared_ptr<const RouterMoeNet>, router::LoadError>;

// Convolution weights are [output channel][input channel][kernel row][kernel column]; expert
// arrays are [piece type][feature][unit] and [piece type][unit].
struct RouterMoeNet {
    std::vector<float> stem_weights;           // C x 19 x 9
    std::vector<float> stem_bias;              // C
    std::vector<ResBlockWeights> res_blocks;   // B
    std::vector<float> piece_embed;            // 6 x 8
    std::vector<float> source_hidden_weights;  // C x (C + 8), a row per hidden unit
    std::vector<float> source_hidden_bias;     // C
    std::vector<float> source_out_weights;     // C
    float source_out_bias = 0.0f;
    std::vector<float> expert_weights;      // 6 x F x E, F = 2C + 11
    std::vector<float> expert_bias;         // 6 x E
    std::vector<float> expert_out_weights;  // 6 x E
    std::vector<float> piece_bias;          // 6
    std::vector<float> move_bias;           // 24,576
    std::uint32_t channels = 0;             // C
    std::uint32_t blocks = 0;               // B
    std::uint32_t expert_units = 0;         // E
    std::uint32_t input_planes = INPUT_PLANES;

    std::uint32_t feature_count() const { return 2 * channels + SCALAR_FEATURES; }

    static LoadResult from_bytes(std::span<const std::uint8_t> bytes);
    // Weights drawn uniformly from the xorshift generator of the RRT4 networks, scaled by
    // 1 / sqrt(fan-in); biases 0. For tests, tools and benchmarks.
    static RouterMoeNet random(std::uint32_t channels, std::uint32_t blocks,
                               std::uint32_t expert_units, std::uint64_t rng_state = 1);

    // One log-probability per move, in list order; `moves` are the legal moves of `pos` (at
    // least one, at most 256). Only the `top_k` best from-squares get the expert move head
    // (0: all of them); the moves of the others share their source's probability evenly.
    void log_probs(const Position& pos, std::span<const Move> moves, std::uint32_t top_k,
                   std::span<float> out) const;
    std::vector<float> log_probs(const Position& pos, std::span<const Move> moves,
                                 std::uint32_t top_k) const;
};

// The 19 input planes of 64 floats each.
void input_planes(const Position& pos, float* planes);

// 3x3 convolution with zero padding over 8x8 planes: output[o] = bias[o] + the sum over input
// channels of the kernel applied around each square. `output` must not overlap `input`.
void conv3x3_8x8(const float* input, int in_channels, const float* weights, const float* bias,
                 int out_channels, float* output);

// The RRT5 file image of `net`.
std::vector<std::uint8_t> serialise(const RouterMoeNet& net);

}  // namespace orvane::router_moe
