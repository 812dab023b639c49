// Small value types every module passes around: squares, colours, pieces, bitboards and
// 16-bit moves, with their text forms and the fatal-stop helper for broken invariants.
// Move: from 0-5 | to 6-11 | kind 12-15 (bit 14 = capture, bit 15 = promotion); 0 = no move.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

using Bitboard = std::uint64_t;
using Square = std::uint8_t;
using Color = std::uint8_t;
using Piece = std::uint8_t;
using Move = std::uint16_t;

inline constexpr Square NO_SQUARE = 64;
inline constexpr Color WHITE = 0;
inline constexpr Color BLACK = 1;
inline constexpr Piece NO_PIECE = 12;
inline constexpr Move NULL_MOVE = 0;

// Piece kinds (piece % 6).
inline constexpr int PAWN = 0;
inline constexpr int KNIGHT = 1;
inline constexpr int BISHOP = 2;
inline constexpr int ROOK = 3;
inline constexpr int QUEEN = 4;
inline constexpr int KING = 5;

// Move kinds (bits 12-15).
inline constexpr int QUIET = 0;
inline constexpr int DOUBLE_PUSH = 1;
inline constexpr int KING_CASTLE = 2;
inline constexpr int QUEEN_CASTLE = 3;
inline constexpr int CAPTURE = 4;
inline constexpr int EN_PASSANT = 5;
inline constexpr int PROMO_KNIGHT = 8;   // + 0..3: knight, bishop, rook, queen
inline constexpr int PROMO_CAPTURE_KNIGHT = 12;

// Castling-right bits.
inline constexpr std::uint8_t WHITE_KING_SIDE = 1;
inline constexpr std::uint8_t WHITE_QUEEN_SIDE = 2;
inline constexpr std::uint8_t BLACK_KING_SIDE = 4;
inline constexpr std::uint8_t BLACK_QUEEN_SIDE = 8;

inline constexpr int file_of(int sq) { return sq & 7; }
inline constexpr int rank_of(int sq) { return sq >> 3; }
inline constexpr int make_square(int file, int rank) { return rank * 8 + file; }

inline constexpr int kind_of(Piece p) { return p % 6; }
inline constexpr Color color_of(Piece p) { return p > 5 ? BLACK : WHITE; }
inline constexpr Piece make_piece(Color c, int kind) { return static_cast<Piece>(c * 6 + kind); }

inline constexpr Bitboard bit(int sq) { return Bitboard{1} << sq; }
inline constexpr Bitboard FILE_A = 0x0101010101010101ULL;
inline constexpr Bitboard FILE_H = FILE_A << 7;
inline constexpr int popcount(Bitboard b) { return std::popcount(b); }
inline constexpr Square lsb(Bitboard b) { return static_cast<Square>(std::countr_zero(b)); }
inline constexpr Square pop_lsb(Bitboard& b) {
    Square s = lsb(b);
    b &= b - 1;
    return s;
}

inline constexpr Move make_move(int from, int to, int kind) {
    return static_cast<Move>(from | (to << 6) | (kind << 12));
}
inline constexpr int move_from(Move m) { return m & 63; }
inline constexpr int move_to(Move m) { return (m >> 6) & 63; }
inline constexpr int move_kind(Move m) { return m >> 12; }
inline constexpr bool is_capture(Move m) { return (m & 0x4000) != 0; }
inline constexpr bool is_promotion(Move m) { return (m & 0x8000) != 0; }
inline constexpr bool is_castle(Move m) { return (m & 0xE000) == 0x2000; }
inline constexpr bool is_quiet(Move m) { return m < 0x4000; }
inline constexpr bool is_noisy(Move m) { return m >= 0x4000; }
inline constexpr bool is_en_passant(Move m) { return move_kind(m) == EN_PASSANT; }
inline constexpr int promoted_kind(Move m) { return (move_kind(m) & 3) + 1; }

// Castles. The move is the king's: from its square to the g-file (KING_CASTLE, with the
// rook on its h-side) or the c-file (QUEEN_CASTLE, a-side), the rook ending beside it on the
// f- or d-file. Which rook castles belongs to the position's castling rights, so a Chess960
// castle is encoded like a standard one (and the king may even stay where it is: from = to).
// Rights bit i (i = colour * 2 + 0 for the h-side, + 1 for the a-side) is the right of
// castle_index(colour, kind).
struct RookMove {
    Square from, to;
};
inline constexpr int castle_index(Color c, int kind) { return c * 2 + kind - KING_CASTLE; }
inline constexpr Square castle_king_to(Color c, int kind) {
    return static_cast<Square>((kind == KING_CASTLE ? 6 : 2) + 56 * c);
}
inline constexpr Square castle_rook_to(Color c, int kind) {
    return static_cast<Square>((kind == KING_CASTLE ? 5 : 3) + 56 * c);
}

std::string square_name(int sq);
std::string move_to_uci(Move m);
char piece_letter(Piece p);

// A broken internal invariant. The message goes to standard error and a FatalError is
// thrown: a thread that owns a search catches it and reports the crash; anywhere else it
// ends the process.
struct FatalError {
    std::string message;
};
[[noreturn]] void fatal(std::string_view message);

}  // namespace orvane

#ifdef ORVANE_CHECKS
#define ORVANE_ASSERT(cond)                                    \
    do {                                                       \
        if (!(cond)) ::orvane::fatal("assertion failed: " #cond); \
    } while (0)
#else
#define ORVANE_ASSERT(cond) ((void)0)
#endif
