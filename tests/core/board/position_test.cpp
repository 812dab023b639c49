// The board model: FEN reading and writing, the text diagram, make/unmake with all four
// incremental keys checked against keys computed from scratch along random games, null
// moves, check detection, UCI move parsing and the draw rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/board/attacks.h"
#include "core/board/movegen.h"
#include "core/board/position.h"
#include "core/board/zobrist.h"
#include "support/position_helpers.h"

namespace orvane {
namespace {

constexpr std::string_view KIWIPETE =
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";

int sq(const char* name) { return (name[0] - 'a') + 8 * (name[1] - '1'); }

std::string fen_error(std::string_view fen) {
    FenResult r = Position::from_fen(fen);
    if (auto* e = std::get_if<FenError>(&r)) return e->message;
    return "(accepted)";
}

// Every observable field of a position, for bit-for-bit comparisons.
struct Snapshot {
    std::array<Piece, 64> board;
    std::array<Bitboard, 12> bitboards;
    std::uint64_t key, pawn_key, minor_key, nonpawn_white, nonpawn_black;
    Bitboard checkers;
    int halfmove;
    std::uint8_t castling;
    Square ep;
    Piece captured;
    std::uint32_t fullmove;
    Color side;
    std::size_t history;

    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const Position& p) {
    Snapshot s{};
    for (int i = 0; i < 64; ++i) s.board[i] = p.piece_on(i);
    for (int c = 0; c < 2; ++c)
        for (int k = 0; k < 6; ++k) s.bitboards[c * 6 + k] = p.pieces(static_cast<Color>(c), k);
    s.key = p.key();
    s.pawn_key = p.pawn_key();
    s.minor_key = p.minor_key();
    s.nonpawn_white = p.nonpawn_key(WHITE);
    s.nonpawn_black = p.nonpawn_key(BLACK);
    s.checkers = p.checkers();
    s.halfmove = p.halfmove();
    s.castling = p.castling();
    s.ep = p.ep_square();
    s.captured = p.captured();
    s.fullmove = p.fullmove();
    s.side = p.side();
    s.history = p.history().size();
    return s;
}

struct Keys {
    std::uint64_t key, pawn, minor, nonpawn[2];
    bool operator==(const Keys&) const = default;
};

// The keys computed from the board alone, the slow way.
Keys keys_from_scratch(const Position& p) {
    Keys k{};
    for (int s = 0; s < 64; ++s) {
        Piece pc = p.piece_on(s);
        if (pc == NO_PIECE) continue;
        std::uint64_t v = zobrist::KEYS[pc * 64 + s];
        k.key ^= v;
        if (kind_of(pc) == PAWN)
            k.pawn ^= v;
        else
            k.nonpawn[color_of(pc)] ^= v;
        if (kind_of(pc) == KNIGHT || kind_of(pc) == BISHOP || kind_of(pc) == KING) k.minor ^= v;
    }
    k.key ^= zobrist::KEYS[768 + p.castling()];
    if (p.ep_square() < 64) k.key ^= zobrist::KEYS[784 + file_of(p.ep_square())];
    if (p.side() == BLACK) k.key ^= zobrist::KEYS[792];
    return k;
}

Keys incremental_keys(const Position& p) {
    return {p.key(), p.pawn_key(), p.minor_key(), {p.nonpawn_key(WHITE), p.nonpawn_key(BLACK)}};
}

// Board, bitboards and derived fields agree with each other.
void expect_consistent(const Position& p, const std::string& where) {
    SCOPED_TRACE(where);
    Bitboard by_color[2] = {0, 0};
    for (int s = 0; s < 64; ++s) {
        Piece pc = p.piece_on(s);
        if (pc == NO_PIECE) {
            EXPECT_FALSE(p.pieces() & bit(s)) << square_name(s);
            continue;
        }
        ASSERT_LT(pc, NO_PIECE);
        EXPECT_TRUE(p.pieces(color_of(pc), kind_of(pc)) & bit(s)) << square_name(s);
        by_color[color_of(pc)] |= bit(s);
    }
    EXPECT_EQ(p.pieces(WHITE), by_color[WHITE]);
    EXPECT_EQ(p.pieces(BLACK), by_color[BLACK]);
    Bitboard kinds = 0;
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(kinds & p.kind(k), 0u) << "kind sets overlap";
        kinds |= p.kind(k);
    }
    EXPECT_EQ(kinds, p.pieces());
    EXPECT_EQ(popcount(p.pieces(WHITE, KING)), 1);
    EXPECT_EQ(popcount(p.pieces(BLACK, KING)), 1);
    EXPECT_EQ(incremental_keys(p), keys_from_scratch(p));
    const Color us = p.side();
    EXPECT_EQ(p.checkers(), p.attackers_to(p.king_square(us), p.pieces()) & p.pieces(us ^ 1));
    EXPECT_FALSE(p.is_attacked(p.king_square(us ^ 1), us, p.pieces()));
}

// Random games from a fixed rng state; visit(pos) is called on every position reached.
template <typename Visit>
void random_games(int games, int max_plies, std::uint64_t rng_state, Visit&& visit) {
    const std::string_view starts[] = {
        START_FEN,
        KIWIPETE,
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
        "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
        "r3k2r/8/3Q4/8/8/5q2/8/R3K2R b KQkq - 0 1",
        "4k3/1P6/8/8/8/8/K5p1/8 w - - 0 1",
    };
    std::mt19937_64 rng(rng_state);
    for (int g = 0; g < games; ++g) {
        Position pos = from_fen(starts[g % std::size(starts)]);
        for (int ply = 0; ply < max_plies; ++ply) {
            visit(pos);
            MoveList moves;
            movegen::generate_all(pos, moves);
            if (moves.empty()) break;
            pos.make_move(moves[static_cast<int>(rng() % moves.size())]);
        }
        visit(pos);
    }
}

// ---------------------------------------------------------------------------------------
// FEN reading

struct FenErrorCase {
    const char* fen;
    const char* message;
};

const FenErrorCase FEN_ERRORS[] = {
    {"", "empty"},
    {"   ", "empty"},
    {"\t\r\n \xC2\xA0\xE3\x80\x80", "empty"},
    {"8/8/8/8/8/8/8/8", "each side needs exactly one king"},
    {"8/8/8/8/8/8/8/8 w - - 0 1", "each side needs exactly one king"},
    {"4k3/8/8/8/8/8/8/8 w - - 0 1", "each side needs exactly one king"},
    {"8/8/8/8/8/8/8/4K3 w - - 0 1", "each side needs exactly one king"},
    {"4k3/8/8/8/8/8/8/3KK3 w - - 0 1", "each side needs exactly one king"},
    {"kk6/8/8/8/8/8/8/4K3 w - - 0 1", "each side needs exactly one king"},
    {"KKKKKKKK/KKKKKKKK/KKKK4/8/8/8/8/4k3 w - - 0 1", "each side needs exactly one king"},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq - 0 1", "bad piece 'X'"},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN0 w KQkq - 0 1", "bad piece '0'"},
    {"rnbqkbnr/pppppppp/9/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "bad piece '9'"},
    {"4k3/8/8/8/8/8/8/4K2\xC3\xA9 w - - 0 1", "bad piece '\xC3\xA9'"},
    {"4k3/8/8/8/8/8/8/4K3\xE2\x82\xAC", "bad piece '\xE2\x82\xAC'"},
    {"4k3/8/8/8/8/8/8/4K2\xFF", "bad piece '\xFF'"},
    {"4k3-8/8/8/8/8/8/8/4K3", "bad piece '-'"},
    {"x/8/8/8/8/8/8/8", "bad piece 'x'"},  // the placement is read before kings are counted
    {"4k3/8/8/8/8/8/8/4K3P w - - 0 1", "piece off the board"},
    {"4k3/8/8/8/8/8/8/8/4K3 w - - 0 1", "piece off the board"},
    {"4k3/8/8/8/8/8/8/4K3/ w - - 0 1", "(accepted)"},  // a trailing "/" places nothing
    {"4k4p/8/8/8/8/8/8/4K3 w - - 0 1", "piece off the board"},
    {"88k/8/8/8/8/8/8/4K3 w - - 0 1", "piece off the board"},
    {"4k3/8/8/8/8/8/8/4K3 x - - 0 1", "bad side 'x'"},
    {"4k3/8/8/8/8/8/8/4K3 W - - 0 1", "bad side 'W'"},
    {"4k3/8/8/8/8/8/8/4K3 white - - 0 1", "bad side 'white'"},
    {"4k3/8/8/8/8/8/8/4K3 wb", "bad side 'wb'"},
    {"4k3/8/8/8/8/8/8/4K3 x Z e9 0 1", "bad side 'x'"},  // side before castling
    {"4k3/8/8/8/8/8/8/4K3 w KQkx - 0 1", "bad castling 'x'"},
    {"4k3/8/8/8/8/8/8/4K3 w A - 0 1", "castling 'A': no rook on a1"},
    {"4k3/8/8/8/8/8/8/4K3 w KQkq - 0 1", "castling 'K': no rook on the h-side of the king"},
    {"r3k2r/8/8/8/8/8/8/R3K3 w KQkq - 0 1", "castling 'K': no rook on the h-side of the king"},
    {"r3k2r/8/8/8/8/8/8/R3K2r w KQkq - 0 1", "castling 'K': no rook on the h-side of the king"},
    {"r3k2r/8/8/8/8/8/8/4K2R w KQkq - 0 1", "castling 'Q': no rook on the a-side of the king"},
    {"N3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "castling 'q': no rook on the a-side of the king"},
    {"4k3/8/8/8/8/8/8/4K3 w K\xC3\xA9 - 0 1", "bad castling '\xC3\xA9'"},
    {"4k3/8/8/8/8/8/8/4K3 w Z e9 0 1", "bad castling 'Z'"},  // castling before en passant
    {"4k3/8/8/8/8/8/8/4K3 w - e9 0 1", "bad en-passant 'e9'"},
    {"4k3/8/8/8/8/8/8/4K3 w - i3 0 1", "bad en-passant 'i3'"},
    {"4k3/8/8/8/8/8/8/4K3 w - E3 0 1", "bad en-passant 'E3'"},
    {"4k3/8/8/8/8/8/8/4K3 w - e 0 1", "bad en-passant 'e'"},
    {"4k3/8/8/8/8/8/8/4K3 w - e33 0 1", "bad en-passant 'e33'"},
    {"4k3/8/8/8/8/8/8/4K3 w - e0 0 1", "bad en-passant 'e0'"},
    {"4k3/8/8/8/8/8/8/4K3 w - -- 0 1", "bad en-passant '--'"},
    // Material no game can reach: every piece beyond the starting set was once a pawn.
    {"4k3/8/8/8/8/8/PPPPPPPP/P3K3 w - - 0 1", "too many pieces"},
    {"4k3/pppppppp/p7/8/8/8/8/4K3 w - - 0 1", "too many pieces"},
    {"3qk3/pppppppp/q7/8/8/8/8/4K3 w - - 0 1", "too many pieces"},
    {"3qk3/ppppppp1/q7/8/8/8/8/4K3 w - - 0 1", "(accepted)"},
    {"4k3/8/8/8/8/8/PPPPPPP1/RRR1K3 w - - 0 1", "(accepted)"},
    {"4k3/8/8/8/8/8/PPPPPPPP/RRR1K3 w - - 0 1", "too many pieces"},
    {"4k3/8/8/8/8/8/PPPPPPP1/BBB1K3 w - - 0 1", "(accepted)"},
    {"4k3/8/8/8/8/8/PPPPPPP1/NNN1K3 w - - 0 1", "(accepted)"},
    {"4k3/8/8/8/8/8/PPPPPPP1/NNNNK3 w - - 0 1", "too many pieces"},
    {"R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNN1KB1 w - - 0 1", "(accepted)"},
    {"R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNNQKB1 w - - 0 1", "too many pieces"},
    {"QQQQQQQQ/Q6Q/Q6Q/Q6Q/Q6Q/QQQ2Q1Q/pp1Q3Q/kB2QKQ1 w - - 0 1", "too many pieces"},  // 257 moves
    {"KQ6/8/8/8/8/8/8/8", "each side needs exactly one king"},  // the kings are counted first
    {"4k3/8/8/8/8/8/8/4R1K1 w - - 0 1", "side not to move is in check"},
    {"8/8/8/8/8/8/8/3Kk3 b - - 0 1", "side not to move is in check"},
    {"4k3/3P4/8/8/8/8/8/4K3 w - - 0 1", "side not to move is in check"},
    {"4k3/8/8/8/8/8/3p4/4K3 b - - 0 1", "side not to move is in check"},
    {"4k3/8/8/8/8/8/4q3/4K3 w - - 0 1", "(accepted)"},  // only the side not to move counts
};

TEST(FenErrors, ExactMessages) {
    for (const FenErrorCase& c : FEN_ERRORS) EXPECT_EQ(fen_error(c.fen), c.message) << c.fen;
}

TEST(FenErrors, TextHasPrefix) {
    FenResult r = Position::from_fen("");
    ASSERT_TRUE(std::holds_alternative<FenError>(r));
    EXPECT_EQ(std::get<FenError>(r).text(), "bad FEN: empty");
}

TEST(FenReading, DefaultsForMissingFields) {
    Position p = from_fen("4k3/8/8/8/8/8/8/4K3");
    EXPECT_EQ(p.side(), WHITE);
    EXPECT_EQ(p.castling(), 0);
    EXPECT_EQ(p.ep_square(), NO_SQUARE);
    EXPECT_EQ(p.halfmove(), 0);
    EXPECT_EQ(p.fullmove(), 1u);
    EXPECT_EQ(p.captured(), NO_PIECE);
    EXPECT_TRUE(p.history().empty());
    EXPECT_EQ(p.to_fen(), "4k3/8/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(from_fen("4k3/8/8/8/8/8/8/4K3 b").to_fen(), "4k3/8/8/8/8/8/8/4K3 b - - 0 1");
    EXPECT_EQ(from_fen("r3k3/8/8/8/8/8/8/4K3 b q").to_fen(), "r3k3/8/8/8/8/8/8/4K3 b q - 0 1");
}

TEST(FenReading, WhiteSpaceAndExtraFields) {
    // Any Unicode white space separates fields; runs count once; fields past the sixth are
    // ignored.
    const char* variants[] = {
        "4k3/8/8/8/8/8/8/4K3 b - - 7 9",
        "  4k3/8/8/8/8/8/8/4K3\t\tb -\r- 7 9\n",
        "4k3/8/8/8/8/8/8/4K3\xC2\xA0"
        "b\xE3\x80\x80-\xE2\x80\x83-  7 9",
        "4k3/8/8/8/8/8/8/4K3 b - - 7 9 extra words 123",
    };
    for (const char* v : variants)
        EXPECT_EQ(from_fen(v).to_fen(), "4k3/8/8/8/8/8/8/4K3 b - - 7 9") << v;
}

TEST(FenReading, ShortAndLongRanksThatPlaceNothingOffTheBoard) {
    // A rank may be short or run past h as long as no piece lands off the board.
    EXPECT_EQ(from_fen("4k4/8/8/8/8/8/8/4K3").to_fen(), "4k3/8/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(from_fen("4k/8/8/8/8/8/8/4K").to_fen(), "4k3/8/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(from_fen("4k3/8/4K3").to_fen(), "4k3/8/4K3/8/8/8/8/8 w - - 0 1");
    EXPECT_EQ(from_fen("4k3/88/8/8/8/8/8/4K3").to_fen(), "4k3/8/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(from_fen("1111k111/8/8/8/8/8/8/K").to_fen(), "4k3/8/8/8/8/8/8/K7 w - - 0 1");
}

TEST(FenReading, PawnsOnFirstAndLastRankAreAccepted) {
    Position p = from_fen("P3k3/8/8/8/8/8/8/4K2p w - - 0 1");
    EXPECT_EQ(p.piece_on(sq("a8")), make_piece(WHITE, PAWN));
    EXPECT_EQ(p.piece_on(sq("h1")), make_piece(BLACK, PAWN));
    EXPECT_EQ(p.to_fen(), "P3k3/8/8/8/8/8/8/4K2p w - - 0 1");
}

struct CastlingCase {
    const char* fen;
    const char* rights;  // as to_fen writes them
};

const CastlingCase CASTLING_CASES[] = {
    {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "KQkq"},
    {"r3k2r/8/8/8/8/8/8/R4K1R w KQkq - 0 1", "HAkq"},  // king off e1: Chess960 rights
    {"r2k3r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "KQha"},  // king off e8
    {"r3k2r/8/8/8/8/8/8/R3K2R w qkQK - 0 1", "KQkq"},  // any order in, fixed order out
    {"r3k2r/8/8/8/8/8/8/R3K2R w -K-k- - 0 1", "Kk"},   // "-" adds nothing
    {"r3k2r/8/8/8/8/8/8/R3K2R w KKKK - 0 1", "K"},
    {"r3k2r/8/8/8/8/8/8/R3K2R w - - 0 1", "-"},
};

TEST(FenReading, CastlingRightsWrittenBack) {
    for (const CastlingCase& c : CASTLING_CASES) {
        Position p = from_fen(c.fen);
        std::string fen = p.to_fen();
        std::size_t side = fen.find(' ');
        std::size_t rights_end = fen.find(' ', side + 3);
        EXPECT_EQ(fen.substr(side + 3, rights_end - side - 3), c.rights) << c.fen;
        EXPECT_EQ(incremental_keys(p), keys_from_scratch(p)) << c.fen;
    }
}

struct EpCase {
    const char* fen;
    const char* kept;  // the en-passant square after reading, or "-"
};

const EpCase EP_CASES[] = {
    // After 1. e4 no black pawn can take on e3.
    {"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1", "-"},
    {"rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1", "e3"},
    {"rnbqkbnr/ppppp1pp/8/8/4Pp2/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1", "e3"},
    {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "d6"},
    {"4k3/8/8/2Pp4/8/8/8/4K3 w - d6 0 1", "d6"},
    {"4k3/8/8/3p3P/8/8/8/4K3 w - d6 0 1", "-"},  // no white pawn next to d5
    {"4k3/8/8/3pP3/8/8/8/4K3 b - d6 0 1", "-"},  // the wrong side to move
    // A square with a capturing pawn beside it but no double push behind it is dropped too:
    // otherwise the capture would remove a piece that is not there.
    {"4k3/8/8/8/8/8/3P4/4K3 w - e3 0 1", "-"},     // wrong rank for the side to move
    {"4k3/8/8/3P4/8/8/8/4K3 w - e6 0 1", "-"},     // no black pawn on e5
    {"4k3/8/4n3/3Pp3/8/8/8/4K3 w - e6 0 1", "-"},  // e6 occupied
    {"4k3/4n3/8/3Pp3/8/8/8/4K3 w - e6 0 1", "-"},  // e7 occupied: no pawn came from there
    {"4k3/8/8/3PN3/8/8/8/4K3 w - e6 0 1", "-"},    // a knight, not a pawn, on e5
    {"4k3/8/8/8/3pP3/8/8/4K3 b - e5 0 1", "-"},
    {"4k3/8/8/8/3pP3/8/4N3/4K3 b - e3 0 1", "-"},  // e2 occupied
};

TEST(FenReading, EnPassantSquareKeptOnlyWhenCapturable) {
    for (const EpCase& c : EP_CASES) {
        Position p = from_fen(c.fen);
        const std::string kept = p.ep_square() < 64 ? square_name(p.ep_square()) : "-";
        EXPECT_EQ(kept, c.kept) << c.fen;
        EXPECT_EQ(incremental_keys(p), keys_from_scratch(p)) << c.fen;
    }
    // A dropped square leaves no trace in the key.
    EXPECT_EQ(from_fen("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1").key(),
              from_fen("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1").key());
    // A kept one does.
    EXPECT_EQ(from_fen("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1").key(),
              from_fen("4k3/8/8/3pP3/8/8/8/4K3 w - - 0 1").key() ^ zobrist::KEYS[784 + 3]);
}

struct ClockCase {
    const char* halfmove;
    const char* fullmove;
    int want_halfmove;
    std::uint32_t want_fullmove;
};

const ClockCase CLOCK_CASES[] = {
    {"0", "1", 0, 1},
    {"12", "34", 12, 34},
    {"65535", "4294967295", 65535, 4294967295u},
    {"65536", "4294967296", 0, 1},  // out of range
    {"-1", "-1", 0, 1},
    {"x", "y", 0, 1},
    {"1.5", "2.5", 0, 1},
    {"7", "0", 7, 1},  // full-move 0 reads as 1
    {"007", "008", 7, 8},
    {"\xEF\xBC\x91", "\xEF\xBC\x92", 0, 1},  // full-width digits are not digits
};

TEST(FenReading, Clocks) {
    for (const ClockCase& c : CLOCK_CASES) {
        std::string fen = std::string("4k3/8/8/8/8/8/8/4K3 w - - ") + c.halfmove + " " + c.fullmove;
        Position p = from_fen(fen);
        EXPECT_EQ(p.halfmove(), c.want_halfmove) << fen;
        EXPECT_EQ(p.fullmove(), c.want_fullmove) << fen;
    }
    EXPECT_EQ(from_fen("4k3/8/8/8/8/8/8/4K3 w - - 5").fullmove(), 1u);
}

TEST(FenReading, CheckersOfTheSideToMove) {
    EXPECT_EQ(from_fen("4k3/8/8/8/8/8/4q3/4K3 w - - 0 1").checkers(), bit(sq("e2")));
    EXPECT_EQ(from_fen("4k3/8/8/8/1b6/5n2/8/4K3 w - - 0 1").checkers(), bit(sq("b4")) | bit(sq("f3")));
    EXPECT_EQ(from_fen(START_FEN).checkers(), 0u);
}

// ---------------------------------------------------------------------------------------
// FEN writing and the diagram

const char* ROUND_TRIP_FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 3",
    "rnbqkb1r/ppppp1pp/7n/4Pp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "8/8/8/8/8/8/8/K6k b - - 99 200",
    "7k/8/8/8/8/8/8/K7 w - - 65535 4294967295",
    "r3k3/8/8/8/8/8/8/4K2R b Kq - 3 40",
    "8/P1k5/K7/8/8/8/8/8 w - - 0 1",
    "1nbqkbn1/pppppppp/8/8/8/8/PPPPPPPP/1NBQKBN1 w - - 0 1",
    "R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNN1KB1 w - - 0 1",
};

TEST(FenWriting, RoundTrips) {
    for (const char* fen : ROUND_TRIP_FENS) {
        Position p = from_fen(fen);
        EXPECT_EQ(p.to_fen(), fen);
        EXPECT_EQ(from_fen(p.to_fen()).key(), p.key()) << fen;
        expect_consistent(p, fen);
    }
}

TEST(Diagram, StartPositionExactly) {
    Position p = Position::startpos();
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(p.key()));
    const std::string expected =
        " 8  r n b q k b n r\n"
        " 7  p p p p p p p p\n"
        " 6  . . . . . . . .\n"
        " 5  . . . . . . . .\n"
        " 4  . . . . . . . .\n"
        " 3  . . . . . . . .\n"
        " 2  P P P P P P P P\n"
        " 1  R N B Q K B N R\n"
        "\n"
        "    a b c d e f g h\n"
        "\n"
        "FEN: rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1\n"
        "Hash: "
        + std::string(hash);
    EXPECT_EQ(p.diagram(), expected);
}

TEST(Diagram, HashIsSixteenLowerCaseHexDigits) {
    // Black to move and kings only: check the hash line on a few different keys.
    for (const char* fen : {"4k3/8/8/8/8/8/8/4K3 w - - 0 1", "4k3/8/8/8/8/8/8/4K3 b - - 0 1",
                            "k7/8/8/8/8/8/8/7K b - - 0 1"}) {
        Position p = from_fen(fen);
        std::string d = p.diagram();
        std::size_t at = d.rfind("Hash: ");
        ASSERT_NE(at, std::string::npos);
        std::string hex = d.substr(at + 6);
        ASSERT_EQ(hex.size(), 16u) << fen;
        for (char c : hex) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << hex;
        EXPECT_EQ(std::stoull(hex, nullptr, 16), p.key());
        EXPECT_NE(d.find("FEN: " + p.to_fen() + "\n"), std::string::npos);
    }
}

// ---------------------------------------------------------------------------------------
// Make and unmake

TEST(MakeUnmake, RestoresEveryFieldAndKeyAlongRandomGames) {
    int positions = 0, moves_checked = 0;
    random_games(40, 120, 0xC0FFEE01ULL, [&](Position& pos) {
        ++positions;
        const Snapshot before = snapshot(pos);
        MoveList moves;
        movegen::generate_all(pos, moves);
        for (Move m : moves) {
            pos.make_move(m);
            ++moves_checked;
            ASSERT_EQ(pos.history().size(), before.history + 1);
            ASSERT_EQ(incremental_keys(pos), keys_from_scratch(pos))
                << pos.to_fen() << " after " << move_to_uci(m);
            pos.unmake_move(m);
            ASSERT_TRUE(snapshot(pos) == before)
                << "after " << move_to_uci(m) << " in " << pos.to_fen();
        }
        expect_consistent(pos, pos.to_fen());
    });
    EXPECT_GT(positions, 2000);
    EXPECT_GT(moves_checked, 50000);
}

TEST(MakeUnmake, IncrementalKeysMatchAReadOfTheWrittenFen) {
    // from_fen drops an en-passant square no pawn can take, exactly as make_move does, so
    // the position read back from to_fen has the very same keys and clocks.
    random_games(30, 150, 0xFEEDF00DULL, [&](Position& pos) {
        const std::string fen = pos.to_fen();
        Position again = from_fen(fen);
        ASSERT_EQ(incremental_keys(again), incremental_keys(pos)) << fen;
        ASSERT_EQ(again.to_fen(), fen);
        ASSERT_EQ(again.checkers(), pos.checkers()) << fen;
    });
}

TEST(MakeUnmake, RecordsWhatEachMoveChanges) {
    struct Case {
        const char* fen;
        const char* move;
        const char* after;
        Piece captured;
    };
    const Case cases[] = {
        {START_FEN.data(), "e2e4", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1",
         NO_PIECE},
        {"rnbqkbnr/ppp1pppp/8/8/3p4/8/PPPPPPPP/RNBQKBNR w KQkq - 0 3", "e2e4",
         "rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 3", NO_PIECE},
        {"rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 3", "d4e3",
         "rnbqkbnr/ppp1pppp/8/8/8/4p3/PPPP1PPP/RNBQKBNR w KQkq - 0 4", make_piece(WHITE, PAWN)},
        {KIWIPETE.data(), "e1g1",
         "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R4RK1 b kq - 1 1", NO_PIECE},
        {KIWIPETE.data(), "e1c1",
         "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/2KR3R b kq - 1 1", NO_PIECE},
        {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq - 0 1", "e8c8",
         "2kr3r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQ - 1 2", NO_PIECE},
        {KIWIPETE.data(), "a1b1",
         "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/1R2K2R b Kkq - 1 1", NO_PIECE},
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 5 9", "a1a8", "R3k2r/8/8/8/8/8/8/4K2R b Kk - 0 9",
         make_piece(BLACK, ROOK)},
        {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 5 9", "h8h1", "r3k3/8/8/8/8/8/8/R3K2r w Qq - 0 10",
         make_piece(WHITE, ROOK)},
        {"4k3/1P6/8/8/8/8/8/4K3 w - - 9 9", "b7b8n", "1N2k3/8/8/8/8/8/8/4K3 b - - 0 9", NO_PIECE},
        {"r3k3/1P6/8/8/8/8/8/4K3 w q - 9 9", "b7a8q", "Q3k3/8/8/8/8/8/8/4K3 b - - 0 9",
         make_piece(BLACK, ROOK)},
        {"4k3/8/8/8/8/8/6p1/4K2R b K - 0 30", "g2h1r", "4k3/8/8/8/8/8/8/4K2r w - - 0 31",
         make_piece(WHITE, ROOK)},
    };
    for (const Case& c : cases) {
        Position p = from_fen(c.fen);
        const Snapshot before = snapshot(p);
        std::optional<Move> m = p.parse_uci_move(c.move);
        ASSERT_TRUE(m) << c.move << " in " << c.fen;
        p.make_move(*m);
        EXPECT_EQ(p.to_fen(), c.after) << c.move;
        EXPECT_EQ(p.captured(), c.captured) << c.move;
        EXPECT_EQ(incremental_keys(p), keys_from_scratch(p)) << c.move;
        EXPECT_EQ(p.history().back().key, before.key);
        p.unmake_move(*m);
        EXPECT_TRUE(snapshot(p) == before) << c.move;
    }
}

TEST(MakeUnmake, UnmakeWithoutMakeIsFatal) {
    Position p = Position::startpos();
    try {
        p.unmake_move(make_move(sq("e2"), sq("e4"), DOUBLE_PUSH));
        ADD_FAILURE() << "no fatal stop";
    } catch (const FatalError& e) {
        EXPECT_EQ(e.message, "unmake without make");
    }
    try {
        p.unmake_null();
        ADD_FAILURE() << "no fatal stop";
    } catch (const FatalError& e) {
        EXPECT_EQ(e.message, "unmake_null without make_null");
    }
}

TEST(NullMove, FlipsOnlySideKeyClocksAndEnPassant) {
    const char* fens[] = {
        START_FEN.data(),
        "rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 3",
        "4k3/8/8/3pP3/8/8/8/4K3 w - d6 17 40",
        KIWIPETE.data(),
    };
    for (int i = 0; i < static_cast<int>(std::size(fens)) + 1; ++i) {
        // The last case comes right after a capture, so there is a captured piece to clear.
        const bool after_capture = i == static_cast<int>(std::size(fens));
        Position p = after_capture ? from_fen("4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1") : from_fen(fens[i]);
        if (after_capture) p.make_move(*p.parse_uci_move("e4d5"));
        SCOPED_TRACE(p.to_fen());
        const Snapshot before = snapshot(p);
        p.make_null();
        Snapshot after = snapshot(p);
        EXPECT_EQ(after.side, before.side ^ 1);
        EXPECT_EQ(after.ep, NO_SQUARE);
        EXPECT_EQ(after.checkers, 0u);
        EXPECT_EQ(after.captured, NO_PIECE);
        EXPECT_EQ(after.halfmove, before.halfmove + 1);
        EXPECT_EQ(after.fullmove, before.fullmove);
        EXPECT_EQ(after.history, before.history + 1);
        std::uint64_t expected_key = before.key ^ zobrist::KEYS[792];
        if (before.ep < 64) expected_key ^= zobrist::KEYS[784 + file_of(before.ep)];
        EXPECT_EQ(after.key, expected_key);
        EXPECT_EQ(incremental_keys(p), keys_from_scratch(p));
        // Nothing else moves.
        EXPECT_EQ(after.board, before.board);
        EXPECT_EQ(after.bitboards, before.bitboards);
        EXPECT_EQ(after.castling, before.castling);
        EXPECT_EQ(after.pawn_key, before.pawn_key);
        EXPECT_EQ(after.minor_key, before.minor_key);
        EXPECT_EQ(after.nonpawn_white, before.nonpawn_white);
        EXPECT_EQ(after.nonpawn_black, before.nonpawn_black);
        p.unmake_null();
        EXPECT_TRUE(snapshot(p) == before);
    }
}

TEST(NullMove, NestsWithMovesAlongRandomGames) {
    random_games(10, 80, 0x0BADC0DEULL, [&](Position& pos) {
        if (pos.in_check()) return;
        const Snapshot before = snapshot(pos);
        pos.make_null();
        MoveList moves;
        movegen::generate_all(pos, moves);
        for (Move m : moves) {
            pos.make_move(m);
            ASSERT_EQ(incremental_keys(pos), keys_from_scratch(pos));
            pos.unmake_move(m);
        }
        pos.unmake_null();
        ASSERT_TRUE(snapshot(pos) == before);
    });
}

// ---------------------------------------------------------------------------------------
// Attack queries and check detection

TEST(Attacks, AttackersToAndIsAttackedAgree) {
    random_games(12, 100, 0xA77AC4EDULL, [&](Position& pos) {
        for (Bitboard occ : {pos.pieces(), pos.pieces() & ~pos.kind(PAWN), Bitboard{0}}) {
            for (int s = 0; s < 64; ++s) {
                Bitboard a = pos.attackers_to(s, occ);
                ASSERT_EQ(pos.is_attacked(s, WHITE, occ), (a & pos.pieces(WHITE)) != 0);
                ASSERT_EQ(pos.is_attacked(s, BLACK, occ), (a & pos.pieces(BLACK)) != 0);
            }
        }
    });
    // Pawns attack diagonally forward only; sliders stop at the given occupancy.
    Position p = from_fen("4k3/8/8/3p4/4P3/8/8/R3K3 w - - 0 1");
    EXPECT_EQ(p.attackers_to(sq("d5"), p.pieces()), bit(sq("e4")));
    EXPECT_EQ(p.attackers_to(sq("e4"), p.pieces()), bit(sq("d5")));
    EXPECT_EQ(p.attackers_to(sq("a8"), p.pieces()), bit(sq("a1")));
    EXPECT_EQ(p.attackers_to(sq("f1"), p.pieces()), bit(sq("e1")));
    EXPECT_EQ(p.attackers_to(sq("f1"), 0), bit(sq("e1")) | bit(sq("a1")));
}

TEST(GivesCheck, HandPickedMoves) {
    struct Case {
        const char* fen;
        const char* move;
        bool check;
    };
    const Case cases[] = {
        {"5k2/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1", true},  // the castled rook checks
        {"3k4/8/8/8/8/8/8/R3K3 w Q - 0 1", "e1c1", true},
        {"4k3/8/8/8/8/8/8/R3K3 w Q - 0 1", "e1c1", false},
        {"4K3/8/8/R2pP2k/8/8/8/8 w - d6 0 1", "e5d6", true},    // both pawns leave the rank
        {"8/2k5/8/4pP2/8/6B1/8/4K3 w - e6 0 1", "f5e6", true},  // the captured pawn uncovers
        {"8/8/8/8/k3P2R/8/8/4K3 w - - 0 1", "e4e5", true},      // discovered along the rank
        {"4k3/8/8/8/8/8/4B3/4R1K1 w - - 0 1", "e2d3", true},    // discovered by the bishop
        {"4k3/8/8/8/8/8/4B3/4R1K1 w - - 0 1", "e2b5", true},    // direct and discovered
        {"2k5/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8q", true},     // through the square it left
        {"2k5/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8r", true},
        {"2k5/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8b", false},
        {"2k5/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8n", false},
        {"8/4P3/3k4/8/8/8/8/4K3 w - - 0 1", "e7e8n", true},
        {"8/4P3/3k4/8/8/8/8/4K3 w - - 0 1", "e7e8q", false},
        {"6k1/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8n", false},
        {"3k4/8/4P3/8/8/8/8/4K3 w - - 0 1", "e6e7", true},  // pawn check
        {"7k/8/8/8/8/8/8/K5R1 w - - 0 1", "a1b1", false},   // a king never checks directly
        {"k7/8/8/8/8/8/K7/R7 w - - 0 1", "a2b2", true},     // a king move discovers
        {"4k3/8/8/8/8/8/8/3QK3 w - - 0 1", "d1d7", true},
        {"4k3/8/8/8/8/8/8/3QK3 w - - 0 1", "d1h5", true},
        {"4k3/8/8/8/8/8/8/3QK3 w - - 0 1", "d1d6", false},
    };
    for (const Case& c : cases) {
        Position p = from_fen(c.fen);
        std::optional<Move> m = p.parse_uci_move(c.move);
        ASSERT_TRUE(m) << c.move << " in " << c.fen;
        EXPECT_EQ(p.gives_check(*m), c.check) << c.move << " in " << c.fen;
        Position after = p;
        after.make_move(*m);
        EXPECT_EQ(after.in_check(), c.check) << "reference disagrees: " << c.move;
    }
}

TEST(GivesCheck, AgreesWithMakingTheMoveOnEveryLegalMove) {
    const char* extra[] = {
        // en passant with discoveries on ranks and diagonals, promotions, castles that check
        "8/8/8/8/k2Pp2Q/8/8/3K4 b - d3 0 1",
        "8/8/8/K2pP2q/8/8/8/3k4 w - d6 0 1",
        "8/2k5/8/4pP2/8/6B1/8/4K3 w - e6 0 1",
        "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
        "2r1k2r/8/8/8/8/8/8/R3K1R1 b k - 0 1",
        "4k2r/8/8/8/8/8/8/5K2 b k - 0 1",
        "1n1rk3/P1P5/8/8/8/8/8/4K3 w - - 0 1",
        "4k3/8/8/8/8/8/1pp5/R3K3 b Q - 0 1",
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    };
    int checks = 0, moves_checked = 0;
    auto check_all = [&](Position& pos) {
        MoveList moves;
        movegen::generate_all(pos, moves);
        const CheckInfo info = pos.check_info();
        for (Move m : moves) {
            bool predicted = pos.gives_check(m);
            ASSERT_EQ(pos.gives_check(m, info), predicted) << move_to_uci(m) << " in " << pos.to_fen();
            pos.make_move(m);
            bool actual = pos.in_check();
            pos.unmake_move(m);
            ++moves_checked;
            checks += actual;
            ASSERT_EQ(predicted, actual) << move_to_uci(m) << " in " << pos.to_fen();
        }
    };
    for (const char* fen : extra) {
        Position p = from_fen(fen);
        check_all(p);
    }
    random_games(60, 120, 0x5EE0C4ECULL, check_all);
    EXPECT_GT(checks, 1000);
    EXPECT_GT(moves_checked, 100000);
}

// ---------------------------------------------------------------------------------------
// UCI move parsing

TEST(ParseUciMove, Cases) {
    struct Case {
        const char* fen;
        const char* text;
        Move expected;  // 0 = not found
    };
    const Case cases[] = {
        {START_FEN.data(), "e2e4", make_move(sq("e2"), sq("e4"), DOUBLE_PUSH)},
        {START_FEN.data(), "e2e3", make_move(sq("e2"), sq("e3"), QUIET)},
        {START_FEN.data(), "g1f3", make_move(sq("g1"), sq("f3"), QUIET)},
        {START_FEN.data(), "e2e5", 0},
        {START_FEN.data(), "e7e5", 0},  // not the side to move
        {START_FEN.data(), "E2E4", 0},
        {START_FEN.data(), "e2e4 ", 0},
        {START_FEN.data(), " e2e4", 0},
        {START_FEN.data(), "e2e4q", 0},
        {START_FEN.data(), "e2", 0},
        {START_FEN.data(), "", 0},
        {START_FEN.data(), "0000", 0},
        {START_FEN.data(), "zzzz", 0},
        {START_FEN.data(), "e2-e4", 0},
        {START_FEN.data(), "e2e4e5e6", 0},
        {START_FEN.data(),
         "\xC3\xA9"
         "2e4",
         0},
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1g1",
         make_move(sq("e1"), sq("g1"), KING_CASTLE)},
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1c1",
         make_move(sq("e1"), sq("c1"), QUEEN_CASTLE)},
        {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "e8g8",
         make_move(sq("e8"), sq("g8"), KING_CASTLE)},
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1h1", 0},  // castles as rook moves are not read
        {"r3k2r/8/8/8/8/8/8/R3K2R w kq - 0 1", "e1g1", 0},    // no right
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1f1", make_move(sq("e1"), sq("f1"), QUIET)},
        {"4k3/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8q", 0},  // blocked
        {"2k5/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8q",
         make_move(sq("e7"), sq("e8"), PROMO_KNIGHT + 3)},
        {"2k5/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8n", make_move(sq("e7"), sq("e8"), PROMO_KNIGHT)},
        {"2k5/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8Q", 0},  // upper-case promotion
        {"2k5/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8", 0},   // promotion without a piece
        {"2k5/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8k", 0},
        {"2k2r2/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7f8b",
         make_move(sq("e7"), sq("f8"), PROMO_CAPTURE_KNIGHT + 1)},
        {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6", make_move(sq("e5"), sq("d6"), EN_PASSANT)},
        {"4k3/8/8/3pP3/8/8/8/4K3 w - - 0 1", "e5d6", 0},
    };
    for (const Case& c : cases) {
        Position p = from_fen(c.fen);
        std::optional<Move> m = p.parse_uci_move(c.text);
        EXPECT_EQ(m.value_or(0), c.expected) << "'" << c.text << "' in " << c.fen;
    }
    EXPECT_FALSE(Position::startpos().parse_uci_move(std::string(1000, 'e')));
    EXPECT_FALSE(Position::startpos().parse_uci_move(std::string_view("e2\0e4", 5)));
}

TEST(ParseUciMove, FindsEveryGeneratedMoveByItsText) {
    random_games(10, 100, 0x7E47ULL, [&](Position& pos) {
        MoveList moves;
        movegen::generate_all(pos, moves);
        for (Move m : moves) ASSERT_EQ(pos.parse_uci_move(move_to_uci(m)).value_or(0), m);
    });
}

// ---------------------------------------------------------------------------------------
// Draw rules

Position play(std::string_view fen, std::initializer_list<const char*> moves) {
    Position p = from_fen(fen);
    for (const char* text : moves) {
        std::optional<Move> m = p.parse_uci_move(text);
        EXPECT_TRUE(m) << text;
        if (m) p.make_move(*m);
    }
    return p;
}

TEST(Repetition, WithinTheHalfMoveClock) {
    EXPECT_FALSE(Position::startpos().is_repetition());
    EXPECT_FALSE(play(START_FEN, {"g1f3", "g8f6", "f3g1"}).is_repetition());
    EXPECT_TRUE(play(START_FEN, {"g1f3", "g8f6", "f3g1", "f6g8"}).is_repetition());
    EXPECT_FALSE(play(START_FEN, {"g1f3", "g8f6", "f3g1", "f6g8", "b1c3"}).is_repetition());
    EXPECT_TRUE(play(START_FEN, {"g1f3", "g8f6", "f3g1", "f6g8", "b1c3", "b8c6", "c3b1", "c6b8"})
                    .is_repetition());
    // Six plies back, and nothing four plies back.
    EXPECT_TRUE(
        play("4k3/8/8/8/8/8/8/R3K3 w - - 0 1", {"a1a2", "e8d8", "a2a3", "d8d7", "a3a1", "d7e8"})
            .is_repetition());
    // The same squares with the other side to move are no repetition.
    EXPECT_FALSE(play("4k3/8/8/8/8/8/8/R3K3 w - - 0 1", {"a1a2", "e8d8", "a2a1", "d8e8", "e1d1"})
                     .is_repetition());
    // A pawn move resets the clock: positions before it are never looked at.
    EXPECT_FALSE(play(START_FEN, {"g1f3", "g8f6", "f3g1", "f6g8", "e2e4"}).is_repetition());
    // Keys include the castling rights: moving the king out and back is not a repetition.
    EXPECT_FALSE(play("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", {"e1f1", "e8f8", "f1e1", "f8e8"})
                     .is_repetition());
    // A clock read from the FEN cannot reach before the undo stack.
    EXPECT_FALSE(play("4k3/8/8/8/8/8/8/R3K3 w - - 90 60", {"a1a2", "e8d8"}).is_repetition());
    EXPECT_TRUE(
        play("4k3/8/8/8/8/8/8/R3K3 w - - 90 60", {"a1a2", "e8d8", "a2a1", "d8e8"}).is_repetition());
}

TEST(InsufficientMaterial, Table) {
    struct Case {
        const char* fen;
        bool insufficient;
    };
    const Case cases[] = {
        {"4k3/8/8/8/8/8/8/4K3 w - - 0 1", true},
        {"4k3/8/8/8/8/8/8/4KN2 w - - 0 1", true},
        {"4k3/8/8/8/8/8/8/4KB2 w - - 0 1", true},
        {"4kb2/8/8/8/8/8/8/4K3 w - - 0 1", true},
        {"4kn2/8/8/8/8/8/8/4K3 b - - 0 1", true},
        {"4kb2/8/8/8/8/8/8/4KB2 w - - 0 1", false},
        {"4k3/8/8/8/8/8/8/3NKN2 w - - 0 1", false},
        {"4kn2/8/8/8/8/8/8/4KB2 w - - 0 1", false},
        {"4k3/8/8/8/8/8/4P3/4K3 w - - 0 1", false},
        {"4k3/4p3/8/8/8/8/8/4K3 w - - 0 1", false},
        {"4k3/8/8/8/8/8/8/4KR2 w - - 0 1", false},
        {"4k3/8/8/8/8/8/8/4KQ2 w - - 0 1", false},
        {START_FEN.data(), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(from_fen(c.fen).insufficient_material(), c.insufficient) << c.fen;
}

TEST(Copies, CarryTheirHistory) {
    Position p = play(START_FEN, {"g1f3", "g8f6", "f3g1"});
    Position copy = p;
    EXPECT_EQ(copy.history().size(), 3u);
    const Move back = make_move(sq("f6"), sq("g8"), QUIET);
    copy.make_move(back);
    EXPECT_TRUE(copy.is_repetition());
    EXPECT_FALSE(p.is_repetition());
    EXPECT_EQ(p.history().size(), 3u);  // the original is untouched
    copy.unmake_move(back);
    EXPECT_TRUE(snapshot(copy) == snapshot(p));
}

}  // namespace
}  // namespace orvane
