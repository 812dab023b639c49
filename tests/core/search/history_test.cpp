// History tables and the correction of the static evaluation: the saturating update rule,
// the halving at each search, how the quiet ordering value and the corrected evaluation are
// composed from the tables, and that real searches keep every entry in range.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string_view>

#include "core/search/history.h"
#include "core/search/searcher.h"
#include "core/search/searcher_test_access.h"
#include "support/position_helpers.h"

namespace orvane {
namespace {

constexpr std::uint64_t KEY_MASK = CORRECTION_SIZE - 1;

struct Fixture {
    std::shared_ptr<tt::TranspositionTable> table = tt::TranspositionTable::new_table(2);
    std::unique_ptr<Searcher<PstEval>> searcher = std::make_unique<Searcher<PstEval>>(
        PstEval{}, table, std::make_shared<std::atomic<bool>>(false));
    SearcherTestAccess<PstEval> access{*searcher};
    History& h = access.history();
};

// The update rule.

struct BonusCase {
    int entry, bonus, expected;
};

constexpr BonusCase BONUS_CASES[] = {
    {16384, 1, 16384},       // a full entry stays full under any positive bonus
    {16384, 1248, 16384},
    {16384, 16384, 16384},
    {0, 16384, 16384},       // the largest bonus fills an empty entry at once
    {0, -16384, -16384},
    {-16384, -1271, -16384},
    {-16384, -1, -16384},
    {-3, 5000, 4997},        // -15000 / 16384 truncates to 0, not to -1
    {3, -5000, -4997},
    {100, 200, 299},
    {-100, 200, 101},
    {16384, -16384, -16384},
    {-16384, 16384, 16384},
    {8000, 8000, 12094},
    {-8000, -8000, -12094},
    {5000, 0, 5000},
    {12000, -1271, 9799},
    {-12000, 1248, -9838},
};

TEST(HistoryRule, Cases) {
    for (const BonusCase& c : BONUS_CASES) {
        std::int16_t entry = static_cast<std::int16_t>(c.entry);
        apply_history_bonus(entry, c.bonus);
        EXPECT_EQ(entry, c.expected) << c.entry << " + " << c.bonus;
    }
}

TEST(HistoryRule, StaysInRangeUnderAnySequence) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> bonus(-16384, 16384), small(-1300, 1300);
    std::int16_t a = 0, b = 0;
    for (int i = 0; i < 100000; ++i) {
        apply_history_bonus(a, bonus(rng));
        apply_history_bonus(b, small(rng));
        ASSERT_LE(std::abs(a), HISTORY_MAX);
        ASSERT_LE(std::abs(b), HISTORY_MAX);
    }
    // A long run of the same bonus saturates without overshooting.
    std::int16_t up = 0, down = 0;
    for (int i = 0; i < 1000; ++i) {
        apply_history_bonus(up, 1248);
        apply_history_bonus(down, -1271);
    }
    EXPECT_GT(up, 16000);
    EXPECT_LE(up, 16384);
    EXPECT_LT(down, -16000);
    EXPECT_GE(down, -16384);
}

TEST(HistoryTables, HalvingRoundsTowardZeroAndTouchesOnlyTheMainTable) {
    Fixture f;
    f.h.main[0][0][0][12][28] = -3;
    f.h.main[0][1][1][12][28] = 3;
    f.h.main[1][0][1][63][0] = -16384;
    f.h.main[1][1][0][0][63] = 1;
    f.h.main[0][0][1][5][6] = -1;
    f.h.cont1[3][20][2][21] = 1001;
    f.h.capture[0][10][4] = -501;
    f.h.halve_main();
    EXPECT_EQ(f.h.main[0][0][0][12][28], -1);
    EXPECT_EQ(f.h.main[0][1][1][12][28], 1);
    EXPECT_EQ(f.h.main[1][0][1][63][0], -8192);
    EXPECT_EQ(f.h.main[1][1][0][0][63], 0);
    EXPECT_EQ(f.h.main[0][0][1][5][6], 0);
    EXPECT_EQ(f.h.cont1[3][20][2][21], 1001);
    EXPECT_EQ(f.h.capture[0][10][4], -501);
    f.h.clear();
    EXPECT_EQ(f.h.cont1[3][20][2][21], 0);
    EXPECT_EQ(f.h.capture[0][10][4], 0);
}

// The quiet ordering value.

TEST(QuietHistory, SumsTheTablesOfThePresentRecords) {
    Fixture f;
    const Piece knight = make_piece(WHITE, KNIGHT);
    const Move m = make_move(6, 21, QUIET);  // g1f3
    const Bitboard threats = bit(21);        // f3 attacked by a pawn, g1 not
    f.h.main[WHITE][0][1][6][21] = 100;
    f.h.main[WHITE][0][0][6][21] = 5000;     // the unthreatened bucket is another entry
    const Piece bp = make_piece(BLACK, PAWN), bn = make_piece(BLACK, KNIGHT);
    const Piece wb = make_piece(WHITE, BISHOP);
    f.h.cont1[bp][35][KNIGHT][21] = 10;      // previous move: a black pawn to d5
    f.h.cont2[wb][26][KNIGHT][21] = 20;      // two back: a white bishop to c4
    f.h.cont4[KNIGHT][42][KNIGHT][21] = -7;  // four back: a knight to c6, halved toward zero

    for (int ply = 0; ply < 8; ++ply) f.access.clear_cont(ply);
    EXPECT_EQ(f.access.quiet_history(WHITE, threats, knight, m, 4), 100);
    EXPECT_EQ(f.access.quiet_history(WHITE, 0, knight, m, 4), 5000);

    f.access.set_cont(3, bp, 35);
    f.access.set_cont(2, wb, 26);
    f.access.set_cont(0, bn, 42);
    EXPECT_EQ(f.access.quiet_history(WHITE, threats, knight, m, 4), 100 + 10 + 20 - 3);
    // Records beyond the root do not exist: at ply 2 only one and two plies back count,
    // and they are other records.
    f.access.set_cont(1, bp, 35);
    f.access.set_cont(0, wb, 26);
    EXPECT_EQ(f.access.quiet_history(WHITE, threats, knight, m, 2), 100 + 10 + 20);
    EXPECT_EQ(f.access.quiet_history(WHITE, threats, knight, m, 0), 100);
}

TEST(QuietHistory, UpdateReachesEveryTableItReads) {
    Fixture f;
    const Piece queen = make_piece(BLACK, QUEEN);
    const Move m = make_move(59, 31, QUIET);  // d8h4
    const Piece w1 = make_piece(WHITE, PAWN), w2 = make_piece(WHITE, ROOK);
    const Piece w4 = make_piece(WHITE, KING);
    f.access.set_cont(5, w1, 30);
    f.access.set_cont(4, w2, 7);
    f.access.set_cont(2, w4, 5);
    f.access.update_history(BLACK, bit(59), queen, m, 6, 1000);
    EXPECT_EQ(f.h.main[BLACK][1][0][59][31], 1000);
    EXPECT_EQ(f.h.cont1[w1][30][QUEEN][31], 1000);
    EXPECT_EQ(f.h.cont2[w2][7][QUEEN][31], 1000);
    EXPECT_EQ(f.h.cont4[KING][5][QUEEN][31], 1000);
    EXPECT_EQ(f.access.quiet_history(BLACK, bit(59), queen, m, 6), 3500);

    // An absent record leaves its table alone.
    f.access.clear_cont(4);
    f.access.update_history(BLACK, bit(59), queen, m, 6, -500);
    EXPECT_EQ(f.h.cont2[w2][7][QUEEN][31], 1000);
    EXPECT_EQ(f.h.main[BLACK][1][0][59][31], 1000 - 500 - 1000 * 500 / 16384);
}

TEST(CaptureHistory, UsesPieceDestinationAndCapturedKind) {
    Fixture f;
    const Piece wn = make_piece(WHITE, KNIGHT);
    f.access.update_cap_history(wn, 36, ROOK, 16384);
    EXPECT_EQ(f.h.capture[wn][36][ROOK], 16384);
    f.access.update_cap_history(wn, 36, ROOK, 500);
    EXPECT_EQ(f.h.capture[wn][36][ROOK], 16384);
    f.access.update_cap_history(wn, 36, PAWN, -300);
    EXPECT_EQ(f.h.capture[wn][36][PAWN], -300);
}

// The corrected evaluation.

constexpr std::string_view CORRECTION_FENS[] = {
    START_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
};

TEST(CorrectedEval, SmallCorrectionsAreScaledAndTruncatedTowardZero) {
    Fixture f;
    Position pos = from_fen(CORRECTION_FENS[1]);
    const Color s = pos.side();
    for (int ply = 0; ply < 4; ++ply) f.access.clear_cont(ply);
    std::int16_t& pawn = f.h.pawn_corr[s][pos.pawn_key() & KEY_MASK];
    std::int16_t& white = f.h.nonpawn_corr[s][WHITE][pos.nonpawn_key(WHITE) & KEY_MASK];
    std::int16_t& minor = f.h.minor_corr[s][pos.minor_key() & KEY_MASK];
    pawn = 2560;
    EXPECT_EQ(f.access.corrected_eval(pos, 37, 3), 47);
    pawn = 0;
    white = 2560;  // averaged with the other colour's entry
    EXPECT_EQ(f.access.corrected_eval(pos, 37, 3), 42);
    white = 0;
    minor = -300;  // -150 / 256 is 0, not -1
    EXPECT_EQ(f.access.corrected_eval(pos, 37, 3), 37);
    minor = 0;
    pawn = -300;  // -300 / 256 is -1
    EXPECT_EQ(f.access.corrected_eval(pos, 37, 3), 36);
    pawn = 0;
    // The continuation corrections count only where their record exists.
    f.h.cont_corr1[s][QUEEN][20] = 5120;
    EXPECT_EQ(f.access.corrected_eval(pos, 37, 3), 37);
    f.access.set_cont(2, make_piece(s ^ 1, QUEEN), 20);
    EXPECT_EQ(f.access.corrected_eval(pos, 37, 3), 47);
    EXPECT_EQ(f.access.corrected_eval(pos, 37, 0), 37);  // no record before the root
}

TEST(CorrectedEval, NeverMovesTheEvaluationByMoreThan199) {
    for (std::string_view fen : CORRECTION_FENS) {
        SCOPED_TRACE(fen);
        Fixture f;
        Position pos = from_fen(fen);
        const Color s = pos.side();
        const Piece prev = make_piece(s ^ 1, ROOK);
        f.access.set_cont(4, prev, 9);
        f.access.set_cont(3, make_piece(s, BISHOP), 44);
        auto set_all = [&](int v) {
            const auto e = static_cast<std::int16_t>(v);
            f.h.pawn_corr[s][pos.pawn_key() & KEY_MASK] = e;
            f.h.nonpawn_corr[s][WHITE][pos.nonpawn_key(WHITE) & KEY_MASK] = e;
            f.h.nonpawn_corr[s][BLACK][pos.nonpawn_key(BLACK) & KEY_MASK] = e;
            f.h.minor_corr[s][pos.minor_key() & KEY_MASK] = e;
            f.h.cont_corr1[s][ROOK][9] = e;
            f.h.cont_corr2[s][BISHOP][44] = e;
        };
        set_all(CORRECTION_MAX);
        EXPECT_EQ(f.access.corrected_eval(pos, 0, 5), 199);
        EXPECT_EQ(f.access.corrected_eval(pos, -500, 5), -301);
        EXPECT_EQ(f.access.corrected_eval(pos, 31800, 5), TB_WIN);  // clamped below tablebase wins
        set_all(-CORRECTION_MAX);
        EXPECT_EQ(f.access.corrected_eval(pos, 0, 5), -199);
        EXPECT_EQ(f.access.corrected_eval(pos, -31800, 5), -TB_WIN);

        std::mt19937 rng(99);
        std::uniform_int_distribution<int> entry(-CORRECTION_MAX, CORRECTION_MAX), raw(-3000, 3000);
        for (int i = 0; i < 2000; ++i) {
            f.h.pawn_corr[s][pos.pawn_key() & KEY_MASK] = static_cast<std::int16_t>(entry(rng));
            f.h.nonpawn_corr[s][WHITE][pos.nonpawn_key(WHITE) & KEY_MASK] =
                static_cast<std::int16_t>(entry(rng));
            f.h.nonpawn_corr[s][BLACK][pos.nonpawn_key(BLACK) & KEY_MASK] =
                static_cast<std::int16_t>(entry(rng));
            f.h.minor_corr[s][pos.minor_key() & KEY_MASK] = static_cast<std::int16_t>(entry(rng));
            f.h.cont_corr1[s][ROOK][9] = static_cast<std::int16_t>(entry(rng));
            f.h.cont_corr2[s][BISHOP][44] = static_cast<std::int16_t>(entry(rng));
            const int r = raw(rng);
            ASSERT_LE(std::abs(f.access.corrected_eval(pos, r, 5) - r), 199);
        }
    }
}

TEST(CorrectionUpdate, BlendsTowardTheSearchedScore) {
    Fixture f;
    Position pos = from_fen(CORRECTION_FENS[0]);
    const Color s = pos.side();
    for (int ply = 0; ply < 4; ++ply) f.access.clear_cont(ply);
    f.access.set_cont(1, make_piece(BLACK, KNIGHT), 45);
    std::int16_t& pawn = f.h.pawn_corr[s][pos.pawn_key() & KEY_MASK];
    std::int16_t& cont1 = f.h.cont_corr1[s][KNIGHT][45];
    std::int16_t& cont2 = f.h.cont_corr2[s][KNIGHT][45];

    // Weight min(depth + 1, 16) of 256 on diff x 256.
    f.access.update_correction(pos, 10, 3, 2);
    EXPECT_EQ(pawn, 40);
    EXPECT_EQ(f.h.nonpawn_corr[s][WHITE][pos.nonpawn_key(WHITE) & KEY_MASK], 40);
    EXPECT_EQ(f.h.nonpawn_corr[s][BLACK][pos.nonpawn_key(BLACK) & KEY_MASK], 40);
    EXPECT_EQ(f.h.minor_corr[s][pos.minor_key() & KEY_MASK], 40);
    EXPECT_EQ(cont1, 40);
    EXPECT_EQ(cont2, 0);  // the record two plies back is absent

    // Truncation toward zero on both sides.
    pawn = 100;
    f.access.update_correction(pos, 0, 40, 2);
    EXPECT_EQ(pawn, 93);  // 100 x 240 / 256 = 93.75
    pawn = -100;
    f.access.update_correction(pos, 0, 40, 2);
    EXPECT_EQ(pawn, -93);
    pawn = 0;
    f.access.update_correction(pos, -1, 0, 2);
    EXPECT_EQ(pawn, -1);

    // Huge differences saturate the entries, and the evaluation moves by 199 at most.
    for (int i = 0; i < 500; ++i) f.access.update_correction(pos, 30000, 30, 2);
    EXPECT_LE(pawn, CORRECTION_MAX);
    EXPECT_GT(pawn, CORRECTION_MAX - 300);
    EXPECT_EQ(f.access.corrected_eval(pos, 10, 2), 209);
    for (int i = 0; i < 500; ++i) f.access.update_correction(pos, -30000, 30, 2);
    EXPECT_GE(pawn, -CORRECTION_MAX);
    EXPECT_EQ(f.access.corrected_eval(pos, 10, 2), -189);
}

TEST(CorrectedEval, NotAppliedAtTheLastPly) {
    // At the deepest ply the raw evaluation is returned, whatever the corrections say.
    Fixture f;
    Position pos = from_fen("8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1");
    const Color s = pos.side();
    f.h.pawn_corr[s][pos.pawn_key() & KEY_MASK] = 25600;  // +100 after scaling
    const int raw = PstEval{}.evaluate(pos);
    ASSERT_EQ(f.access.corrected_eval(pos, raw, 126), raw + 100);
    EXPECT_EQ(f.searcher->qsearch(pos, -INFINITE_SCORE, INFINITE_SCORE, 127), raw);
    EXPECT_EQ(f.searcher->negamax(pos, 4, -INFINITE_SCORE, INFINITE_SCORE, 127, false, false), raw);
    // One ply earlier a quiet position stands pat on the corrected value.
    Position quiet = from_fen("8/8/4k3/3p4/3P4/4K3/8/8 w - - 0 1");
    f.h.pawn_corr[quiet.side()][quiet.pawn_key() & KEY_MASK] = 25600;
    const int quiet_raw = PstEval{}.evaluate(quiet);
    EXPECT_EQ(f.searcher->qsearch(quiet, -INFINITE_SCORE, INFINITE_SCORE, 126), quiet_raw + 100);
    EXPECT_EQ(f.searcher->qsearch(quiet, -INFINITE_SCORE, INFINITE_SCORE, 127), quiet_raw);
}

// Real searches.

TEST(HistoryTables, StayInRangeThroughSearches) {
    Fixture f;
    constexpr std::string_view FENS[] = {
        START_FEN,
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
        "3r2k1/1p3ppp/p7/8/1P6/P3B3/5PPP/6K1 w - - 0 30",
    };
    // Histories carry over from search to search, as in a game.
    for (std::string_view fen : FENS) {
        Position pos = from_fen(fen);
        SearchLimits limits;
        limits.depth = 8;
        f.searcher->search(pos, limits, {});
    }
    auto scan = [](const auto& table, int limit, int& nonzero) {
        const auto* first = reinterpret_cast<const std::int16_t*>(&table);
        const std::size_t n = sizeof(table) / sizeof(std::int16_t);
        for (std::size_t i = 0; i < n; ++i) {
            if (first[i] != 0) ++nonzero;
            if (std::abs(first[i]) > limit) return false;
        }
        return true;
    };
    int nonzero = 0;
    EXPECT_TRUE(scan(f.h.main, HISTORY_MAX, nonzero));
    EXPECT_TRUE(scan(f.h.cont1, HISTORY_MAX, nonzero));
    EXPECT_TRUE(scan(f.h.cont2, HISTORY_MAX, nonzero));
    EXPECT_TRUE(scan(f.h.cont4, HISTORY_MAX, nonzero));
    EXPECT_TRUE(scan(f.h.capture, HISTORY_MAX, nonzero));
    const int history_entries = nonzero;
    EXPECT_GT(history_entries, 100);
    EXPECT_TRUE(scan(f.h.pawn_corr, CORRECTION_MAX, nonzero));
    EXPECT_TRUE(scan(f.h.nonpawn_corr, CORRECTION_MAX, nonzero));
    EXPECT_TRUE(scan(f.h.minor_corr, CORRECTION_MAX, nonzero));
    EXPECT_TRUE(scan(f.h.cont_corr1, CORRECTION_MAX, nonzero));
    EXPECT_TRUE(scan(f.h.cont_corr2, CORRECTION_MAX, nonzero));
    EXPECT_GT(nonzero, history_entries);

    // clear_learned forgets all of it.
    f.searcher->clear_learned();
    nonzero = 0;
    scan(f.h, HISTORY_MAX, nonzero);
    EXPECT_EQ(nonzero, 0);
}

}  // namespace
}  // namespace orvane
