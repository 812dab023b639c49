#include "core/board/san.h"

#include <cctype>
#include <string>

#include "core/board/movegen.h"

namespace orvane::san {
namespace {

constexpr std::string_view PIECE_LETTERS = "PNBRQK";

int piece_letter_kind(char c) {
    const std::size_t k = PIECE_LETTERS.find(c);
    return k == std::string_view::npos ? -1 : static_cast<int>(k);
}

}  // namespace

std::optional<Move> parse(const Position& pos, std::string_view san) {
    while (!san.empty() && std::string_view("+#!?").find(san.back()) != std::string_view::npos)
        san.remove_suffix(1);
    if (san.empty()) return std::nullopt;
    MoveList legal;
    movegen::generate_all(pos, legal);

    if (san == "O-O" || san == "0-0" || san == "O-O-O" || san == "0-0-0") {
        const int kind = san.size() == 3 ? KING_CASTLE : QUEEN_CASTLE;
        for (Move m : legal)
            if (move_kind(m) == kind) return m;
        return std::nullopt;
    }

    std::string text;
    for (char c : san)
        if (c != 'x' && c != ':' && c != '-') text += c;

    int promotion = -1;
    if (const std::size_t eq = text.find('='); eq != std::string::npos) {
        if (eq + 2 != text.size()) return std::nullopt;
        promotion = piece_letter_kind(static_cast<char>(std::toupper(text[eq + 1])));
        text.erase(eq);
    } else if (text.size() >= 3 && piece_letter_kind(text.back()) > PAWN
               && (text[text.size() - 2] == '8' || text[text.size() - 2] == '1')) {
        promotion = piece_letter_kind(text.back());
        text.pop_back();
    }
    if (promotion == PAWN || promotion == KING) return std::nullopt;

    int kind = PAWN;
    if (!text.empty() && piece_letter_kind(text[0]) > PAWN) {
        kind = piece_letter_kind(text[0]);
        text.erase(0, 1);
    }
    if (text.size() < 2 || text.size() > 4) {
        if (auto m = pos.parse_uci_move(san)) return m;
        return std::nullopt;
    }
    const char to_file = text[text.size() - 2], to_rank = text[text.size() - 1];
    if (to_file < 'a' || to_file > 'h' || to_rank < '1' || to_rank > '8') {
        if (auto m = pos.parse_uci_move(san)) return m;
        return std::nullopt;
    }
    const int to = make_square(to_file - 'a', to_rank - '1');
    int from_file = -1, from_rank = -1;
    for (char c : std::string_view(text).substr(0, text.size() - 2)) {
        if (c >= 'a' && c <= 'h') from_file = c - 'a';
        else if (c >= '1' && c <= '8') from_rank = c - '1';
        else return std::nullopt;
    }

    std::optional<Move> found;
    for (Move m : legal) {
        const int from = move_from(m);
        if (move_to(m) != to || kind_of(pos.piece_on(from)) != kind || is_castle(m)) continue;
        if (from_file >= 0 && file_of(from) != from_file) continue;
        if (from_rank >= 0 && rank_of(from) != from_rank) continue;
        if (promotion >= 0 && !is_promotion(m)) continue;
        // A promotion written without its piece means the queen.
        if (is_promotion(m) && promoted_kind(m) != (promotion >= 0 ? promotion : QUEEN)) continue;
        if (found) {
            if (auto uci = pos.parse_uci_move(san)) return uci;
            return std::nullopt;  // ambiguous
        }
        found = m;
    }
    if (!found) return pos.parse_uci_move(san);
    return found;
}

// The move in standard algebraic notation, with the smallest disambiguation and a check or
// mate mark.
std::string text(const Position& pos, Move m) {
    if (m == NULL_MOVE) return "0000";
    std::string s;
    const int from = move_from(m), to = move_to(m), kind = kind_of(pos.piece_on(from));
    if (move_kind(m) == KING_CASTLE) {
        s = "O-O";
    } else if (move_kind(m) == QUEEN_CASTLE) {
        s = "O-O-O";
    } else {
        if (kind == PAWN) {
            if (is_capture(m)) s += static_cast<char>('a' + file_of(from));
        } else {
            s += PIECE_LETTERS[kind];
            MoveList legal;
            movegen::generate_all(pos, legal);
            bool other = false, same_file = false, same_rank = false;
            for (Move o : legal) {
                const int f = move_from(o);
                if (o == m || move_to(o) != to || f == from || kind_of(pos.piece_on(f)) != kind)
                    continue;
                other = true;
                same_file |= file_of(f) == file_of(from);
                same_rank |= rank_of(f) == rank_of(from);
            }
            if (other) {
                if (!same_file) s += static_cast<char>('a' + file_of(from));
                else if (!same_rank) s += static_cast<char>('1' + rank_of(from));
                else s += square_name(from);
            }
        }
        if (is_capture(m)) s += 'x';
        s += square_name(to);
        if (is_promotion(m)) {
            s += '=';
            s += PIECE_LETTERS[promoted_kind(m)];
        }
    }
    Position after = pos;
    after.make_move(m);
    if (after.in_check()) s += movegen::has_legal_move(after) ? '+' : '#';
    return s;
}

}  // namespace orvane::san
