// Iterative deepening: time allocation, root move lists, aspiration windows, MultiPV lines,
// reporting and the stop tests between iterations.
#include "core/eval/nnue/nnue_eval.h"
#include "core/search/searcher.h"

#include <algorithm>
#include <cmath>

#include "core/board/movegen.h"
#include "core/board/text.h"
#include "core/search/strength.h"
#include "core/search/tune.h"

namespace orvane {
namespace {

constexpr int ASPIRATION_MIN_DEPTH = 5;
constexpr int ASPIRATION_FULL = 1000;
constexpr int MAX_MOVES_TO_GO = 60;
constexpr int STABLE_SCORE_MARGIN = 30;
constexpr int MATE_WIN_MIN = MATE - MAX_PLY;  // a real mate, not a tablebase win
constexpr std::uint64_t STRENGTH_HARD_NODES = 4;  // the hard node cap, in soft caps...
constexpr std::uint64_t STRENGTH_NODE_SLACK = 2048;  // ... plus this, so depth 2 completes

int widen_low(int v) { return v < -MATE ? -INFINITE_SCORE : v; }
int widen_high(int v) { return v > MATE ? INFINITE_SCORE : v; }

// Aspiration windows: `search(alpha, beta, reduction)` runs in a window of ASPIRATION_DELTA
// around `previous` (the full window when `windowed` is false), and the side that failed is
// widened, twice as far each time, until the score falls inside. With `reduce_on_fail_high`
// each fail high searches one ply less and a fail low goes back to the full depth. Nothing
// when `search` answers nothing (stopped).
template <typename Search>
std::optional<int> aspiration_loop(int previous, bool windowed, bool reduce_on_fail_high,
                                   Search&& search) {
    int alpha = -INFINITE_SCORE, beta = INFINITE_SCORE, delta = tune::value(tune::ASPIRATION_DELTA);
    if (windowed) {
        alpha = widen_low(previous - delta);
        beta = widen_high(previous + delta);
    }
    int reduction = 0;
    for (;;) {
        const std::optional<int> v = search(alpha, beta, reduction);
        if (!v) return std::nullopt;
        if (*v > alpha && *v < beta) return v;
        if (*v >= beta) {
            beta = widen_high(*v + delta);
            if (reduce_on_fail_high) ++reduction;
        } else {
            beta = (alpha + beta) / 2;
            alpha = widen_low(*v - delta);
            reduction = 0;
        }
        delta *= 2;
        if (delta > ASPIRATION_FULL) {
            alpha = -INFINITE_SCORE;
            beta = INFINITE_SCORE;
        }
    }
}

}  // namespace

std::optional<SearchMode> parse_search_mode(std::string_view text) {
    const std::string word = text::ascii_lower(text::trim(text));
    if (word == "ab" || word == "alphabeta" || word == "alpha-beta") return SearchMode::AB;
    if (word == "voi") return SearchMode::VOI;
    if (word == "gumbel" || word == "gumbelsh" || word == "gumbel-sh" || word == "mcts")
        return SearchMode::GumbelSH;
    return std::nullopt;
}

std::string_view search_mode_name(SearchMode mode) {
    switch (mode) {
        case SearchMode::VOI: return "VOI";
        case SearchMode::GumbelSH: return "GumbelSH";
        default: return "AB";
    }
}

int phase_bucket(const Position& pos) {
    const int phase = popcount(pos.kind(KNIGHT) | pos.kind(BISHOP)) + 2 * popcount(pos.kind(ROOK))
                      + 4 * popcount(pos.kind(QUEEN));
    return phase >= 17 ? 0 : phase >= 9 ? 1 : 2;
}

namespace {
using LmrTable = std::array<std::array<int, 64>, 64>;

// std::log is evaluated at compile time here, and gives the same table as at run time.
constexpr LmrTable make_lmr_table(int base, int divisor) {
    LmrTable t{};
    for (int d = 1; d < 64; ++d)
        for (int m = 1; m < 64; ++m)
            t[d][m] = static_cast<int>(std::log(d) * std::log(m) / (divisor / 100.0) + base / 100.0);
    return t;
}

#ifdef ORVANE_TUNING
constinit LmrTable lmr_table = make_lmr_table(tune::LMR_BASE.value, tune::LMR_DIVISOR.value);
#else
constexpr LmrTable lmr_table = make_lmr_table(tune::LMR_BASE.value, tune::LMR_DIVISOR.value);
#endif
}  // namespace

#ifdef ORVANE_TUNING
void rebuild_lmr_table() {
    lmr_table = make_lmr_table(tune::value(tune::LMR_BASE), tune::value(tune::LMR_DIVISOR));
}
#endif

int lmr_reduction(int depth, int moves) {
    return lmr_table[std::min(depth, 63)][std::min(moves, 63)];
}

template <Evaluator E>
Searcher<E>::Searcher(E evaluator, std::shared_ptr<tt::TranspositionTable> table,
                      std::shared_ptr<std::atomic<bool>> stop)
    : tt_(std::move(table)),
      stop_(std::move(stop)),
      node_counter_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      policy_(std::make_unique<NoPolicy>()),
      eval_(std::move(evaluator)) {
    eval_stack_.fill(NO_EVAL);
    history_.clear();
}

template <Evaluator E>
void Searcher<E>::clear_learned() {
    history_.clear();
    killers_.fill(0);
    for (auto& row : counter_moves_) row.fill(NULL_MOVE);
    cont_.fill({});
    move_stack_.fill({});
}

template <Evaluator E>
std::uint64_t Searcher<E>::elapsed_ms() const {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start_)
                                          .count());
}

template <Evaluator E>
void Searcher<E>::flush_nodes() {
    node_counter_->fetch_add(nodes_ - flushed_nodes_, std::memory_order_relaxed);
    flushed_nodes_ = nodes_;
}

template <Evaluator E>
bool Searcher<E>::limits_reached() const {
    if (hard_limit_ms_ && !pondering()) {
        if (stop_on_ponderhit_ || elapsed_ms() >= *hard_limit_ms_) return true;
    }
    return node_limit_ && nodes_ >= *node_limit_;
}

// Every 2048 nodes: publish the node count and look at the stop conditions.
template <Evaluator E>
bool Searcher<E>::poll() {
    flush_nodes();
    if (iteration_depth_ < 2) return false;
    if (stop_->load(std::memory_order_relaxed)) return true;
    if (limits_reached()) return true;
    return abort_ && abort_->load(std::memory_order_relaxed);
}

template <Evaluator E>
void Searcher<E>::compute_time_limits(const SearchLimits& limits) {
    soft_limit_ms_.reset();
    hard_limit_ms_.reset();
    if (limits.infinite) return;
    auto less_overhead = [&](std::uint64_t t) {
        std::uint64_t r = t > move_overhead_ ? t - move_overhead_ : 0;
        return r == 0 ? std::uint64_t{1} : r;
    };
    if (limits.movetime) {
        hard_limit_ms_ = less_overhead(*limits.movetime);
    } else if (limits.time) {
        const std::uint64_t remaining = less_overhead(*limits.time);
        std::uint64_t mtg =
            limits.movestogo ? *limits.movestogo : tune::value(tune::TM_MOVES_TO_GO);
        mtg = std::min<std::uint64_t>(mtg, MAX_MOVES_TO_GO);
        if (mtg == 0) mtg = 1;
        std::uint64_t soft =
            limits.inc * tune::value(tune::TM_INCREMENT_SHARE) / 100 + remaining / mtg;
        soft = std::max<std::uint64_t>(std::min(soft, remaining / 2), 1);
        const std::uint64_t hard = std::max(std::min(remaining * 7 / 10, 4 * soft), soft);
        soft_limit_ms_ = soft;
        hard_limit_ms_ = hard;
    }
}

template <Evaluator E>
std::vector<Move> Searcher<E>::restrict_root_moves(const std::vector<Move>& root_moves,
                                                   const std::vector<Move>& searchmoves) {
    if (searchmoves.empty()) return root_moves;
    if (root_moves.empty()) return searchmoves;
    std::vector<Move> kept;
    for (Move m : root_moves)
        if (std::find(searchmoves.begin(), searchmoves.end(), m) != searchmoves.end())
            kept.push_back(m);
    return kept.empty() ? root_moves : kept;
}

// One line by aspiration windows around the previous score; returns the score or, stopped, 0.
template <Evaluator E>
int Searcher<E>::aspiration(Position& pos, int depth, int previous_score, bool have_previous) {
    const bool windowed = depth >= ASPIRATION_MIN_DEPTH && have_previous;
    const std::optional<int> v = aspiration_loop(
        previous_score, windowed, true, [&](int alpha, int beta, int reduction) -> std::optional<int> {
            const int score = negamax(pos, std::max(depth - reduction, 1), alpha, beta, 0, false, false);
            return stopped_ ? std::nullopt : std::optional<int>(score);
        });
    return v.value_or(0);
}

template <Evaluator E>
SearchResult Searcher<E>::search(Position& root, const SearchLimits& limits,
                                 const InfoCallback& on_info) {
    start_ = limits.received.value_or(std::chrono::steady_clock::now());
    node_limit_ = limits.nodes;
    soft_node_limit_ = limits.soft_nodes;
    stable_node_limit_ = limits.stable_nodes;
    compute_time_limits(limits);
    mate_moves_ = limits.mate;
    pondering_ = limits.pondering;
    stop_on_ponderhit_ = false;
    if (strength_) {
        const std::uint64_t soft = strength_->nodes;
        const std::uint64_t hard = soft * STRENGTH_HARD_NODES + STRENGTH_NODE_SLACK;
        soft_node_limit_ = std::min(soft_node_limit_.value_or(soft), soft);
        node_limit_ = std::min(node_limit_.value_or(hard), hard);
        // Its iterations search several lines and so overshoot the soft limit further: half
        // the soft limit, and the full search's soft limit as the hard one, keep it from
        // spending more time than the full-strength search.
        if (soft_limit_ms_) {
            hard_limit_ms_ = std::min(*hard_limit_ms_, *soft_limit_ms_);
            soft_limit_ms_ = std::max<std::uint64_t>(*soft_limit_ms_ / 2, 1);
        }
    }

    root.reserve_history(STACK_SIZE + 8);
    eval_.reset(root);
    nodes_ = flushed_nodes_ = 0;
    table_stats_ = {};
    if (node_counter_.use_count() == 1) node_counter_->store(0);
    stopped_ = false;
    if (thread_index_ == 0) tt_->new_generation();
    policy_->new_search();
    history_.halve_main();
    tbhits_ = 0;
    seldepth_ = 0;
    iteration_depth_ = 0;
    root_exclusion_.clear();
    root_best_ = NULL_MOVE;
    std::fill(pv_len_.begin(), pv_len_.end(), 0);

    SearchResult result;
    MoveList legal;
    movegen::generate_all(root, legal);
    if (legal.empty()) {
        result.score = root.in_check() ? -MATE : 0;
        return result;
    }

    // Root moves: tablebase filtering, then the searchmoves restriction.
    tb_root_moves_.clear();
    if (preset_root_) {
        root_moves_ = std::move(*preset_root_);
        preset_root_.reset();
        if (root_probe_ && !root_probe_->empty()) {
            ++tbhits_;
            tb_root_moves_ = *root_probe_;
        }
        root_probe_.reset();
    } else {
        std::optional<std::vector<RootMove>> probe = std::move(root_probe_);
        root_probe_.reset();
        if (!probe && tablebase_) probe = tablebase_->probe_root(root);
        root_moves_.clear();
        if (probe && !probe->empty()) {
            ++tbhits_;
            tb_root_moves_ = *probe;
            root_moves_ = tablebase::filter_root_moves(*probe);
        }
        std::vector<Move> wanted;
        for (Move m : limits.searchmoves)
            if (legal.contains(m)) wanted.push_back(m);
        root_moves_ = restrict_root_moves(root_moves_, wanted);
    }
    const int root_count = root_moves_.empty() ? legal.size() : static_cast<int>(root_moves_.size());

    int max_depth = limits.depth ? std::clamp(*limits.depth, 1, MAX_PLY - 1) : MAX_PLY - 1;
    if (root_count == 1 && limits.time) max_depth = 1;
    // A weaker player looks at a few lines, to choose among them at the end.
    const int wanted_lines = strength_ ? std::max(multipv_, strength::LINES) : multipv_;
    if (strength_) max_depth = std::min(max_depth, std::max(strength_->depth, 1));
    const int lines = std::max(1, std::min(wanted_lines, root_count));

    result.best = root_moves_.empty() ? legal[0] : root_moves_[0];
    result.score = 0;
    result.depth = 0;


    if (root_count >= 2 && search_mode_ != SearchMode::AB && lines == 1 && thread_index_ == 0) {
        const std::vector<Move> arms = root_moves_.empty() ? std::vector<Move>(legal.begin(), legal.end())
                                                           : root_moves_;
        result = run_root_mode(root, arms, max_depth, on_info);
        flush_nodes();
        result.nodes = nodes_;
        return result;
    }

    int previous_score = 0, stability = 0;
    bool stable_rule_used = false;
    std::vector<Line> previous_lines;
    std::vector<Line> older_lines;  // the iteration before, for the weaker player's choice
    for (int d = 1; d <= max_depth; ++d) {
        if (thread_index_ > 0 && d >= 2 && d < max_depth) {
            const bool skip = (thread_index_ % 2 == 1) ? d % 2 == 0 : (d + thread_index_) % 3 == 0;
            if (skip) continue;
        }
        if (d >= 2 && stop_->load(std::memory_order_relaxed)) break;
        iteration_depth_ = d;
        for (auto& row : root_nodes_) row.fill(0);
        seldepth_ = 0;
        const std::uint64_t iteration_start_nodes = nodes_;

        int score = 0;
        std::vector<Line> found;
        if (lines == 1) {
            score = aspiration(root, d, previous_score, d > 1);
            if (stopped_) break;
            found.push_back({std::vector<Move>(pv_at(0).begin(), pv_at(0).end()), score, seldepth_});
        } else {
            const bool have_previous = static_cast<int>(previous_lines.size()) == lines;
            for (int k = 0; k < lines; ++k) {
                seldepth_ = 0;
                const int v = aspiration(root, d, have_previous ? previous_lines[k].score : 0,
                                         have_previous);
                if (stopped_) break;
                found.push_back({std::vector<Move>(pv_at(0).begin(), pv_at(0).end()), v, seldepth_});
                if (pv_len_[0] > 0) root_exclusion_.push_back(pv_[0][0]);
            }
            root_exclusion_.clear();
            std::stable_sort(found.begin(), found.end(),
                             [](const Line& a, const Line& b) { return a.score > b.score; });
            for (std::size_t k = 0; k < found.size(); ++k)
                report_line(root, found[k].moves, d, found[k].score, found[k].seldepth,
                            static_cast<std::uint32_t>(k + 1), on_info);
            if (stopped_) break;
            older_lines = std::move(previous_lines);
            previous_lines = found;
            score = found[0].score;
        }

        // A completed iteration.
        const std::vector<Move>& pv = found[0].moves;
        if (pv.empty()) break;
        stability = (pv[0] == result.best && result.depth > 0) ? stability + 1 : 0;
        result.best = pv[0];
        result.ponder = pv.size() > 1 ? pv[1] : NULL_MOVE;
        result.score = score;
        result.depth = d;
        if (lines == 1) report_line(root, pv, d, score, found[0].seldepth, 1, on_info);

        // Stop tests.
        const std::uint64_t iteration_nodes = std::max<std::uint64_t>(nodes_ - iteration_start_nodes, 1);
        bool stop = false;
        if (stable_node_limit_ && lines == 1 && !stable_rule_used && nodes_ >= *stable_node_limit_) {
            stable_rule_used = true;
            if (d > 1 && std::abs(score - previous_score) < STABLE_SCORE_MARGIN && stability > 0)
                stop = true;
        }
        if (!stop && soft_limit_ms_ && !stop_on_ponderhit_) {
            const double frac = static_cast<double>(root_nodes_[move_from(pv[0])][move_to(pv[0])])
                                / static_cast<double>(iteration_nodes);
            // With several lines each has a search of its own, so the best line's share of
            // the nodes says nothing about how settled it is.
            const double node_factor =
                lines == 1 ? std::clamp(tune::value(tune::TM_NODE_SCALE) / 100.0
                                            * (tune::value(tune::TM_NODE_OFFSET) / 100.0 - frac),
                                        0.5, 2.0)
                           : 1.0;
            const double stability_factor =
                tune::value(tune::TM_STABILITY[std::min(stability, 4)]) / 100.0;
            const double drop =
                d > 1 ? std::min(std::max(previous_score - score, 0), tune::value(tune::TM_DROP_CAP))
                            / static_cast<double>(tune::value(tune::TM_DROP_DIVISOR))
                      : 0.0;
            const double scale = d > 3 ? node_factor * stability_factor * (1 + drop) : 1.0;
            // While pondering the time spent is thinking already done: a search that would
            // stop here goes on, and stops at once at ponderhit.
            if (static_cast<double>(elapsed_ms())
                >= tune::value(tune::TM_SOFT_STOP) / 100.0 * scale
                       * static_cast<double>(*soft_limit_ms_)) {
                if (pondering()) stop_on_ponderhit_ = true;
                else stop = true;
            }
        }
        if (mate_moves_ && score >= MATE_WIN_MIN && MATE - score <= 2 * *mate_moves_ - 1) stop = true;
        if (node_limit_ && nodes_ >= *node_limit_) stop = true;
        if (soft_node_limit_ && nodes_ >= *soft_node_limit_) stop = true;
        if (d >= max_depth) stop = true;
        previous_score = score;
        if (stop) break;
    }

    if (strength_ && previous_lines.size() >= 2 && !older_lines.empty()) {
        // A line counts by the larger of its losses to the best line in the last two
        // iterations: a shallow search may see a capture it only delays as just as good.
        std::vector<int> scores;
        for (const Line& l : previous_lines) {
            int loss = previous_lines[0].score - l.score;
            const auto before = std::find_if(older_lines.begin(), older_lines.end(), [&](const Line& o) {
                return !o.moves.empty() && !l.moves.empty() && o.moves[0] == l.moves[0];
            });
            if (before == older_lines.end()) loss = INFINITE_SCORE;
            else loss = std::max(loss, older_lines[0].score - before->score);
            scores.push_back(&l == &previous_lines[0] ? l.score : previous_lines[0].score - loss);
        }
        const std::size_t k = strength::choose_line(scores, *strength_, root.key(), strength_game_);
        const std::vector<Move>& line = previous_lines[k].moves;
        if (!line.empty()) {
            result.best = line[0];
            result.ponder = line.size() > 1 ? line[1] : NULL_MOVE;
            result.score = previous_lines[k].score;
        }
    }
    flush_nodes();
    result.nodes = nodes_;
    return result;
}

template <Evaluator E>
std::optional<typename Searcher<E>::RootMoveResult> Searcher<E>::search_root_move(
    Position& pos, Move m, int depth, bool aspiration_window, int previous_score) {
    iteration_depth_ = depth;
    seldepth_ = 0;
    const bool windowed = aspiration_window && depth >= ASPIRATION_MIN_DEPTH
                          && std::abs(previous_score) <= TB_WIN;
    const std::uint64_t nodes_before = nodes_;
    const Bitboard threats = ordering::pawn_threats(pos);
    const std::optional<int> v = aspiration_loop(
        previous_score, windowed, false, [&](int alpha, int beta, int) -> std::optional<int> {
            make(pos, m, 0, threats);
            const int score = -negamax(pos, std::max(depth - 1, 0), -beta, -alpha, 1, false, false);
            unmake(pos, m);
            return stopped_ ? std::nullopt : std::optional<int>(score);
        });
    if (!v) return std::nullopt;
    RootMoveResult r;
    r.line.push_back(m);
    for (Move x : pv_at(1)) r.line.push_back(x);
    r.score = *v;
    r.nodes = std::max<std::uint64_t>(nodes_ - nodes_before, 1);
    return r;
}

template <Evaluator E>
void Searcher<E>::report_line(const Position& pos, std::span<const Move> pv, int depth, int score,
                              int seldepth, std::uint32_t multipv, const InfoCallback& on_info) {
    if (!on_info) return;
    IterationInfo info;
    if (show_wdl_) info.wdl = line_wdl(pos, pv, score);
    info.pv = pv;
    info.seldepth = seldepth;
    info.nodes = node_counter_->load(std::memory_order_relaxed) + (nodes_ - flushed_nodes_);
    info.time_ms = elapsed_ms();
    info.tbhits = tbhits_;
    info.multipv = multipv;
    info.depth = depth;
    info.score = score;
    info.hashfull = static_cast<std::uint32_t>(tt_->hashfull());
    on_info(info);
}

template <Evaluator E>
WdlPermille Searcher<E>::line_wdl(const Position& pos, std::span<const Move> line, int score) const {
    if (score >= MATE_BOUND) return {1000, 0, 0};
    if (score <= -MATE_BOUND) return {0, 0, 1000};
    if (!line.empty()) {
        for (const RootMove& rm : tb_root_moves_) {
            if (rm.mv != line[0]) continue;
            if (rm.wdl == Wdl::WIN) return {1000, 0, 0};
            if (rm.wdl == Wdl::LOSS) return {0, 0, 1000};
            return {0, 1000, 0};
        }
    }
    Position end = pos;
    for (Move m : line) end.make_move(m);
    double win = 0, loss = 0;
    const bool odd = line.size() % 2 == 1;
    if (end.halfmove() >= 100 || end.is_repetition() || end.insufficient_material()) {
        win = loss = 0;
    } else if (movegen::has_legal_move(end)) {
        const double s = odd ? -score : score;
        const double p = 1.0 / (1.0 + std::exp(-s / 400.0));
        const double m = 0.3 * (1.0 - std::abs(2.0 * p - 1.0));
        win = p - m;
        loss = 1.0 - p - m;
    } else {
        loss = end.in_check() ? 1.0 : 0.0;
        win = 0.0;
    }
    if (odd) std::swap(win, loss);
    const auto w = static_cast<std::uint32_t>(std::lround(std::clamp(win, 0.0, 1.0) * 1000.0));
    const auto l = std::min(static_cast<std::uint32_t>(std::lround(std::clamp(loss, 0.0, 1.0) * 1000.0)),
                            1000 - w);
    return {w, 1000 - w - l, l};
}

template class Searcher<PstEval>;
template class Searcher<nnue::NnueEval>;

}  // namespace orvane
