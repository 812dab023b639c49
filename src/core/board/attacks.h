// Attack tables of the board model, all constant data computed by the compiler: leaper
// attacks, LINE and BETWEEN, and one PEXT-indexed slider table shared by rooks (first
// 102,400 entries) and bishops (last 5,248). Lookups are one PEXT, one add and one load on
// x86-64 (BMI2); processors without PEXT (aarch64) gather the bits in a loop.
#pragma once

#include <array>
#if defined(__BMI2__)
#include <immintrin.h>
#endif

#include "core/board/types.h"

namespace orvane::attacks {

struct SliderRecord {
    Bitboard mask;        // relevant occupancy: rays without the square and the board edge
    std::uint64_t magic;  // unused by the PEXT lookup; kept for a future non-BMI2 build
    std::uint64_t offset; // first entry of this square in SLIDER_TABLE
    std::uint64_t shift;  // 64 - popcount(mask); unused by the PEXT lookup
};

inline constexpr int SLIDER_TABLE_SIZE = 107'648;
inline constexpr int ROOK_TABLE_SIZE = 102'400;

extern const std::array<Bitboard, 64> KING;
extern const std::array<Bitboard, 64> KNIGHT;
extern const std::array<std::array<Bitboard, 64>, 2> PAWN;
extern const std::array<std::array<Bitboard, 64>, 64> LINE;
extern const std::array<std::array<Bitboard, 64>, 64> BETWEEN;
extern const std::array<SliderRecord, 64> ROOK_MAGIC;
extern const std::array<SliderRecord, 64> BISHOP_MAGIC;
extern const std::array<Bitboard, SLIDER_TABLE_SIZE> SLIDER_TABLE;

// The bits of occ under mask, packed towards bit 0 in the order of the mask.
inline std::uint64_t pext(Bitboard occ, Bitboard mask) {
#if defined(__BMI2__)
    return _pext_u64(occ, mask);
#else
    std::uint64_t packed = 0;
    for (std::uint64_t bit = 1; mask; bit <<= 1, mask &= mask - 1)
        if (occ & mask & (~mask + 1)) packed |= bit;
    return packed;
#endif
}

inline Bitboard rook(int sq, Bitboard occ) {
    const SliderRecord& r = ROOK_MAGIC[sq];
    return SLIDER_TABLE[r.offset + pext(occ, r.mask)];
}
inline Bitboard bishop(int sq, Bitboard occ) {
    const SliderRecord& r = BISHOP_MAGIC[sq];
    return SLIDER_TABLE[r.offset + pext(occ, r.mask)];
}
inline Bitboard queen(int sq, Bitboard occ) { return rook(sq, occ) | bishop(sq, occ); }

// Squares attacked by a set of pawns of colour c.
inline constexpr Bitboard of_pawns(Bitboard pawns, Color c) {
    if (c == WHITE) return ((pawns << 7) & ~FILE_H) | ((pawns << 9) & ~FILE_A);
    return ((pawns >> 9) & ~FILE_H) | ((pawns >> 7) & ~FILE_A);
}

// Attacks of a piece kind other than a pawn from a square.
inline Bitboard of_kind(int kind, int sq, Bitboard occ) {
    switch (kind) {
        case orvane::KNIGHT: return KNIGHT[sq];
        case orvane::BISHOP: return bishop(sq, occ);
        case orvane::ROOK: return rook(sq, occ);
        case orvane::QUEEN: return queen(sq, occ);
        case orvane::KING: return KING[sq];
        default: return 0;
    }
}

}  // namespace orvane::attacks
