// Root selection modes. Instead of deepening all root moves together, the main thread treats
// them as arms: VOI deepens the arm whose next search has the highest value of information per
// unit of cost; GumbelSH runs sequential halving over Gumbel-perturbed arms.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/board/types.h"

namespace orvane::voi {

struct RootArm {
    std::vector<Move> line;
    double q = 0.5;            // win probability of the last score
    double volatility = 0.04;  // how much q moves between deepenings
    std::uint64_t last_nodes = 256;
    std::uint64_t total_nodes = 0;
    std::int32_t depth = 0;  // 0 = never searched
    std::int32_t score = -32001;
    Move move = NULL_MOVE;

    void update(int new_depth, int new_score, std::vector<Move> new_line, std::uint64_t nodes);
};

// Win probability of a score, with mates at the ends.
double win_probability(int score);

// 1 - Phi(z) from the Abramowitz-Stegun rational approximation of erfc.
double upper_tail(double z);

struct VoiChoice {
    std::size_t arm;
    double value;
};
std::optional<VoiChoice> select_voi_arm(const std::vector<RootArm>& arms, int max_depth);

// One Gumbel sample per arm, in arm order, from a SplitMix64 stream started from the key.
std::vector<double> gumbel_noise(std::uint64_t key, std::size_t count);

}  // namespace orvane::voi
