// Chess960 on the board: the shared perft file's shallow counts and double Chess960 counts,
// castling rights read (Shredder, X-FEN) and written back, castles in the awkward placements
// with both notations, random Chess960 games checking keys, make/unmake, gives_check and
// is_legal_move against the generator, and no tablebase probe while a right lasts.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/board/movegen.h"
#include "core/board/position.h"
#include "core/board/zobrist.h"
#include "perft_epd.h"
#include "support/position_helpers.h"
#include "syzygy/syzygy.h"

namespace orvane {
namespace {

constexpr std::uint64_t NODE_BUDGET = 200'000;  // deeper counts are the slow test's

// Double Chess960 (each side its own back rank), from starts and from random games; counts
// from an independent engine.
const perft_epd::PerftCase DOUBLE_960[] = {
    {"start1", "rqknbbnr/pppppppp/8/8/8/8/PPPPPPPP/BBNRKRQN w FDha - 0 1",
     {{1, 19}, {2, 380}, {3, 8190}, {4, 183018}}},
    {"start2", "nrbbkqrn/pppppppp/8/8/8/8/PPPPPPPP/RKQBBRNN w FAgb - 0 1",
     {{1, 19}, {2, 342}, {3, 7312}, {4, 150173}}},
    {"start3", "bqrknrnb/pppppppp/8/8/8/8/PPPPPPPP/RNKRBBQN w DAfc - 0 1",
     {{1, 19}, {2, 399}, {3, 8583}, {4, 196899}}},
    {"start4", "rbknrnbq/pppppppp/8/8/8/8/PPPPPPPP/QRNKRBBN w EBea - 0 1",
     {{1, 19}, {2, 380}, {3, 8216}, {4, 183698}}},
    {"game1", "1rkrnq1b/3ppppp/1p4n1/p1p5/1P2bP2/P3N1P1/2PKP1BP/BR1RN1Q1 b db - 1 9",
     {{1, 33}, {2, 1236}, {3, 39581}}},
    {"game2", "brknrq1b/pp1ppppp/2p5/1P1N4/2P4n/8/P2PPPPP/RQB1KNRB b GQeb - 0 5",
     {{1, 21}, {2, 677}, {3, 14563}}},
    {"game3", "nbkrbnrq/1p1pppp1/2p5/p6p/4PPB1/6P1/PPPP3P/NRK1BQRN w GB - 0 6",
     {{1, 35}, {2, 853}, {3, 29138}}},
    {"game4", "1r1krnb1/ppqp2bp/2p3p1/3npp2/P5P1/1NP1N2P/RP1PPPB1/1Q1KR1B1 w Ee - 1 11",
     {{1, 36}, {2, 1242}, {3, 42412}}},
};

// The counts within the node budget compared with perft; returns how many there were.
int expect_counts(const perft_epd::PerftCase& c) {
    Position pos = from_fen(c.fen);
    int compared = 0;
    for (auto [depth, count] : c.counts) {
        if (count <= NODE_BUDGET) {
            EXPECT_EQ(movegen::perft(pos, depth), count) << c.name << " " << c.fen << " D" << depth;
            ++compared;
        }
    }
    return compared;
}

TEST(Chess960Perft, ShallowCountsOfTheSharedFile) {
    const std::vector<perft_epd::PerftCase> cases = perft_epd::load_epd("chess960.epd");
    ASSERT_FALSE(cases.empty()) << perft_epd::shared_path("chess960.epd");
    for (const perft_epd::PerftCase& c : cases) EXPECT_GT(expect_counts(c), 0) << c.name;
}

TEST(Chess960Perft, DoubleChess960) {
    for (const perft_epd::PerftCase& c : DOUBLE_960) EXPECT_GT(expect_counts(c), 0) << c.name;
}

// The key the slow way: pieces, the rights value, a key per rook off its corner file, en
// passant and side.
std::uint64_t key_from_scratch(const Position& p) {
    std::uint64_t k = zobrist::KEYS[zobrist::CASTLING_BASE + p.castling()];
    for (int s = 0; s < 64; ++s)
        if (p.piece_on(s) != NO_PIECE) k ^= zobrist::piece_key(p.piece_on(s), s);
    for (int i = 0; i < 4; ++i) {
        const int file = file_of(p.castle_rook(i));
        if ((p.castling() & (1 << i)) && file != (i % 2 ? 0 : 7))
            k ^= zobrist::CASTLE_FILE_KEYS[(i / 2) * 8 + file];
    }
    if (p.ep_square() < 64) k ^= zobrist::KEYS[zobrist::EP_BASE + file_of(p.ep_square())];
    if (p.side() == BLACK) k ^= zobrist::KEYS[zobrist::SIDE_KEY];
    return k;
}

std::string rights_field(const std::string& fen) {
    std::size_t side = fen.find(' ');
    return fen.substr(side + 3, fen.find(' ', side + 3) - side - 3);
}

struct RightsCase {
    const char* fen;
    const char* out;  // the rights to_fen writes, or the error message
};

const RightsCase RIGHTS_CASES[] = {
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w HAha - 0 1", "KQkq"},
    {"bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9", "HFhf"},
    {"bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w KQkq - 2 9", "HFhf"},
    {"1r2k1r1/8/8/8/8/8/8/1R2K1RR w GBg - 0 1", "GBg"},  // g1: the inner h-side rook
    {"1r2k1r1/8/8/8/8/8/8/1R2K1RR w KQk - 0 1", "KBg"},  // X-FEN: the outermost ones
    {"rk2r3/8/8/8/8/8/8/RK2R3 w EAea - 0 1", "EAea"},
    {"rk2r3/8/8/8/8/8/8/RK2R3 w eKaQ - 0 1", "EAea"},
    {"4k3/8/8/8/8/8/8/4K3 w E - 0 1", "castling 'E': no rook on e1"},
    {"r3k3/8/8/8/8/8/8/R3K2R w h - 0 1", "castling 'h': no rook on h8"},
    {"4k3/8/8/8/8/8/4K3/R6R w K - 0 1", "castling 'K': the king is not on its back rank"},
    {"r3k2r/8/8/8/8/8/8/R3K1RR w HG - 0 1", "castling 'G': a second rook for one side"},
    {"r3k2r/8/8/8/8/8/8/R3K1RR w KG - 0 1", "castling 'G': a second rook for one side"},
    {"r3k2r/8/8/8/8/8/8/R3K2R w KQkqi - 0 1", "bad castling 'i'"},
    {"r3k2r/8/8/8/8/8/8/R3K2R w K1 - 0 1", "bad castling '1'"},
};

TEST(Chess960Fen, CastlingRightsReadAndWritten) {
    for (const RightsCase& c : RIGHTS_CASES) {
        FenResult r = Position::from_fen(c.fen);
        if (auto* e = std::get_if<FenError>(&r)) {
            EXPECT_EQ(e->message, c.out) << c.fen;
            continue;
        }
        const Position& p = std::get<Position>(r);
        const std::string fen = p.to_fen();
        EXPECT_EQ(rights_field(fen), c.out) << c.fen;
        EXPECT_EQ(p.key(), key_from_scratch(p)) << c.fen;
        EXPECT_EQ(from_fen(fen).key(), p.key()) << fen;
    }
    // Same board, different castling rook: different keys; standard rights keep their key.
    EXPECT_NE(from_fen("1r2k1r1/8/8/8/8/8/8/1R2K1RR w G - 0 1").key(),
              from_fen("1r2k1r1/8/8/8/8/8/8/1R2K1RR w H - 0 1").key());
    EXPECT_EQ(from_fen("r3k2r/8/8/8/8/8/8/R3K2R w HAha - 0 1").key(),
              from_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1").key());
}

struct CastleCase {
    const char* fen;
    const char* castles;  // the legal castles in Chess960 notation, in generation order
};

const CastleCase CASTLE_CASES[] = {
    {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1h1 e1a1"},
    {"rk2r3/pppppppp/8/8/8/8/PPPPPPPP/RK2R3 b EAea - 0 1", "b8e8 b8a8"},
    {"rk2r3/8/8/8/8/8/8/RK2R3 b EAea - 0 1", "b8a8"},  // the king may not cross e8 either
    {"4k3/8/8/8/8/8/8/qR1K4 w B - 0 1", ""},      // the rook shields c1 until it leaves
    {"4k3/8/8/8/8/8/8/qRK5 w B - 0 1", ""},       // ... also when the king stays on c1
    {"4k3/8/8/8/8/8/8/bR1K4 w B - 0 1", "d1b1"},  // a bishop on a1 does not see c1
    {"4k3/8/8/8/8/8/8/6KR w H - 0 1", "g1h1"},    // the king stays, the rook goes to f1
    {"4kr2/8/8/8/8/8/8/6KR w H - 0 1", "g1h1"},   // the rook may land on an attacked square
    {"4k1r1/8/8/8/8/8/8/5K1R w H - 0 1", ""},     // but the king may not
    {"4r1k1/8/8/8/8/8/8/1K5R w H - 0 1", ""},     // nor cross one
    {"4k3/8/8/8/8/8/8/RK6 w A - 0 1", "b1a1"},    // the king moves right for the a-side
    {"4k3/8/8/8/8/8/8/RK1N4 w A - 0 1", ""},      // the rook's destination is taken
    {"4k3/8/8/8/8/8/8/RN3K2 w A - 0 1", ""},      // a knight in the rook's way
    {"4k3/8/8/8/8/8/8/4K1R1 w G - 0 1", "e1g1"},  // the king lands on its rook's square
    {"4k3/8/8/8/8/8/8/R2K4 w A - 0 1", "d1a1"},   // the rook lands on the king's square
    {"4k3/8/8/8/8/8/8/R3K2r w A - 0 1", ""},      // never out of check
};

TEST(Chess960Castles, AwkwardPlacements) {
    for (const CastleCase& c : CASTLE_CASES) {
        Position pos = from_fen(c.fen);
        const MoveNotation chess960 = pos.notation(true);
        std::string castles;
        for (Move m : legal_moves(pos)) {
            if (!is_castle(m)) continue;
            const std::string text = chess960.text(m);
            castles += (castles.empty() ? "" : " ") + text;
            EXPECT_TRUE(movegen::is_legal_move(pos, m)) << c.fen << " " << text;
            EXPECT_EQ(pos.parse_uci_move(text, true), m) << c.fen << " " << text;
            const std::string before = pos.to_fen();
            const Color us = pos.side();
            const int kind = move_kind(m);
            pos.make_move(m);
            EXPECT_EQ(pos.piece_on(castle_king_to(us, kind)), make_piece(us, KING)) << text;
            EXPECT_EQ(pos.piece_on(castle_rook_to(us, kind)), make_piece(us, ROOK)) << text;
            EXPECT_EQ(pos.castling() & (us == WHITE ? 3 : 12), 0) << text;
            EXPECT_EQ(pos.key(), key_from_scratch(pos)) << text;
            pos.unmake_move(m);
            EXPECT_EQ(pos.to_fen(), before) << text;
        }
        EXPECT_EQ(castles, c.castles) << c.fen;
    }
}

TEST(Chess960Castles, EachModeReadsOnlyItsOwnNotation) {
    const Position pos = from_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
    const Move short_castle = make_move(4, 6, KING_CASTLE);
    const Move long_castle = make_move(4, 2, QUEEN_CASTLE);
    EXPECT_EQ(pos.parse_uci_move("e1g1"), short_castle);
    EXPECT_EQ(pos.parse_uci_move("e1c1"), long_castle);
    EXPECT_EQ(pos.parse_uci_move("e1h1"), std::nullopt);
    EXPECT_EQ(pos.parse_uci_move("e1h1", true), short_castle);
    EXPECT_EQ(pos.parse_uci_move("e1a1", true), long_castle);
    EXPECT_EQ(pos.parse_uci_move("e1g1", true), std::nullopt);
    EXPECT_EQ(pos.notation(false).text(long_castle), "e1c1");
    EXPECT_EQ(pos.notation(true).text(long_castle), "e1a1");
}

// Random games from Chess960 starts, castles preferred, with every legal move of every
// position made and unmade.
TEST(Chess960Games, KeysMakeUnmakeChecksAndLegalityAgree) {
    std::vector<std::string> starts;
    const std::vector<perft_epd::PerftCase> file = perft_epd::load_epd("chess960.epd");
    ASSERT_FALSE(file.empty());
    for (std::size_t i = 0; i < 960 && i < file.size(); i += 24) starts.push_back(file[i].fen);
    for (const perft_epd::PerftCase& c : DOUBLE_960) starts.push_back(c.fen);
    std::mt19937_64 rng(960);
    int castles = 0;
    for (const std::string& start : starts) {
        Position pos = from_fen(start);
        for (int ply = 0; ply < 60; ++ply) {
            const std::string fen = pos.to_fen();
            ASSERT_EQ(pos.key(), key_from_scratch(pos)) << fen;
            ASSERT_EQ(from_fen(fen).key(), pos.key()) << fen;
            MoveList all, noisy, quiet;
            movegen::generate_all(pos, all);
            movegen::generate_noisy(pos, noisy);
            movegen::generate_quiet(pos, quiet);
            ASSERT_EQ(noisy.size() + quiet.size(), all.size()) << fen;
            if (all.empty()) break;
            std::vector<Move> castle_moves;
            for (Move m : all) {
                ASSERT_TRUE(movegen::is_legal_move(pos, m)) << fen << " " << move_to_uci(m);
                const bool checks = pos.gives_check(m);
                EXPECT_EQ(pos.gives_check(m, pos.check_info()), checks) << fen << " " << move_to_uci(m);
                const std::uint64_t pawn = pos.pawn_key(), minor = pos.minor_key();
                const std::uint64_t white = pos.nonpawn_key(WHITE), black = pos.nonpawn_key(BLACK);
                pos.make_move(m);
                EXPECT_EQ(checks, pos.in_check()) << fen << " " << move_to_uci(m);
                pos.unmake_move(m);
                ASSERT_EQ(pos.to_fen(), fen) << move_to_uci(m);
                ASSERT_TRUE(pos.pawn_key() == pawn && pos.minor_key() == minor
                            && pos.nonpawn_key(WHITE) == white && pos.nonpawn_key(BLACK) == black)
                    << fen << " " << move_to_uci(m);
                if (is_castle(m)) castle_moves.push_back(m);
            }
            // Any 16-bit value: castles from the king's square and random ones.
            std::vector<Move> probes;
            for (int to = 0; to < 64; ++to)
                for (int kind : {KING_CASTLE, QUEEN_CASTLE})
                    probes.push_back(make_move(pos.king_square(pos.side()), to, kind));
            for (int i = 0; i < 300; ++i) probes.push_back(static_cast<Move>(rng()));
            for (Move m : probes)
                ASSERT_EQ(movegen::is_legal_move(pos, m), all.contains(m)) << fen << " " << m;
            const Move next = !castle_moves.empty() && rng() % 2
                                  ? castle_moves[rng() % castle_moves.size()]
                                  : all[static_cast<int>(rng() % all.size())];
            castles += is_castle(next);
            pos.make_move(next);
        }
    }
    EXPECT_GT(castles, 40);
}

TEST(Chess960Tablebase, NoProbeWhileARightLasts) {
    SyzygyLoad loaded = Syzygy::load(std::string(ORVANE_SOURCE_DIR) + "/../shared/syzygy");
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<Syzygy>>(loaded)) << "../shared/syzygy";
    const auto& tb = std::get<std::shared_ptr<Syzygy>>(loaded);
    EXPECT_FALSE(tb->probe_wdl(from_fen("4k3/8/8/8/8/8/8/1R2K3 w B - 0 1")).has_value());
    EXPECT_FALSE(tb->probe_root(from_fen("4k3/8/8/8/8/8/8/1R2K3 w B - 0 1")).has_value());
    EXPECT_TRUE(tb->probe_wdl(from_fen("4k3/8/8/8/8/8/8/1R2K3 w - - 0 1")).has_value());
}

}  // namespace
}  // namespace orvane
