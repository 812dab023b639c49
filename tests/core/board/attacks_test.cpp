// Attack tables, checked against slow ray walks and geometric identities, plus the text
// forms of squares and moves and the Zobrist key table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/board/attacks.h"
#include "core/board/types.h"
#include "core/board/zobrist.h"

namespace orvane {
namespace {

struct Dir {
    int file, rank;
};
constexpr Dir ROOK_DIRS[4] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}};
constexpr Dir BISHOP_DIRS[4] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};

bool on_board(int file, int rank) { return file >= 0 && file < 8 && rank >= 0 && rank < 8; }

int sq_of(const char* name) { return (name[0] - 'a') + 8 * (name[1] - '1'); }

Bitboard squares(std::initializer_list<const char*> names) {
    Bitboard b = 0;
    for (const char* n : names) b |= bit(sq_of(n));
    return b;
}

// The slow reference: walk each ray until the edge or the first occupied square.
Bitboard ray_walk(int sq, Bitboard occ, const Dir* dirs) {
    Bitboard result = 0;
    for (int d = 0; d < 4; ++d) {
        int f = file_of(sq) + dirs[d].file, r = rank_of(sq) + dirs[d].rank;
        while (on_board(f, r)) {
            result |= bit(make_square(f, r));
            if (occ & bit(make_square(f, r))) break;
            f += dirs[d].file;
            r += dirs[d].rank;
        }
    }
    return result;
}

Bitboard leaper_reference(int sq, std::initializer_list<Dir> steps) {
    Bitboard result = 0;
    for (Dir s : steps) {
        int f = file_of(sq) + s.file, r = rank_of(sq) + s.rank;
        if (on_board(f, r)) result |= bit(make_square(f, r));
    }
    return result;
}

bool aligned(int a, int b) {
    int df = file_of(b) - file_of(a), dr = rank_of(b) - rank_of(a);
    return a != b && (df == 0 || dr == 0 || df == dr || df == -dr);
}

TEST(LeaperTables, MatchStepReferenceOnEverySquare) {
    for (int sq = 0; sq < 64; ++sq) {
        SCOPED_TRACE(square_name(sq));
        EXPECT_EQ(attacks::KING[sq],
                  leaper_reference(
                      sq, {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}}));
        EXPECT_EQ(
            attacks::KNIGHT[sq],
            leaper_reference(
                sq, {{1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}}));
        EXPECT_EQ(attacks::PAWN[WHITE][sq], leaper_reference(sq, {{-1, 1}, {1, 1}}));
        EXPECT_EQ(attacks::PAWN[BLACK][sq], leaper_reference(sq, {{-1, -1}, {1, -1}}));
    }
}

TEST(LeaperTables, KnownTotals) {
    // Board-wide move counts every chess programmer knows.
    int king = 0, knight = 0, white_pawn = 0, black_pawn = 0;
    for (int sq = 0; sq < 64; ++sq) {
        king += popcount(attacks::KING[sq]);
        knight += popcount(attacks::KNIGHT[sq]);
        white_pawn += popcount(attacks::PAWN[WHITE][sq]);
        black_pawn += popcount(attacks::PAWN[BLACK][sq]);
    }
    EXPECT_EQ(king, 420);
    EXPECT_EQ(knight, 336);
    EXPECT_EQ(white_pawn, 98);
    EXPECT_EQ(black_pawn, 98);
}

TEST(LeaperTables, PawnEdgeCases) {
    EXPECT_EQ(attacks::PAWN[WHITE][sq_of("h7")], squares({"g8"}));
    EXPECT_EQ(attacks::PAWN[WHITE][sq_of("a8")], 0u);
    EXPECT_EQ(attacks::PAWN[WHITE][sq_of("a2")], squares({"b3"}));
    EXPECT_EQ(attacks::PAWN[BLACK][sq_of("a2")], squares({"b1"}));
    EXPECT_EQ(attacks::PAWN[BLACK][sq_of("h1")], 0u);
    EXPECT_EQ(attacks::PAWN[BLACK][sq_of("e5")], squares({"d4", "f4"}));
}

// The set-wise pawn attacks must equal the union of the per-square table, wrap-around at the
// a- and h-files included; random sets cover the cases where neighbours overlap.
TEST(LeaperTables, PawnSetAttacksAreTheUnionOfTheTable) {
    std::mt19937_64 rng(7);
    std::vector<Bitboard> sets{0, ~Bitboard{0}, FILE_A, FILE_H, FILE_A | FILE_H};
    for (int sq = 0; sq < 64; ++sq) sets.push_back(bit(sq));
    for (int i = 0; i < 200; ++i) sets.push_back(rng() & rng());
    for (Bitboard pawns : sets) {
        for (Color c : {WHITE, BLACK}) {
            Bitboard expected = 0;
            for (Bitboard b = pawns; b;) expected |= attacks::PAWN[c][pop_lsb(b)];
            EXPECT_EQ(attacks::of_pawns(pawns, c), expected) << std::hex << pawns << " colour " << int(c);
        }
    }
}

struct SliderExample {
    const char* name;
    bool rook;
    const char* square;
    Bitboard occ;
    Bitboard expected;
};

const SliderExample SLIDER_EXAMPLES[] = {
    {"rook_a1_empty", true, "a1", 0, 0x01010101010101FEULL},
    {"rook_a1_b1_blocked", true, "a1", squares({"b1"}), 0x0101010101010100ULL | squares({"b1"})},
    {"rook_a1_full_board", true, "a1", ~Bitboard{0}, squares({"a2", "b1"})},
    {"rook_d4_empty", true, "d4", 0, 0x08080808F7080808ULL},
    {"rook_ignores_own_square", true, "d4", squares({"d4"}), 0x08080808F7080808ULL},
    {"bishop_a1_empty", false, "a1", 0, 0x8040201008040200ULL},
    {"bishop_d4_blocked", false, "d4", squares({"e5", "b2", "c5"}),
     squares({"e5", "c3", "b2", "c5", "e3", "f2", "g1"})},
    {"bishop_h8_edge_occupancy_ignored", false, "h8", squares({"a1"}), 0x0040201008040201ULL},
};

TEST(SliderTable, HandExamples) {
    for (const SliderExample& e : SLIDER_EXAMPLES) {
        SCOPED_TRACE(e.name);
        int sq = sq_of(e.square);
        EXPECT_EQ(e.rook ? attacks::rook(sq, e.occ) : attacks::bishop(sq, e.occ), e.expected);
    }
}

TEST(SliderTable, RecordLayout) {
    // Relevant-occupancy masks: the rays without the square and without the edge square.
    auto reference_mask = [](int sq, const Dir* dirs) {
        Bitboard m = 0;
        for (int d = 0; d < 4; ++d) {
            int f = file_of(sq) + dirs[d].file, r = rank_of(sq) + dirs[d].rank;
            while (on_board(f + dirs[d].file, r + dirs[d].rank)) {
                m |= bit(make_square(f, r));
                f += dirs[d].file;
                r += dirs[d].rank;
            }
        }
        return m;
    };
    std::uint64_t rook_offset = 0, bishop_offset = attacks::ROOK_TABLE_SIZE;
    for (int sq = 0; sq < 64; ++sq) {
        SCOPED_TRACE(square_name(sq));
        const attacks::SliderRecord& r = attacks::ROOK_MAGIC[sq];
        const attacks::SliderRecord& b = attacks::BISHOP_MAGIC[sq];
        EXPECT_EQ(r.mask, reference_mask(sq, ROOK_DIRS));
        EXPECT_EQ(b.mask, reference_mask(sq, BISHOP_DIRS));
        EXPECT_EQ(r.offset, rook_offset);
        EXPECT_EQ(b.offset, bishop_offset);
        EXPECT_EQ(r.shift, 64u - popcount(r.mask));
        EXPECT_EQ(b.shift, 64u - popcount(b.mask));
        rook_offset += std::uint64_t{1} << popcount(r.mask);
        bishop_offset += std::uint64_t{1} << popcount(b.mask);
    }
    EXPECT_EQ(rook_offset, std::uint64_t(attacks::ROOK_TABLE_SIZE));
    EXPECT_EQ(bishop_offset, std::uint64_t(attacks::SLIDER_TABLE_SIZE));
    EXPECT_EQ(attacks::ROOK_MAGIC[sq_of("a1")].mask, 0x000101010101017EULL);
    EXPECT_EQ(attacks::ROOK_MAGIC[sq_of("b1")].offset, 4096u);
    EXPECT_EQ(attacks::ROOK_MAGIC[sq_of("c1")].offset, 6144u);
    EXPECT_EQ(attacks::ROOK_MAGIC[sq_of("h8")].offset, 98304u);
    EXPECT_EQ(attacks::BISHOP_MAGIC[sq_of("b1")].offset, 102464u);
    EXPECT_EQ(attacks::BISHOP_MAGIC[sq_of("h8")].offset, 107584u);
}

// Software bit deposit: bit j of index lands on the j-th lowest square of mask.
Bitboard deposit(std::uint64_t index, Bitboard mask) {
    Bitboard out = 0;
    for (int j = 0; mask; ++j) {
        Bitboard low = mask & (~mask + 1);
        if ((index >> j) & 1) out |= low;
        mask ^= low;
    }
    return out;
}

// Every entry of every block, each with random noise outside the mask that the lookup must
// ignore, and then random occupancies of several densities on every square.
TEST(SliderTable, MatchesRayWalkForEveryEntryAndRandomOccupancies) {
    std::mt19937_64 rng(0x0A77AC55ULL);
    for (int rook = 0; rook < 2; ++rook) {
        const Dir* dirs = rook ? ROOK_DIRS : BISHOP_DIRS;
        for (int sq = 0; sq < 64; ++sq) {
            const attacks::SliderRecord& rec =
                rook ? attacks::ROOK_MAGIC[sq] : attacks::BISHOP_MAGIC[sq];
            const std::uint64_t entries = std::uint64_t{1} << popcount(rec.mask);
            for (std::uint64_t i = 0; i < entries; ++i) {
                Bitboard occ = deposit(i, rec.mask) | (rng() & ~rec.mask);
                Bitboard got = rook ? attacks::rook(sq, occ) : attacks::bishop(sq, occ);
                ASSERT_EQ(got, ray_walk(sq, occ, dirs))
                    << (rook ? "rook " : "bishop ") << square_name(sq) << " entry " << i;
            }
            for (int n = 0; n < 300; ++n) {
                Bitboard occ = rng();
                if (n % 3 == 1) occ &= rng();
                if (n % 3 == 2) occ &= rng() & rng();
                ASSERT_EQ(attacks::queen(sq, occ),
                          ray_walk(sq, occ, ROOK_DIRS) | ray_walk(sq, occ, BISHOP_DIRS))
                    << square_name(sq) << " occ " << occ;
            }
        }
    }
}

TEST(LineAndBetween, EdgeCases) {
    for (int a = 0; a < 64; ++a) {
        EXPECT_EQ(attacks::LINE[a][a], 0u);
        EXPECT_EQ(attacks::BETWEEN[a][a], 0u);
        for (int b : {a + 1, a - 1, a + 8, a - 8, a + 9, a - 9, a + 7, a - 7}) {
            if (b < 0 || b > 63 || !(attacks::KING[a] & bit(b))) continue;
            EXPECT_EQ(attacks::BETWEEN[a][b], 0u) << square_name(a) << square_name(b);
        }
    }
    EXPECT_EQ(attacks::LINE[sq_of("a1")][sq_of("b3")], 0u);
    EXPECT_EQ(attacks::BETWEEN[sq_of("a1")][sq_of("b3")], 0u);
    EXPECT_EQ(attacks::LINE[sq_of("c2")][sq_of("e4")], attacks::LINE[sq_of("b1")][sq_of("h7")]);
    EXPECT_EQ(attacks::LINE[sq_of("b1")][sq_of("h7")],
              squares({"b1", "c2", "d3", "e4", "f5", "g6", "h7"}));
    EXPECT_EQ(attacks::BETWEEN[sq_of("b1")][sq_of("f5")], squares({"c2", "d3", "e4"}));
    EXPECT_EQ(attacks::LINE[sq_of("e2")][sq_of("e7")], 0x1010101010101010ULL);
    EXPECT_EQ(attacks::BETWEEN[sq_of("a4")][sq_of("h4")], 0x7E000000ULL);
}

TEST(LineAndBetween, GeometricIdentitiesForAllPairs) {
    for (int a = 0; a < 64; ++a) {
        for (int b = 0; b < 64; ++b) {
            SCOPED_TRACE(square_name(a) + square_name(b));
            const Bitboard line = attacks::LINE[a][b], between = attacks::BETWEEN[a][b];
            EXPECT_EQ(line, attacks::LINE[b][a]);
            EXPECT_EQ(between, attacks::BETWEEN[b][a]);
            if (!aligned(a, b)) {
                EXPECT_EQ(line, 0u);
                EXPECT_EQ(between, 0u);
                continue;
            }
            const bool straight = file_of(a) == file_of(b) || rank_of(a) == rank_of(b);
            auto slider = [&](int from, Bitboard occ) {
                return straight ? attacks::rook(from, occ) : attacks::bishop(from, occ);
            };
            // Between: what a slider on a sees with b occupied, met by what b sees.
            EXPECT_EQ(between, slider(a, bit(b)) & slider(b, bit(a)));
            // Line: from a in the direction of b and in the opposite one, edge to edge.
            const int df = (file_of(b) > file_of(a)) - (file_of(b) < file_of(a));
            const int dr = (rank_of(b) > rank_of(a)) - (rank_of(b) < rank_of(a));
            Bitboard walked = bit(a);
            for (int s = -1; s <= 1; s += 2)
                for (int f = file_of(a) + s * df, r = rank_of(a) + s * dr; on_board(f, r);
                     f += s * df, r += s * dr)
                    walked |= bit(make_square(f, r));
            EXPECT_EQ(line, walked);
            EXPECT_TRUE(line & bit(a));
            EXPECT_TRUE(line & bit(b));
            EXPECT_EQ(between & (bit(a) | bit(b)), 0u);
            EXPECT_EQ(between & ~line, 0u);
            // The line is the same whichever two of its squares name it, and it runs edge
            // to edge: at least the two squares, at most eight.
            for (Bitboard rest = line & ~bit(a); rest;) {
                int c = pop_lsb(rest);
                EXPECT_EQ(attacks::LINE[a][c], line);
            }
            EXPECT_GE(popcount(line), 2);
            EXPECT_LE(popcount(line), 8);
            EXPECT_EQ(
                popcount(between),
                std::max(std::abs(file_of(a) - file_of(b)), std::abs(rank_of(a) - rank_of(b))) - 1);
        }
    }
}

TEST(TextForms, SquaresAndMoves) {
    EXPECT_EQ(square_name(0), "a1");
    EXPECT_EQ(square_name(7), "h1");
    EXPECT_EQ(square_name(8), "a2");
    EXPECT_EQ(square_name(63), "h8");
    struct Case {
        Move move;
        const char* text;
    };
    const Case cases[] = {
        {NULL_MOVE, "0000"},
        {make_move(sq_of("e2"), sq_of("e4"), DOUBLE_PUSH), "e2e4"},
        {make_move(sq_of("g1"), sq_of("f3"), QUIET), "g1f3"},
        {make_move(sq_of("e7"), sq_of("e8"), PROMO_KNIGHT), "e7e8n"},
        {make_move(sq_of("e7"), sq_of("e8"), PROMO_KNIGHT + 1), "e7e8b"},
        {make_move(sq_of("e7"), sq_of("e8"), PROMO_KNIGHT + 2), "e7e8r"},
        {make_move(sq_of("e7"), sq_of("e8"), PROMO_KNIGHT + 3), "e7e8q"},
        {make_move(sq_of("b2"), sq_of("a1"), PROMO_CAPTURE_KNIGHT + 3), "b2a1q"},
        {make_move(sq_of("b2"), sq_of("a1"), PROMO_CAPTURE_KNIGHT), "b2a1n"},
        {make_move(sq_of("e1"), sq_of("g1"), KING_CASTLE), "e1g1"},
        {make_move(sq_of("e8"), sq_of("c8"), QUEEN_CASTLE), "e8c8"},
        {make_move(sq_of("e5"), sq_of("d6"), EN_PASSANT), "e5d6"},
        {make_move(sq_of("d4"), sq_of("e5"), CAPTURE), "d4e5"},
    };
    for (const Case& c : cases) EXPECT_EQ(move_to_uci(c.move), c.text);
}

TEST(MoveEncoding, KindPredicates) {
    // kind, capture, promotion, castle, quiet-for-ordering, promoted kind (promotions only)
    struct Row {
        int kind;
        bool capture, promotion, castle, quiet;
        int promoted;
    };
    const Row rows[] = {
        {QUIET, false, false, false, true, 0},      {DOUBLE_PUSH, false, false, false, true, 0},
        {KING_CASTLE, false, false, true, true, 0}, {QUEEN_CASTLE, false, false, true, true, 0},
        {CAPTURE, true, false, false, false, 0},    {EN_PASSANT, true, false, false, false, 0},
        {8, false, true, false, false, KNIGHT},     {9, false, true, false, false, BISHOP},
        {10, false, true, false, false, ROOK},      {11, false, true, false, false, QUEEN},
        {12, true, true, false, false, KNIGHT},     {13, true, true, false, false, BISHOP},
        {14, true, true, false, false, ROOK},       {15, true, true, false, false, QUEEN},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.kind);
        Move m = make_move(sq_of("h7"), sq_of("a2"), r.kind);
        EXPECT_EQ(move_from(m), sq_of("h7"));
        EXPECT_EQ(move_to(m), sq_of("a2"));
        EXPECT_EQ(move_kind(m), r.kind);
        EXPECT_EQ(is_capture(m), r.capture);
        EXPECT_EQ(is_promotion(m), r.promotion);
        EXPECT_EQ(is_castle(m), r.castle);
        EXPECT_EQ(is_quiet(m), r.quiet);
        EXPECT_EQ(is_noisy(m), !r.quiet);
        EXPECT_EQ(is_en_passant(m), r.kind == EN_PASSANT);
        if (r.promotion) {
            EXPECT_EQ(promoted_kind(m), r.promoted);
        }
    }
}

TEST(PieceEncoding, LettersKindsAndColours) {
    const std::string letters = "PNBRQKpnbrqk";
    for (int p = 0; p < 12; ++p) {
        EXPECT_EQ(piece_letter(static_cast<Piece>(p)), letters[p]);
        EXPECT_EQ(kind_of(static_cast<Piece>(p)), p % 6);
        EXPECT_EQ(color_of(static_cast<Piece>(p)), p > 5 ? BLACK : WHITE);
        EXPECT_EQ(make_piece(color_of(static_cast<Piece>(p)), p % 6), p);
    }
    EXPECT_EQ(piece_letter(NO_PIECE), '.');
}

TEST(ZobristKeys, DistinctNonZeroAndIndexedAsDocumented) {
    std::set<std::uint64_t> seen(zobrist::KEYS.begin(), zobrist::KEYS.end());
    EXPECT_EQ(seen.size(), std::size_t(zobrist::KEY_COUNT));
    EXPECT_EQ(seen.count(0), 0u);
    EXPECT_EQ(zobrist::KEY_COUNT, 793);
    EXPECT_EQ(zobrist::CASTLING_BASE, 12 * 64);
    EXPECT_EQ(zobrist::EP_BASE, 12 * 64 + 16);
    EXPECT_EQ(zobrist::SIDE_KEY, 12 * 64 + 16 + 8);
    EXPECT_EQ(zobrist::piece_key(11, 63), zobrist::KEYS[767]);
    // Well mixed: every bit position is set in roughly half of the keys.
    for (int b = 0; b < 64; ++b) {
        int ones = 0;
        for (std::uint64_t k : zobrist::KEYS) ones += (k >> b) & 1;
        EXPECT_GT(ones, 300) << "bit " << b;
        EXPECT_LT(ones, 493) << "bit " << b;
    }
}

}  // namespace
}  // namespace orvane
