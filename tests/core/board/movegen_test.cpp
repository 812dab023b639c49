// Legal move generation: the three generators against each other and against the single-move
// validator on every 16-bit value, the exact generation order, and the positions where
// legality is subtle (double check, pins along ranks in en passant, castling through check).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/board/movegen.h"
#include "core/board/position.h"
#include "core/board/perft_epd.h"
#include "support/position_helpers.h"

namespace orvane {
namespace {

int sq(const char* name) { return (name[0] - 'a') + 8 * (name[1] - '1'); }

std::vector<Move> noisy_moves(const Position& p) {
    MoveList list;
    movegen::generate_noisy(p, list);
    return {list.begin(), list.end()};
}
std::vector<Move> quiet_moves(const Position& p) {
    MoveList list;
    movegen::generate_quiet(p, list);
    return {list.begin(), list.end()};
}

// The FENs of a shared perft suite.
std::vector<std::string> epd_fens(const std::string& name) {
    std::vector<std::string> fens;
    for (const perft_epd::PerftCase& c : perft_epd::load_epd(name)) fens.push_back(c.fen);
    return fens;
}

// Positions where legality is subtle, written for these tests.
const char* SPECIAL_FENS[] = {
    // double checks: rook and knight, bishop and rook, a promotion that checks twice
    "4r1k1/8/8/8/8/R2n4/8/4K1B1 w - - 0 1",
    "4k3/8/8/8/1b6/8/8/r3K2R w K - 0 1",
    "3R1k2/8/8/8/8/8/5Q2/4K3 b - - 0 1",
    "4k3/8/8/8/8/8/4q3/3nK3 w - - 0 1",  // single check next to a knight
    // en passant: pinned along the rank, pinned on a diagonal, removing and blocking a check
    "8/8/8/KPp4r/8/8/8/4k3 w - c6 0 1",
    "8/8/8/1k6/3Pp3/8/8/4KQ2 b - d3 0 1",
    "8/8/8/8/k2Pp2Q/8/8/3K4 b - d3 0 1",
    "8/7k/8/8/3Pp3/8/8/1B2K3 b - d3 0 1",
    "8/1k6/8/8/3Pp3/8/8/4K2B b - d3 0 1",
    "8/8/8/2k5/3Pp3/8/8/4K3 b - d3 0 1",
    "1K6/8/8/2Pp4/5b2/8/8/4k3 w - d6 0 1",
    "8/8/8/3pP1p1/7K/8/8/4k3 w - d6 0 1",
    "8/8/8/8/1k1Pp3/8/8/4K3 b - d3 0 1",
    // castling: through check, out of check, only b1 attacked, blocked
    "4kr2/8/8/8/8/8/8/R3K2R w KQ - 0 1",
    "1r2k3/8/8/8/8/8/8/R3K2R w KQ - 0 1",
    "3rk3/8/8/8/8/8/8/R3K2R w KQ - 0 1",
    "2r1k3/8/8/8/8/8/8/R3K2R w KQ - 0 1",
    "4r1k1/8/8/8/8/8/8/R3K2R w KQ - 0 1",
    "3k2r1/8/8/8/8/8/8/R3K2R w KQ - 0 1",
    "r3k2r/8/8/8/8/8/8/RN2K1NR w KQkq - 0 1",
    "r3k2r/8/8/8/8/8/6n1/R3K2R w KQkq - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
    // promotions: pushes, captures, pinned promoting pawns
    "r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1",
    "1n1rk3/P1P5/8/8/8/8/8/4K3 w - - 0 1",
    "4k3/8/8/8/8/8/1pp5/R3K3 b Q - 0 1",
    "2r1q2k/3P4/8/1K6/8/8/8/8 w - - 0 1",
    "3rk3/4P3/8/8/8/8/8/4K3 w - - 0 1",
    "K3r2k/4P3/8/8/8/8/8/8 w - - 0 1",
    "2r4k/3P4/8/8/8/B7/8/K7 w - - 0 1",
    // pins of every kind of piece
    "4k3/4r3/8/8/4R3/8/8/4K3 w - - 0 1",
    "4k3/8/8/b7/8/2N5/8/4K3 w - - 0 1",
    "4k3/8/8/b7/8/2Q5/8/4K3 w - - 0 1",
    "4k3/8/8/8/8/8/8/r2BK3 w - - 0 1",
    "4k3/8/8/8/8/8/4P3/4K3 w - - 0 1",
    "4r1k1/8/8/8/8/8/P3P3/4K3 w - - 0 1",
    "4k3/8/8/7b/8/8/4P3/3K4 w - - 0 1",
    "4k3/8/8/7b/8/3p4/4P3/3K4 w - - 0 1",
    "4k3/8/8/8/8/5b2/4P3/3K4 w - - 0 1",
    "4k3/8/8/b7/8/8/3K4/8 w - - 0 1",
    "4k3/8/8/8/8/8/4K3/4r3 w - - 0 1",
    // in check, with a piece beside the king that may take the checker (a slider on another
    // line through the king must not count as pinning it)
    "r2pkq1r/3pQ2p/R1pP4/r1p5/7R/2P1R3/b4r2/R3K2R b kq - 25 143",
    "7P/8/8/2r5/8/4KrPn/2rPP3/5k1p w - - 74 186",
    "2bk4/3RR3/7p/1nb1p2N/8/pr2PK2/8/5P2 b - - 42 127",
    "r3k2r/p7/p6b/7q/p2P1Q1R/4q3/5Pb1/R2RKN1R w KQkq - 102 244",
    "3p2k1/1P5b/3p3B/1QB5/r1K5/r5p1/3RP3/8 w - - 67 48",
    // mates and stalemates
    "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3",
    "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1",
    "k7/P7/K7/8/8/8/8/8 b - - 0 1",
    "R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1",
    // pawns on the first and last ranks
    "P3k3/8/8/8/8/8/8/4K2p w - - 0 1",
    "P3k3/8/8/8/8/8/8/4K2p b - - 0 1",
    "1P2k3/8/8/8/8/8/8/p3K3 w - - 0 1",
    "4k3/8/8/8/8/8/8/p3K2r w - - 0 1",
    "R3k3/8/8/8/8/8/8/p3K3 b - - 0 1",
    "K2P3r/8/8/8/8/8/8/4k3 w - - 0 1",
    "4K3/8/8/8/8/8/8/k2p3R b - - 0 1",
    "Pp2k3/8/8/8/8/8/8/4K1pP w - - 0 1",
    // the most legal moves a position can have: 218
    "R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNN1KB1 w - - 0 1",
};

// Positions reached by random play from a few starts, with a fixed rng state.
std::vector<std::string> random_game_fens(int games, int plies, std::uint64_t rng_state) {
    const char* starts[] = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
        "4k3/pppppppp/8/8/8/8/PPPPPPPP/4K3 w - - 0 1",
    };
    std::vector<std::string> fens;
    std::mt19937_64 rng(rng_state);
    for (int g = 0; g < games; ++g) {
        Position p = from_fen(starts[g % std::size(starts)]);
        for (int i = 0; i < plies; ++i) {
            fens.push_back(p.to_fen());
            MoveList moves;
            movegen::generate_all(p, moves);
            if (moves.empty()) break;
            p.make_move(moves[static_cast<int>(rng() % moves.size())]);
        }
    }
    return fens;
}

std::vector<std::string> test_positions() {
    std::vector<std::string> fens(std::begin(SPECIAL_FENS), std::end(SPECIAL_FENS));
    for (const std::string& f : epd_fens("suite.epd")) fens.push_back(f);
    for (const std::string& f : random_game_fens(40, 120, 0x6E4E7A7EULL)) fens.push_back(f);
    return fens;
}

TEST(TestData, SuiteFileIsPresent) {
    EXPECT_GE(epd_fens("suite.epd").size(), 100u) << "../shared/perft/suite.epd missing or short";
}

// ---------------------------------------------------------------------------------------
// The generators against each other

TEST(Generators, NoisyAndQuietSplitAllInItsOrder) {
    int positions = 0;
    for (const std::string& fen : test_positions()) {
        SCOPED_TRACE(fen);
        Position p = from_fen(fen);
        const std::vector<Move> all = legal_moves(p), noisy = noisy_moves(p), quiet = quiet_moves(p);
        // Noisy moves are captures and promotions; the two lists keep the order of the full
        // list, so each is exactly the full list filtered.
        std::vector<Move> want_noisy, want_quiet;
        for (Move m : all) (is_noisy(m) ? want_noisy : want_quiet).push_back(m);
        ASSERT_EQ(uci_list(noisy), uci_list(want_noisy));
        ASSERT_EQ(noisy, want_noisy);
        ASSERT_EQ(quiet, want_quiet);
        // No move twice, no null move, nothing of kind 6 or 7.
        std::set<Move> unique(all.begin(), all.end());
        ASSERT_EQ(unique.size(), all.size());
        for (Move m : all) {
            ASSERT_NE(m, NULL_MOVE);
            ASSERT_NE(move_kind(m), 6);
            ASSERT_NE(move_kind(m), 7);
        }
        for (Move m : quiet) {
            ASSERT_FALSE(is_capture(m)) << move_to_uci(m);
            ASSERT_FALSE(is_promotion(m)) << move_to_uci(m);
        }
        ASSERT_EQ(movegen::has_legal_move(p), !all.empty());
        ++positions;
    }
    EXPECT_GT(positions, 4000);
}

// Every generated move leaves the mover's king safe and reports what it does: captures
// land on an enemy piece (or are en passant), quiet moves on an empty square.
TEST(Generators, MovesAreLegalAndWellFormed) {
    for (const std::string& fen : test_positions()) {
        SCOPED_TRACE(fen);
        Position p = from_fen(fen);
        const Color us = p.side();
        for (Move m : legal_moves(p)) {
            const int from = move_from(m), to = move_to(m), kind = move_kind(m);
            const Piece mover = p.piece_on(from);
            ASSERT_NE(mover, NO_PIECE) << move_to_uci(m);
            ASSERT_EQ(color_of(mover), us) << move_to_uci(m);
            if (kind == EN_PASSANT) {
                ASSERT_EQ(to, p.ep_square());
                ASSERT_EQ(p.piece_on(to ^ 8), make_piece(us ^ 1, PAWN));
            } else if (is_capture(m)) {
                ASSERT_NE(p.piece_on(to), NO_PIECE) << move_to_uci(m);
                ASSERT_EQ(color_of(p.piece_on(to)), us ^ 1) << move_to_uci(m);
                ASSERT_NE(kind_of(p.piece_on(to)), KING) << move_to_uci(m);
            } else {
                ASSERT_EQ(p.piece_on(to), NO_PIECE) << move_to_uci(m);
            }
            if (is_promotion(m) || kind == DOUBLE_PUSH || kind == EN_PASSANT) {
                ASSERT_EQ(kind_of(mover), PAWN);
            }
            if (is_castle(m)) {
                ASSERT_EQ(kind_of(mover), KING);
            }
            if (kind_of(mover) == PAWN) {
                ASSERT_EQ(is_promotion(m), rank_of(to) == (us == WHITE ? 7 : 0)) << move_to_uci(m);
            }
            Position after = p;
            after.make_move(m);
            ASSERT_FALSE(after.is_attacked(after.king_square(us), us ^ 1, after.pieces()))
                << move_to_uci(m) << " leaves the king attacked";
        }
    }
}

TEST(Generators, DoubleCheckAllowsOnlyKingMoves) {
    int double_checks = 0;
    std::vector<std::string> fens(std::begin(SPECIAL_FENS), std::end(SPECIAL_FENS));
    for (const std::string& f : random_game_fens(400, 150, 0xD0B1EC4EULL)) fens.push_back(f);
    for (const std::string& fen : fens) {
        Position p = from_fen(fen);
        if (popcount(p.checkers()) < 2) continue;
        ++double_checks;
        SCOPED_TRACE(fen);
        const int king = p.king_square(p.side());
        for (const auto& list : {legal_moves(p), noisy_moves(p), quiet_moves(p)})
            for (Move m : list) ASSERT_EQ(move_from(m), king) << move_to_uci(m);
        for (int v = 1; v < 65536; ++v) {
            const Move m = static_cast<Move>(v);
            if (move_from(m) != king) {
                ASSERT_FALSE(movegen::is_legal_move(p, m)) << move_to_uci(m);
            }
        }
    }
    EXPECT_GE(double_checks, 6);
}

// ---------------------------------------------------------------------------------------
// The single-move validator on every 16-bit value

std::vector<std::string> sweep_positions() {
    std::vector<std::string> fens(std::begin(SPECIAL_FENS), std::end(SPECIAL_FENS));
    std::vector<std::string> suite = epd_fens("suite.epd");
    for (std::size_t i = 0; i < suite.size(); i += 12) fens.push_back(suite[i]);
    std::vector<std::string> games = random_game_fens(20, 100, 0x51EE9ULL);
    for (std::size_t i = 0; i < games.size(); i += 101) fens.push_back(games[i]);
    // Positions in check, where evasions, pins and captures of the checker meet.
    int in_check = 0;
    for (const std::string& fen : random_game_fens(60, 150, 0xC4ECC4ECULL)) {
        if (in_check < 40 && from_fen(fen).in_check()) {
            fens.push_back(fen);
            ++in_check;
        }
    }
    return fens;
}

TEST(IsLegalMove, AgreesWithGenerateAllOnEverySixteenBitValue) {
    int positions = 0;
    for (const std::string& fen : sweep_positions()) {
        SCOPED_TRACE(fen);
        Position p = from_fen(fen);
        const std::vector<Move> all = legal_moves(p);
        std::vector<bool> generated(65536, false);
        for (Move m : all) generated[m] = true;
        int accepted = 0;
        for (int v = 0; v < 65536; ++v) {
            const Move m = static_cast<Move>(v);
            const bool legal = movegen::is_legal_move(p, m);
            if (legal != generated[v])
                FAIL() << move_to_uci(m) << " kind " << move_kind(m) << ": is_legal_move says "
                       << legal << ", the generator " << generated[v];
            accepted += legal;
        }
        ASSERT_EQ(accepted, static_cast<int>(all.size()));
        ++positions;
    }
    EXPECT_GE(positions, 120);
}

TEST(IsLegalMove, StaleAndMalformedMoves) {
    // A queen-side castle remembered from when the right still existed.
    const Move castle = make_move(sq("e1"), sq("c1"), QUEEN_CASTLE);
    EXPECT_TRUE(movegen::is_legal_move(from_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1"), castle));
    EXPECT_FALSE(movegen::is_legal_move(from_fen("r3k2r/8/8/8/8/8/8/R3K2R w Kkq - 0 1"), castle));
    // A promotion written with kind 0, and the same squares as a real promotion.
    Position promo = from_fen("4k3/1P6/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_FALSE(movegen::is_legal_move(promo, make_move(sq("b7"), sq("b8"), QUIET)));
    EXPECT_TRUE(movegen::is_legal_move(promo, make_move(sq("b7"), sq("b8"), PROMO_KNIGHT)));
    // A capture written as a quiet move and the other way round.
    Position start = Position::startpos();
    EXPECT_FALSE(movegen::is_legal_move(start, make_move(sq("e2"), sq("e4"), QUIET)));
    EXPECT_FALSE(movegen::is_legal_move(start, make_move(sq("g1"), sq("f3"), CAPTURE)));
    EXPECT_FALSE(movegen::is_legal_move(start, NULL_MOVE));
    EXPECT_FALSE(movegen::is_legal_move(start, make_move(sq("g1"), sq("f3"), 6)));
    EXPECT_FALSE(movegen::is_legal_move(start, make_move(sq("g1"), sq("f3"), 7)));
    // An en-passant capture once the square is gone.
    Position ep = from_fen("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1");
    const Move take = make_move(sq("e5"), sq("d6"), EN_PASSANT);
    EXPECT_TRUE(movegen::is_legal_move(ep, take));
    EXPECT_FALSE(movegen::is_legal_move(from_fen("4k3/8/8/3pP3/8/8/8/4K3 w - - 0 1"), take));
}

// ---------------------------------------------------------------------------------------
// Hand-checked positions

struct OrderCase {
    const char* name;
    const char* fen;
    const char* moves;  // generate_all, in order
};

const OrderCase ORDER_CASES[] = {
    {"start", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
     "b1a3 b1c3 g1f3 g1h3 a2a3 b2b3 c2c3 d2d3 e2e3 f2f3 g2g3 h2h3 "
     "a2a4 b2b4 c2c4 d2d4 e2e4 f2f4 g2g4 h2h4"},
    {"black_after_e4", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1",
     "b8a6 b8c6 g8f6 g8h6 a7a6 b7b6 c7c6 d7d6 e7e6 f7f6 g7g6 h7h6 "
     "a7a5 b7b5 c7c5 d7d5 e7e5 f7f5 g7g5 h7h5"},
    // King, knight, queen diagonals (capture first), rook, queen straight lines, pawn push,
    // en passant, queen-side castle.
    {"every_step", "4k3/8/8/3pP3/8/1Q6/8/R3K1N1 w Q d6 0 1",
     "e1d1 e1f1 e1d2 e1e2 e1f2 "
     "g1e2 g1f3 g1h3 "
     "b3d5 b3d1 b3a2 b3c2 b3a4 b3c4 "
     "a1b1 a1c1 a1d1 a1a2 a1a3 a1a4 a1a5 a1a6 a1a7 a1a8 "
     "b3b1 b3b2 b3a3 b3c3 b3d3 b3e3 b3f3 b3g3 b3h3 b3b4 b3b5 b3b6 b3b7 b3b8 "
     "e5e6 e5d6 e1c1"},
    // Promotions: queen, knight, rook, bishop; pushes before captures.
    {"promotions", "r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1",
     "e1d1 e1f1 e1d2 e1e2 e1f2 b7b8q b7b8n b7b8r b7b8b b7a8q b7a8n b7a8r b7a8b"},
    // A pinned pawn moves after the free ones: its single and double push come last.
    {"pinned_pawn_last", "4r1k1/8/8/8/8/8/P3P3/4K3 w - - 0 1",
     "e1d1 e1f1 e1d2 e1f2 a2a3 a2a4 e2e3 e2e4"},
    // Captures towards the a-file side before those towards the h-file side, by target.
    {"pawn_capture_sides", "4k3/8/8/8/1p1p1p2/2P1P3/8/4K3 w - - 0 1",
     "e1d1 e1f1 e1d2 e1e2 e1f2 c3c4 e3e4 c3b4 e3d4 c3d4 e3f4"},
    // Black pawns: pushes by target square, a-side captures (to = from - 9) first.
    {"black_pawns", "4k3/8/8/8/8/1p6/P1P5/4K3 b - - 0 1",
     "e8d7 e8e7 e8f7 e8d8 e8f8 b3b2 b3a2 b3c2"},
};

TEST(GenerationOrder, HandCheckedPositions) {
    for (const OrderCase& c : ORDER_CASES) {
        Position p = from_fen(c.fen);
        EXPECT_EQ(uci_list(legal_moves(p)), c.moves) << c.name;
    }
    // The kinds of the start position's moves: quiet, then double pushes.
    std::vector<Move> start = legal_moves(Position::startpos());
    ASSERT_EQ(start.size(), 20u);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(move_kind(start[i]), QUIET);
    for (int i = 12; i < 20; ++i) EXPECT_EQ(move_kind(start[i]), DOUBLE_PUSH);
    // The kinds of the promotions, in order.
    std::vector<Move> promos = noisy_moves(from_fen("r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1"));
    const int kinds[] = {11, 8, 10, 9, 15, 12, 14, 13};
    ASSERT_EQ(promos.size(), std::size(kinds));
    for (std::size_t i = 0; i < promos.size(); ++i) EXPECT_EQ(move_kind(promos[i]), kinds[i]);
    EXPECT_TRUE(quiet_moves(from_fen("r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1")).size() == 5u);
}

struct Expect {
    const char* fen;
    const char* move;
    bool legal;
};

const Expect SUBTLE_MOVES[] = {
    // en passant exposing the king along the rank
    {"8/8/8/KPp4r/8/8/8/4k3 w - c6 0 1", "b5c6", false},
    {"8/8/8/8/k2Pp2Q/8/8/3K4 b - d3 0 1", "e4d3", false},
    // en passant along a diagonal pin and off it
    {"8/7k/8/8/3Pp3/8/8/1B2K3 b - d3 0 1", "e4d3", true},
    {"8/1k6/8/8/3Pp3/8/8/4K2B b - d3 0 1", "e4d3", false},
    {"8/8/8/8/1k1Pp3/8/8/4K3 b - d3 0 1", "e4d3", true},
    // en passant blocking a queen's check on the diagonal
    {"8/8/8/1k6/3Pp3/8/8/4KQ2 b - d3 0 1", "e4d3", true},
    {"8/8/8/1k6/3Pp3/8/8/4KQ2 b - d3 0 1", "e4e3", false},
    // en passant removing the checking pawn, and blocking a slider's check
    {"8/8/8/2k5/3Pp3/8/8/4K3 b - d3 0 1", "e4d3", true},
    {"1K6/8/8/2Pp4/5b2/8/8/4k3 w - d6 0 1", "c5d6", true},
    {"1K6/8/8/2Pp4/5b2/8/8/4k3 w - d6 0 1", "c5c6", false},
    // ... but taking one pawn en passant leaves another pawn's check in place
    {"8/8/8/3pP1p1/7K/8/8/4k3 w - d6 0 1", "e5d6", false},
    // castling
    {"4kr2/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1g1", false},  // f1 attacked
    {"4kr2/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1c1", true},
    {"3k2r1/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1g1", false},  // g1 attacked
    {"1r2k3/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1c1", true},   // only b1 attacked
    {"1r2k3/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1g1", true},
    {"2r1k3/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1c1", false},  // c1 attacked
    {"3rk3/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1c1", false},   // d1 attacked
    {"4r1k1/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1g1", false},  // in check
    {"4r1k1/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1c1", false},
    {"r3k2r/8/8/8/8/8/8/RN2K1NR w KQkq - 0 1", "e1g1", false},  // blocked
    {"r3k2r/8/8/8/8/8/8/RN2K1NR w KQkq - 0 1", "e1c1", false},
    {"r3k2r/8/8/8/8/8/6n1/R3K2R w KQkq - 0 1", "e1g1", false},  // the knight gives check
    {"r3k2r/8/8/8/8/8/6n1/R3K2R w KQkq - 0 1", "e1c1", false},
    // pins
    {"4k3/4r3/8/8/4R3/8/8/4K3 w - - 0 1", "e4e7", true},
    {"4k3/4r3/8/8/4R3/8/8/4K3 w - - 0 1", "e4e5", true},
    {"4k3/4r3/8/8/4R3/8/8/4K3 w - - 0 1", "e4d4", false},
    {"4k3/8/8/b7/8/2N5/8/4K3 w - - 0 1", "c3d5", false},
    {"4k3/8/8/b7/8/2Q5/8/4K3 w - - 0 1", "c3b4", true},
    {"4k3/8/8/b7/8/2Q5/8/4K3 w - - 0 1", "c3a5", true},
    {"4k3/8/8/b7/8/2Q5/8/4K3 w - - 0 1", "c3c4", false},
    {"4k3/8/8/7b/8/3p4/4P3/3K4 w - - 0 1", "e2d3", false},  // a pinned pawn stays on its line
    {"4k3/8/8/7b/8/3p4/4P3/3K4 w - - 0 1", "e2e3", false},
    {"4k3/8/8/8/8/5b2/4P3/3K4 w - - 0 1", "e2f3", true},    // it may take the pinner
    {"2r1q2k/3P4/8/1K6/8/8/8/8 w - - 0 1", "d7e8q", true},  // promoting along the pin
    {"2r1q2k/3P4/8/1K6/8/8/8/8 w - - 0 1", "d7e8n", true},
    {"2r1q2k/3P4/8/1K6/8/8/8/8 w - - 0 1", "d7c8q", false},
    {"2r1q2k/3P4/8/1K6/8/8/8/8 w - - 0 1", "d7d8q", false},
    {"2r4k/3P4/8/8/8/B7/8/K7 w - - 0 1", "d7c8q", true},
    // double check
    {"4r1k1/8/8/8/8/R2n4/8/4K1B1 w - - 0 1", "a3d3", false},
    {"4r1k1/8/8/8/8/R2n4/8/4K1B1 w - - 0 1", "g1e3", false},
    {"4r1k1/8/8/8/8/R2n4/8/4K1B1 w - - 0 1", "e1f1", true},
    {"4r1k1/8/8/8/8/R2n4/8/4K1B1 w - - 0 1", "e1e2", false},
    // the king cannot step back along the checking ray
    {"4k3/8/8/8/8/8/4K3/4r3 w - - 0 1", "e2e3", false},
    {"4k3/8/8/8/8/8/4K3/4r3 w - - 0 1", "e2e1", true},
    {"4k3/8/8/b7/8/8/3K4/8 w - - 0 1", "d2e1", false},
    {"4k3/8/8/b7/8/8/3K4/8 w - - 0 1", "d2c3", false},
    {"4k3/8/8/b7/8/8/3K4/8 w - - 0 1", "d2e3", true},
};

TEST(Legality, SubtleMoves) {
    for (const Expect& e : SUBTLE_MOVES) {
        Position p = from_fen(e.fen);
        std::vector<Move> all = legal_moves(p);
        bool generated =
            std::any_of(all.begin(), all.end(), [&](Move m) { return move_to_uci(m) == e.move; });
        EXPECT_EQ(generated, e.legal) << e.move << " in " << e.fen;
        bool validated = false;
        for (int v = 1; v < 65536; ++v)
            if (move_to_uci(static_cast<Move>(v)) == e.move
                && movegen::is_legal_move(p, static_cast<Move>(v)))
                validated = true;
        EXPECT_EQ(validated, e.legal) << "is_legal_move: " << e.move << " in " << e.fen;
    }
}

TEST(Legality, MatesAndStalemates) {
    struct Case {
        const char* fen;
        bool in_check;
    };
    const Case cases[] = {
        {"rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3", true},
        {"7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", false},
        {"k7/P7/K7/8/8/8/8/8 b - - 0 1", false},
        {"R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1", true},
    };
    for (const Case& c : cases) {
        Position p = from_fen(c.fen);
        EXPECT_TRUE(legal_moves(p).empty()) << c.fen << ": " << uci_list(legal_moves(p));
        EXPECT_FALSE(movegen::has_legal_move(p)) << c.fen;
        EXPECT_EQ(p.in_check(), c.in_check) << c.fen;
        EXPECT_EQ(movegen::perft(p, 3), 0u);
    }
}

TEST(Generators, TheLargestMoveList) {
    Position p = from_fen("R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNN1KB1 w - - 0 1");
    EXPECT_EQ(legal_moves(p).size(), 218u);
    EXPECT_EQ(noisy_moves(p).size() + quiet_moves(p).size(), 218u);
}

TEST(Perft, SmallCountsOnTheStartPosition) {
    Position p = Position::startpos();
    const std::uint64_t counts[] = {1, 20, 400, 8902};
    for (int d = 0; d < 4; ++d) EXPECT_EQ(movegen::perft(p, d), counts[d]) << "depth " << d;
    EXPECT_EQ(p.to_fen(), START_FEN);
    EXPECT_TRUE(p.history().empty());
}

}  // namespace
}  // namespace orvane
