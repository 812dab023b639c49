// Move ordering: the selection picker, the staged generator of ordinary nodes (table move,
// good captures, killers, counter move, quiets, bad captures) and the capture scoring terms.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/board/movegen.h"
#include "core/search/node_moves.h"
#include "core/search/move_ordering.h"
#include "core/board/see.h"
#include "support/position_helpers.h"

namespace orvane {
namespace {

using ordering::ScoredMove;

std::string uci(Move m) { return move_to_uci(m); }

// The selection picker.

struct PickerCase {
    std::vector<std::int32_t> scores;
    std::vector<int> order;  // indices into scores, in hand-out order
};

TEST(MovePicker, BestFirstAndTheFirstStandingOnTies) {
    const PickerCase cases[] = {
        {{5, 5, 9}, {2, 1, 0}},  // the 9 is swapped to the front, so the second 5 now leads
        {{1, 2, 3}, {2, 1, 0}},
        {{3, 3, 3}, {0, 1, 2}},
        {{7, 1, 7, 1}, {0, 2, 1, 3}},
        {{5, 9, 5}, {1, 0, 2}},
        {{-4, INT32_MIN, INT32_MAX, 0}, {2, 3, 0, 1}},
        {{42}, {0}},
    };
    for (const PickerCase& c : cases) {
        ordering::MovePicker picker;
        for (std::size_t i = 0; i < c.scores.size(); ++i)
            picker.add(static_cast<Move>(i + 1), c.scores[i]);
        std::vector<int> got;
        for (ScoredMove next; (next = picker.next_move()).move;) {
            got.push_back(next.move - 1);
            EXPECT_EQ(next.score, c.scores[next.move - 1]);
        }
        EXPECT_EQ(got, c.order);
        EXPECT_EQ(picker.next_move().move, NULL_MOVE);
    }
    ordering::MovePicker empty;
    EXPECT_EQ(empty.next_move().move, NULL_MOVE);
}

// Capture terms.

TEST(CaptureTerms, VictimsAttackersPromotionsAndEnPassant) {
    Position pos = from_fen("r3k2r/1P6/8/3pP3/4q3/3P4/4P3/R3K2R w KQkq d6 0 1");
    auto move = [&](std::string_view text) {
        std::optional<Move> m = pos.parse_uci_move(text);
        EXPECT_TRUE(m) << text;
        return m.value_or(NULL_MOVE);
    };
    EXPECT_EQ(ordering::mvv_lva(pos, move("d3e4")), 16 * 950 - 0);        // pawn takes queen
    EXPECT_EQ(ordering::mvv_lva(pos, move("e5d6")), 16 * 100 - 0);        // en passant: a pawn
    EXPECT_EQ(ordering::captured_kind(pos, move("e5d6")), PAWN);
    EXPECT_EQ(ordering::mvv_lva(pos, move("b7a8q")), 16 * (470 + 950) - 0);
    EXPECT_EQ(ordering::mvv_lva(pos, move("b7b8q")), 16 * 950 - 0);
    EXPECT_EQ(ordering::mvv_lva(pos, move("b7b8n")), 0);                   // no victim, no bonus
    EXPECT_EQ(ordering::captured_kind(pos, move("b7b8n")), PAWN);
    EXPECT_EQ(ordering::captured_kind(pos, move("b7a8r")), ROOK);
    EXPECT_EQ(ordering::mvv_lva(pos, move("a1a8")), 16 * 470 - 3);        // rook takes rook
    EXPECT_TRUE(ordering::is_under_promotion(move("b7a8b")));
    EXPECT_FALSE(ordering::is_under_promotion(move("b7a8q")));
}

TEST(CaptureTerms, PawnThreatsAreTheOpponentsPawnAttacks) {
    // White to move: squares attacked by black pawns, no wrap from the a- to the h-file.
    Position w = from_fen("4k3/p6p/8/3p4/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(ordering::pawn_threats(w), bit(41) | bit(46) | bit(26) | bit(28));
    Position b = from_fen("4k3/8/8/8/8/8/P6P/4K3 b - - 0 1");
    EXPECT_EQ(ordering::pawn_threats(b), bit(17) | bit(22));
}

// The staged generator.

// Engine-like scoring, independent of any history: capture bands by the exchange test and
// quiet values from a fixed hash of the squares, so that ties and negatives occur.
std::int32_t capture_score(const Position& pos, Move m) {
    if (ordering::is_under_promotion(m)) return ordering::UNDER_PROMOTION;
    return (see::see_ge(pos, m, 0) ? ordering::GOOD_CAPTURE : ordering::BAD_CAPTURE)
           + ordering::mvv_lva(pos, m);
}
std::int32_t quiet_score(Move m) { return (move_from(m) * 7 + move_to(m) * 13) % 41 - 20; }

struct Staged {
    Move tt, killer1, killer2, counter;
};

std::vector<ScoredMove> hand_out(const Position& pos, const Staged& s) {
    NodeMoves moves;
    moves.init_staged(s.tt, s.killer1, s.killer2, s.counter);
    std::vector<ScoredMove> out;
    auto cap = [&](Move m) { return capture_score(pos, m); };
    auto quiet = [](Move m) { return quiet_score(m); };
    for (ScoredMove next; (next = moves.next(pos, cap, quiet)).move;) {
        out.push_back(next);
        if (out.size() > 300) break;
    }
    return out;
}

constexpr std::string_view STAGED_FENS[] = {
    START_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/1P6/8/3pP3/4q3/3P4/4P3/R3K2R w KQkq d6 0 1",
    "4k3/8/8/8/8/6q1/1p6/R3K3 w Q - 0 1",                     // in check
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "2r1k3/8/8/8/8/8/8/R3K2R w KQ - 0 1",
    "3RNbk1/pp3pQ1/4r1pp/8/1qr5/7P/P4P2/3R2K1 b - - 0 1",  // the only move: Bxg7
};

// Remembered moves to feed the generator: legal quiet moves, legal captures, moves of another
// position (illegal here), duplicates of each other, and none.
std::vector<Staged> staged_configurations(const Position& pos) {
    MoveList quiet, noisy;
    movegen::generate_quiet(pos, quiet);
    movegen::generate_noisy(pos, noisy);
    const Move q0 = quiet.size() > 0 ? quiet[0] : NULL_MOVE;
    const Move q1 = quiet.size() > 1 ? quiet[quiet.size() - 1] : NULL_MOVE;
    const Move q2 = quiet.size() > 2 ? quiet[quiet.size() / 2] : NULL_MOVE;
    const Move c0 = noisy.size() > 0 ? noisy[0] : NULL_MOVE;
    // Moves that are not legal in any of the positions above in that form.
    const Move bogus_quiet = make_move(0, 63, QUIET);          // a1h8 as a quiet move
    const Move bogus_capture = make_move(27, 35, CAPTURE);     // d4xd5
    return {
        {NULL_MOVE, NULL_MOVE, NULL_MOVE, NULL_MOVE},
        {q0, q1, q2, NULL_MOVE},
        {q0, q0, q0, q0},               // every remembered move equal to the table move
        {NULL_MOVE, q1, q1, q1},        // second killer and counter equal to the first killer
        {c0, c0, q1, c0},               // a capture as table move, killer and counter move
        {bogus_quiet, bogus_quiet, bogus_capture, bogus_quiet},
        {bogus_capture, q2, q0, q1},
        {q2, NULL_MOVE, q0, q1},
    };
}

class StagedGenerator : public testing::TestWithParam<std::string_view> {};

TEST_P(StagedGenerator, HandsOutEveryLegalMoveExactlyOnce) {
    const Position pos = from_fen(GetParam());
    MoveList legal;
    movegen::generate_all(pos, legal);
    const std::multiset<Move> expected(legal.begin(), legal.end());
    for (const Staged& s : staged_configurations(pos)) {
        SCOPED_TRACE("tt " + uci(s.tt) + " killers " + uci(s.killer1) + " " + uci(s.killer2)
                     + " counter " + uci(s.counter));
        std::multiset<Move> got;
        for (const ScoredMove& sm : hand_out(pos, s)) got.insert(sm.move);
        EXPECT_EQ(got, expected);
    }
}

TEST_P(StagedGenerator, NoLegalMoveIsLostAsTableMoveOrKiller) {
    // A remembered move the legality test wrongly refuses would be dropped from its stage
    // and from the generated lists alike; a node whose only move is lost this way reads as
    // mate.
    const Position pos = from_fen(GetParam());
    MoveList legal;
    movegen::generate_all(pos, legal);
    const std::multiset<Move> expected(legal.begin(), legal.end());
    for (Move m : legal) {
        SCOPED_TRACE(uci(m));
        for (const Staged& s : {Staged{m, NULL_MOVE, NULL_MOVE, NULL_MOVE},
                                Staged{NULL_MOVE, m, NULL_MOVE, NULL_MOVE},
                                Staged{NULL_MOVE, NULL_MOVE, NULL_MOVE, m}}) {
            std::multiset<Move> got;
            for (const ScoredMove& sm : hand_out(pos, s)) got.insert(sm.move);
            EXPECT_EQ(got, expected);
        }
        const std::vector<ScoredMove> out = hand_out(pos, {m, NULL_MOVE, NULL_MOVE, NULL_MOVE});
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out[0].move, m);
    }
}

TEST_P(StagedGenerator, FollowsTheStagesInOrder) {
    const Position pos = from_fen(GetParam());
    MoveList legal;
    movegen::generate_all(pos, legal);
    for (const Staged& s : staged_configurations(pos)) {
        SCOPED_TRACE("tt " + uci(s.tt) + " killers " + uci(s.killer1) + " " + uci(s.killer2)
                     + " counter " + uci(s.counter));
        const std::vector<ScoredMove> out = hand_out(pos, s);
        std::size_t i = 0;
        // The table move, when legal, comes first and only then.
        if (s.tt != NULL_MOVE && legal.contains(s.tt)) {
            ASSERT_FALSE(out.empty());
            EXPECT_EQ(out[0].move, s.tt);
            EXPECT_EQ(out[0].score, ordering::TT_MOVE);
            i = 1;
        }
        // Good captures, best first.
        std::int32_t previous = INT32_MAX;
        for (; i < out.size() && out[i].score >= ordering::GOOD_CAPTURE; ++i) {
            EXPECT_TRUE(is_noisy(out[i].move)) << uci(out[i].move);
            EXPECT_EQ(out[i].score, capture_score(pos, out[i].move));
            EXPECT_LE(out[i].score, previous);
            previous = out[i].score;
        }
        // The killers and the counter move, each legal, quiet, new, in this order.
        std::vector<Move> remembered;
        for (Move m : {s.killer1, s.killer2, s.counter})
            if (m != NULL_MOVE && is_quiet(m) && legal.contains(m) && m != s.tt
                && std::find(remembered.begin(), remembered.end(), m) == remembered.end())
                remembered.push_back(m);
        for (Move m : remembered) {
            ASSERT_LT(i, out.size());
            EXPECT_EQ(out[i].move, m);
            EXPECT_GE(out[i].score, ordering::COUNTER);
            EXPECT_LT(out[i].score, ordering::GOOD_CAPTURE);
            ++i;
        }
        // Quiet moves by their history value.
        previous = INT32_MAX;
        for (; i < out.size() && is_quiet(out[i].move); ++i) {
            EXPECT_EQ(out[i].score, quiet_score(out[i].move));
            EXPECT_LE(out[i].score, previous);
            previous = out[i].score;
        }
        // Then the bad captures, under-promotions last.
        previous = INT32_MAX;
        for (; i < out.size(); ++i) {
            EXPECT_TRUE(is_noisy(out[i].move)) << "quiet move after the bad captures: "
                                               << uci(out[i].move);
            EXPECT_LT(out[i].score, ordering::GOOD_CAPTURE);
            EXPECT_LE(out[i].score, previous);
            previous = out[i].score;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Positions, StagedGenerator, testing::ValuesIn(STAGED_FENS));

TEST(StagedGenerator, KnightPromotionsComeAfterQuietsAndBadCaptures) {
    // The b-pawn can promote straight or by taking the rook; the queen and knight are en
    // prise to pawns so their captures lose material.
    const Position pos = from_fen("r1n1k3/1P6/2p1p3/3N1Q2/8/8/8/4K3 w - - 0 1");
    const std::vector<ScoredMove> out = hand_out(pos, {NULL_MOVE, NULL_MOVE, NULL_MOVE, NULL_MOVE});
    std::size_t first_under = out.size(), last_other = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (ordering::is_under_promotion(out[i].move)) first_under = std::min(first_under, i);
        else last_other = i;
    }
    ASSERT_LT(first_under, out.size());
    EXPECT_GT(first_under, last_other);
    // Queen promotions are good noisy moves and come first.
    EXPECT_TRUE(is_promotion(out[0].move) && promoted_kind(out[0].move) == QUEEN)
        << uci(out[0].move);
}

TEST(StagedGenerator, AnIllegalTableMoveIsNeverHandedOut) {
    // The knight is pinned, the rook on f8 guards f1 and f2, the long castle is free.
    const Position pos = from_fen("4kr2/8/8/8/1b6/8/3NP3/R3K2R w KQ - 0 1");
    const Move illegal[] = {
        make_move(11, 21, QUIET),         // the pinned knight: Nf3
        make_move(4, 13, QUIET),          // Kf2 into the rook's file
        make_move(4, 6, KING_CASTLE),     // castling across f1
        make_move(12, 36, DOUBLE_PUSH),   // e2e5
        make_move(11, 28, CAPTURE),       // Nxe4 of an empty square
        make_move(25, 18, QUIET),         // White moving the black bishop
        make_move(0, 16, CAPTURE),        // Rxa3 of nothing
    };
    const Move legal_tt[] = {make_move(12, 28, DOUBLE_PUSH), make_move(4, 2, QUEEN_CASTLE)};
    MoveList legal;
    movegen::generate_all(pos, legal);
    for (Move tt : illegal) {
        SCOPED_TRACE(uci(tt));
        ASSERT_FALSE(legal.contains(tt));
        const std::vector<ScoredMove> out = hand_out(pos, {tt, NULL_MOVE, NULL_MOVE, NULL_MOVE});
        EXPECT_EQ(out.size(), static_cast<std::size_t>(legal.size()));
        for (const ScoredMove& sm : out) {
            EXPECT_TRUE(legal.contains(sm.move)) << uci(sm.move);
            EXPECT_NE(sm.score, ordering::TT_MOVE);
        }
        // The same move as a killer or counter move is not handed out either.
        const std::vector<ScoredMove> as_killer = hand_out(pos, {NULL_MOVE, tt, tt, tt});
        EXPECT_EQ(as_killer.size(), static_cast<std::size_t>(legal.size()));
    }
    for (Move tt : legal_tt) {
        SCOPED_TRACE(uci(tt));
        ASSERT_TRUE(legal.contains(tt));
        const std::vector<ScoredMove> out = hand_out(pos, {tt, NULL_MOVE, NULL_MOVE, NULL_MOVE});
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out[0].move, tt);
        EXPECT_EQ(out.size(), static_cast<std::size_t>(legal.size()));
    }
}

TEST(ListPath, HandsOutByScoreWithTheSamePicker) {
    NodeMoves moves;
    moves.init_list();
    const std::int32_t scores[] = {5, 5, 9, -3, ordering::TT_MOVE};
    for (int i = 0; i < 5; ++i) moves.add(static_cast<Move>(i + 1), scores[i]);
    const Position pos = Position::startpos();
    auto none = [](Move) { return std::int32_t{0}; };
    std::vector<Move> order;
    for (ScoredMove next; (next = moves.next(pos, none, none)).move;) order.push_back(next.move);
    EXPECT_EQ(order, (std::vector<Move>{5, 3, 2, 1, 4}));
}

}  // namespace
}  // namespace orvane
