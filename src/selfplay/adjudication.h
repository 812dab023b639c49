// How a self-play game's result is decided beyond the rules: by the endgame tablebases when
// they cover a position, and, for records made without tables, by throwing away drawn games
// that a bare king held against a queen or a rook (the generator then had no way to win them,
// so their draw label teaches the network that a won ending is level).
#pragma once

#include <cstddef>
#include <optional>

#include "core/board/position.h"
#include "core/tablebase/tablebase.h"
#include "selfplay/game_record.h"

namespace orvane::selfplay {

// The tables' verdict on a position as a game result (White's view): a win within the
// fifty-move rule is a win, a cursed win or blessed loss a draw. None when the tables do not
// answer (too many pieces, castling rights, a move since the last capture or pawn move).
std::optional<game_record::Result> tablebase_result(const Position& pos, const Tablebase& tables);

// One side has nothing but its king while the other has a queen or a rook.
bool bare_king_against_major(const Position& pos);

// What training takes from a recorded game: its result, and how many of its scored plies
// (the positions after them are decided already and were played out by the engine alone).
struct Labels {
    game_record::Result result;
    std::size_t scored_plies;
    bool changed;  // the result or the ply count differs from the record
};

// Replays the game; the first position the tables answer decides the result and ends the
// game there. A game the tables never decide keeps its record, unless it is a draw that
// reached a bare king against a queen or a rook: then nothing (drop it). Nothing as well for
// a record with an illegal move. `tables` may be null.
std::optional<Labels> relabel(const game_record::Game& game, const Tablebase* tables);

}  // namespace orvane::selfplay
