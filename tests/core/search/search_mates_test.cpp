// Forced mates, mated and stalemated roots, and the draw rules as the search applies them.
// Every mate length below was checked against an independent engine; the search depths
// leave a margin of two plies over the first iteration that finds the mate today.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/board/movegen.h"
#include "core/search/searcher.h"
#include "support/position_helpers.h"

namespace orvane {
namespace {

std::string uci(Move m) { return move_to_uci(m); }

std::string line_text(const std::vector<Move>& line) {
    std::string s;
    for (Move m : line) s += uci(m) + " ";
    return s;
}

bool is_checkmate(const Position& pos) { return pos.in_check() && !movegen::has_legal_move(pos); }

// One searcher with a small table, cleared before every search so that each case starts
// from the same state.
struct Fixture {
    std::shared_ptr<tt::TranspositionTable> table = tt::TranspositionTable::new_table(2);
    std::unique_ptr<Searcher<PstEval>> searcher = std::make_unique<Searcher<PstEval>>(
        PstEval{}, table, std::make_shared<std::atomic<bool>>(false));

    struct Outcome {
        SearchResult result;
        std::vector<std::vector<Move>> pvs;  // every reported line
    };

    Outcome search(Position& pos, int depth) {
        table->clear();
        searcher->clear_learned();
        SearchLimits limits;
        limits.depth = depth;
        Outcome out;
        out.result = searcher->search(pos, limits, [&](const IterationInfo& info) {
            out.pvs.emplace_back(info.pv.begin(), info.pv.end());
        });
        return out;
    }
};

// mate_in > 0: the side to move mates in that many moves; < 0: it is mated after that many
// of its own moves. An empty best move means several moves mate equally fast.
struct MateCase {
    std::string_view name;
    std::string_view fen;
    int mate_in;
    int depth;
    std::string_view best;
};

constexpr MateCase MATES[] = {
    {"back_rank_white", "6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1", 1, 3, "d1d8"},
    {"back_rank_black", "3r2k1/5ppp/8/8/8/8/5PPP/6K1 b - - 0 1", 1, 3, "d8d1"},
    {"scholars_mate", "r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4", 1, 3,
     "h5f7"},
    {"fools_mate", "rnbqkbnr/pppp1ppp/8/4p3/6P1/5P2/PPPPP2P/RNBQKBNR b KQkq - 0 2", 1, 3, "d8h4"},
    // Only the knight mates; the queen promotion does not even give check.
    {"knight_promotion_white", "6r1/R4P2/6pk/6pp/8/8/8/K7 w - - 0 1", 1, 3, "f7g8n"},
    {"knight_promotion_black", "k7/8/8/8/6PP/6PK/r4p2/6R1 b - - 0 1", 1, 3, "f2g1n"},
    // Every quiet king move that keeps the cage stalemates.
    {"pawn_mate_or_stalemate", "k7/p1K5/PP6/8/8/8/8/8 w - - 0 1", 1, 3, "b6b7"},
    {"rook_roller_white", "7k/8/8/8/8/8/R7/1R5K w - - 0 1", 2, 5, ""},
    {"rook_roller_black", "1r5k/r7/8/8/8/8/8/7K b - - 0 1", 2, 5, ""},
    // A queen promotion stalemates; the rook mates next move.
    {"rook_promotion_white", "8/k1P5/2K5/8/8/8/8/8 w - - 0 1", 2, 5, "c7c8r"},
    {"rook_promotion_black", "8/8/8/8/8/2k5/K1p5/8 b - - 0 1", 2, 5, "c2c1r"},
    {"queen_sacrifice_h7", "r1bq2rk/pp3pbp/2p1p1pQ/7P/3P4/2PB1N2/PP3PPR/2KR4 w - - 0 1", 2, 5,
     "h6h7"},
    {"queen_check_c4", "5k2/6pp/p1qN4/1p1p4/3P4/2PKP2Q/PP3r2/3R4 b - - 0 1", 2, 5, "c6c4"},
    {"queen_sacrifice_f3", "4k1r1/2p3r1/1pR1p3/3pP2p/3P2qP/P4N2/1PQ4P/5R1K b - - 0 1", 2, 5,
     "g4f3"},
    // The only reply to the queen check is forced; the knight then gives a double check.
    // A legality test that lets a piece on the king's rank answer a check from off that rank
    // only when nothing slides behind it would score this as mate in one.
    {"double_check", "3RNbk1/pp3p2/4rQpp/8/1qr5/7P/P4P2/3R2K1 w - - 0 1", 2, 11, "f6g7"},
    {"king_walk_then_rook_promotion", "k7/2P5/8/1K6/8/8/8/8 w - - 0 1", 3, 9, "b5c6"},
    {"king_walk_then_rook_promotion_black", "8/8/8/8/1k6/8/2p5/K7 b - - 0 1", 3, 9, "b4c3"},
    {"rook_sacrifice_f8", "r3q1kr/ppp5/3p2pQ/8/3PP1b1/5R2/PPP3P1/5RK1 w - - 0 1", 3, 7, "f3f8"},
    {"queen_check_f1", "7k/1p4p1/7p/3P1n2/4Q3/2P2P2/PP3qRP/7K b - - 0 1", 3, 9, "f2f1"},
    {"quiet_pawn_g4", "8/6pp/3q1p2/3n1k2/1P6/3NQ2P/5PP1/6K1 w - - 0 1", 3, 7, "g2g4"},
    // A lone bishop in zugzwang: it must leave the diagonals from which it takes the knight on
    // its way to the mating square. A search that lets the bishop pass (a null move) sees no mate.
    {"knight_corner_zugzwang", "8/4N3/8/8/8/2b1p3/p1K1P3/k7 w - - 0 1", 3, 14, "e7c6"},
    {"knight_corner_zugzwang_h_file", "8/3N4/8/8/8/3p1b2/3P1K1p/7k w - - 0 1", 3, 14, "d7f6"},
    {"knight_corner_zugzwang_black", "K7/P1k1p3/2B1P3/8/8/8/4n3/8 b - - 0 1", 3, 14, "e2c3"},
    {"knight_corner_zugzwang_black_h_file", "7K/3p1k1P/3P1B2/8/8/8/3n4/8 b - - 0 1", 3, 14, "d2f3"},
    {"rook_sacrifice_h7", "r3r2k/2R3pp/pp1q1p2/8/3P3R/7P/PP3PP1/3Q2K1 w - - 0 1", 4, 9, "h4h7"},
    {"queen_sacrifice_g6", "6k1/2pb1r1p/3p1PpQ/p1nPp3/1q2P3/2N2P2/PrB5/2K3RR w - - 0 1", 4, 9,
     "h6g6"},
    {"rook_check_d1", "3r2k1/p6p/2Q3p1/4q3/2P1p3/P3Pb2/1P3P1P/2K2BR1 b - - 0 1", 4, 12, "d8d1"},
    {"mated_after_forced_king_move", "2R5/k7/2K5/8/8/8/8/8 b - - 0 1", -1, 4, "a7a6"},
    {"mated_after_forced_king_move_2", "7k/R7/8/8/8/8/8/1R5K b - - 0 1", -1, 4, "h8g8"},
};

class Mates : public testing::TestWithParam<MateCase> {};

TEST_P(Mates, ReportsTheExactMateDistance) {
    const MateCase& c = GetParam();
    Fixture f;
    Position pos = from_fen(c.fen);
    const std::string root_fen = pos.to_fen();
    const Fixture::Outcome out = f.search(pos, c.depth);
    const int expected = c.mate_in > 0 ? MATE - (2 * c.mate_in - 1) : -(MATE - 2 * -c.mate_in);

    EXPECT_EQ(out.result.score, expected);
    EXPECT_EQ(out.result.depth, c.depth);
    if (!c.best.empty()) {
        EXPECT_EQ(uci(out.result.best), c.best);
    }
    EXPECT_EQ(pos.to_fen(), root_fen) << "the root position was not restored";

    // The final line is the mating line itself: legal moves ending in checkmate, of exactly
    // the announced length.
    ASSERT_FALSE(out.pvs.empty());
    const std::vector<Move>& pv = out.pvs.back();
    ASSERT_FALSE(pv.empty());
    EXPECT_EQ(pv.front(), out.result.best);
    const std::size_t plies = static_cast<std::size_t>(c.mate_in > 0 ? 2 * c.mate_in - 1
                                                                      : 2 * -c.mate_in);
    EXPECT_EQ(pv.size(), plies) << line_text(pv);
    Position walk = pos;
    for (Move m : pv) {
        ASSERT_TRUE(movegen::is_legal_move(walk, m)) << uci(m) << " in " << line_text(pv);
        walk.make_move(m);
    }
    EXPECT_TRUE(is_checkmate(walk)) << line_text(pv);
}

INSTANTIATE_TEST_SUITE_P(Positions, Mates, testing::ValuesIn(MATES),
                         [](const auto& info) { return std::string(info.param.name); });

// The root's entry can be lost between iterations (two threads storing its slot at once
// leave it unreadable): the iteration's best move still comes first, so a deep search of a mate in one
// stays tiny instead of proving every other move at full depth.
TEST(MateRoots, LostRootEntryKeepsTheMatingMoveFirst) {
    Fixture f;
    Position pos = from_fen("k7/8/1K6/8/8/8/8/7R w - - 0 1");
    SearchLimits limits;
    limits.depth = 60;
    limits.nodes = 200'000;
    const SearchResult r = f.searcher->search(pos, limits, [&](const IterationInfo&) {
        f.table->clear();
        f.searcher->clear_learned();  // nor may the histories have learned it
    });
    EXPECT_EQ(r.depth, 60);
    EXPECT_EQ(r.score, MATE - 1);
    EXPECT_EQ(uci(r.best), "h1h8");
}

// Roots without a legal move are answered before any iteration.
struct TerminalCase {
    std::string_view name;
    std::string_view fen;
    int score;
};

constexpr TerminalCase TERMINALS[] = {
    {"queen_mate", "k7/1Q6/1K6/8/8/8/8/8 b - - 0 1", -MATE},
    {"fools_mate_final", "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3", -MATE},
    {"smothered", "6rk/5Npp/8/8/8/8/8/6K1 b - - 0 1", -MATE},
    {"queen_stalemate", "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", 0},
    {"pawn_stalemate", "8/8/8/8/8/6k1/6p1/6K1 w - - 0 1", 0},
    {"queen_stalemate_corner", "k7/2Q5/1K6/8/8/8/8/8 b - - 0 1", 0},
};

class TerminalRoots : public testing::TestWithParam<TerminalCase> {};

TEST_P(TerminalRoots, ReturnAtOnceWithoutAMove) {
    const TerminalCase& c = GetParam();
    Fixture f;
    Position pos = from_fen(c.fen);
    ASSERT_FALSE(movegen::has_legal_move(pos));
    int reports = 0;
    SearchLimits limits;
    limits.depth = 5;
    const SearchResult r =
        f.searcher->search(pos, limits, [&](const IterationInfo&) { ++reports; });
    EXPECT_EQ(r.score, c.score);
    EXPECT_EQ(r.depth, 0);
    EXPECT_EQ(r.best, NULL_MOVE);
    EXPECT_EQ(r.ponder, NULL_MOVE);
    EXPECT_EQ(reports, 0);
}

INSTANTIATE_TEST_SUITE_P(Positions, TerminalRoots, testing::ValuesIn(TERMINALS),
                         [](const auto& info) { return std::string(info.param.name); });

// Plays UCI moves on a position, failing on an illegal one.
void play(Position& pos, std::initializer_list<std::string_view> moves) {
    for (std::string_view text : moves) {
        std::optional<Move> m = pos.parse_uci_move(text);
        ASSERT_TRUE(m && movegen::is_legal_move(pos, *m)) << text;
        pos.make_move(*m);
    }
}

TEST(DrawRules, RepetitionOfTheRootItselfIsNotADraw) {
    // The root is the position the game already had four plies ago; the mate must still be
    // found.
    Fixture f;
    Position pos = from_fen("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1");
    play(pos, {"g1f1", "g8f8", "f1g1", "f8g8"});
    ASSERT_TRUE(pos.is_repetition());
    const Fixture::Outcome out = f.search(pos, 4);
    EXPECT_EQ(out.result.score, MATE - 1);
    EXPECT_EQ(uci(out.result.best), "d1d8");
}

TEST(DrawRules, RepetitionInsideTheTreeIsADraw) {
    // Black is a queen and a rook down. Its knight can go back to c6, recreating the position
    // the game had four plies before: that scores 0, which beats every other move. Without
    // the game history the same board is plainly lost.
    Fixture f;
    const std::string_view fen = "1n4k1/5ppp/8/8/8/8/3R1PPP/3Q2K1 b - - 0 1";
    Position fresh = from_fen(fen);
    const Fixture::Outcome lost = f.search(fresh, 5);
    EXPECT_LT(lost.result.score, -800);

    Position pos = from_fen(fen);
    play(pos, {"b8c6", "g1h1", "c6b8", "h1g1"});
    ASSERT_TRUE(pos.is_repetition());
    const Fixture::Outcome out = f.search(pos, 5);
    EXPECT_EQ(out.result.score, 0);
    EXPECT_EQ(uci(out.result.best), "b8c6");
    EXPECT_EQ(out.result.depth, 5);
}

TEST(DrawRules, FiftyMoveRuleDrawsEveryQuietContinuation) {
    // A queen up, but every move completes the hundredth half-move without mate.
    Fixture f;
    Position pos = from_fen("7k/8/8/8/8/8/Q7/6K1 w - - 99 80");
    const Fixture::Outcome out = f.search(pos, 4);
    EXPECT_EQ(out.result.score, 0);
    Position fresh = from_fen("7k/8/8/8/8/8/Q7/6K1 w - - 0 80");
    EXPECT_GT(f.search(fresh, 4).result.score, 500);
}

TEST(DrawRules, MateOnTheHundredthHalfMoveIsStillMate) {
    Fixture f;
    Position pos = from_fen("6k1/5ppp/8/8/8/8/6PP/3R2K1 w - - 99 80");
    const Fixture::Outcome out = f.search(pos, 4);
    EXPECT_EQ(out.result.score, MATE - 1);
    EXPECT_EQ(uci(out.result.best), "d1d8");
}

TEST(DrawRules, CheckWithAnEscapeOnTheHundredthHalfMoveIsADraw) {
    // Every White move completes the hundredth half-move; the rook checks leave the king a
    // square, so they draw like the quiet moves do.
    Fixture f;
    Position pos = from_fen("7k/8/8/8/8/8/8/R5K1 w - - 99 80");
    const Fixture::Outcome out = f.search(pos, 4);
    EXPECT_EQ(out.result.score, 0);
}

TEST(DrawRules, KingAndBishopAgainstKingIsDeadInsideTheTree) {
    // White is a rook for a bishop down; taking the rook leaves bare king and bishop, which
    // scores 0 at once and so beats everything else.
    Fixture f;
    Position pos = from_fen("k7/8/8/8/8/8/5r2/K3B3 w - - 0 1");
    const Fixture::Outcome out = f.search(pos, 4);
    EXPECT_EQ(out.result.score, 0);
    EXPECT_EQ(uci(out.result.best), "e1f2");
}

TEST(DrawRules, DeadMaterialScoresZeroBelowTheRootOnly) {
    // The evaluator sees a bishop's worth; the search below the root sees a dead draw.
    for (std::string_view fen : {"8/8/4k3/8/8/2B5/8/4K3 w - - 0 1",
                                 "8/8/4k3/8/8/2N5/8/4K3 b - - 0 1",
                                 "8/8/4k3/8/8/8/2b5/4K3 w - - 0 1"}) {
        SCOPED_TRACE(fen);
        Fixture f;
        Position pos = from_fen(fen);
        ASSERT_NE(PstEval{}.evaluate(pos), 0);
        EXPECT_EQ(f.searcher->negamax(pos, 3, -INFINITE_SCORE, INFINITE_SCORE, 1, false, false), 0);
        EXPECT_EQ(f.searcher->qsearch(pos, -INFINITE_SCORE, INFINITE_SCORE, 1), 0);
    }
    // Two minor pieces are not dead material.
    Fixture f;
    Position pos = from_fen("8/8/4k3/8/8/2BB4/8/4K3 w - - 0 1");
    EXPECT_NE(f.searcher->qsearch(pos, -INFINITE_SCORE, INFINITE_SCORE, 1), 0);
}

struct NodeCase {
    std::string_view fen;
    int ply;
    int expected;  // for both negamax and qsearch
};

TEST(DrawRules, FiftyMoveRuleAtTheNode) {
    const NodeCase cases[] = {
        // Mate on the hundredth half-move is mate.
        {"k7/1Q6/1K6/8/8/8/8/8 b - - 100 80", 1, -MATE + 1},
        {"k7/1Q6/1K6/8/8/8/8/8 b - - 100 80", 5, -MATE + 5},
        // A check with an escape, or no check at all, is a draw.
        {"k7/8/8/8/8/8/8/Q6K b - - 100 80", 1, 0},
        {"k7/8/8/8/8/8/8/1Q5K b - - 100 80", 1, 0},
        {"k7/8/8/8/8/8/8/1Q5K b - - 130 90", 3, 0},
    };
    for (const NodeCase& c : cases) {
        SCOPED_TRACE(c.fen);
        Fixture f;
        Position pos = from_fen(c.fen);
        EXPECT_EQ(f.searcher->negamax(pos, 2, -INFINITE_SCORE, INFINITE_SCORE, c.ply, false, false),
                  c.expected);
        EXPECT_EQ(f.searcher->qsearch(pos, -INFINITE_SCORE, INFINITE_SCORE, c.ply), c.expected);
    }
    // One half-move earlier the node itself is not drawn (though every move below it is).
    Fixture f;
    Position pos = from_fen("k7/8/8/8/8/8/8/1Q5K b - - 99 80");
    EXPECT_LT(f.searcher->qsearch(pos, -INFINITE_SCORE, INFINITE_SCORE, 1), -500);
    EXPECT_EQ(f.searcher->negamax(pos, 2, -INFINITE_SCORE, INFINITE_SCORE, 1, false, false), 0);
    Position earlier = from_fen("k7/8/8/8/8/8/8/1Q5K b - - 90 80");
    EXPECT_LT(f.searcher->negamax(earlier, 2, -INFINITE_SCORE, INFINITE_SCORE, 1, false, false),
              -500);
}

TEST(Quiescence, StalematedKingAndPawnsDoNotStandPat) {
    // The side to move has only king and pawns and no legal move: the stand pat would
    // return the evaluation, but the position is a stalemate.
    for (std::string_view fen : {"8/8/8/8/8/6k1/6p1/6K1 w - - 0 1", "k7/P7/K7/8/8/8/8/8 b - - 0 1",
                                 "8/8/8/8/8/5k2/5p2/5K2 w - - 0 1"}) {
        SCOPED_TRACE(fen);
        Fixture f;
        Position pos = from_fen(fen);
        ASSERT_FALSE(movegen::has_legal_move(pos));
        ASSERT_FALSE(pos.in_check());
        // A window far below the evaluation (stand-pat cut-off) and one far above it.
        EXPECT_EQ(f.searcher->qsearch(pos, -INFINITE_SCORE, -5000, 1), 0);
        EXPECT_EQ(f.searcher->qsearch(pos, 5000, INFINITE_SCORE, 1), 0);
        EXPECT_EQ(f.searcher->qsearch(pos, -INFINITE_SCORE, INFINITE_SCORE, 1), 0);
    }
    // With a legal king move the evaluation stands.
    Fixture f;
    Position pos = from_fen("8/8/8/8/8/6k1/6p1/4K3 w - - 0 1");
    const int eval = PstEval{}.evaluate(pos);
    EXPECT_EQ(f.searcher->qsearch(pos, -INFINITE_SCORE, eval - 50, 1), eval);
}

TEST(Quiescence, MatedInCheckAtAnyPly) {
    for (int ply : {1, 2, 17, 126, 127}) {
        Fixture f;
        Position pos = from_fen("6rk/5Npp/8/8/8/8/8/6K1 b - - 0 1");
        EXPECT_EQ(f.searcher->qsearch(pos, -INFINITE_SCORE, INFINITE_SCORE, ply), -MATE + ply);
    }
    // In check at the last ply with an escape: 0, not an evaluation.
    Fixture f;
    Position pos = from_fen("k7/8/8/8/8/8/8/Q6K b - - 0 80");
    EXPECT_EQ(f.searcher->qsearch(pos, -INFINITE_SCORE, INFINITE_SCORE, 127), 0);
    EXPECT_EQ(f.searcher->negamax(pos, 3, -INFINITE_SCORE, INFINITE_SCORE, 127, false, false), 0);
}

}  // namespace
}  // namespace orvane
