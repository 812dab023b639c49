#include "core/board/position.h"

#include <algorithm>
#include <cstdio>

#include "core/board/movegen.h"
#include "core/board/text.h"
#include "core/board/zobrist.h"

namespace orvane {
namespace {

// Rights kept after a move touches a square: rights &= MASK[from] & MASK[to].
constexpr std::array<std::uint8_t, 64> CASTLING_MASK = [] {
    std::array<std::uint8_t, 64> m{};
    m.fill(15);
    m[0] = 13;
    m[4] = 12;
    m[7] = 14;
    m[56] = 7;
    m[60] = 3;
    m[63] = 11;
    return m;
}();

}  // namespace

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
    key_ ^= zobrist::KEYS[zobrist::CASTLING_BASE + castling_];
    if (ep_square_ < 64) key_ ^= zobrist::KEYS[zobrist::EP_BASE + file_of(ep_square_)];
    if (side_ == BLACK) key_ ^= zobrist::KEYS[zobrist::SIDE_KEY];
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
        RookMove r = castle_rook(to);
        Piece rook = make_piece(us, ROOK);
        move_piece(rook, r.from, r.to);
        toggle_keys(rook, r.from);
        toggle_keys(rook, r.to);
    } else if (kind == EN_PASSANT) {
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

    std::uint8_t rights = castling_ & CASTLING_MASK[from] & CASTLING_MASK[to];
    if (rights != castling_) {
        key_ ^= zobrist::KEYS[zobrist::CASTLING_BASE + castling_]
                ^ zobrist::KEYS[zobrist::CASTLING_BASE + rights];
        castling_ = rights;
    }

    side_ ^= 1;
    key_ ^= zobrist::KEYS[zobrist::SIDE_KEY];
    if (us == BLACK) ++fullmove_;
    checkers_ = attackers_to(king_square(side_), pieces()) & pieces(us);
}

void Position::unmake_move(Move m) {
    if (states_.empty()) fatal("unmake without make");
    side_ ^= 1;
    const Color us = side_;
    if (us == BLACK) --fullmove_;
    const int from = move_from(m), to = move_to(m), kind = move_kind(m);

    if (is_promotion(m)) {
        remove_piece(board_[to], to);
        put_piece(make_piece(us, PAWN), from);
    } else {
        move_piece(board_[to], to, from);
    }
    if (is_castle(m)) {
        RookMove r = castle_rook(to);
        move_piece(make_piece(us, ROOK), r.to, r.from);
    } else if (kind == EN_PASSANT) {
        put_piece(captured_, to ^ 8);
    } else if (is_capture(m)) {
        put_piece(captured_, to);
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
    Bitboard occ = (pieces() & ~bit(from)) | bit(to);

    if (is_castle(m)) {
        RookMove r = castle_rook(to);
        Bitboard rook_occ = (occ & ~bit(r.from)) | bit(r.to);
        return (attacks::rook(r.to, rook_occ) & bit(k)) != 0;
    }
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

    Bitboard lines = attacks::LINE[k][from];
    if (captured_sq >= 0) lines |= attacks::LINE[k][captured_sq];
    if (!lines) return false;
    Bitboard others = pieces(us) & ~bit(from);
    Bitboard diagonal = others & (by_kind_[BISHOP] | by_kind_[QUEEN]);
    Bitboard straight = others & (by_kind_[ROOK] | by_kind_[QUEEN]);
    return (diagonal & attacks::bishop(k, occ)) || (straight & attacks::rook(k, occ));
}

std::optional<Move> Position::parse_uci_move(std::string_view text) const {
    if (text.size() < 4 || text.size() > 5) return std::nullopt;
    MoveList moves;
    movegen::generate_all(*this, moves);
    for (Move m : moves)
        if (move_to_uci(m) == text) return m;
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
    for (std::size_t i = 0; i < rights.size();) {
        std::size_t len = text::utf8_char_length(rights.substr(i));
        char c = rights[i];
        if (len == 1 && c == 'K') pos.castling_ |= WHITE_KING_SIDE;
        else if (len == 1 && c == 'Q') pos.castling_ |= WHITE_QUEEN_SIDE;
        else if (len == 1 && c == 'k') pos.castling_ |= BLACK_KING_SIDE;
        else if (len == 1 && c == 'q') pos.castling_ |= BLACK_QUEEN_SIDE;
        else if (!(len == 1 && c == '-'))
            return FenError{"bad castling '" + std::string(rights.substr(i, len)) + "'"};
        i += len;
    }
    // Drop the rights the board cannot support.
    auto has = [&](Piece p, int sq) { return pos.board_[sq] == p; };
    if (!has(make_piece(WHITE, KING), 4)) pos.castling_ &= ~(WHITE_KING_SIDE | WHITE_QUEEN_SIDE);
    if (!has(make_piece(WHITE, ROOK), 7)) pos.castling_ &= ~WHITE_KING_SIDE;
    if (!has(make_piece(WHITE, ROOK), 0)) pos.castling_ &= ~WHITE_QUEEN_SIDE;
    if (!has(make_piece(BLACK, KING), 60)) pos.castling_ &= ~(BLACK_KING_SIDE | BLACK_QUEEN_SIDE);
    if (!has(make_piece(BLACK, ROOK), 63)) pos.castling_ &= ~BLACK_KING_SIDE;
    if (!has(make_piece(BLACK, ROOK), 56)) pos.castling_ &= ~BLACK_QUEEN_SIDE;

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

std::string Position::to_fen() const {
    std::string fen;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            Piece p = board_[make_square(file, rank)];
            if (p == NO_PIECE) {
                ++empty;
                continue;
            }
            if (empty) fen += static_cast<char>('0' + empty);
            empty = 0;
            fen += piece_letter(p);
        }
        if (empty) fen += static_cast<char>('0' + empty);
        if (rank) fen += '/';
    }
    fen += side_ == WHITE ? " w " : " b ";
    if (!castling_) fen += '-';
    if (castling_ & WHITE_KING_SIDE) fen += 'K';
    if (castling_ & WHITE_QUEEN_SIDE) fen += 'Q';
    if (castling_ & BLACK_KING_SIDE) fen += 'k';
    if (castling_ & BLACK_QUEEN_SIDE) fen += 'q';
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
