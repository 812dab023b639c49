// The negamax node: draws, table and tablebase probes, static evaluation, the pruning done
// before any move is searched, then the move loop with its pruning, extensions, reductions,
// principal-variation searches, history updates and the table store.
#include <algorithm>
#include <cmath>

#include "core/board/see.h"
#include "core/eval/nnue/nnue_eval.h"
#include "core/parallel/thread_pool.h"
#include "core/search/node_moves.h"
#include "core/search/searcher.h"
#include "core/search/tune.h"

namespace orvane {
namespace {

// The tuned numbers are records in tune.h, read through tune::value; these are not worth it.
constexpr int RFP_BETA_LIMIT = 31872;   // never near mate or tablebase scores
constexpr int PROBCUT_EVAL_MARGIN = 1000;
constexpr int SINGULAR_SCORE_LIMIT = 31872;  // a table score near mate or tablebase proves nothing
constexpr int MAX_DEFERRED = 32;
constexpr int BUSY_MIN_DEPTH = 3;

// A side whose only piece is one knight or bishop is often in zugzwang: every move of its
// piece gives something away, so the null move's assumption that passing is the worst it can
// do fails (a lone bishop that must leave the squares where it stops a knight's mate).
bool may_try_null_move(const Position& pos, Color us) {
    const Bitboard pieces = pos.pieces(us) & ~pos.kind(PAWN) & ~pos.kind(KING);
    return popcount(pieces) >= 2 || (pieces & (pos.kind(ROOK) | pos.kind(QUEEN))) != 0;
}

}  // namespace

template <Evaluator E>
void Searcher<E>::make(Position& pos, Move m, int ply, Bitboard threats) {
    const int from = move_from(m), to = move_to(m);
    move_stack_[ply] = {is_quiet(m), m, static_cast<std::uint8_t>(threat_bucket(threats, from, to))};
    cont_[ply] = {true, pos.piece_on(from), static_cast<std::uint8_t>(to)};
    eval_.push_move(pos, m);
    pos.make_move(m);
    tt_->prefetch(pos.key());
    prefetch_correction(pos);
}

template <Evaluator E>
void Searcher<E>::unmake(Position& pos, Move m) {
    pos.unmake_move(m);
    eval_.pop_move();
}

template <Evaluator E>
void Searcher<E>::copy_pv(int ply, Move m) {
    pv_[ply][ply] = m;
    int len = pv_len_[ply + 1];
    for (int i = ply + 1; i < len; ++i) pv_[ply][i] = pv_[ply + 1][i];
    pv_len_[ply] = std::max(len, ply + 1);
}

template <Evaluator E>
std::optional<int> Searcher<E>::try_probcut(Position& pos, int depth, int probcut_beta, int eval,
                                            int raw_eval, int ply, bool cut_node, bool ttpv) {
    MoveList noisy;
    movegen::generate_noisy(pos, noisy);
    if (noisy.empty()) return std::nullopt;
    ordering::MovePicker picker;
    for (Move m : noisy) picker.add(m, ordering::mvv_lva(pos, m));
    const Bitboard threats = ordering::pawn_threats(pos);
    const int see_threshold = std::max(probcut_beta - eval, 1);

    for (ordering::ScoredMove scored; (scored = picker.next_move()).move;) {
        const Move m = scored.move;
        if (ordering::is_under_promotion(m)) continue;
        if (!see::see_ge(pos, m, see_threshold)) continue;
        make(pos, m, ply, threats);
        int v = -qsearch(pos, -probcut_beta, -probcut_beta + 1, ply + 1);
        if (v >= probcut_beta && !stopped_)
            v = -negamax(pos, depth - 4, -probcut_beta, -probcut_beta + 1, ply + 1, false, !cut_node);
        unmake(pos, m);
        if (stopped_) return 0;
        if (v >= probcut_beta) {
            tt_->store_probcut(pos.key(), m, tt::score_to_tt(v, ply), raw_eval, depth, ttpv);
            return v;
        }
    }
    return std::nullopt;
}

template <Evaluator E>
void Searcher<E>::set_pv(int ply, std::span<const Move> line) {
    const int n = std::min(static_cast<int>(line.size()), MAX_PLY - ply);
    for (int i = 0; i < n; ++i) pv_[ply][ply + i] = line[i];
    pv_len_[ply] = ply + n;
}

template <Evaluator E>
template <typename CaptureScore, typename QuietScore>
bool Searcher<E>::score_move_list(const Position& pos, const MoveList& legal, NodeMoves& moves,
                                  const PriorityMoves& priority, int ply, int depth,
                                  bool policy_scoring, CaptureScore&& capture_score,
                                  QuietScore&& quiet_score) {
    moves.init_list();
    std::int32_t policy_scores[MAX_MOVES];
    const bool scored_by_policy =
        policy_scoring
        && policy_->score_moves(pos, legal.moves, legal.size(), policy_scores, ply, depth);
    const bool own_order = !scored_by_policy || policy_->keeps_normal_order();
    for (int i = 0; i < legal.size(); ++i) {
        const Move m = legal[i];
        std::int32_t score;
        if (!own_order) {
            score = std::clamp(policy_scores[i], -ordering::POLICY_LIMIT, ordering::POLICY_LIMIT);
            if (m == priority.tt_move && !policy_->ranks_tt_move()) score = ordering::TT_MOVE;
        } else if (m == priority.tt_move) {
            score = ordering::TT_MOVE;
        } else if (is_noisy(m)) {
            score = capture_score(m);
        } else if (m == priority.killer1) {
            score = ordering::KILLER_1;
        } else if (m == priority.killer2) {
            score = ordering::KILLER_2;
        } else if (m == priority.counter) {
            score = ordering::COUNTER;
        } else {
            score = quiet_score(m);
            if (scored_by_policy && policy_->uses_order_bonus())
                score += policy_->quiet_order_bonus(pos, m, legal.size());
        }
        moves.add(m, score);
    }
    return scored_by_policy;
}

template <Evaluator E>
void Searcher<E>::reward_cutoff(const Position& pos, Move m, Piece piece, Bitboard threats,
                                int ply, int depth, Move killer1, const TriedMoves& tried) {
    const Color us = color_of(piece);
    const int bonus = std::min(std::max(tune::value(tune::HISTORY_BONUS_MULT) * depth
                                            + tune::value(tune::HISTORY_BONUS_OFFSET),
                                        0),
                               tune::value(tune::HISTORY_BONUS_MAX));
    const int malus = std::min(std::max(tune::value(tune::HISTORY_MALUS_MULT) * depth
                                            + tune::value(tune::HISTORY_MALUS_OFFSET),
                                        0),
                               tune::value(tune::HISTORY_MALUS_MAX));
    if (is_quiet(m)) {
        if (m != killer1) killers_[ply] = (static_cast<std::uint32_t>(killer1) << 16) | m;
        const ContRecord& prev = ply > 0 ? cont_[ply - 1] : cont_[STACK_SIZE];
        if (prev.present) counter_moves_[prev.piece][prev.to] = m;
        update_history(us, threats, piece, m, ply, bonus);
        for (int i = 0; i < tried.quiet_count; ++i) {
            const Move q = tried.quiets[i];
            update_history(us, threats, pos.piece_on(move_from(q)), q, ply, -malus);
        }
    } else {
        update_cap_history(piece, move_to(m), ordering::captured_kind(pos, m), bonus);
    }
    for (int i = 0; i < tried.capture_count; ++i) {
        const Move c = tried.captures[i];
        update_cap_history(pos.piece_on(move_from(c)), move_to(c), ordering::captured_kind(pos, c),
                           -malus);
    }
}

template <Evaluator E>
template <typename CaptureScore, typename QuietScore>
std::optional<smp::SplitOutcome> Searcher<E>::split_rest(Position& pos, NodeMoves& moves,
                                                         const smp::SplitNode& node, Move excluded,
                                                         CaptureScore&& capture_score,
                                                         QuietScore&& quiet_score) {
    std::vector<ordering::ScoredMove> rest;
    for (ordering::ScoredMove next; (next = moves.next(pos, capture_score, quiet_score)).move;)
        if (next.move != excluded) rest.push_back(next);
    if (rest.empty()) return std::nullopt;
    return smp::run_split(*this, *ybwc_, pos, node, std::move(rest));
}

template <Evaluator E>
int Searcher<E>::negamax(Position& pos, int depth, int alpha, int beta, int ply, bool no_null,
                         bool cut_node) {
    if (ply >= STACK_SIZE) fatal("search ply out of range");
    pv_len_[ply] = ply;
    const bool pv_node = beta - alpha >= 2;
    const bool in_check = pos.in_check();
    const Color us = pos.side();

    // Draws: the fifty-move rule (unless this is mate), repetitions, dead material.
    if (ply > 0) {
        if (pos.halfmove() >= 100 && !(in_check && !movegen::has_legal_move(pos))) return 0;
        if (pos.is_repetition() || pos.insufficient_material()) return 0;
    }

    // Check extension, bounded so that perpetual checks cannot blow up the tree.
    if (in_check && ply < std::max(2 * iteration_depth_, 2)) depth += 1;
    if (depth < 1) return qsearch(pos, alpha, beta, ply);

    // Node counting and stop polling: limits and the stop flag are looked at every 2048 nodes.
    ++nodes_;
    if ((nodes_ & 2047) == 0 && poll()) stopped_ = true;
    if (stopped_) return 0;
    seldepth_ = std::max(seldepth_, ply);

    // The ply limit: the stacks end here, so the node is only evaluated.
    if (ply >= MAX_PLY - 1) return in_check ? 0 : raw_eval(pos);

    // Mate-distance pruning: no line from here can beat a mate already found nearer the root.
    if (ply > 0) {
        alpha = std::max(alpha, -MATE + ply);
        beta = std::min(beta, MATE - 1 - ply);
        if (alpha >= beta) return alpha;
    }

    // Transposition table.
    const Move excluded = excluded_[ply];
    const std::uint64_t key = pos.key();
    const std::optional<tt::Entry> entry = tt_->probe(key);
    const bool tt_hit = entry.has_value();
    if constexpr (COUNT_TABLE_STATS) {
        ++table_stats_.probes;
        table_stats_.hits += tt_hit;
    }
    const int tt_score = tt_hit ? tt::score_from_tt(entry->score, ply) : 0;
    Move tt_move = tt_hit ? entry->move : NULL_MOVE;
    // The root's first move must not depend on its entry surviving: two threads storing one
    // slot at the same moment leave it unreadable, and a mate position searched deep without
    // its mating move first explodes.
    if (ply == 0 && !tt_move) tt_move = root_best_;
    const bool ttpv = pv_node || (tt_hit && entry->pv);
    if (!excluded && !pv_node && tt_hit && entry->depth >= depth) {
        if ((entry->bound == tt::BOUND_LOWER && tt_score >= beta)
            || (entry->bound == tt::BOUND_UPPER && tt_score <= alpha)
            || entry->bound == tt::BOUND_EXACT) {
            if constexpr (COUNT_TABLE_STATS) ++table_stats_.cutoffs;
            return tt_score;
        }
    }

    // Tablebase probe: a win or loss becomes a bound for everything this node returns.
    int floor_clamp = -INFINITE_SCORE, ceiling_clamp = INFINITE_SCORE;
    if (!excluded && ply > 0 && tablebase_ && pos.halfmove() == 0
        && static_cast<std::uint32_t>(pos.piece_count()) <= tablebase_->max_pieces()) {
        if (std::optional<Wdl> wdl = tablebase_->probe_wdl(pos)) {
            ++tbhits_;
            const int tb_depth = std::min(depth + 6, MAX_PLY - 1);
            if (*wdl == Wdl::LOSS) {
                const int score = -TB_WIN + ply;
                if (alpha >= score) {
                    tt_->store(key, NULL_MOVE, -TB_WIN, TT_NO_EVAL, tb_depth, tt::BOUND_UPPER, ttpv);
                    return score;
                }
                ceiling_clamp = score;
            } else if (*wdl == Wdl::WIN) {
                const int score = TB_WIN - ply;
                if (score >= beta) {
                    tt_->store(key, NULL_MOVE, TB_WIN, TT_NO_EVAL, tb_depth, tt::BOUND_LOWER, ttpv);
                    return score;
                }
                floor_clamp = score;
            } else {
                tt_->store(key, NULL_MOVE, 0, TT_NO_EVAL, tb_depth, tt::BOUND_EXACT, ttpv);
                return 0;
            }
        }
    }
    auto clamp_tb = [&](int v) { return std::clamp(v, floor_clamp, ceiling_clamp); };

    // Static evaluation, corrected by what the correction histories learned.
    int raw = TT_NO_EVAL, eval = NO_EVAL;
    bool improving = false;
    if (in_check) {
        eval_stack_[ply] = NO_EVAL;
    } else {
        raw = (tt_hit && entry->eval != TT_NO_EVAL) ? entry->eval : raw_eval(pos);
        eval = corrected_eval(pos, raw, ply);
        eval_stack_[ply] = eval;
        if (ply > 0 && eval_stack_[ply - 1] != NO_EVAL && move_stack_[ply - 1].quiet) {
            // The previous quiet move is judged by how the eval swung after it.
            const int bonus = std::clamp(-2 * (eval + eval_stack_[ply - 1]), -100, 200);
            const MoveRecord& prev = move_stack_[ply - 1];
            apply_history_bonus(history_.main_entry(us ^ 1, prev.threat_bucket, move_from(prev.move),
                                                    move_to(prev.move)),
                                bonus);
        }
        if (ply < 2) improving = true;
        else if (eval_stack_[ply - 2] != NO_EVAL) improving = eval > eval_stack_[ply - 2];
        else if (ply >= 4 && eval_stack_[ply - 4] != NO_EVAL) improving = eval > eval_stack_[ply - 4];
        else improving = true;
    }
    const int bucket = phase_bucket(pos);

    // Reverse futility pruning: a static eval far above beta fails high at once.
    if (!pv_node
        && !in_check
        && !excluded
        && std::abs(beta) < RFP_BETA_LIMIT
        && depth < tune::value(tune::RFP_MAX_DEPTH)
        && eval - tune::value(tune::RFP_MARGIN[bucket]) * (depth - improving)
                   - ((tt_hit && entry->pv) ? tune::value(tune::RFP_TTPV_MARGIN) : 0)
               >= beta) {
        if (!pos.has_non_pawn_material(us) && !movegen::has_legal_move(pos)) return 0;
        return clamp_tb(eval);
    }

    // Null-move pruning, verified at high depth against zugzwang.
    if (!pv_node
        && !no_null
        && !in_check
        && !excluded
        && depth >= tune::value(tune::NMP_MIN_DEPTH)
        && eval >= beta
        && std::abs(beta) < MATE_BOUND
        && may_try_null_move(pos, us)
        && !(tt_hit && entry->bound == tt::BOUND_UPPER && tt_score < beta)) {
        move_stack_[ply] = {};
        cont_[ply] = {};
        pos.make_null();
        const int reduced = depth - tune::value(tune::NMP_BASE_REDUCTION)
                            - depth / tune::value(tune::NMP_DEPTH_DIVISOR)
                            - std::min((eval - beta) / tune::value(tune::NMP_EVAL_DIVISOR),
                                       tune::value(tune::NMP_EVAL_MAX_REDUCTION));
        int v = -negamax(pos, reduced, -beta, -beta + 1, ply + 1, true, !cut_node);
        pos.unmake_null();
        if (stopped_) return 0;
        if (v >= beta) {
            const int result = v >= MATE_BOUND ? beta : v;
            if (depth < tune::value(tune::NMP_VERIFY_DEPTH)) return clamp_tb(result);
            const int verified = negamax(pos, reduced, beta - 1, beta, ply, true, cut_node);
            if (stopped_) return 0;
            if (verified >= beta) return clamp_tb(result);
        }
    }

    // ProbCut: a capture that beats beta by a margin in a shallow search cuts the node.
    if (!pv_node) {
        const int probcut_beta =
            std::min(beta + tune::value(tune::PROBCUT_MARGIN), MATE_BOUND - 1);
        if (!excluded
            && !in_check
            && depth >= tune::value(tune::PROBCUT_MIN_DEPTH)
            && std::abs(beta) < MATE_BOUND
            && eval + PROBCUT_EVAL_MARGIN >= probcut_beta
            && !(tt_hit && entry->depth >= depth - 3 && tt_score < probcut_beta)) {
            if (std::optional<int> v =
                    try_probcut(pos, depth, probcut_beta, eval, raw, ply, cut_node, ttpv)) {
                if (stopped_) return 0;
                return clamp_tb(*v);
            }
        }
    }

    // Internal iterative reduction: without a table move this node is probably not critical.
    if (ply > 0 && !excluded && !tt_move && depth >= tune::value(tune::IIR_MIN_DEPTH)) depth -= 1;
    const int d = depth;

    // The move policy and the move source.
    const bool policy_wants = policy_->wants(ply, d);
    const bool reduction_only = policy_wants && policy_->reduction_is_delta()
                                && policy_->keeps_normal_order() && !policy_->uses_order_bonus();
    const bool policy_scoring = policy_wants && !reduction_only;
    bool policy_guided = reduction_only;

    const ContRecord& prev = ply > 0 ? cont_[ply - 1] : cont_[STACK_SIZE];
    const Move counter = prev.present ? counter_moves_[prev.piece][prev.to] : NULL_MOVE;
    const Move killer1 = static_cast<Move>(killers_[ply] & 0xFFFF);
    const Move killer2 = static_cast<Move>(killers_[ply] >> 16);
    const Bitboard threats = ordering::pawn_threats(pos);

    auto capture_score = [&](Move m) -> std::int32_t {
        if (ordering::is_under_promotion(m)) return ordering::UNDER_PROMOTION;
        return (see::see_ge(pos, m, 0) ? ordering::GOOD_CAPTURE : ordering::BAD_CAPTURE)
               + capture_order(pos, m);
    };
    const ContRows rows = cont_rows(ply);
    auto quiet_score = [&](Move m) -> std::int32_t {
        return quiet_history(us, threats, pos.piece_on(move_from(m)), m, rows);
    };

    NodeMoves moves;
    const bool use_list = ply == 0 || policy_scoring || (busy_ && d >= BUSY_MIN_DEPTH);
    if (use_list) {
        MoveList legal;
        movegen::generate_all(pos, legal);
        if (legal.empty()) return in_check ? -MATE + ply : 0;
        const bool scored_by_policy =
            score_move_list(pos, legal, moves, {tt_move, killer1, killer2, counter}, ply, d,
                            policy_scoring, capture_score, quiet_score);
        policy_guided = policy_guided || scored_by_policy;
    } else {
        moves.init_staged(tt_move, killer1, killer2, counter);
    }

    // Thresholds of the move loop.
    const int lmp_threshold = improving ? tune::value(tune::LMP_BASE[bucket]) + d * d
                                        : (tune::value(tune::LMP_BASE[bucket]) + d * d) * 2 / 3;
    const int history_threshold = tune::value(tune::HISTORY_PRUNE_FACTOR) * d;
    const int singular_beta = tt_score - tune::value(tune::SINGULAR_MARGIN) * d / 8;
    const int singular_depth = (d - 1) / 2;
    const int negative_extension = tt_score >= beta ? -1 : 0;
    const int base_adjustment = ((!pv_node && cut_node) ? 1 : 0) + ((tt_move && is_noisy(tt_move)) ? 1 : 0)
                                + (improving ? 0 : 1) - (ttpv ? 1 : 0);
    const int alpha_entry = alpha;
    const bool busy_active = busy_ && d >= BUSY_MIN_DEPTH;

    int best = -INFINITE_SCORE;
    Move best_move = NULL_MOVE;
    int moves_searched = 0, quiets_searched = 0;
    TriedMoves tried;
    ordering::ScoredMove deferred[MAX_DEFERRED];
    int deferred_count = 0, deferred_next = 0;
    bool main_exhausted = false;
    std::optional<CheckInfo> check_info;  // made when a move is first asked whether it checks

    for (;;) {
        // Next move: the main sequence, then the moves deferred because another thread had them.
        ordering::ScoredMove scored;
        bool from_deferred = false;
        if (!main_exhausted) {
            scored = moves.next(pos, capture_score, quiet_score);
            main_exhausted = scored.move == NULL_MOVE;
        }
        if (main_exhausted) {
            if (deferred_next >= deferred_count) break;
            scored = deferred[deferred_next++];
            from_deferred = true;
        }
        const Move m = scored.move;
        if (m == excluded) continue;
        if (ply == 0) {
            if (!root_moves_.empty()
                && std::find(root_moves_.begin(), root_moves_.end(), m) == root_moves_.end())
                continue;
            if (std::find(root_exclusion_.begin(), root_exclusion_.end(), m) != root_exclusion_.end())
                continue;
        }

        // The child's slot is fetched while the pruning rules below decide on the move.
        tt_->prefetch(pos.key_after(m));
        const bool quiet = is_quiet(m);
        const Piece piece = pos.piece_on(move_from(m));
        const bool special = m == killer1 || m == killer2 || m == counter;
        int hist = 0;
        if (quiet) {
            hist = (scored.score >= ordering::COUNTER || policy_guided)
                       ? quiet_history(us, threats, piece, m, rows)
                       : scored.score;
        }
        // Whether the move checks, asked only where a rule needs it (it is not cheap).
        std::optional<bool> checks;
        auto gives_check = [&] {
            if (!checks) {
                if (!check_info) check_info = pos.check_info();
                checks = pos.gives_check(m, *check_info);
            }
            return *checks;
        };

        // Move-loop pruning, once some move has produced a real score.
        if (ply > 0 && !in_check && best >= LOSING_BOUND && !from_deferred) {
            if (quiet && d < tune::value(tune::LMP_MAX_DEPTH) && quiets_searched >= lmp_threshold
                && !gives_check())
                continue;
            if (quiet && !ttpv && d < tune::value(tune::HISTORY_PRUNE_MAX_DEPTH)
                && hist < history_threshold && !gives_check())
                continue;
            if (quiet && d < tune::value(tune::FUTILITY_MAX_DEPTH)
                && alpha >= eval + tune::value(tune::FUT_BASE[bucket])
                                + tune::value(tune::FUT_MULT[bucket]) * d + hist / 64
                && !gives_check())
                continue;
            if (d < tune::value(tune::SEE_PRUNE_MAX_DEPTH)) {
                const int t = quiet ? -d * tune::value(tune::SEE_QUIET[bucket])
                                    : -d * tune::value(tune::SEE_NOISY[bucket]);
                const bool proven = !quiet && scored.score >= ordering::GOOD_CAPTURE && t < 1;
                if (!proven && !see::see_ge(pos, m, t)) continue;
            }
        }

        // Singular extension: is the table move much better than every alternative?
        int extension = 0;
        if (m == tt_move
            && ply > 0
            && !excluded
            && d >= tune::value(tune::SINGULAR_MIN_DEPTH)
            && tt_hit
            && entry->depth >= d - 3
            && (entry->bound == tt::BOUND_LOWER || entry->bound == tt::BOUND_EXACT)
            && std::abs(tt_score) < SINGULAR_SCORE_LIMIT) {
            excluded_[ply] = m;
            const int v = negamax(pos, singular_depth, singular_beta - 1, singular_beta, ply, no_null,
                                  cut_node);
            excluded_[ply] = NULL_MOVE;
            if (stopped_) return 0;
            if (v < singular_beta) {
                extension = 1;
                if (!pv_node && v + tune::value(tune::DOUBLE_EXTENSION_MARGIN) < singular_beta)
                    extension = ply < std::max(2 * iteration_depth_, 2) ? 2 : 1;
            } else if (singular_beta >= beta) {
                return clamp_tb(singular_beta);  // multi-cut
            } else {
                extension = negative_extension;
            }
        }

        // Busy moves: leave a move another thread is searching for later.
        bool marked = false;
        if (busy_active) {
            if (!from_deferred && moves_searched > 0 && deferred_count < MAX_DEFERRED
                && busy_->is_busy(key, m)) {
                deferred[deferred_count++] = scored;
                continue;
            }
            busy_->mark(key, m);
            marked = true;
        }

        // The policy's reduction for this move.
        std::optional<int> policy_delta, policy_replacement;
        if (policy_guided && moves_searched > 0 && !in_check) {
            if (policy_->reduction_is_delta()) {
                if (quiet && !gives_check() && moves_searched >= (pv_node ? 2 : 1) && d >= 2)
                    policy_delta = policy_->reduction(pos, m, d);
            } else {
                policy_replacement = policy_->reduction(pos, m, d);
            }
        }

        // Make, then the search of the child: the first move with the full window, the others
        // reduced with a null window, re-searched deeper or with the full window when they
        // beat alpha.
        const int cap_hist = quiet ? 0
                                   : history_.capture[piece][move_to(m)]
                                                     [ordering::captured_kind(pos, m)];
        const std::uint64_t nodes_before = nodes_;
        make(pos, m, ply, threats);
        const int new_depth = d - 1 + extension;
        int v;
        if (moves_searched == 0) {
            v = -negamax(pos, new_depth, -beta, -alpha, ply + 1, false, !pv_node && !cut_node);
        } else {
            int r = 0;
            const int max_r = std::max(new_depth - 1, 0);
            if (policy_replacement) {
                r = std::clamp(*policy_replacement, 0, max_r);
            } else if (d >= 2 && moves_searched >= (pv_node ? 2 : 1) && !in_check && !pos.in_check()) {
                const int base = lmr_reduction(d, moves_searched);
                if (quiet) {
                    r = base + base_adjustment + (special ? 0 : 1)
                        - std::clamp(hist / tune::value(tune::LMR_HISTORY_DIVISOR), -2, 2) - 1
                        + policy_delta.value_or(0);
                    r = std::clamp(r, 0, max_r);
                } else if (!pv_node && d != 2 && scored.score < ordering::GOOD_CAPTURE) {
                    r = base / 2 + (improving ? 0 : 1)
                        + (cap_hist <= -tune::value(tune::CAPTURE_HISTORY_REDUCTION) ? 1
                           : cap_hist >= tune::value(tune::CAPTURE_HISTORY_REDUCTION) ? -1
                                                                                      : 0);
                    r = std::clamp(r, 0, max_r);
                }
            }
            v = -negamax(pos, new_depth - r, -alpha - 1, -alpha, ply + 1, false, true);
            if (!stopped_ && r >= 1 && v > alpha) {
                int deeper = new_depth
                             + (v > best + tune::value(tune::DEEPER_MARGIN) + 2 * new_depth ? 1 : 0)
                             - (v < best + new_depth ? 1 : 0);
                deeper = std::max(deeper, 1);
                v = -negamax(pos, deeper, -alpha - 1, -alpha, ply + 1, false, !cut_node);
            }
            if (!stopped_ && v > alpha && v < beta)
                v = -negamax(pos, new_depth, -beta, -alpha, ply + 1, false, false);
        }
        unmake(pos, m);
        if (marked) busy_->unmark(key, m);
        if (ply == 0) root_nodes_[move_from(m)][move_to(m)] += nodes_ - nodes_before;
        if (stopped_) return 0;

        // The result update: best score and line, and on a fail high the histories.
        ++moves_searched;
        if (quiet) ++quiets_searched;

        if (v > best) {
            best = v;
            if (v > alpha) {
                best_move = m;
                copy_pv(ply, m);
                if (ply == 0) root_best_ = m;
                if (v >= beta) {
                    // Fail high: reward the move, punish the moves tried before it.
                    const int bonus_depth = alpha_entry < eval_stack_[ply] ? d - 1 : d;
                    reward_cutoff(pos, m, piece, threats, ply, bonus_depth, killer1, tried);
                    break;
                }
                alpha = v;
            }
        }
        tried.add(m);

        // Young brothers wait: after the first move, idle helpers may share the rest.
        if (moves_searched == 1
            && ybwc_
            && thread_index_ == 0
            && !busy_
            && !excluded
            && d >= smp::SPLIT_MIN_DEPTH
            && !reduction_only
            && (ply > 0 || (root_moves_.empty() && root_exclusion_.empty()))
            && smp::has_idle_helpers(*ybwc_)) {
            const smp::SplitNode node{ply, d, alpha, beta, best, best_move, pv_node, cut_node,
                                      in_check, improving, tt_move && is_noisy(tt_move)};
            if (std::optional<smp::SplitOutcome> outcome =
                    split_rest(pos, moves, node, excluded, capture_score, quiet_score)) {
                if (stopped_) return 0;
                if (outcome->best_score > best) {
                    best = outcome->best_score;
                    if (best > alpha) {
                        alpha = best;
                        best_move = outcome->best_move;
                        if (ply == 0) root_best_ = best_move;
                        set_pv(ply, outcome->pv);
                    }
                }
            }
            break;
        }
    }

    // End of node: mate or stalemate, the tablebase bounds, then the correction history and
    // the table store.
    if (moves_searched == 0 && !excluded) return in_check ? -MATE + ply : 0;

    const int clamped = clamp_tb(best);
    if (clamped != best) {
        pv_len_[ply] = ply;
        tt_->store(key, NULL_MOVE, tt::score_to_tt(clamped, ply), raw, d,
                   clamped > best ? tt::BOUND_LOWER : tt::BOUND_UPPER, ttpv);
        return clamped;
    }

    if (!in_check
        && (!best_move || is_quiet(best_move))
        && std::abs(best) < MATE_BOUND
        && !(best >= beta && best <= eval)
        && !(best <= alpha_entry && best >= eval))
        update_correction(pos, best - eval, d, ply);

    const bool root_restricted = ply == 0 && (!root_moves_.empty() || !root_exclusion_.empty());
    if (!excluded && !root_restricted) {
        const int bound = best >= beta ? tt::BOUND_LOWER
                          : best > alpha_entry ? tt::BOUND_EXACT
                                               : tt::BOUND_UPPER;
        tt_->store(key, best_move, tt::score_to_tt(best, ply), raw, d, bound, ttpv);
    }
    return best;
}

template int Searcher<PstEval>::negamax(Position&, int, int, int, int, bool, bool);
template int Searcher<nnue::NnueEval>::negamax(Position&, int, int, int, int, bool, bool);
template void Searcher<PstEval>::make(Position&, Move, int, Bitboard);
template void Searcher<nnue::NnueEval>::make(Position&, Move, int, Bitboard);
template void Searcher<PstEval>::unmake(Position&, Move);
template void Searcher<nnue::NnueEval>::unmake(Position&, Move);
template void Searcher<PstEval>::copy_pv(int, Move);
template void Searcher<nnue::NnueEval>::copy_pv(int, Move);
template std::optional<int> Searcher<PstEval>::try_probcut(Position&, int, int, int, int, int, bool,
                                                           bool);
template std::optional<int> Searcher<nnue::NnueEval>::try_probcut(Position&, int, int, int, int, int, bool,
                                                           bool);

}  // namespace orvane
