// Moves in standard algebraic notation, as books and test suites write them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/board/position.h"

namespace orvane::san {

// Standard algebraic notation to a legal move: piece letter, optional origin file and/or
// rank, optional 'x', destination, optional promotion ("=Q" or "Q"), castling as O-O or
// O-O-O (zeros accepted), and any trailing check, mate or annotation marks. Coordinate
// notation (e2e4) is accepted too. Nothing when no legal move or more than one fits.
std::optional<Move> parse(const Position& pos, std::string_view san);

// The move in standard algebraic notation, with the smallest disambiguation and a check or
// mate mark ("0000" for no move).
std::string text(const Position& pos, Move m);

}  // namespace orvane::san
