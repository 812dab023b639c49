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

// The piece-placement field of a FEN from 64 squares, a1 first (index rank * 8 + file), each a
// FEN piece letter or '.' for an empty square.
inline std::string placement_field(std::string_view squares) {
    std::string fen;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            const char c = squares[static_cast<std::size_t>(rank * 8 + file)];
            if (c == '.') {
                ++empty;
                continue;
            }
            if (empty) fen += static_cast<char>('0' + empty);
            empty = 0;
            fen += c;
        }
        if (empty) fen += static_cast<char>('0' + empty);
        if (rank) fen += '/';
    }
    return fen;
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
