// The board every search thread works on: bitboards and a mailbox kept in step, four
// incremental Zobrist keys (full, pawn, per-colour non-pawn, minor), and the stack of undo
// records that also serves repetition detection. Each thread owns its own copy; copying a
// Position copies its history. Castling follows Chess960 rules, of which standard chess is one
// start position: each right names its rook, and its geometry is fixed when the FEN is read.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/board/attacks.h"
#include "core/board/types.h"
#include "core/board/zobrist.h"

namespace orvane {

inline constexpr std::string_view START_FEN =
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

// The undo record: everything make_move cannot recompute cheaply, as it was before the move.
struct State {
    std::uint64_t nonpawn_key[2];
    std::uint64_t key;
    std::uint64_t pawn_key;
    std::uint64_t minor_key;
    Bitboard checkers;
    std::uint16_t halfmove;
    std::uint8_t castling;
    Square ep_square;
    Piece captured;
};

// The piece-placement field of a FEN (rank 8 first) for a board indexed by square, NO_PIECE
// on the empty squares.
std::string fen_placement(std::span<const Piece, 64> board);

struct FenError {
    std::string message;
    std::string text() const { return "bad FEN: " + message; }
};

// How moves are written in UCI: castles as the king's two-square step (e1g1), or in Chess960
// mode as the king taking its own rook (e1h1, b1a1). The rooks' squares are those of the
// game's castling rights, which never move while a right lasts, so the notation of the root
// writes every move of a line searched from it.
struct MoveNotation {
    bool chess960 = false;
    std::array<Square, 4> castle_rook{7, 0, 63, 56};  // by castle_index
    std::string text(Move m) const;
};

class Position;

// What settles quickly whether a move of the side to move checks: the squares from which each
// kind would attack the other king, and the pieces of the side to move that alone stand
// between that king and one of their sliders.
struct CheckInfo {
    Bitboard squares[6];
    Bitboard blockers;
};
using FenResult = std::variant<Position, FenError>;

class Position {
public:
    static FenResult from_fen(std::string_view fen);
    static Position startpos();

    std::string to_fen() const;
    std::string diagram() const;

    void make_move(Move m);
    void unmake_move(Move m);
    void make_null();
    void unmake_null();

    Bitboard attackers_to(int sq, Bitboard occ) const;
    bool is_attacked(int sq, Color by, Bitboard occ) const;
    // The pieces of `by` other than its king that attack `sq`: the checkers after a move.
    // A slider table is read only when such a piece stands on one of the square's lines.
    Bitboard attackers_by(Color by, int sq, Bitboard occ) const;
    bool gives_check(Move m) const;
    // The same answer from the node's CheckInfo: cheaper when many moves are asked about.
    CheckInfo check_info() const;
    bool gives_check(Move m, const CheckInfo& info) const;
    // The legal move written `text` in the notation of the mode (see MoveNotation).
    std::optional<Move> parse_uci_move(std::string_view text, bool chess960 = false) const;
    MoveNotation notation(bool chess960) const { return {chess960, castle_rook_}; }

    // Draw rules as the search sees them: a repetition of any earlier position within the
    // half-move clock, and material with which no side can mate.
    bool is_repetition() const;
    bool insufficient_material() const;

    Bitboard pieces() const { return by_color_[WHITE] | by_color_[BLACK]; }
    Bitboard pieces(Color c) const { return by_color_[c]; }
    Bitboard kind(int k) const { return by_kind_[k]; }
    Bitboard pieces(Color c, int k) const { return by_color_[c] & by_kind_[k]; }
    Piece piece_on(int sq) const { return board_[sq]; }
    Square king_square(Color c) const { return lsb(pieces(c, KING)); }
    bool has_non_pawn_material(Color c) const {
        return (pieces(c) & ~by_kind_[PAWN] & ~by_kind_[KING]) != 0;
    }
    int piece_count() const { return popcount(pieces()); }

    Color side() const { return side_; }
    Bitboard checkers() const { return checkers_; }
    bool in_check() const { return checkers_ != 0; }
    std::uint64_t key() const { return key_; }
    // The key after a normal move or capture, to prefetch the child's table slot before the
    // move is made; castling rights, castles, promotions and en passant are left out (a miss
    // only wastes the prefetch).
    std::uint64_t key_after(Move m) const {
        const int from = move_from(m), to = move_to(m);
        const Piece mover = board_[from];
        std::uint64_t k = key_ ^ zobrist::KEYS[zobrist::SIDE_KEY] ^ zobrist::piece_key(mover, from)
                          ^ zobrist::piece_key(mover, to);
        if (board_[to] != NO_PIECE) k ^= zobrist::piece_key(board_[to], to);
        if (ep_square_ < 64) k ^= zobrist::KEYS[zobrist::EP_BASE + file_of(ep_square_)];
        return k;
    }
    std::uint64_t pawn_key() const { return pawn_key_; }
    std::uint64_t minor_key() const { return minor_key_; }
    std::uint64_t nonpawn_key(Color c) const { return nonpawn_key_[c]; }
    int halfmove() const { return halfmove_; }
    std::uint8_t castling() const { return castling_; }
    Square ep_square() const { return ep_square_; }
    Piece captured() const { return captured_; }
    std::uint32_t fullmove() const { return fullmove_; }
    const std::vector<State>& history() const { return states_; }

    // Castling geometry of right i (castle_index), fixed when the FEN is read: the rook's
    // start square, the squares that must be empty apart from that king and rook, and the
    // squares the king crosses and lands on, none of which may be attacked once king and
    // rook have left.
    Square castle_rook(int i) const { return castle_rook_[i]; }
    Bitboard castle_clear(int i) const { return castle_clear_[i]; }
    Bitboard castle_king_path(int i) const { return castle_king_path_[i]; }
    // The rook's part of a castle by the side to move.
    RookMove castle_rook_move(Move m) const {
        const int kind = move_kind(m);
        return {castle_rook_[castle_index(side_, kind)], castle_rook_to(side_, kind)};
    }
    // Room for `extra` more moves, so that a search never grows the undo stack. (A copied
    // Position keeps only the capacity its history needs.)
    void reserve_history(std::size_t extra) { states_.reserve(states_.size() + extra); }

private:
    void put_piece(Piece p, int sq);
    void remove_piece(Piece p, int sq);
    void move_piece(Piece p, int from, int to);
    void toggle_keys(Piece p, int sq);
    void compute_keys();
    std::optional<FenError> read_castling(std::string_view rights);
    std::uint64_t castling_key(std::uint8_t rights) const;
    void push_state();
    void restore(const State& s);

    std::vector<State> states_;
    Bitboard by_kind_[6]{};
    Bitboard by_color_[2]{};
    Piece board_[64];
    std::uint64_t nonpawn_key_[2]{};
    std::uint64_t key_ = 0;
    std::uint64_t pawn_key_ = 0;
    std::uint64_t minor_key_ = 0;
    Bitboard checkers_ = 0;
    std::uint16_t halfmove_ = 0;
    std::uint8_t castling_ = 0;
    Square ep_square_ = NO_SQUARE;
    Piece captured_ = NO_PIECE;
    std::uint32_t fullmove_ = 1;
    Color side_ = WHITE;
    // Castling rights kept after a move touches a square: rights &= mask[from] & mask[to].
    std::array<std::uint8_t, 64> castling_mask_ = [] {
        std::array<std::uint8_t, 64> m{};
        m.fill(15);
        return m;
    }();
    std::array<Square, 4> castle_rook_{7, 0, 63, 56};
    std::array<Bitboard, 4> castle_clear_{};
    std::array<Bitboard, 4> castle_king_path_{};
    std::array<std::uint64_t, 4> castle_file_key_{};  // 0 for a rook on its corner file
};

}  // namespace orvane
