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

// Score adjudication during a game: a win once one side has been ahead by at least
// `win_score` for `win_plies` plies in a row, a draw once every score of `draw_plies` plies in a
// row, from ply `draw_min_ply` on, is within `draw_score`. A swing from one side to the other
// starts the win streak again.
class ScoreAdjudicator {
public:
    ScoreAdjudicator(int win_score, int win_plies, int draw_score, int draw_plies, int draw_min_ply)
        : win_score_(win_score),
          win_plies_(win_plies),
          draw_score_(draw_score),
          draw_plies_(draw_plies),
          draw_min_ply_(draw_min_ply) {}

    enum class Verdict { NONE, WHITE_WIN, BLACK_WIN, DRAW };

    // The search's score of the ply played at `ply` (from White's view) and what follows.
    Verdict add(int white_score, int ply) {
        const int side = white_score >= win_score_ ? 1 : white_score <= -win_score_ ? -1 : 0;
        win_streak_ = side == 0 ? 0 : side == win_side_ ? win_streak_ + 1 : 1;
        win_side_ = side;
        draw_streak_ = (ply >= draw_min_ply_ && white_score >= -draw_score_ && white_score <= draw_score_)
                           ? draw_streak_ + 1
                           : 0;
        if (win_streak_ >= win_plies_) return win_side_ > 0 ? Verdict::WHITE_WIN : Verdict::BLACK_WIN;
        if (draw_streak_ >= draw_plies_) return Verdict::DRAW;
        return Verdict::NONE;
    }

private:
    int win_score_, win_plies_, draw_score_, draw_plies_, draw_min_ply_;
    int win_side_ = 0, win_streak_ = 0, draw_streak_ = 0;
};

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
