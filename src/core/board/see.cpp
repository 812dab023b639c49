// The exchange runs on a single number instead of a list of gains. After every capture the
// verdict (`result`: does the mover reach the threshold?) turns to the side that captured, and
// `balance` is by how much losing the piece now standing on the target square would overturn
// it. A recapture is worth looking at only while that is positive; once the capturing side
// keeps the verdict even after losing its piece, the answer is final.
#include "core/board/see.h"

namespace orvane::see {

bool see_ge(const Position& pos, Move m, int threshold) {
    if (is_castle(m)) return threshold <= 0;

    const int from = move_from(m), to = move_to(m);
    const Piece mover = pos.piece_on(from);
    ORVANE_ASSERT(mover != NO_PIECE);

    int gain = 0;
    if (is_en_passant(m))
        gain = VALUES[PAWN];
    else if (is_capture(m))
        gain = VALUES[kind_of(pos.piece_on(to))];

    // The piece that will stand on the target square and can be taken there.
    int on_to = kind_of(mover);
    if (is_promotion(m)) {
        on_to = promoted_kind(m);
        gain += VALUES[on_to] - VALUES[PAWN];
    }
    gain -= threshold;

    // Even if the opponent does not reply, the capture falls short.
    if (gain < 0) return false;
    // Even losing the piece on the target square for nothing keeps the threshold.
    int balance = VALUES[on_to] - gain;
    if (balance <= 0) return true;

    Bitboard occ = pos.pieces() ^ bit(from);
    if (is_en_passant(m)) occ ^= bit(to ^ 8);

    // Pieces whose removal can open a line to the target square.
    const Bitboard diagonal = pos.kind(BISHOP) | pos.kind(QUEEN);
    const Bitboard straight = pos.kind(ROOK) | pos.kind(QUEEN);

    Bitboard attackers = pos.attackers_to(to, occ) & occ;
    // The mover's colour rather than the side to move, so that a move of either side can be
    // asked about (threat tests) without a wrong answer.
    Color side = color_of(mover) ^ 1;
    int result = 1;
    while (true) {
        attackers &= occ;
        const Bitboard mine = attackers & pos.pieces(side);
        if (!mine) break;

        int kind = PAWN;
        Bitboard candidates = 0;
        for (; kind <= KING; ++kind)
            if ((candidates = mine & pos.kind(kind))) break;
        if (!candidates) fatal("my_attackers is non-empty");

        // The king may not capture into a defended square.
        if (kind == KING && (attackers & pos.pieces(side ^ 1))) break;

        balance = VALUES[kind] - balance;
        result ^= 1;
        if (balance < result) break;

        occ ^= candidates & -candidates;
        if (kind == PAWN || kind == BISHOP || kind == QUEEN || kind == KING)
            attackers |= attacks::bishop(to, occ) & diagonal;
        if (kind == ROOK || kind == QUEEN || kind == KING)
            attackers |= attacks::rook(to, occ) & straight;
        side ^= 1;
    }
    return result != 0;
}

}  // namespace orvane::see
