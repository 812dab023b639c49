#include "core/board/position.h"

#include <algorithm>
#include <cstdio>

#include "core/board/movegen.h"
#include "core/board/text.h"
#include "core/board/zobrist.h"

namespace orvane {

void Position::toggle_keys(Piece p, int sq) {
    std::uint64_t k = zobrist::piece_key(p, sq);
    key_ ^= k;
    int kd = kind_of(p);
    if (kd == PAWN) {
        pawn_key_ ^= k;
    } else {
        nonpawn_key_[color_of(p)] ^= k;
        if (kd == KNIGHT || kd == BISHOP || kd == KING) minor_key_ ^= k;
    }
}

void Position::put_piece(Piece p, int sq) {
    board_[sq] = p;
    by_kind_[kind_of(p)] |= bit(sq);
    by_color_[color_of(p)] |= bit(sq);
}

void Position::remove_piece(Piece p, int sq) {
    board_[sq] = NO_PIECE;
    by_kind_[kind_of(p)] &= ~bit(sq);
    by_color_[color_of(p)] &= ~bit(sq);
}

void Position::move_piece(Piece p, int from, int to) {
    Bitboard both = bit(from) | bit(to);
    board_[from] = NO_PIECE;
    board_[to] = p;
    by_kind_[kind_of(p)] ^= both;
    by_color_[color_of(p)] ^= both;
}

void Position::compute_keys() {
    key_ = pawn_key_ = minor_key_ = 0;
    nonpawn_key_[0] = nonpawn_key_[1] = 0;
    for (int sq = 0; sq < 64; ++sq)
        if (board_[sq] != NO_PIECE) toggle_keys(board_[sq], sq);
    key_ ^= castling_key(castling_);
    if (ep_square_ < 64) key_ ^= zobrist::KEYS[zobrist::EP_BASE + file_of(ep_square_)];
    if (side_ == BLACK) key_ ^= zobrist::KEYS[zobrist::SIDE_KEY];
}

// The key of a set of rights: one key per value of the four bits, and one more per right
// whose rook is off its corner file.
std::uint64_t Position::castling_key(std::uint8_t rights) const {
    std::uint64_t k = zobrist::KEYS[zobrist::CASTLING_BASE + rights];
    for (unsigned r = rights; r; r &= r - 1) k ^= castle_file_key_[std::countr_zero(r)];
    return k;
}

void Position::push_state() {
    states_.push_back(State{{nonpawn_key_[0], nonpawn_key_[1]},
                            key_,
                            pawn_key_,
                            minor_key_,
                            checkers_,
                            halfmove_,
                            castling_,
                            ep_square_,
                            captured_});
}

void Position::restore(const State& s) {
    nonpawn_key_[0] = s.nonpawn_key[0];
    nonpawn_key_[1] = s.nonpawn_key[1];
    key_ = s.key;
    pawn_key_ = s.pawn_key;
    minor_key_ = s.minor_key;
    checkers_ = s.checkers;
    halfmove_ = s.halfmove;
    castling_ = s.castling;
    ep_square_ = s.ep_square;
    captured_ = s.captured;
}

void Position::make_move(Move m) {
    push_state();
    ++halfmove_;
    captured_ = NO_PIECE;
    if (ep_square_ < 64) {
        key_ ^= zobrist::KEYS[zobrist::EP_BASE + file_of(ep_square_)];
        ep_square_ = NO_SQUARE;
    }
    const Color us = side_;
    const int from = move_from(m), to = move_to(m), kind = move_kind(m);
    const Piece mover = board_[from];

    if (is_castle(m)) {
        // Both leave before either lands: in Chess960 the king may land where its rook
        // stood, the rook where the king stood, or the king stay where it is.
        const RookMove r = castle_rook_move(m);
        const Piece rook = make_piece(us, ROOK);
        remove_piece(mover, from);
        remove_piece(rook, r.from);
        put_piece(mover, to);
        put_piece(rook, r.to);
        toggle_keys(mover, from);
        toggle_keys(mover, to);
        toggle_keys(rook, r.from);
        toggle_keys(rook, r.to);
    } else {
        if (kind == EN_PASSANT) {
            int victim_sq = to ^ 8;
            Piece victim = board_[victim_sq];
            remove_piece(victim, victim_sq);
            toggle_keys(victim, victim_sq);
            captured_ = victim;
        } else if (is_capture(m)) {
            Piece victim = board_[to];
            remove_piece(victim, to);
            toggle_keys(victim, to);
            captured_ = victim;
            halfmove_ = 0;
        }

        if (is_promotion(m)) {
            Piece promoted = make_piece(us, promoted_kind(m));
            remove_piece(mover, from);
            toggle_keys(mover, from);
            put_piece(promoted, to);
            toggle_keys(promoted, to);
        } else {
            move_piece(mover, from, to);
            toggle_keys(mover, from);
            toggle_keys(mover, to);
        }
        if (kind_of(mover) == PAWN) halfmove_ = 0;

        if (kind == DOUBLE_PUSH) {
            int candidate = (from + to) / 2;
            if (attacks::PAWN[us][candidate] & pieces(us ^ 1, PAWN)) {
                ep_square_ = static_cast<Square>(candidate);
                key_ ^= zobrist::KEYS[zobrist::EP_BASE + file_of(candidate)];
            }
        }
    }

    std::uint8_t rights = castling_ & castling_mask_[from] & castling_mask_[to];
    if (rights != castling_) {
        key_ ^= castling_key(castling_) ^ castling_key(rights);
        castling_ = rights;
    }

    side_ ^= 1;
    key_ ^= zobrist::KEYS[zobrist::SIDE_KEY];
    if (us == BLACK) ++fullmove_;
    checkers_ = attackers_by(us, king_square(side_), pieces());
}

void Position::unmake_move(Move m) {
    if (states_.empty()) fatal("unmake without make");
    side_ ^= 1;
    const Color us = side_;
    if (us == BLACK) --fullmove_;
    const int from = move_from(m), to = move_to(m), kind = move_kind(m);

    if (is_castle(m)) {
        const RookMove r = castle_rook_move(m);
        const Piece king = make_piece(us, KING), rook = make_piece(us, ROOK);
        remove_piece(king, to);
        remove_piece(rook, r.to);
        put_piece(king, from);
        put_piece(rook, r.from);
    } else {
        if (is_promotion(m)) {
            remove_piece(board_[to], to);
            put_piece(make_piece(us, PAWN), from);
        } else {
            move_piece(board_[to], to, from);
        }
        if (kind == EN_PASSANT) {
            put_piece(captured_, to ^ 8);
        } else if (is_capture(m)) {
            put_piece(captured_, to);
        }
    }
    restore(states_.back());
    states_.pop_back();
}

void Position::make_null() {
    push_state();
    if (ep_square_ < 64) {
        key_ ^= zobrist::KEYS[zobrist::EP_BASE + file_of(ep_square_)];
        ep_square_ = NO_SQUARE;
    }
    ++halfmove_;
    captured_ = NO_PIECE;
    side_ ^= 1;
    key_ ^= zobrist::KEYS[zobrist::SIDE_KEY];
    checkers_ = 0;
}

void Position::unmake_null() {
    if (states_.empty()) fatal("unmake_null without make_null");
    side_ ^= 1;
    restore(states_.back());
    states_.pop_back();
}

Bitboard Position::attackers_to(int sq, Bitboard occ) const {
    return (by_kind_[KNIGHT] & attacks::KNIGHT[sq]) | (by_kind_[KING] & attacks::KING[sq])
           | (by_kind_[PAWN]
              & ((attacks::PAWN[WHITE][sq] & by_color_[BLACK])
                 | (attacks::PAWN[BLACK][sq] & by_color_[WHITE])))
           | ((by_kind_[BISHOP] | by_kind_[QUEEN]) & attacks::bishop(sq, occ))
           | ((by_kind_[ROOK] | by_kind_[QUEEN]) & attacks::rook(sq, occ));
}

Bitboard Position::attackers_by(Color by, int sq, Bitboard occ) const {
    const Bitboard own = by_color_[by];
    Bitboard found = own & ((by_kind_[KNIGHT] & attacks::KNIGHT[sq])
                            | (by_kind_[PAWN] & attacks::PAWN[by ^ 1][sq]));
    const Bitboard diagonal = own & (by_kind_[BISHOP] | by_kind_[QUEEN]);
    const Bitboard straight = own & (by_kind_[ROOK] | by_kind_[QUEEN]);
    if (diagonal & attacks::bishop(sq, 0)) found |= diagonal & attacks::bishop(sq, occ);
    if (straight & attacks::rook(sq, 0)) found |= straight & attacks::rook(sq, occ);
    return found;
}

bool Position::is_attacked(int sq, Color by, Bitboard occ) const {
    Bitboard them = by_color_[by];
    if (them & by_kind_[KNIGHT] & attacks::KNIGHT[sq]) return true;
    if (them & by_kind_[PAWN] & attacks::PAWN[by ^ 1][sq]) return true;
    if (them & by_kind_[KING] & attacks::KING[sq]) return true;
    if (them & (by_kind_[BISHOP] | by_kind_[QUEEN]) & attacks::bishop(sq, occ)) return true;
    return (them & (by_kind_[ROOK] | by_kind_[QUEEN]) & attacks::rook(sq, occ)) != 0;
}

bool Position::gives_check(Move m) const {
    const Color us = side_;
    const int k = king_square(us ^ 1);
    const int from = move_from(m), to = move_to(m);

    // A castle checks only with its rook: the king and rook end side by side on the first
    // rank, covering every line the two squares they left could open.
    if (is_castle(m)) {
        const RookMove r = castle_rook_move(m);
        const Bitboard after = (pieces() ^ bit(from) ^ bit(r.from)) | bit(to) | bit(r.to);
        return (attacks::rook(r.to, after) & bit(k)) != 0;
    }
    Bitboard occ = (pieces() & ~bit(from)) | bit(to);
    int captured_sq = -1;
    if (is_en_passant(m)) {
        captured_sq = to ^ 8;
        occ &= ~bit(captured_sq);
    }

    int arriving = is_promotion(m) ? promoted_kind(m) : kind_of(board_[from]);
    Bitboard direct = arriving == PAWN ? attacks::PAWN[us][to]
                      : arriving == KING ? Bitboard{0}
                                         : attacks::of_kind(arriving, to, occ);
    if (direct & bit(k)) return true;

    // Discovered checks. The king was not in check before the move, so only a line through
    // a vacated square can open: the mover's, and for en passant the captured pawn's.
    const Bitboard others = pieces(us) & ~bit(from);
    const Bitboard diagonal = others & (by_kind_[BISHOP] | by_kind_[QUEEN]);
    const Bitboard straight = others & (by_kind_[ROOK] | by_kind_[QUEEN]);
    if (captured_sq >= 0) {
        if (!(attacks::LINE[k][from] | attacks::LINE[k][captured_sq])) return false;
        return (diagonal & attacks::bishop(k, occ)) || (straight & attacks::rook(k, occ));
    }
    // A mover that stays on its line through the king still blocks it.
    const Bitboard line = attacks::LINE[k][from];
    if (!line || (line & bit(to))) return false;
    if (file_of(k) != file_of(from) && rank_of(k) != rank_of(from))
        return (diagonal & line) && (diagonal & line & attacks::bishop(k, occ));
    return (straight & line) && (straight & line & attacks::rook(k, occ));
}

CheckInfo Position::check_info() const {
    const Color us = side_;
    const int k = king_square(us ^ 1);
    const Bitboard occ = pieces();
    CheckInfo info;
    info.squares[PAWN] = attacks::PAWN[us ^ 1][k];
    info.squares[KNIGHT] = attacks::KNIGHT[k];
    info.squares[BISHOP] = attacks::bishop(k, occ);
    info.squares[ROOK] = attacks::rook(k, occ);
    info.squares[QUEEN] = info.squares[BISHOP] | info.squares[ROOK];
    info.squares[KING] = 0;
    info.blockers = 0;
    const Bitboard ours = pieces(us);
    Bitboard snipers = (ours & (by_kind_[BISHOP] | by_kind_[QUEEN]) & attacks::bishop(k, 0))
                       | (ours & (by_kind_[ROOK] | by_kind_[QUEEN]) & attacks::rook(k, 0));
    while (snipers) {
        const Bitboard between = attacks::BETWEEN[k][pop_lsb(snipers)] & occ;
        if (between && !(between & (between - 1)) && (between & ours)) info.blockers |= between;
    }
    return info;
}

// A piece arriving on its square checks when that square sees the king on the board as it is:
// the only square the move empties is the one it left, and a line from the king through it
// to the arrival square would have been a check already. Castles, en passant and promotions
// (which empty squares on other lines or change the piece) take the full test.
bool Position::gives_check(Move m, const CheckInfo& info) const {
    if (is_castle(m) || is_en_passant(m) || is_promotion(m)) return gives_check(m);
    const int from = move_from(m), to = move_to(m);
    if (info.squares[kind_of(board_[from])] & bit(to)) return true;
    return (info.blockers & bit(from)) && !(attacks::LINE[king_square(side_ ^ 1)][from] & bit(to));
}

std::string MoveNotation::text(Move m) const {
    if (!chess960 || !is_castle(m)) return move_to_uci(m);
    const Color c = rank_of(move_from(m)) < 4 ? WHITE : BLACK;
    return square_name(move_from(m)) + square_name(castle_rook[castle_index(c, move_kind(m))]);
}

std::optional<Move> Position::parse_uci_move(std::string_view text, bool chess960) const {
    if (text.size() < 4 || text.size() > 5) return std::nullopt;
    MoveList moves;
    movegen::generate_all(*this, moves);
    const MoveNotation written = notation(chess960);
    for (Move m : moves)
        if (written.text(m) == text) return m;
    return std::nullopt;
}

bool Position::is_repetition() const {
    int n = std::min<int>(halfmove_, static_cast<int>(states_.size()));
    for (int back = 4; back <= n; back += 2)
        if (states_[states_.size() - back].key == key_) return true;
    return false;
}

bool Position::insufficient_material() const {
    if (by_kind_[PAWN] | by_kind_[ROOK] | by_kind_[QUEEN]) return false;
    return popcount(by_kind_[KNIGHT] | by_kind_[BISHOP]) <= 1;
}

Position Position::startpos() {
    FenResult r = from_fen(START_FEN);
    if (auto* p = std::get_if<Position>(&r)) return std::move(*p);
    fatal("start FEN is valid");
}

FenResult Position::from_fen(std::string_view fen) {
    std::vector<std::string_view> fields = text::split_words(fen);
    if (fields.empty()) return FenError{"empty"};

    Position pos;
    for (auto& sq : pos.board_) sq = NO_PIECE;
    int rank = 7, file = 0;
    std::string_view placement = fields[0];
    for (std::size_t i = 0; i < placement.size();) {
        std::size_t len = text::utf8_char_length(placement.substr(i));
        char c = placement[i];
        if (len == 1 && c == '/') {
            // Both stay clamped just past the board, so no input length can overflow them.
            file = 0;
            rank = std::max(rank - 1, -1);
        } else if (len == 1 && c >= '1' && c <= '8') {
            file = std::min(file + (c - '0'), 8);
        } else {
            static constexpr std::string_view LETTERS = "PNBRQKpnbrqk";
            std::size_t index = len == 1 ? LETTERS.find(c) : std::string_view::npos;
            if (index == std::string_view::npos)
                return FenError{"bad piece '" + std::string(placement.substr(i, len)) + "'"};
            if (file >= 8 || rank < 0 || rank > 7) return FenError{"piece off the board"};
            pos.put_piece(static_cast<Piece>(index), make_square(file, rank));
            ++file;
        }
        i += len;
    }
    if (popcount(pos.pieces(WHITE, KING)) != 1 || popcount(pos.pieces(BLACK, KING)) != 1)
        return FenError{"each side needs exactly one king"};
    // Material no game can reach is refused: every piece beyond the starting set must have
    // been a pawn. Besides making no sense, such a board can have more legal moves than a
    // move list holds (a board crowded with queens has 257); with reachable material the
    // most there can be is 218.
    for (Color c : {WHITE, BLACK}) {
        auto count = [&](int kind) { return popcount(pos.pieces(c, kind)); };
        const int promoted = std::max(count(QUEEN) - 1, 0) + std::max(count(ROOK) - 2, 0)
                             + std::max(count(BISHOP) - 2, 0) + std::max(count(KNIGHT) - 2, 0);
        if (count(PAWN) + promoted > 8) return FenError{"too many pieces"};
    }

    std::string_view side = fields.size() > 1 ? fields[1] : "w";
    if (side == "w") pos.side_ = WHITE;
    else if (side == "b") pos.side_ = BLACK;
    else return FenError{"bad side '" + std::string(side) + "'"};

    std::string_view rights = fields.size() > 2 ? fields[2] : "-";
    if (std::optional<FenError> error = pos.read_castling(rights)) return *error;

    std::string_view ep = fields.size() > 3 ? fields[3] : "-";
    if (ep != "-") {
        if (ep.size() != 2 || ep[0] < 'a' || ep[0] > 'h' || ep[1] < '1' || ep[1] > '8')
            return FenError{"bad en-passant '" + std::string(ep) + "'"};
        int sq = make_square(ep[0] - 'a', ep[1] - '1');
        // Besides a pawn that can capture, the board must show the double push that made
        // the square: on the mover's sixth rank, empty, the enemy pawn just beyond it and
        // its start square empty. Otherwise the capture would take a piece that is not there.
        const Color us = pos.side_;
        const int passed_rank = us == WHITE ? 5 : 2;
        const int beyond = us == WHITE ? sq - 8 : sq + 8;
        const int start = us == WHITE ? sq + 8 : sq - 8;
        const bool pushed = rank_of(sq) == passed_rank && pos.board_[sq] == NO_PIECE
                            && pos.board_[start] == NO_PIECE
                            && pos.board_[beyond] == make_piece(us ^ 1, PAWN);
        if (pushed && (attacks::PAWN[us ^ 1][sq] & pos.pieces(us, PAWN)))
            pos.ep_square_ = static_cast<Square>(sq);
    }

    if (fields.size() > 4) pos.halfmove_ = text::parse_int<std::uint16_t>(fields[4]).value_or(0);
    if (fields.size() > 5) {
        std::uint32_t full = text::parse_int<std::uint32_t>(fields[5]).value_or(1);
        pos.fullmove_ = full == 0 ? 1 : full;
    }

    pos.compute_keys();
    Color us = pos.side_;
    pos.checkers_ = pos.attackers_to(pos.king_square(us), pos.pieces()) & pos.pieces(us ^ 1);
    if (pos.is_attacked(pos.king_square(us ^ 1), us, pos.pieces()))
        return FenError{"side not to move is in check"};
    pos.states_.reserve(256);
    return pos;
}

// Standard (KQkq) and Chess960 rights: Shredder style names each castling rook by its file
// (HAha), X-FEN writes K or Q for the outermost rook on that side of the king and the file
// only for an inner one; both are read, also mixed. Each right must find its king on its back
// rank and its rook where the letter says; a second rook for one side is refused too.
std::optional<FenError> Position::read_castling(std::string_view rights) {
    for (std::size_t i = 0; i < rights.size();) {
        const std::size_t len = text::utf8_char_length(rights.substr(i));
        const char c = rights[i];
        const bool known = len == 1
                           && (c == '-' || c == 'K' || c == 'Q' || c == 'k' || c == 'q'
                               || (c >= 'A' && c <= 'H') || (c >= 'a' && c <= 'h'));
        if (!known) return FenError{"bad castling '" + std::string(rights.substr(i, len)) + "'"};
        i += len;
    }
    for (char c : rights) {
        if (c == '-') continue;
        const Color color = c >= 'a' ? BLACK : WHITE;
        const char upper = color == WHITE ? c : static_cast<char>(c - 'a' + 'A');
        const std::string said = "castling '" + std::string(1, c) + "': ";
        const int back = color == WHITE ? 0 : 7;
        const int king = king_square(color);
        if (rank_of(king) != back) return FenError{said + "the king is not on its back rank"};
        const Bitboard rooks = pieces(color, ROOK) & (Bitboard{0xFF} << (8 * back));
        int rook;
        if (upper == 'K' || upper == 'Q') {
            const Bitboard below_king = bit(king) - 1;
            const Bitboard side = rooks & (upper == 'K' ? ~(below_king | bit(king)) : below_king);
            if (!side)
                return FenError{said + "no rook on the " + (upper == 'K' ? "h" : "a")
                                + "-side of the king"};
            rook = upper == 'K' ? 63 - std::countl_zero(side) : lsb(side);
        } else {
            rook = make_square(upper - 'A', back);
            if (!(rooks & bit(rook))) return FenError{said + "no rook on " + square_name(rook)};
        }
        const int kind = file_of(rook) > file_of(king) ? KING_CASTLE : QUEEN_CASTLE;
        const int i = castle_index(color, kind);
        if ((castling_ & (1 << i)) && castle_rook_[i] != rook)
            return FenError{said + "a second rook for one side"};
        castling_ |= static_cast<std::uint8_t>(1 << i);
        castle_rook_[i] = static_cast<Square>(rook);
    }
    for (int i = 0; i < 4; ++i) {
        if (!(castling_ & (1 << i))) continue;
        const Color color = static_cast<Color>(i / 2);
        const int kind = KING_CASTLE + i % 2;
        const int king = king_square(color), rook = castle_rook_[i];
        const int king_to = castle_king_to(color, kind), rook_to = castle_rook_to(color, kind);
        // The destination counts even when the king stays on it: the rook may have been
        // shielding it (enemy queen a1, rook b1, king c1).
        castle_king_path_[i] = attacks::BETWEEN[king][king_to] | bit(king_to);
        castle_clear_[i] = (castle_king_path_[i] | attacks::BETWEEN[rook][rook_to] | bit(rook_to))
                           & ~bit(king) & ~bit(rook);
        castling_mask_[king] &= static_cast<std::uint8_t>(~(3 << (2 * color)));
        castling_mask_[rook] &= static_cast<std::uint8_t>(~(1 << i));
        const bool corner = file_of(rook) == (kind == KING_CASTLE ? 7 : 0);
        castle_file_key_[i] = corner ? 0 : zobrist::CASTLE_FILE_KEYS[color * 8 + file_of(rook)];
    }
    return std::nullopt;
}

std::string fen_placement(std::span<const Piece, 64> board) {
    std::string placement;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            const Piece p = board[make_square(file, rank)];
            if (p == NO_PIECE) {
                ++empty;
                continue;
            }
            if (empty) placement += static_cast<char>('0' + empty);
            empty = 0;
            placement += piece_letter(p);
        }
        if (empty) placement += static_cast<char>('0' + empty);
        if (rank) placement += '/';
    }
    return placement;
}

std::string Position::to_fen() const {
    std::string fen = fen_placement(board_);
    fen += side_ == WHITE ? " w " : " b ";
    // K, Q, k, q for a king on the e-file castling with a corner rook; the rook's file
    // otherwise (Chess960), upper case for white.
    if (!castling_) fen += '-';
    for (int i = 0; i < 4; ++i) {
        if (!(castling_ & (1 << i))) continue;
        const Color c = static_cast<Color>(i / 2);
        const int rook_file = file_of(castle_rook_[i]);
        const bool standard =
            file_of(king_square(c)) == 4 && rook_file == (i % 2 == 0 ? 7 : 0);
        const char letter = standard ? "KQ"[i % 2] : static_cast<char>('A' + rook_file);
        fen += c == WHITE ? letter : static_cast<char>(letter - 'A' + 'a');
    }
    fen += ' ';
    fen += ep_square_ < 64 ? square_name(ep_square_) : "-";
    fen += ' ';
    fen += std::to_string(halfmove_);
    fen += ' ';
    fen += std::to_string(fullmove_);
    return fen;
}

std::string Position::diagram() const {
    std::string out;
    for (int rank = 7; rank >= 0; --rank) {
        out += ' ';
        out += static_cast<char>('1' + rank);
        out += ' ';
        for (int file = 0; file < 8; ++file) {
            out += ' ';
            out += piece_letter(board_[make_square(file, rank)]);
        }
        out += '\n';
    }
    out += "\n    a b c d e f g h\n\n";
    out += "FEN: " + to_fen() + "\n";
    char hash[32];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(key_));
    out += "Hash: ";
    out += hash;
    return out;
}

}  // namespace orvane
