// The hand-written evaluator: table orientation, colour and board symmetry, tapering, the
// phase cap, truncation toward zero, the bishop pair, all through scores worked out by hand.
#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/eval/pst_eval.h"
#include "core/board/movegen.h"
#include "support/fen_mirror.h"
#include "support/position_helpers.h"

namespace orvane {
namespace {

using fen_mirror::colour_mirror;
using fen_mirror::file_mirror;

constexpr std::string_view SYMMETRY_FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "4k3/8/8/8/8/8/8/4K2R w K - 0 1",
    "n3k3/8/8/8/8/8/8/4K3 w - - 0 1",
    "2b1kb2/8/8/8/8/8/8/2B1K1B1 b - - 3 40",
    "8/8/4k3/8/2Q5/8/5K2/8 b - - 10 60",
    "6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 30",
    "4k3/8/8/8/8/qqqq4/8/QQQQ2K1 w - - 0 1",
};

// A position and its colour-mirrored twin score the same for the side to move. Every table is
// also symmetric between the a-side and the h-side, so a slip in one entry shows up as a score
// that changes when the board is reflected left to right.
TEST(PstEval, MirroredBoardsScoreTheSame) {
    for (std::string_view fen : SYMMETRY_FENS) {
        const std::string mirrored = colour_mirror(fen);
        Position a = from_fen(fen), b = from_fen(mirrored), c = from_fen(file_mirror(fen));
        EXPECT_EQ(PstEval{}.evaluate(a), PstEval{}.evaluate(b)) << fen << " vs " << mirrored;
        EXPECT_EQ(eval::evaluate_white(a), -eval::evaluate_white(b)) << fen;
        EXPECT_EQ(eval::phase(a), eval::phase(b)) << fen;
        EXPECT_EQ(eval::evaluate_white(a), eval::evaluate_white(c)) << fen;
    }
}

// Many positions from random games, mirrored both ways.
TEST(PstEval, SymmetricAlongRandomGames) {
    std::mt19937_64 rng(20240611);
    int checked = 0;
    for (int game = 0; game < 20; ++game) {
        Position pos = Position::startpos();
        for (int ply = 0; ply < 120; ++ply) {
            const std::string fen = pos.to_fen();
            const int white = eval::evaluate_white(pos);
            ASSERT_EQ(PstEval{}.evaluate(from_fen(colour_mirror(fen))), PstEval{}.evaluate(pos))
                << fen;
            ASSERT_EQ(eval::evaluate_white(from_fen(file_mirror(fen))), white) << fen;
            ++checked;
            MoveList moves;
            movegen::generate_all(pos, moves);
            if (moves.empty()) break;
            pos.make_move(moves[static_cast<int>(rng() % moves.size())]);
        }
    }
    EXPECT_GT(checked, 1000);
}

// Spot values, against the tables as drawn (rank 8 first): they pin the orientation of the
// square index and the mirror for Black.
TEST(PstEval, TablesFollowTheBoardOrientation) {
    constexpr int A2 = 8, A7 = 48, D7 = 51, E2 = 12, E7 = 52, G1 = 6, G8 = 62, H8 = 63;
    const auto& mg = eval::TABLES[0];
    const auto& eg = eval::TABLES[1];
    EXPECT_EQ(mg[make_piece(WHITE, PAWN)][E2], 92);
    EXPECT_EQ(mg[make_piece(WHITE, PAWN)][E7], 161);
    EXPECT_EQ(mg[make_piece(BLACK, PAWN)][E7], 92);
    EXPECT_EQ(eg[make_piece(WHITE, PAWN)][A7], 210);
    EXPECT_EQ(eg[make_piece(BLACK, PAWN)][A2], 210);
    EXPECT_EQ(mg[make_piece(WHITE, ROOK)][D7], 494);
    EXPECT_EQ(mg[make_piece(WHITE, KING)][G1], 25);
    EXPECT_EQ(mg[make_piece(BLACK, KING)][G8], 25);
    EXPECT_EQ(mg[make_piece(WHITE, KING)][G8], -85);
    EXPECT_EQ(mg[make_piece(WHITE, BISHOP)][H8], 324);
    EXPECT_EQ(eg[make_piece(BLACK, QUEEN)][H8], 948);
}

struct HandCase {
    std::string_view name, fen;
    int phase;
    int white;  // evaluate_white
};

// Each value is worked out from the tables by hand; comments give the sums.
constexpr HandCase HAND_CASES[] = {
    {"start", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 24, 0},
    {"start_black", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1", 24, 0},
    // e2-e4: mg 92 -> 120; full middle game.
    {"e4", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1", 24, 28},
    {"e4_e5", "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6 0 2", 24, 0},
    // Ng1-f3: mg 292 -> 330.
    {"nf3", "rnbqkbnr/pppppppp/8/8/8/5N2/PPPPPPPP/RNBQKB1R b KQkq - 1 1", 24, 38},
    // Kings on c3 and f6 (eg 14 each); bare kings use the end-game table only.
    {"bare_kings_even", "8/8/5k2/8/8/2K5/8/8 w - - 0 1", 0, 0},
    // Kings on a1 (eg -30) and e5 (eg 30).
    {"bare_kings_corner", "8/8/8/4k3/8/8/8/K7 b - - 0 1", 0, -60},
    // Qd1 + Ke1 vs Ke8: mg 944, eg 948, phase 4: (4*944 + 20*948) / 24 = 947.33.
    {"queen_taper", "4k3/8/8/8/8/8/8/3QK3 w - - 0 1", 4, 947},
    // Black Na8: mg -292, eg -272, phase 1: (-292 - 23*272) / 24 = -272.83, toward zero.
    {"truncates_toward_zero", "n3k3/8/8/8/8/8/8/4K3 w - - 0 1", 1, -272},
    {"truncates_toward_zero_mirror", "4k3/8/8/8/8/8/8/N3K3 b - - 0 1", 1, 272},
    // Queen on a2 instead of a pawn: phase 28 capped at 24, so mg 944 - 100 alone counts
    // (uncapped it would be (28*844 - 4*828) / 24 = 846).
    {"phase_cap", "rnbqkbnr/pppppppp/8/8/8/8/QPPPPPPP/RNBQKBNR w KQkq - 0 1", 24, 844},
    // Bc1 + Be3, both on dark squares: mg 318 + 338 + 25, eg 308 + 328 + 45.
    {"pair_same_colour", "4k3/8/8/8/8/4B3/8/2B1K3 w - - 0 1", 2, 681},
    // A third bishop (g5: mg 330, eg 320) adds no second bonus: (3*1011 + 21*1001) / 24.
    {"three_bishops_one_bonus", "4k3/8/8/6B1/8/4B3/8/2B1K3 w - - 0 1", 3, 1002},
    // One bishop each on mirrored squares: no bonus either side.
    {"one_bishop_each", "2b1k3/8/8/8/8/8/8/2B1K3 w - - 0 1", 2, 0},
    // Bc8 + Bf8 against Bc1: mg -318 - 25, eg -308 - 45: (3*-343 + 21*-353) / 24 = -351.75.
    {"black_pair", "2b1kb2/8/8/8/8/8/8/2B1K3 w - - 0 1", 3, -351},
};

class HandScores : public testing::TestWithParam<HandCase> {};

TEST_P(HandScores, MatchTheTables) {
    const HandCase& c = GetParam();
    Position pos = from_fen(c.fen);
    EXPECT_EQ(eval::phase(pos), c.phase);
    EXPECT_EQ(eval::evaluate_white(pos), c.white);
    EXPECT_EQ(PstEval{}.evaluate(pos), pos.side() == WHITE ? c.white : -c.white);
}

INSTANTIATE_TEST_SUITE_P(PstEval, HandScores, testing::ValuesIn(HAND_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvane
