// Small helpers shared by the tests: a position from a FEN, its legal moves, a move list as text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/board/movegen.h"
#include "core/board/position.h"

namespace orvane {

// A bad FEN fails the calling test and yields the start position, so the test goes on.
inline Position from_fen(std::string_view fen) {
    FenResult parsed = Position::from_fen(fen);
    if (auto* error = std::get_if<FenError>(&parsed)) {
        ADD_FAILURE() << "bad FEN " << fen << ": " << error->message;
        return Position::startpos();
    }
    return std::get<Position>(std::move(parsed));
}

inline std::vector<Move> legal_moves(const Position& pos) {
    MoveList list;
    movegen::generate_all(pos, list);
    return {list.begin(), list.end()};
}

// The moves in UCI notation, separated by blanks.
inline std::string uci_list(const std::vector<Move>& moves) {
    std::string out;
    for (Move m : moves) {
        if (!out.empty()) out += ' ';
        out += move_to_uci(m);
    }
    return out;
}

}  // namespace orvane
