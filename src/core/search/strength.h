// A weaker player for people who want a fair game: an Elo number becomes node and depth
// caps and a controlled chance of playing a slightly worse root move. The choice is made by
// a deterministic generator fed with the position and a per-game value, so the same game
// replays the same way; a found mate, or a move far below the best, is never given away.
#pragma once

#include <cstdint>
#include <span>

#include "core/search/searcher.h"

namespace orvane::strength {

inline constexpr int MIN_ELO = 1320;
inline constexpr int MAX_ELO = 3000;
inline constexpr int LINES = 4;  // root lines searched to choose among
// The full-strength engine on the reference scale (Stockfish's UCI_Elo at 10+0.1, where the
// levels were calibrated): from here up nothing is limited.
inline constexpr int FULL_STRENGTH_ELO = 2550;

// One calibration point: the settings at an Elo number; levels between two points are
// interpolated (the node cap geometrically).
struct Anchor {
    int elo;
    std::uint64_t nodes;
    int depth;
    int margin;
    int deviate_permille;
};

// The level for `elo`, clamped to MIN_ELO..MAX_ELO.
StrengthLevel level_for_elo(int elo);

// Which of the searched lines to play: `scores` are the lines' scores, best first. The best
// line unless the generator deviates; then one of the others that lose at most the level's
// margin. Never away from a winning mate, never into a line that gets mated.
std::size_t choose_line(std::span<const int> scores, const StrengthLevel& level, std::uint64_t key,
                        std::uint64_t game);

}  // namespace orvane::strength
