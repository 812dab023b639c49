// Static exchange evaluation: does the capture sequence a move starts on its target square
// win at least a threshold for the mover, both sides recapturing with their least valuable
// attacker and each free to stop? Pins are ignored; a king never captures into a defended
// square. Reads the position only, allocates nothing, and is safe to call from any thread.
#pragma once

#include <array>

#include "core/board/position.h"

namespace orvane::see {

// Exchange values by piece kind. They belong to the exchange test only; the evaluators
// keep their own material values.
inline constexpr std::array<int, 6> VALUES{100, 320, 330, 500, 950, 20000};

// True when the exchange started by `m` (a move of the side to move, not yet made) gains at
// least `threshold` centipawns for the mover. Castles exchange nothing.
bool see_ge(const Position& pos, Move m, int threshold);

}  // namespace orvane::see
