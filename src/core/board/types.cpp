#include "core/board/types.h"

#include <cstdio>

namespace orvane {

std::string square_name(int sq) {
    return {static_cast<char>('a' + file_of(sq)), static_cast<char>('1' + rank_of(sq))};
}

std::string move_to_uci(Move m) {
    if (m == NULL_MOVE) return "0000";
    std::string text = square_name(move_from(m)) + square_name(move_to(m));
    if (is_promotion(m)) text += "nbrq"[promoted_kind(m) - 1];
    return text;
}

char piece_letter(Piece p) {
    if (p >= NO_PIECE) return '.';
    return "PNBRQKpnbrqk"[p];
}

void fatal(std::string_view message) {
    std::fprintf(stderr, "fatal: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    throw FatalError{std::string(message)};
}

}  // namespace orvane
