#include "core/board/movegen.h"

namespace orvane::movegen {
namespace {

enum class Gen { ALL, NOISY, QUIET };

constexpr Bitboard RANK_1 = 0xFFULL;
constexpr Bitboard RANK_8 = 0xFFULL << 56;

constexpr Bitboard shift_up(Bitboard b, Color us) { return us == WHITE ? b << 8 : b >> 8; }

// Working values shared by every generator, computed once per call.
struct Context {
    Color us, them;
    Bitboard own, enemy, all;
    int king;
    Bitboard checkers;
    Bitboard target;  // squares that answer a single check; everything otherwise
    Bitboard pinned;
    Bitboard last_rank, second_rank;
    int up;

    explicit Context(const Position& pos)
        : us(pos.side()),
          them(pos.side() ^ 1),
          own(pos.pieces(us)),
          enemy(pos.pieces(them)),
          all(own | enemy),
          king(pos.king_square(us)),
          checkers(pos.checkers()),
          target(~Bitboard{0}),
          pinned(0),
          last_rank(us == WHITE ? RANK_8 : RANK_1),
          second_rank(us == WHITE ? RANK_1 << 8 : RANK_8 >> 8),
          up(us == WHITE ? 8 : -8) {
        if (checkers && !(checkers & (checkers - 1)))
            target = checkers | attacks::BETWEEN[king][lsb(checkers)];
        Bitboard snipers = (attacks::rook(king, enemy) & (pos.kind(ROOK) | pos.kind(QUEEN)) & enemy)
                           | (attacks::bishop(king, enemy) & (pos.kind(BISHOP) | pos.kind(QUEEN)) & enemy);
        while (snipers) {
            Bitboard between = attacks::BETWEEN[king][pop_lsb(snipers)] & all;
            if (between && !(between & (between - 1)) && (between & own)) pinned |= between;
        }
    }
};

// A castle by `us`, not in check: the right is held, every square the king and rook pass or
// land on is empty apart from those two, and no square the king crosses or lands on is
// attacked. The attacks are seen without the king and the castling rook, so a rook that
// shields the king's destination (enemy queen a1, rook b1, king to c1, or already on c1)
// does not count.
bool castle_allowed(const Position& pos, Color us, int kind, Bitboard all) {
    const int i = castle_index(us, kind);
    if (!(pos.castling() & (1 << i)) || (all & pos.castle_clear(i))) return false;
    const Bitboard occ = all ^ pos.pieces(us, KING) ^ bit(pos.castle_rook(i));
    for (Bitboard path = pos.castle_king_path(i); path;)
        if (pos.is_attacked(pop_lsb(path), us ^ 1, occ)) return false;
    return true;
}

// Emits through `emit`, which returns true to stop the generation (has_legal_move).
template <Gen G, typename Emit>
bool generate(const Position& pos, Emit&& emit) {
    constexpr bool WANT_NOISY = G != Gen::QUIET;
    constexpr bool WANT_QUIET = G != Gen::NOISY;
    const Context c(pos);
    const Bitboard empty = ~c.all;

    // 1. King moves to safe squares; captures and quiet moves in square order.
    {
        Bitboard occ = c.all ^ bit(c.king);
        Bitboard targets = attacks::KING[c.king] & ~c.own;
        if constexpr (!WANT_NOISY) targets &= empty;
        if constexpr (!WANT_QUIET) targets &= c.enemy;
        while (targets) {
            int to = pop_lsb(targets);
            if (pos.is_attacked(to, c.them, occ)) continue;
            if (emit(make_move(c.king, to, (bit(to) & c.enemy) ? CAPTURE : QUIET))) return true;
        }
    }
    // 2. Only the king may answer a double check.
    if (c.checkers & (c.checkers - 1)) return false;

    // Captures first, then quiet moves, of one piece.
    auto piece_moves = [&](int from, Bitboard reach) {
        reach &= c.target;
        if (c.pinned & bit(from)) reach &= attacks::LINE[c.king][from];
        if constexpr (WANT_NOISY) {
            Bitboard caps = reach & c.enemy;
            while (caps)
                if (emit(make_move(from, pop_lsb(caps), CAPTURE))) return true;
        }
        if constexpr (WANT_QUIET) {
            Bitboard quiets = reach & empty;
            while (quiets)
                if (emit(make_move(from, pop_lsb(quiets), QUIET))) return true;
        }
        return false;
    };

    // 3. Knights that are not pinned.
    for (Bitboard b = pos.pieces(c.us, KNIGHT) & ~c.pinned; b;) {
        int from = pop_lsb(b);
        if (piece_moves(from, attacks::KNIGHT[from])) return true;
    }
    // 4. Diagonal moves of bishops and queens, 5. straight moves of rooks and queens.
    for (Bitboard b = c.own & (pos.kind(BISHOP) | pos.kind(QUEEN)); b;) {
        int from = pop_lsb(b);
        if (piece_moves(from, attacks::bishop(from, c.all))) return true;
    }
    for (Bitboard b = c.own & (pos.kind(ROOK) | pos.kind(QUEEN)); b;) {
        int from = pop_lsb(b);
        if (piece_moves(from, attacks::rook(from, c.all))) return true;
    }

    auto promotions = [&](int from, int to, int base) {
        // Queen first, then knight, rook, bishop.
        return emit(make_move(from, to, base + 3)) || emit(make_move(from, to, base))
               || emit(make_move(from, to, base + 2)) || emit(make_move(from, to, base + 1));
    };

    // 6. Pawns that are not pinned, as sets.
    const Bitboard pawns = pos.pieces(c.us, PAWN);
    const Bitboard free_pawns = pawns & ~c.pinned;
    const Bitboard single = shift_up(free_pawns, c.us) & empty;
    if constexpr (WANT_QUIET) {
        for (Bitboard t = single & ~c.last_rank & c.target; t;) {
            int to = pop_lsb(t);
            if (emit(make_move(to - c.up, to, QUIET))) return true;
        }
        Bitboard third = shift_up(c.second_rank, c.us);
        for (Bitboard t = shift_up(single & third, c.us) & empty & c.target; t;) {
            int to = pop_lsb(t);
            if (emit(make_move(to - 2 * c.up, to, DOUBLE_PUSH))) return true;
        }
    }
    if constexpr (WANT_NOISY) {
        for (Bitboard t = single & c.last_rank & c.target; t;) {
            int to = pop_lsb(t);
            if (promotions(to - c.up, to, PROMO_KNIGHT)) return true;
        }
        // Captures towards the a-file side, then towards the h-file side.
        const int a_side = c.us == WHITE ? 7 : -9, h_side = c.us == WHITE ? 9 : -7;
        const Bitboard a_from = free_pawns & ~FILE_A, h_from = free_pawns & ~FILE_H;
        const Bitboard a_caps = (c.us == WHITE ? a_from << 7 : a_from >> 9) & c.enemy & c.target;
        const Bitboard h_caps = (c.us == WHITE ? h_from << 9 : h_from >> 7) & c.enemy & c.target;
        for (int side = 0; side < 2; ++side) {
            const int delta = side == 0 ? a_side : h_side;
            for (Bitboard t = side == 0 ? a_caps : h_caps; t;) {
                int to = pop_lsb(t);
                int from = to - delta;
                if (bit(to) & c.last_rank) {
                    if (promotions(from, to, PROMO_CAPTURE_KNIGHT)) return true;
                } else if (emit(make_move(from, to, CAPTURE))) {
                    return true;
                }
            }
        }
    }

    // 7. Pinned pawns, one by one, along their pin line only.
    for (Bitboard b = pawns & c.pinned; b;) {
        int from = pop_lsb(b);
        Bitboard line = attacks::LINE[c.king][from] & c.target;
        int ahead = from + c.up;
        if (ahead < 0 || ahead > 63 || (c.all & bit(ahead))) {
            // Blocked, or a pawn standing on its last rank: no push.
        } else if (bit(ahead) & c.last_rank) {
            if constexpr (WANT_NOISY)
                if ((bit(ahead) & line) && promotions(from, ahead, PROMO_KNIGHT)) return true;
        } else if constexpr (WANT_QUIET) {
            if ((bit(ahead) & line) && emit(make_move(from, ahead, QUIET))) return true;
            int two = ahead + c.up;
            if ((bit(from) & c.second_rank) && !(c.all & bit(two)) && (bit(two) & line)
                && emit(make_move(from, two, DOUBLE_PUSH)))
                return true;
        }
        if constexpr (WANT_NOISY) {
            for (Bitboard t = attacks::PAWN[c.us][from] & c.enemy & line; t;) {
                int to = pop_lsb(t);
                if (bit(to) & c.last_rank) {
                    if (promotions(from, to, PROMO_CAPTURE_KNIGHT)) return true;
                } else if (emit(make_move(from, to, CAPTURE))) {
                    return true;
                }
            }
        }
    }

    // 8. En passant: one test on the occupancy after the capture covers every pin and check.
    if constexpr (WANT_NOISY) {
        const int ep = pos.ep_square();
        if (ep < 64) {
            const int victim = ep ^ 8;
            for (Bitboard b = attacks::PAWN[c.them][ep] & pawns; b;) {
                int from = pop_lsb(b);
                Bitboard occ = (c.all ^ bit(from) ^ bit(victim)) | bit(ep);
                if (!(pos.attackers_to(c.king, occ) & c.enemy & ~bit(victim))
                    && emit(make_move(from, ep, EN_PASSANT)))
                    return true;
            }
        }
    }

    // 9. Castles, never out of check; the rights guarantee the rook: h-side, then a-side.
    if constexpr (WANT_QUIET) {
        if (!c.checkers && (pos.castling() & (c.us == WHITE ? 3 : 12))) {
            for (int kind = KING_CASTLE; kind <= QUEEN_CASTLE; ++kind)
                if (castle_allowed(pos, c.us, kind, c.all)
                    && emit(make_move(c.king, castle_king_to(c.us, kind), kind)))
                    return true;
        }
    }
    return false;
}

}  // namespace

void generate_all(const Position& pos, MoveList& list) {
    generate<Gen::ALL>(pos, [&](Move m) {
        list.push(m);
        return false;
    });
}

void generate_noisy(const Position& pos, MoveList& list) {
    generate<Gen::NOISY>(pos, [&](Move m) {
        list.push(m);
        return false;
    });
}

void generate_quiet(const Position& pos, MoveList& list) {
    generate<Gen::QUIET>(pos, [&](Move m) {
        list.push(m);
        return false;
    });
}

bool has_legal_move(const Position& pos) {
    return generate<Gen::ALL>(pos, [](Move) { return true; });
}

bool is_legal_move(const Position& pos, Move m) {
    const int kind = move_kind(m);
    if (m == NULL_MOVE || kind == 6 || kind == 7) return false;
    const Color us = pos.side(), them = us ^ 1;
    const int from = move_from(m), to = move_to(m);
    const Piece p = pos.piece_on(from);
    if (p == NO_PIECE || color_of(p) != us) return false;
    const Bitboard occ = pos.pieces(), enemy = pos.pieces(them);
    const bool target_empty = pos.piece_on(to) == NO_PIECE;
    const bool target_enemy = (enemy & bit(to)) != 0;
    const int k = pos.king_square(us);

    if (kind_of(p) == KING) {
        if (kind == QUIET || kind == CAPTURE) {
            if (!(attacks::KING[from] & bit(to))) return false;
            if (kind == QUIET ? !target_empty : !target_enemy) return false;
            return !pos.is_attacked(to, them, occ ^ bit(from));
        }
        // A castle: the king is on its start square while the right lasts.
        if (!is_castle(m) || pos.in_check() || to != castle_king_to(us, kind)) return false;
        return castle_allowed(pos, us, kind, occ);
    }

    const Bitboard checkers = pos.checkers();
    if (checkers & (checkers - 1)) return false;

    if (kind_of(p) == PAWN) {
        const int up = us == WHITE ? 8 : -8;
        const Bitboard last_rank = us == WHITE ? RANK_8 : RANK_1;
        const Bitboard second_rank = us == WHITE ? RANK_1 << 8 : RANK_8 >> 8;
        const bool to_last = (bit(to) & last_rank) != 0;
        const bool pawn_attack = (attacks::PAWN[us][from] & bit(to)) != 0;
        if (kind == QUIET) {
            if (to != from + up || !target_empty || to_last) return false;
        } else if (kind == DOUBLE_PUSH) {
            if (!(bit(from) & second_rank) || to != from + 2 * up) return false;
            if ((occ & bit(from + up)) || !target_empty) return false;
        } else if (kind == CAPTURE) {
            if (!target_enemy || !pawn_attack || to_last) return false;
        } else if (kind == EN_PASSANT) {
            if (to != pos.ep_square() || !pawn_attack) return false;
            const int victim = to ^ 8;
            Bitboard after = (occ ^ bit(from) ^ bit(victim)) | bit(to);
            return !(pos.attackers_to(k, after) & enemy & ~bit(victim));
        } else if (kind >= 8 && kind <= 11) {
            if (to != from + up || !target_empty || !to_last) return false;
        } else if (kind >= 12) {
            if (!target_enemy || !pawn_attack || !to_last) return false;
        } else {
            return false;
        }
    } else {
        if (kind == QUIET ? !target_empty : kind == CAPTURE ? !target_enemy : true) return false;
        if (!(attacks::of_kind(kind_of(p), from, occ) & bit(to))) return false;
    }

    if (checkers && !((checkers | attacks::BETWEEN[k][lsb(checkers)]) & bit(to))) return false;

    const Bitboard line = attacks::LINE[k][from];
    if (!line || (line & bit(to)) || (attacks::BETWEEN[k][from] & occ)) return true;
    // Only a slider on this very line can pin: one checking along another line has already
    // been answered by the target test above.
    const Bitboard without = occ ^ bit(from);
    if (file_of(from) != file_of(k) && rank_of(from) != rank_of(k))
        return !(attacks::bishop(k, without) & line & enemy & (pos.kind(BISHOP) | pos.kind(QUEEN)));
    return !(attacks::rook(k, without) & line & enemy & (pos.kind(ROOK) | pos.kind(QUEEN)));
}

std::uint64_t perft(Position& pos, int depth) {
    if (depth <= 0) return 1;
    MoveList list;
    generate_all(pos, list);
    if (depth == 1) return static_cast<std::uint64_t>(list.size());
    std::uint64_t total = 0;
    for (Move m : list) {
        pos.make_move(m);
        total += perft(pos, depth - 1);
        pos.unmake_move(m);
    }
    return total;
}

}  // namespace orvane::movegen
