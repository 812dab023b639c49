// Quiescence search: captures and promotions below depth 0 (every evasion when in check),
// with stand pat, delta and exchange pruning, so that leaves are quiet when evaluated.
#include <algorithm>

#include "core/eval/nnue/nnue_eval.h"
#include "core/search/searcher.h"
#include "core/board/see.h"
#include "core/search/tune.h"

namespace orvane {

template <Evaluator E>
int Searcher<E>::qsearch(Position& pos, int alpha, int beta, int ply) {
    ++nodes_;
    if ((nodes_ & 2047) == 0 && poll()) stopped_ = true;
    if (stopped_) return 0;
    pv_len_[ply] = ply;
    seldepth_ = std::max(seldepth_, ply);
    const bool in_check = pos.in_check();
    const bool pv_node = beta - alpha >= 2;
    const Color us = pos.side();

    // Draws.
    if (pos.halfmove() < 100) {
        if (pos.is_repetition() || pos.insufficient_material()) return 0;
    } else if (!in_check || movegen::has_legal_move(pos)) {
        return 0;
    }

    if (ply >= MAX_PLY - 1) {
        if (movegen::has_legal_move(pos)) return in_check ? 0 : raw_eval(pos);
        return in_check ? -MATE + ply : 0;
    }

    const std::uint64_t key = pos.key();
    const std::optional<tt::Entry> entry = tt_->probe(key);
    if (entry && !pv_node) {
        const int score = tt::score_from_tt(entry->score, ply);
        if ((entry->bound == tt::BOUND_UPPER && score <= alpha)
            || (entry->bound == tt::BOUND_LOWER && score >= beta) || entry->bound == tt::BOUND_EXACT)
            return score;
    }

    MoveList moves;
    int raw = TT_NO_EVAL, eval = 0, best;
    if (!in_check) {
        raw = (entry && entry->eval != TT_NO_EVAL) ? entry->eval : raw_eval(pos);
        eval = corrected_eval(pos, raw, ply);
        // Stand pat; a side with only king and pawns might be stalemated instead.
        const bool pawns_only = !pos.has_non_pawn_material(us);
        if (eval >= beta) {
            if (pawns_only && !movegen::has_legal_move(pos)) return 0;
            return eval;
        }
        movegen::generate_noisy(pos, moves);
        if (moves.empty() && pawns_only && !movegen::has_legal_move(pos)) return 0;
        alpha = std::max(alpha, eval);
        best = eval;
    } else {
        movegen::generate_all(pos, moves);
        if (moves.empty()) return -MATE + ply;
        best = -INFINITE_SCORE;
    }
    const int alpha_stand_pat = alpha;

    const Move tt_move = entry ? entry->move : NULL_MOVE;
    const Bitboard threats = in_check ? ordering::pawn_threats(pos) : 0;
    ordering::MovePicker picker;
    for (Move m : moves) {
        std::int32_t score;
        if (m == tt_move) {
            score = ordering::TT_MOVE;
        } else if (is_noisy(m)) {
            score = ordering::GOOD_CAPTURE + capture_order(pos, m);
        } else {
            const int from = move_from(m), to = move_to(m);
            score = history_.main_entry(us, threat_bucket(threats, from, to), from, to);
        }
        picker.add(m, score);
    }

    Move best_move = NULL_MOVE;
    for (ordering::ScoredMove scored; (scored = picker.next_move()).move;) {
        const Move m = scored.move;
        if (!in_check && !is_promotion(m)) {
            const int victim = ordering::victim_value(pos, m);
            if (eval + victim + tune::value(tune::QS_DELTA_MARGIN) <= alpha) continue;
            tt_->prefetch(pos.key_after(m));  // the exchange test below hides its latency
            if (!see::see_ge(pos, m, std::max(alpha - eval - tune::value(tune::QS_SEE_MARGIN), 0)))
                continue;
        }
        make(pos, m, ply, threats);
        const int v = -qsearch(pos, -beta, -alpha, ply + 1);
        unmake(pos, m);
        if (stopped_) return 0;
        if (v > best) {
            best = v;
            if (v > alpha) {
                copy_pv(ply, m);
                best_move = m;
                if (v >= beta) break;
                alpha = v;
            }
        }
    }

    const std::uint8_t bound = best >= beta ? tt::BOUND_LOWER
                               : best > alpha_stand_pat ? tt::BOUND_EXACT
                                                        : tt::BOUND_UPPER;
    tt_->store_qsearch(key, best_move, tt::score_to_tt(best, ply), in_check ? TT_NO_EVAL : raw, bound,
                       pv_node);
    return best;
}

template int Searcher<PstEval>::qsearch(Position&, int, int, int);
template int Searcher<nnue::NnueEval>::qsearch(Position&, int, int, int);

}  // namespace orvane
