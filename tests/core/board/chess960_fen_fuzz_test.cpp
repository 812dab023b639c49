// Random Chess960 and double Chess960 boards, with pieces taken away or a king stepped off
// its rank, under random castling fields: correct Shredder rights, X-FEN, random letters and
// junk. A refused FEN must say why; an accepted one must write back to a FEN that reads to
// the same key, and every legal move must make, write, read back and unmake cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "core/board/movegen.h"
#include "core/board/position.h"
#include "support/position_helpers.h"

namespace orvane {
namespace {

using Rng = std::mt19937_64;

std::size_t pick(Rng& rng, std::size_t n) { return static_cast<std::size_t>(rng() % n); }

// A Chess960 back rank: bishops on squares of both colours, the king between the rooks.
std::string back_rank(Rng& rng) {
    std::string r(8, '.');
    r[2 * pick(rng, 4)] = 'B';
    r[2 * pick(rng, 4) + 1] = 'B';
    for (char piece : {'Q', 'N', 'N'}) {
        std::size_t k = pick(rng, static_cast<std::size_t>(std::count(r.begin(), r.end(), '.')));
        for (char& c : r)
            if (c == '.' && k-- == 0) c = piece;
    }
    const char* rest = "RKR";
    for (char& c : r)
        if (c == '.') c = *rest++;
    return r;
}

std::string shredder_rights(const std::string& white, const std::string& black) {
    std::string out;
    for (const std::string* rank : {&white, &black}) {
        const bool is_white = rank == &white;
        for (std::size_t f : {rank->rfind('R'), rank->find('R')})
            out += static_cast<char>((is_white ? 'A' : 'a') + f);
    }
    return out;
}

std::string castling_field(Rng& rng, const std::string& white, const std::string& black) {
    static const char* const JUNK[] = {"x", "0", "\xC3\xA9", "\xFF", "K\x80", "--", "Z", "i"};
    static const std::string LETTERS = "KQkqABCDEFGHabcdefgh-";
    switch (pick(rng, 5)) {
        case 0: return shredder_rights(white, black);
        case 1: return "KQkq";
        case 2: return shredder_rights(white, black).substr(pick(rng, 4));
        case 3: {
            std::string s;
            for (std::size_t n = 1 + pick(rng, 5); n > 0; --n)
                s += LETTERS[pick(rng, LETTERS.size())];
            return s;
        }
        default: return shredder_rights(white, black) + JUNK[pick(rng, std::size(JUNK))];
    }
}

std::string random_fen(Rng& rng) {
    const std::string white = back_rank(rng);
    const std::string black = rng() % 2 ? back_rank(rng) : white;
    // rows[0] is rank 1 (white's pieces), rows[7] rank 8.
    std::string rows[8] = {white, "PPPPPPPP", "........", "........",
                           "........", "........", "pppppppp", ""};
    for (char c : black) rows[7] += static_cast<char>(std::tolower(c));
    for (int i = static_cast<int>(pick(rng, 6)); i > 0; --i) {  // take pieces away
        std::string& row = rows[pick(rng, 2) ? pick(rng, 2) : 6 + pick(rng, 2)];
        char& c = row[pick(rng, 8)];
        if (c != 'K' && c != 'k') c = '.';
    }
    if (rng() % 6 == 0) {  // a king steps up, a pawn takes its place
        const std::size_t f = white.find('K');
        std::swap(rows[0][f], rows[1][f]);
        rows[1][f] = 'K';
    }
    std::string squares;
    for (const std::string& row : rows) squares += row;
    std::string fen = placement_field(squares);
    fen += rng() % 2 ? " w " : " b ";
    return fen + castling_field(rng, white, black) + " - 0 1";
}

// The first problem with an accepted position, or an empty string.
std::string check_accepted(Position pos) {
    const std::string fen = pos.to_fen();
    FenResult again = Position::from_fen(fen);
    if (!std::holds_alternative<Position>(again)) return "to_fen does not read back: " + fen;
    if (std::get<Position>(again).key() != pos.key()) return "key changes when read back: " + fen;
    if (std::get<Position>(again).to_fen() != fen) return "to_fen is not stable: " + fen;
    MoveList all;
    movegen::generate_all(pos, all);
    for (Move m : all) {
        const std::string text = pos.notation(true).text(m);
        if (!movegen::is_legal_move(pos, m)) return "is_legal_move rejects " + text + ": " + fen;
        if (pos.parse_uci_move(text, true) != m) return "cannot read back " + text + ": " + fen;
        pos.make_move(m);
        FenResult child = Position::from_fen(pos.to_fen());
        if (!std::holds_alternative<Position>(child)
            || std::get<Position>(child).key() != pos.key())
            return "child after " + text + " does not read back: " + fen;
        pos.unmake_move(m);
        if (pos.to_fen() != fen) return "unmake of " + text + " does not restore: " + fen;
    }
    return {};
}

TEST(Chess960FenFuzz, RandomBoardsAndCastlingFields) {
    Rng rng(0x960F00DULL);
    int accepted = 0, castling_errors = 0;
    std::vector<std::string> problems;
    for (int i = 0; i < 3000 && problems.size() < 10; ++i) {
        const std::string text = random_fen(rng);
        FenResult r = Position::from_fen(text);
        if (auto* e = std::get_if<FenError>(&r)) {
            castling_errors += e->message.find("castling") != std::string::npos;
            if (e->message.empty()) problems.push_back("empty message: " + text);
            continue;
        }
        ++accepted;
        if (std::string p = check_accepted(std::get<Position>(std::move(r))); !p.empty())
            problems.push_back(p);
    }
    for (const std::string& p : problems) ADD_FAILURE() << p;
    EXPECT_GT(accepted, 1000);  // 1282 and 1716 with this generator start
    EXPECT_GT(castling_errors, 1000);
}

}  // namespace
}  // namespace orvane
