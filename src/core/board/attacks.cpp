#include "core/board/attacks.h"

namespace orvane::attacks {
namespace {

struct Step {
    int file, rank;
};
constexpr Step ROOK_STEPS[4] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}};
constexpr Step BISHOP_STEPS[4] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
constexpr Step KING_STEPS[8] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
constexpr Step KNIGHT_STEPS[8] = {{1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}};

constexpr bool on_board(int file, int rank) { return file >= 0 && file < 8 && rank >= 0 && rank < 8; }

constexpr Bitboard leaper(int sq, const Step* steps, int n) {
    Bitboard b = 0;
    for (int i = 0; i < n; ++i) {
        int f = file_of(sq) + steps[i].file, r = rank_of(sq) + steps[i].rank;
        if (on_board(f, r)) b |= bit(make_square(f, r));
    }
    return b;
}

// Squares along the four rays, each ray stopping at (and including) the first blocker.
constexpr Bitboard slide(int sq, Bitboard occ, const Step* steps) {
    Bitboard b = 0;
    for (int i = 0; i < 4; ++i) {
        int f = file_of(sq), r = rank_of(sq);
        for (;;) {
            f += steps[i].file;
            r += steps[i].rank;
            if (!on_board(f, r)) break;
            b |= bit(make_square(f, r));
            if (occ & bit(make_square(f, r))) break;
        }
    }
    return b;
}

constexpr Bitboard relevant_mask(int sq, const Step* steps) {
    Bitboard b = 0;
    for (int i = 0; i < 4; ++i) {
        int f = file_of(sq) + steps[i].file, r = rank_of(sq) + steps[i].rank;
        while (on_board(f, r) && on_board(f + steps[i].file, r + steps[i].rank)) {
            b |= bit(make_square(f, r));
            f += steps[i].file;
            r += steps[i].rank;
        }
    }
    return b;
}

// Software parallel-bits-deposit: bit j of index goes to the j-th lowest square of mask.
constexpr Bitboard deposit(std::uint64_t index, Bitboard mask) {
    Bitboard result = 0;
    for (std::uint64_t b = 1; mask; b <<= 1) {
        if (index & b) result |= mask & (~mask + 1);
        mask &= mask - 1;
    }
    return result;
}

constexpr std::array<SliderRecord, 64> slider_records(const Step* steps, std::uint64_t first) {
    std::array<SliderRecord, 64> records{};
    std::uint64_t offset = first;
    for (int sq = 0; sq < 64; ++sq) {
        Bitboard mask = relevant_mask(sq, steps);
        int n = std::popcount(mask);
        records[sq] = {mask, 0, offset, static_cast<std::uint64_t>(64 - n)};
        offset += std::uint64_t{1} << n;
    }
    return records;
}

constexpr std::array<Bitboard, SLIDER_TABLE_SIZE> build_slider_table() {
    std::array<Bitboard, SLIDER_TABLE_SIZE> table{};
    auto rooks = slider_records(ROOK_STEPS, 0);
    auto bishops = slider_records(BISHOP_STEPS, ROOK_TABLE_SIZE);
    for (int kind = 0; kind < 2; ++kind) {
        const auto& records = kind == 0 ? rooks : bishops;
        const Step* steps = kind == 0 ? ROOK_STEPS : BISHOP_STEPS;
        for (int sq = 0; sq < 64; ++sq) {
            std::uint64_t n = std::uint64_t{1} << std::popcount(records[sq].mask);
            for (std::uint64_t i = 0; i < n; ++i)
                table[records[sq].offset + i] = slide(sq, deposit(i, records[sq].mask), steps);
        }
    }
    return table;
}

constexpr std::array<std::array<Bitboard, 64>, 64> build_line(bool between) {
    std::array<std::array<Bitboard, 64>, 64> t{};
    const Step dirs[8] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}, {1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
    for (int a = 0; a < 64; ++a) {
        for (const Step& d : dirs) {
            Bitboard passed = 0;
            int f = file_of(a) + d.file, r = rank_of(a) + d.rank;
            while (on_board(f, r)) {
                int b = make_square(f, r);
                if (between) {
                    t[a][b] = passed;
                } else {
                    // The whole line edge to edge: this ray, the opposite ray and both ends.
                    Bitboard line = bit(a);
                    for (int s = -1; s <= 1; s += 2) {
                        int ff = file_of(a) + s * d.file, rr = rank_of(a) + s * d.rank;
                        while (on_board(ff, rr)) {
                            line |= bit(make_square(ff, rr));
                            ff += s * d.file;
                            rr += s * d.rank;
                        }
                    }
                    t[a][b] = line;
                }
                passed |= bit(b);
                f += d.file;
                r += d.rank;
            }
        }
    }
    return t;
}

constexpr std::array<Bitboard, 64> build_leapers(const Step* steps) {
    std::array<Bitboard, 64> t{};
    for (int sq = 0; sq < 64; ++sq) t[sq] = leaper(sq, steps, 8);
    return t;
}

constexpr std::array<std::array<Bitboard, 64>, 2> build_pawns() {
    std::array<std::array<Bitboard, 64>, 2> t{};
    const Step white[2] = {{-1, 1}, {1, 1}}, black[2] = {{-1, -1}, {1, -1}};
    for (int sq = 0; sq < 64; ++sq) {
        t[WHITE][sq] = leaper(sq, white, 2);
        t[BLACK][sq] = leaper(sq, black, 2);
    }
    return t;
}

}  // namespace

extern constexpr std::array<Bitboard, 64> KING = build_leapers(KING_STEPS);
extern constexpr std::array<Bitboard, 64> KNIGHT = build_leapers(KNIGHT_STEPS);
extern constexpr std::array<std::array<Bitboard, 64>, 2> PAWN = build_pawns();
extern constexpr std::array<std::array<Bitboard, 64>, 64> LINE = build_line(false);
extern constexpr std::array<std::array<Bitboard, 64>, 64> BETWEEN = build_line(true);
extern constexpr std::array<SliderRecord, 64> ROOK_MAGIC = slider_records(ROOK_STEPS, 0);
extern constexpr std::array<SliderRecord, 64> BISHOP_MAGIC =
    slider_records(BISHOP_STEPS, ROOK_TABLE_SIZE);
alignas(64) extern constexpr std::array<Bitboard, SLIDER_TABLE_SIZE> SLIDER_TABLE =
    build_slider_table();

static_assert(ROOK_MAGIC[63].offset == 98'304 && BISHOP_MAGIC[63].offset == 107'584);
static_assert(KING[0] == 0x302 && PAWN[WHITE][55] == bit(62) && PAWN[WHITE][56] == 0);

}  // namespace orvane::attacks
