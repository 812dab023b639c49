// Static exchange evaluation: a table of exchanges worked out by hand (batteries, x-rays,
// the king rule, en passant, promotions, castles), each checked around its exact value, and
// a cross-check against a slow exchange search on moves from random games.
#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "core/board/movegen.h"
#include "core/board/see.h"
#include "support/position_helpers.h"

namespace orvane {
namespace {

struct ExchangeCase {
    std::string_view name, fen, move;
    int value;  // what the exchange wins for the mover with best play by both sides
};

// Comments give the capture sequence on the target square.
constexpr ExchangeCase EXCHANGES[] = {
    {"castle_king_side", "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1", "e1g1", 0},
    {"castle_queen_side", "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R b KQkq - 0 1", "e8c8", 0},
    // exd5 Rxd5: 950 - 100.
    {"pawn_takes_queen_defended_once", "3rk3/8/8/3q4/4P3/8/8/4K3 w - - 0 1", "e4d5", 850},
    // Bxd5 cxd5: 100 - 330.
    {"bishop_takes_pawn_defended_by_pawn", "4k3/8/2p5/3p4/8/8/6B1/4K3 w - - 0 1", "g2d5", -230},
    // Qxe5 dxe5 Rxe5: the rook behind the queen only softens the loss.
    {"queen_takes_defended_pawn", "4k3/8/3p4/4p3/8/8/4Q3/4RK2 w - - 0 1", "e2e5", -750},
    // Ne4 is attacked only by the king and covered by the d3 pawn.
    {"quiet_move_king_cannot_take", "8/8/8/4k3/8/2NP4/8/K7 w - - 0 1", "c3e4", 0},
    {"quiet_move_king_takes", "8/8/8/4k3/8/2N5/8/K7 w - - 0 1", "c3e4", -320},
    {"quiet_move_attacked_by_pawn", "4k3/8/8/3p4/8/2N5/8/4K3 w - - 0 1", "c3e4", -320},
    {"quiet_move_safe", "4k3/8/8/8/8/2N5/8/4K3 w - - 0 1", "c3e4", 0},
    // Rxe5 Rxe5 Rxe5: the rear rook joins once the front one has gone.
    {"rook_battery", "4r1k1/8/8/4n3/8/8/4R3/4R1K1 w - - 0 1", "e2e5", 320},
    {"rook_without_battery", "4r1k1/8/8/4n3/8/8/4R3/6K1 w - - 0 1", "e2e5", -180},
    // Rxd5 Qxd5 Rxd5 Rxd5: the d8 rook recaptures through the queen's square.
    {"xray_through_queen", "3rk3/3q4/8/3p4/8/8/3R4/3RK3 w - - 0 1", "d2d5", 50},
    // Rxe5 Bxe5 Bxe5 Qxe5: the c7 queen stands behind the d6 bishop.
    {"xray_through_bishop", "7k/2q5/3b4/4n3/8/6B1/8/4R2K w - - 0 1", "e1e5", -180},
    {"no_xray_behind_bishop", "7k/8/3b4/4n3/8/6B1/8/4R2K w - - 0 1", "e1e5", 150},
    // dxe5 fxe5, bishops behind both pawns: White stops, as Bxe5 Bxe5 would lose a bishop.
    {"xray_through_pawns", "6k1/6b1/5p2/4n3/3P4/2B5/8/6K1 w - - 0 1", "d4e5", 220},
    // Rxe5 and the king may not retake: the g3 bishop covers e5.
    {"king_cannot_retake_defended", "8/8/3k4/4p3/8/6B1/8/4R2K w - - 0 1", "e1e5", 100},
    {"king_retakes_undefended", "8/8/3k4/4p3/8/8/8/4R2K w - - 0 1", "e1e5", -400},
    // Nxe5 dxe5 Kxe5: our king may take last when nothing guards the square.
    {"own_king_takes_last", "7k/8/3p4/4p3/2N2K2/8/8/8 w - - 0 1", "c4e5", -120},
    // exd6 e.p. cxd6 Rxd6: the captured d5 pawn no longer blocks the rook.
    {"en_passant_frees_the_file", "4k3/2p5/8/3pP3/8/8/8/3RK3 w - d6 0 1", "e5d6", 100},
    {"en_passant_recaptured", "4k3/2p5/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6", 0},
    {"en_passant_free", "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6", 100},
    // b8=Q Rxb8: the pawn becomes a queen and the queen is lost.
    {"promotion_into_rook", "r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7b8q", -100},
    {"underpromotion_into_rook", "r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7b8n", -100},
    {"promotion_free", "4k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7b8q", 850},
    // bxa8=Q Kxa8: 500 + 850 - 950.
    {"capture_promotion_king_retakes", "rk6/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7a8q", 400},
    {"capture_underpromotion_king_retakes", "rk6/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7a8n", 400},
    // The h1 bishop covers a8 once the pawn has left b7, so the king may not retake.
    {"capture_promotion_xray_behind_pawn", "rk6/1P6/8/8/8/8/8/4K2B w - - 0 1", "b7a8q", 1350},
    {"black_knight_takes_free_pawn", "4k3/8/8/8/3n4/8/2P5/4K3 b - - 0 1", "d4c2", 100},
    // Nxc2 Kxc2: 100 - 320.
    {"black_knight_takes_pawn_king_retakes", "4k3/8/8/8/3n4/8/2P5/3K4 b - - 0 1", "d4c2", -220},
    // exd3 e.p. Kxd3.
    {"black_en_passant_king_retakes", "4k3/8/8/8/3Pp3/8/4K3/8 b - d3 0 1", "e4d3", 0},
};

// The same board with the other side to move and no en-passant square: the question a threat
// test asks about a move of the opponent.
std::string with_other_side_to_move(std::string_view fen) {
    std::istringstream in{std::string(fen)};
    std::string board, side, castling, ep, clocks;
    in >> board >> side >> castling >> ep;
    std::getline(in, clocks);
    return board + (side == "w" ? " b " : " w ") + castling + " -" + clocks;
}

class Exchange : public testing::TestWithParam<ExchangeCase> {};

TEST_P(Exchange, ThresholdsAroundTheValue) {
    const ExchangeCase& c = GetParam();
    Position pos = from_fen(c.fen);
    const std::optional<Move> m = pos.parse_uci_move(c.move);
    ASSERT_TRUE(m.has_value()) << c.move << " is not legal in " << c.fen;
    for (int t : {-25'000, c.value - 100, c.value - 1, c.value, c.value + 1, c.value + 100, 0,
                  25'000})
        EXPECT_EQ(see::see_ge(pos, *m, t), t <= c.value) << "threshold " << t;

    // Boards where the other side would be in check cannot be set up that way.
    FenResult other = Position::from_fen(with_other_side_to_move(c.fen));
    if (const Position* flipped = std::get_if<Position>(&other)) {
        for (int t : {c.value - 1, c.value, c.value + 1}) {
            EXPECT_EQ(see::see_ge(*flipped, *m, t), t <= c.value)
                << "other side to move, threshold " << t;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(See, Exchange, testing::ValuesIn(EXCHANGES),
                         [](const auto& info) { return std::string(info.param.name); });

// A slow and plain exchange search: the side to capture on `to`, where a piece worth
// `target` stands, takes with its least valuable attacker (lowest square first) or stops;
// attackers are recomputed from scratch for every occupancy. Pins are ignored and a king
// never captures onto a square the other side still attacks.
int exchange(const Position& pos, int to, Bitboard occ, Color side, int target) {
    const Bitboard attackers = pos.attackers_to(to, occ) & occ;
    const Bitboard mine = attackers & pos.pieces(side);
    for (int kind = PAWN; kind <= KING; ++kind) {
        const Bitboard b = mine & pos.kind(kind);
        if (!b) continue;
        if (kind == KING && (attackers & pos.pieces(side ^ 1))) return 0;
        const int reply = exchange(pos, to, occ ^ bit(lsb(b)), side ^ 1, see::VALUES[kind]);
        return std::max(0, target - reply);
    }
    return 0;
}

int reference_value(const Position& pos, Move m) {
    if (is_castle(m)) return 0;
    const int from = move_from(m), to = move_to(m);
    int gain = 0;
    if (is_en_passant(m))
        gain = see::VALUES[PAWN];
    else if (is_capture(m))
        gain = see::VALUES[kind_of(pos.piece_on(to))];
    int standing = kind_of(pos.piece_on(from));
    if (is_promotion(m)) {
        standing = promoted_kind(m);
        gain += see::VALUES[standing] - see::VALUES[PAWN];
    }
    Bitboard occ = pos.pieces() ^ bit(from);
    if (is_en_passant(m)) occ ^= bit(to ^ 8);
    return gain - exchange(pos, to, occ, pos.side() ^ 1, see::VALUES[standing]);
}

TEST(See, HandTableAgreesWithTheReference) {
    for (const ExchangeCase& c : EXCHANGES) {
        Position pos = from_fen(c.fen);
        EXPECT_EQ(reference_value(pos, *pos.parse_uci_move(c.move)), c.value) << c.name;
    }
}

constexpr std::string_view GAME_STARTS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "8/PPPk4/8/8/8/8/4Kppp/8 w - - 0 1",
    "2r2rk1/pp1bqppp/2n1pn2/3p4/3P4/2NBPN2/PPQ2PPP/2R2RK1 w - - 0 12",
};

// Every legal move of every position along random games, at thresholds around the exact
// value and at random ones.
TEST(See, AgreesWithTheReferenceOnRandomGames) {
    std::mt19937_64 rng(0x5EE5EE);
    std::uniform_int_distribution<int> random_threshold(-1200, 1200);
    int moves_checked = 0, captures_checked = 0, nonzero = 0;
    for (std::string_view start : GAME_STARTS) {
        for (int game = 0; game < 12; ++game) {
            Position pos = from_fen(start);
            for (int ply = 0; ply < 80; ++ply) {
                MoveList moves;
                movegen::generate_all(pos, moves);
                if (moves.empty()) break;
                for (Move m : moves) {
                    const int v = reference_value(pos, m);
                    for (int t : {v - 1, v, v + 1, 0, random_threshold(rng)}) {
                        ASSERT_EQ(see::see_ge(pos, m, t), t <= v)
                            << pos.to_fen() << " " << move_to_uci(m) << " value " << v
                            << " threshold " << t;
                    }
                    ++moves_checked;
                    captures_checked += is_capture(m);
                    nonzero += v != 0;
                }
                pos.make_move(moves[static_cast<int>(rng() % moves.size())]);
            }
        }
    }
    EXPECT_GT(captures_checked, 5'000);
    EXPECT_GT(nonzero, 5'000);
    EXPECT_GT(moves_checked, 50'000);
}

}  // namespace
}  // namespace orvane
