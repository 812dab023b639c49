// Random and mutated FEN text through the reader, and random command lines through the
// engine's command handler. Whatever is accepted must be a position the rest of the engine
// can work with: it writes back to a FEN that reads to the same key, and every legal move
// makes and unmakes cleanly. All randomness comes from fixed rng states.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/board/movegen.h"
#include "core/board/position.h"
#include "support/position_helpers.h"
#include "support/stdout_capture.h"
#include "support/uci_line_maker.h"
#include "uci/engine.h"

namespace orvane {
namespace {

using Rng = std::mt19937_64;
using namespace std::string_literals;

const char* const SEED_FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 3",
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNN1KB1 w - - 0 1",
};

std::size_t pick(Rng& rng, std::size_t n) { return static_cast<std::size_t>(rng() % n); }

// A few characters from everywhere: FEN letters, digits 0 and 9, separators, and non-ASCII
// text (accented letters, Unicode spaces, broken UTF-8, NUL).
std::string random_piece_of_text(Rng& rng) {
    static const char* const PIECES[] = {
        "P",    "N",    "B",        "R", "Q", "K",  "p",        "n",        "b",
        "r",    "q",    "k",        "1", "2", "3",  "4",        "5",        "6",
        "7",    "8",    "0",        "9", "/", " ",  "w",        "b",        "-",
        "a",    "e",    "h",        "3", "6", "\t", "\xC3\xA9", "\xC2\xA0", "\xE3\x80\x80",
        "\xFF", "\x80", "\xE2\x80", "x", "+",
    };
    if (rng() % 50 == 0) return std::string(1, '\0');
    return PIECES[pick(rng, std::size(PIECES))];
}

std::string random_bytes(Rng& rng, std::size_t length) {
    std::string s;
    for (std::size_t i = 0; i < length; ++i) s += static_cast<char>(rng() & 0xFF);
    return s;
}

std::string random_square(Rng& rng) {
    return {static_cast<char>('a' + pick(rng, 8)), static_cast<char>('1' + pick(rng, 8))};
}

// A well-formed FEN of a random board: two kings and a handful of random pieces anywhere,
// with random side, rights, en-passant square and clocks. Many are rejected; those accepted
// are the strange but valid positions (pawns on the back ranks, checks from several pieces,
// rights and en-passant squares that need dropping).
std::string random_board_fen(Rng& rng) {
    std::string board(64, '.');
    if (rng() % 3 == 0) {
        // Kings and rooks at home, so that castling rights survive now and then.
        board[0] = board[7] = 'R';
        board[56] = board[63] = 'r';
        board[4] = 'K';
        board[60] = 'k';
    } else {
        board[pick(rng, 64)] = 'K';
        for (;;) {
            std::size_t s = pick(rng, 64);
            if (board[s] == '.') {
                board[s] = 'k';
                break;
            }
        }
    }
    const int pieces = static_cast<int>(pick(rng, 20));
    for (int i = 0; i < pieces; ++i) {
        std::size_t s = pick(rng, 64);
        if (board[s] == '.') board[s] = "PNBRQpnbrqPPpp"[pick(rng, 14)];
    }
    std::string fen = placement_field(board);
    fen += rng() % 2 ? " w " : " b ";
    std::string rights;
    for (char c : std::string("KQkq"))
        if (rng() % 2) rights += c;
    fen += rights.empty() ? "-" : rights;
    fen += ' ';
    fen += rng() % 3 ? random_square(rng) : std::string("-");
    fen += ' ';
    fen += std::to_string(pick(rng, 120));
    fen += ' ';
    fen += std::to_string(pick(rng, 300));
    return fen;
}

std::vector<std::string> fields_of(const std::string& fen) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < fen.size()) {
        std::size_t j = fen.find(' ', i);
        if (j == std::string::npos) j = fen.size();
        if (j > i) out.push_back(fen.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::string mutate(Rng& rng, std::string fen) {
    const int edits = 1 + static_cast<int>(pick(rng, 4));
    for (int e = 0; e < edits; ++e) {
        switch (pick(rng, 8)) {
            case 0:  // replace a character
                if (!fen.empty()) fen[pick(rng, fen.size())] = random_piece_of_text(rng)[0];
                break;
            case 1:  // insert some text
                fen.insert(fen.empty() ? 0 : pick(rng, fen.size() + 1), random_piece_of_text(rng));
                break;
            case 2:  // delete a stretch
                if (!fen.empty()) {
                    std::size_t at = pick(rng, fen.size());
                    fen.erase(at, 1 + pick(rng, 4));
                }
                break;
            case 3: {  // a new en-passant square
                std::vector<std::string> f = fields_of(fen);
                if (f.size() >= 4) {
                    f[3] = random_square(rng);
                    fen.clear();
                    for (const std::string& x : f) fen += (fen.empty() ? "" : " ") + x;
                }
                break;
            }
            case 4: {  // new castling rights
                std::vector<std::string> f = fields_of(fen);
                if (f.size() >= 3) {
                    f[2] = rng() % 2 ? "KQkq" : std::string("KQkq").substr(pick(rng, 4));
                    fen.clear();
                    for (const std::string& x : f) fen += (fen.empty() ? "" : " ") + x;
                }
                break;
            }
            case 5:  // flip the side to move
                if (std::size_t at = fen.find(" w "); at != std::string::npos)
                    fen[at + 1] = 'b';
                else if (std::size_t bt = fen.find(" b "); bt != std::string::npos)
                    fen[bt + 1] = 'w';
                break;
            case 6:  // cut the text short
                fen.resize(pick(rng, fen.size() + 1));
                break;
            default:  // swap two characters
                if (fen.size() > 1)
                    std::swap(fen[pick(rng, fen.size())], fen[pick(rng, fen.size())]);
                break;
        }
    }
    return fen;
}

// Everything the engine relies on, for one accepted position. Returns a description of the
// first problem, or an empty string.
std::string check_accepted(Position pos) {
    const std::string fen = pos.to_fen();
    FenResult again = Position::from_fen(fen);
    if (!std::holds_alternative<Position>(again)) return "to_fen does not read back: " + fen;
    const Position& reread = std::get<Position>(again);
    if (reread.key() != pos.key()) return "key changes when read back: " + fen;
    if (reread.to_fen() != fen) return "to_fen is not stable: " + fen;
    if (pos.is_attacked(pos.king_square(pos.side() ^ 1), pos.side(), pos.pieces()))
        return "side not to move in check: " + fen;

    MoveList all, noisy, quiet;
    movegen::generate_all(pos, all);
    movegen::generate_noisy(pos, noisy);
    movegen::generate_quiet(pos, quiet);
    if (noisy.size() + quiet.size() != all.size()) return "noisy + quiet != all: " + fen;
    if (movegen::has_legal_move(pos) != !all.empty()) return "has_legal_move disagrees: " + fen;

    std::uint64_t two_ply = 0;
    for (Move m : all) {
        if (!movegen::is_legal_move(pos, m))
            return "is_legal_move rejects " + move_to_uci(m) + ": " + fen;
        pos.make_move(m);
        const std::string child = pos.to_fen();
        FenResult c = Position::from_fen(child);
        if (!std::holds_alternative<Position>(c))
            return "child " + child + " after " + move_to_uci(m) + " does not read: " + fen;
        if (std::get<Position>(c).key() != pos.key())
            return "incremental key differs after " + move_to_uci(m) + ": " + fen;
        two_ply += movegen::perft(pos, 1);
        pos.unmake_move(m);
        if (pos.to_fen() != fen || pos.key() != reread.key())
            return "unmake of " + move_to_uci(m) + " does not restore: " + fen;
    }
    if (movegen::perft(pos, 2) != two_ply) return "perft 2 disagrees with its children: " + fen;
    return {};
}

struct FuzzStats {
    int tried = 0, accepted = 0;
    std::vector<std::string> problems;
};

void feed(FuzzStats& stats, std::string_view text) {
    ++stats.tried;
    FenResult r = Position::from_fen(text);
    if (auto* e = std::get_if<FenError>(&r)) {
        if (e->message.empty()) stats.problems.push_back("empty error message");
        return;
    }
    ++stats.accepted;
    std::string problem = check_accepted(std::get<Position>(std::move(r)));
    if (!problem.empty() && stats.problems.size() < 20) stats.problems.push_back(problem);
}

TEST(FenFuzz, RandomBoards) {
    Rng rng(0xF0E1D2C3ULL);
    FuzzStats stats;
    for (int i = 0; i < 3000; ++i) feed(stats, random_board_fen(rng));
    for (const std::string& p : stats.problems) ADD_FAILURE() << p;
    EXPECT_GT(stats.accepted, 700);  // rights without their rook are refused
}

TEST(FenFuzz, MutatedFens) {
    Rng rng(0x13579BDFULL);
    FuzzStats stats;
    for (int i = 0; i < 3000; ++i) {
        std::string base = rng() % 4 ? std::string(SEED_FENS[pick(rng, std::size(SEED_FENS))])
                                     : random_board_fen(rng);
        feed(stats, mutate(rng, base));
    }
    for (const std::string& p : stats.problems) ADD_FAILURE() << p;
    EXPECT_GT(stats.accepted, 300);
}

TEST(FenFuzz, RandomTextAndBytes) {
    Rng rng(0x2468ACE0ULL);
    FuzzStats stats;
    for (int i = 0; i < 3000; ++i) {
        std::string s;
        const std::size_t n = pick(rng, 80);
        for (std::size_t j = 0; j < n; ++j) s += random_piece_of_text(rng);
        feed(stats, s);
        feed(stats, random_bytes(rng, pick(rng, 100)));
    }
    for (const std::string& p : stats.problems) ADD_FAILURE() << p;
}

TEST(FenFuzz, HandPickedOddities) {
    FuzzStats stats;
    const std::string long_digits(200'000, '1');
    const std::string oddities[] = {
        "",
        std::string(100'000, ' '),
        std::string(100'000, '/'),
        std::string(100'000, '8') + "k/K",
        "k" + long_digits + "/K",
        "4k3/8/8/8/8/8/8/4K3 w - - 0 1 " + std::string(100'000, 'x'),
        "4k3/8/8/8/8/8/8/4K3 " + std::string(100'000, 'w'),
        "4k3/8/8/8/8/8/8/4K3 w " + std::string(100'000, 'K'),
        "4k3/8/8/8/8/8/8/4K3 w - - " + long_digits + " " + long_digits,
        "4k4/8/8/8/8/8/8/4K3 w - - 0 1",        // nine files, nothing past h
        "4k3p/8/8/8/8/8/8/4K3 w - - 0 1",       // a piece on a ninth file
        "KKKKKKKKKKKKKKKKKKKK/8/8/8/8/8/8/k7",  // twenty kings
        "KKKKKKKK/KKKKKKKK/KKKK4/8/8/8/8/k7 w - - 0 1",
        "0k6/8/8/8/8/8/8/K7 w - - 0 1",
        "9k/8/8/8/8/8/8/K7 w - - 0 1",
        "k7/8/8/8/8/8/8/K7 w - - 0 0",
        "k7/8/8/8/8/8/8/K7 w - - 9 9",
        "k7/8/8/8/8/8/8/8/8/8/K7 w - - 0 1",
        "QQQQQQQQ/Q6Q/Q6Q/Q6Q/Q6Q/QQQ2Q1Q/pp1Q3Q/kB2QKQ1 w - - 0 1",  // 257 moves
        "PPPPPPPP/PPPPPPPP/8/8/8/8/8/k6K w - - 0 1",
        "k7/8/8/8/8/8/8/K7 w KQkq a1 0 1",
        "k7/8/8/8/8/8/8/K7 w - h8 0 1",
        "4k3/8/8/8/8/8/3P4/4K3 w - e3 0 1",
        "4k3/8/8/3P4/8/8/8/4K3 w - e6 0 1",
        "4k3/8/4n3/3Pp3/8/8/8/4K3 w - e6 0 1",
        "4k3/8/8/8/3pP3/8/8/4K3 b - e5 0 1",
        "P3k3/8/8/8/8/8/8/4K2p w - a8 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1\n",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR\0w KQkq - 0 1"s,
        "k7/8/8/8/8/8/8/K7\0 b"s,
    };
    for (const std::string& s : oddities) feed(stats, s);
    for (const std::string& p : stats.problems) ADD_FAILURE() << p;
    EXPECT_GT(stats.accepted, 5);
}

// ---------------------------------------------------------------------------------------
// Command lines through the engine

TEST(CommandFuzz, RandomLinesKeepTheEngineSound) {
    // Every line of the command fuzzer but those that start a search, so that the position
    // can be looked at after each one.
    testing::UciLineMaker maker(0xC0DEC0DEULL, false);
    std::vector<std::string> problems;
    int commands = 0;
    {
        testing::StdoutPipe quiet;
        uci::Engine engine;
        while (commands < 1500 && problems.size() <= 10) {
            std::string line = maker.next();
            if (testing::UciLineMaker::starts_search(line)) continue;
            ++commands;
            std::string_view view = line;
            if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
            if (!engine.handle(text::trim(view)))
                problems.push_back("handle returned false for: " + line.substr(0, 200));
            std::string problem = check_accepted(engine.position());
            if (!problem.empty()) problems.push_back(problem + " (after: " + line.substr(0, 200) + ")");
        }
        if (engine.handle("quit")) problems.push_back("quit did not end the loop");
    }
    for (const std::string& p : problems) ADD_FAILURE() << p;
    EXPECT_EQ(commands, 1500);
}

}  // namespace
}  // namespace orvane
