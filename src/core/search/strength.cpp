#include "core/search/strength.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace orvane::strength {
namespace {

// Calibrated by matches against Stockfish's own UCI_Elo (scripts/calibrate-strength.sh); the
// points from FULL_STRENGTH_ELO up are the full-strength search.
constexpr std::array<Anchor, 6> ANCHORS{{
    {MIN_ELO, 100, 3, 250, 500},
    {1500, 500, 5, 175, 300},
    {2000, 40'000, 14, 30, 40},
    {2300, 250'000, 40, 10, 10},
    {FULL_STRENGTH_ELO, 3'200'000, MAX_PLY - 1, 0, 0},
    {MAX_ELO, 3'200'000, MAX_PLY - 1, 0, 0},
}};

// One round of splitmix64: a well-mixed 64-bit value from any input.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

int lerp(int a, int b, double t) { return a + static_cast<int>(std::lround((b - a) * t)); }

}  // namespace

StrengthLevel level_for_elo(int elo) {
    elo = std::clamp(elo, MIN_ELO, MAX_ELO);
    std::size_t i = 0;
    while (i + 2 < ANCHORS.size() && elo > ANCHORS[i + 1].elo) ++i;
    const Anchor& lo = ANCHORS[i];
    const Anchor& hi = ANCHORS[i + 1];
    const double t = static_cast<double>(elo - lo.elo) / (hi.elo - lo.elo);
    StrengthLevel level;
    level.nodes = static_cast<std::uint64_t>(std::llround(
        std::exp(std::log(static_cast<double>(lo.nodes)) * (1 - t)
                 + std::log(static_cast<double>(hi.nodes)) * t)));
    level.depth = lerp(lo.depth, hi.depth, t);
    level.margin = lerp(lo.margin, hi.margin, t);
    level.deviate_permille = lerp(lo.deviate_permille, hi.deviate_permille, t);
    return level;
}

std::size_t choose_line(std::span<const int> scores, const StrengthLevel& level, std::uint64_t key,
                        std::uint64_t game) {
    if (scores.size() < 2 || level.deviate_permille <= 0 || scores[0] >= MATE_BOUND) return 0;
    const std::uint64_t r = mix(key ^ mix(game));
    if (static_cast<int>(r % 1000) >= level.deviate_permille) return 0;
    std::size_t eligible = 0;
    for (std::size_t k = 1; k < scores.size(); ++k)
        if (scores[k] > -MATE_BOUND && scores[0] - scores[k] <= level.margin) ++eligible;
    if (eligible == 0) return 0;
    std::size_t pick = static_cast<std::size_t>((r >> 20) % eligible);
    for (std::size_t k = 1; k < scores.size(); ++k) {
        if (scores[k] <= -MATE_BOUND || scores[0] - scores[k] > level.margin) continue;
        if (pick-- == 0) return k;
    }
    return 0;
}

}  // namespace orvane::strength
