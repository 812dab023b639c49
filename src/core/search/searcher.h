// The per-thread search: iterative deepening with aspiration windows over a principal-
// variation alpha-beta search, written once and instantiated per evaluator. A Searcher owns
// its stacks, histories and evaluator; it shares the table, the stop flag, the node counter,
// the tablebase and the parallel-search structures with the other threads of its pool.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/eval/pst_eval.h"
#include "core/search/history.h"
#include "core/search/move_ordering.h"
#include "core/search/move_policy.h"
#include "core/board/position.h"
#include "core/search/score.h"
#include "core/tablebase/tablebase.h"
#include "core/search/transposition_table.h"

namespace orvane {

class NodeMoves;

namespace smp {
class BusyMoves;
class YbwcPool;
struct YbwcSplit;
struct SplitNode;
struct SplitOutcome;
}  // namespace smp

enum class SearchMode { AB, VOI, GumbelSH };

// Trimmed, ASCII case ignored: "ab", "alphabeta", "alpha-beta", "voi", "gumbel", "gumbelsh",
// "gumbel-sh", "mcts"; anything else is no mode.
std::optional<SearchMode> parse_search_mode(std::string_view text);
std::string_view search_mode_name(SearchMode mode);

struct SearchLimits {
    std::optional<std::uint64_t> nodes;         // hard: each thread stops at this count
    std::optional<std::uint64_t> soft_nodes;    // no new iteration once reached
    std::optional<std::uint64_t> stable_nodes;  // one-time stability stop (MultiPV 1)
    std::optional<std::uint64_t> movetime;
    std::optional<std::uint64_t> time;
    std::vector<Move> searchmoves;
    std::optional<std::int32_t> depth;
    std::optional<std::uint32_t> movestogo;
    std::uint64_t inc = 0;
    bool infinite = false;
    // When the request arrived; the clock runs from here (now, when absent).
    std::optional<std::chrono::steady_clock::time_point> received;
    // Stop once a mate in this many moves or fewer is found for the side to move (1..64).
    std::optional<std::int32_t> mate;
    // A pondering search: while the flag is true the time limits wait. When it falls
    // (ponderhit) they count from `received`, so the time spent pondering is thinking done.
    std::shared_ptr<const std::atomic<bool>> pondering;
};

// A weaker player: node and depth caps, and a chance of choosing a slightly worse root
// move among several searched lines (strength.h maps an Elo number to these).
struct StrengthLevel {
    std::uint64_t nodes = 0;  // soft node cap per move
    int depth = MAX_PLY - 1;
    int margin = 0;            // largest loss, in centipawns, of a move chosen instead of the best
    int deviate_permille = 0;  // chance of choosing another move than the best
};

struct SearchResult {
    std::uint64_t nodes = 0;
    std::int32_t score = 0;
    std::int32_t depth = 0;
    Move best = NULL_MOVE;
    Move ponder = NULL_MOVE;
};

// Table use in the main search (not the quiescence search), for diagnostics. Counted only in
// builds configured with ORVANE_SEARCH_STATS: every node would pay for it otherwise.
#ifdef ORVANE_SEARCH_STATS
inline constexpr bool COUNT_TABLE_STATS = true;
#else
inline constexpr bool COUNT_TABLE_STATS = false;
#endif
struct TableStats {
    std::uint64_t probes = 0;
    std::uint64_t hits = 0;     // the entry holds this position
    std::uint64_t cutoffs = 0;  // ... and its bound ended the node
};

struct WdlPermille {
    std::uint32_t win, draw, loss;
};

struct IterationInfo {
    std::optional<WdlPermille> wdl;
    std::span<const Move> pv;
    std::int32_t seldepth = 0;
    std::uint64_t nodes = 0;
    std::uint64_t time_ms = 0;
    std::uint64_t tbhits = 0;
    std::uint32_t multipv = 1;
    std::int32_t depth = 0;
    std::int32_t score = 0;
    std::uint32_t hashfull = 0;
};

using InfoCallback = std::function<void(const IterationInfo&)>;

// A principal variation: the line found below one node.
struct Line {
    std::vector<Move> moves;
    std::int32_t score = 0;
    std::int32_t seldepth = 0;
};

template <Evaluator E>
class Searcher {
public:
    Searcher(E evaluator, std::shared_ptr<tt::TranspositionTable> table,
             std::shared_ptr<std::atomic<bool>> stop);

    SearchResult search(Position& root, const SearchLimits& limits, const InfoCallback& on_info);

    // Searches one root move to `depth` (the move plus depth - 1 below it); nothing when the
    // search was stopped. Used by the root selection modes.
    struct RootMoveResult {
        std::vector<Move> line;
        std::int32_t score;
        std::uint64_t nodes;
    };
    std::optional<RootMoveResult> search_root_move(Position& pos, Move m, int depth, bool aspiration,
                                                   int previous_score);
    void report_line(const Position& pos, std::span<const Move> pv, int depth, int score,
                     int seldepth, std::uint32_t multipv, const InfoCallback& on_info);
    WdlPermille line_wdl(const Position& pos, std::span<const Move> line, int score) const;
    static std::vector<Move> restrict_root_moves(const std::vector<Move>& root_moves,
                                                 const std::vector<Move>& searchmoves);

    int negamax(Position& pos, int depth, int alpha, int beta, int ply, bool no_null, bool cut_node);
    int qsearch(Position& pos, int alpha, int beta, int ply);

    // Learned tables: killers, counter moves, histories, correction histories, records.
    void clear_learned();

    // Configuration between searches.
    void set_table(std::shared_ptr<tt::TranspositionTable> table) { tt_ = std::move(table); }
    void set_node_counter(std::shared_ptr<std::atomic<std::uint64_t>> c) { node_counter_ = std::move(c); }
    void set_tablebase(std::shared_ptr<const Tablebase> tb) { tablebase_ = std::move(tb); }
    void set_policy(std::unique_ptr<MovePolicy> policy) { policy_ = std::move(policy); }
    void set_evaluator(E evaluator) { eval_ = std::move(evaluator); }
    void set_thread_index(int index) { thread_index_ = index; }
    void set_multipv(int n) { multipv_ = n < 1 ? 1 : n; }
    void set_show_wdl(bool on) { show_wdl_ = on; }
    void set_move_overhead(std::uint64_t ms) { move_overhead_ = ms; }
    void set_search_mode(SearchMode mode, double gumbel_temp) {
        search_mode_ = mode;
        gumbel_temp_ = gumbel_temp;
    }
    void set_busy_moves(std::shared_ptr<smp::BusyMoves> busy) { busy_ = std::move(busy); }
    void set_ybwc(std::shared_ptr<smp::YbwcPool> pool) { ybwc_ = std::move(pool); }
    void set_abort_flag(const std::atomic<bool>* flag) { abort_ = flag; }
    // A weaker player; `game` (the game count) varies the choices from game to game (no level:
    // full strength).
    void set_strength(std::optional<StrengthLevel> level, std::uint64_t game) {
        strength_ = level;
        strength_game_ = game;
    }
    bool strength_limited() const { return strength_.has_value(); }
    // Root moves handed over by whoever started the search (tablebase-filtered, restricted).
    void set_root_moves(std::vector<Move> moves) { preset_root_ = std::move(moves); }
    void set_root_probe(std::optional<std::vector<RootMove>> probe) { root_probe_ = std::move(probe); }

    const E& evaluator() const { return eval_; }
    E& evaluator() { return eval_; }
    MovePolicy& policy() { return *policy_; }
    int thread_index() const { return thread_index_; }
    int multipv() const { return multipv_; }
    std::uint64_t nodes() const { return nodes_; }
    std::uint64_t tbhits() const { return tbhits_; }
    const TableStats& table_stats() const { return table_stats_; }
    // When the running or last search started.
    std::chrono::steady_clock::time_point started_at() const { return start_; }
    bool stopped() const { return stopped_; }
    const std::shared_ptr<tt::TranspositionTable>& table() const { return tt_; }
    const std::shared_ptr<std::atomic<bool>>& stop_flag() const { return stop_; }
    const std::shared_ptr<std::atomic<std::uint64_t>>& node_counter() const { return node_counter_; }
    const std::shared_ptr<const Tablebase>& tablebase() const { return tablebase_; }
    const std::vector<Move>& root_moves() const { return root_moves_; }
    std::span<const Move> pv_at(int ply) const {
        return {pv_[ply].data() + ply, static_cast<std::size_t>(pv_len_[ply] - ply)};
    }

    // Limits used by the goal-move analysis and the split-point helpers.
    void set_hard_node_limit(std::optional<std::uint64_t> nodes) { node_limit_ = nodes; }
    void clear_time_limits() {
        soft_limit_ms_.reset();
        hard_limit_ms_.reset();
    }
    void clear_stopped() { stopped_ = false; }
    // The stop flag, the abort flag or the limits say stop, at any iteration depth.
    bool must_stop() const {
        return stop_->load(std::memory_order_relaxed) || (abort_ && abort_->load()) || limits_reached();
    }
    // Only the hard limits of the finished search stay: its clock and its node cap.
    void clear_soft_limits() {
        soft_limit_ms_.reset();
        soft_node_limit_.reset();
        stable_node_limit_.reset();
    }
    void set_iteration_depth(int d) { iteration_depth_ = d; }
    bool limits_reached() const;
    // Looks at the stop flag, the limits and the abort flag now (as the node does every 2048
    // nodes); true once this search is stopped.
    bool check_stop() {
        if (!stopped_ && poll()) stopped_ = true;
        return stopped_;
    }
    void flush_nodes();
    void reset_node_counts() {
        nodes_ = flushed_nodes_ = 0;
        table_stats_ = {};
    }
    void help_ybwc_split(smp::YbwcSplit& split);

private:
    struct MoveRecord {
        bool quiet = false;
        Move move = NULL_MOVE;
        std::uint8_t threat_bucket = 0;
    };
    struct ContRecord {
        bool present = false;
        std::uint8_t piece = 0;
        std::uint8_t to = 0;
    };

    // Root selection modes (VOI, Gumbel sequential halving) over the given root moves.
    SearchResult run_root_mode(Position& root, const std::vector<Move>& moves, int max_depth,
                               const InfoCallback& on_info);

    // Iterative deepening.
    int aspiration(Position& pos, int depth, int previous_score, bool have_previous);
    std::uint64_t elapsed_ms() const;
    void compute_time_limits(const SearchLimits& limits);
    bool pondering() const { return pondering_ && pondering_->load(std::memory_order_relaxed); }
    bool poll();

    // Histories and the corrected evaluation.
    // A quiet move's main history and its continuation histories one, two and four plies
    // back. Defined here: the move loop scores every quiet move with it.
    // The continuation-history rows of a node's quiet moves ([moving kind][destination]),
    // found once per node; a row of zeros where the earlier move is missing.
    struct ContRows {
        const std::int16_t* one;
        const std::int16_t* two;
        const std::int16_t* four;
    };
    ContRows cont_rows(int ply) const {
        static constexpr std::int16_t none[6 * 64] = {};
        auto row = [&](int back, const auto& table, bool by_kind) -> const std::int16_t* {
            if (ply < back || !cont_[ply - back].present) return none;
            const ContRecord& c = cont_[ply - back];
            return &table[by_kind ? kind_of(c.piece) : c.piece][c.to][0][0];
        };
        return {row(1, history_.cont1, false), row(2, history_.cont2, false),
                row(4, history_.cont4, true)};
    }
    int quiet_history(Color side, Bitboard threats, Piece piece, Move m, const ContRows& rows) const {
        const int from = move_from(m), to = move_to(m), at = kind_of(piece) * 64 + to;
        return history_.main_entry(side, threat_bucket(threats, from, to), from, to) + rows.one[at]
               + rows.two[at] + rows.four[at] / 2;
    }
    int quiet_history(Color side, Bitboard threats, Piece piece, Move m, int ply) const {
        return quiet_history(side, threats, piece, m, cont_rows(ply));
    }
    void update_history(Color side, Bitboard threats, Piece piece, Move m, int ply, int bonus);
    void update_cap_history(Piece piece, int to, int captured, int bonus);
    // Among captures: the victim first, the cheaper attacker next, then the capture history.
    int capture_order(const Position& pos, Move m) const {
        return ordering::mvv_lva(pos, m)
               + history_.capture[pos.piece_on(move_from(m))][move_to(m)]
                                 [ordering::captured_kind(pos, m)]
                     / 32;
    }
    int corrected_eval(const Position& pos, int raw, int ply) const;
    // The entries corrected_eval will read for this position, fetched while its table slot
    // and evaluation are on their way.
    void prefetch_correction(const Position& pos) const {
        constexpr std::uint64_t mask = CORRECTION_SIZE - 1;
        const Color s = pos.side();
        __builtin_prefetch(&history_.pawn_corr[s][pos.pawn_key() & mask]);
        __builtin_prefetch(&history_.nonpawn_corr[s][WHITE][pos.nonpawn_key(WHITE) & mask]);
        __builtin_prefetch(&history_.nonpawn_corr[s][BLACK][pos.nonpawn_key(BLACK) & mask]);
        __builtin_prefetch(&history_.minor_corr[s][pos.minor_key() & mask]);
    }
    void update_correction(const Position& pos, int diff, int depth, int ply);

    // Node helpers.
    // The moves a node orders before the others: the table move, then the quiet killers and
    // the counter move.
    struct PriorityMoves {
        Move tt_move, killer1, killer2, counter;
    };
    // The moves a node searched without a cutoff, punished when a later move cuts off.
    struct TriedMoves {
        static constexpr int MAX_QUIETS = 64;
        static constexpr int MAX_CAPTURES = 32;
        Move quiets[MAX_QUIETS];
        Move captures[MAX_CAPTURES];
        int quiet_count = 0;
        int capture_count = 0;
        void add(Move m) {
            if (is_quiet(m)) {
                if (quiet_count < MAX_QUIETS) quiets[quiet_count++] = m;
            } else if (capture_count < MAX_CAPTURES) {
                captures[capture_count++] = m;
            }
        }
    };
    std::optional<int> try_probcut(Position& pos, int depth, int probcut_beta, int eval, int raw_eval,
                                   int ply, bool cut_node, bool ttpv);
    // The list path: every legal move scored at once, by the policy when it scores moves and
    // replaces the normal order, else by the normal order; true when the policy scored them.
    template <typename CaptureScore, typename QuietScore>
    bool score_move_list(const Position& pos, const MoveList& legal, NodeMoves& moves,
                         const PriorityMoves& priority, int ply, int depth, bool policy_scoring,
                         CaptureScore&& capture_score, QuietScore&& quiet_score);
    // A cutoff by m (`piece` moving): its history, and for a quiet move the killers and the
    // counter move, rewarded by depth; the moves tried before it punished. Inlined: called,
    // it costs the search about 0.2% more instructions.
    [[gnu::always_inline]] inline void reward_cutoff(const Position& pos, Move m, Piece piece,
                                                     Bitboard threats, int ply, int depth,
                                                     Move killer1, const TriedMoves& tried);
    // Young brothers wait: the node's remaining moves searched together with the idle helpers;
    // nothing when no move is left.
    template <typename CaptureScore, typename QuietScore>
    std::optional<smp::SplitOutcome> split_rest(Position& pos, NodeMoves& moves,
                                                const smp::SplitNode& node, Move excluded,
                                                CaptureScore&& capture_score,
                                                QuietScore&& quiet_score);
    void make(Position& pos, Move m, int ply, Bitboard threats);
    void unmake(Position& pos, Move m);
    void copy_pv(int ply, Move m);
    void set_pv(int ply, std::span<const Move> line);  // the node's line, cut at the stack's end
    int raw_eval(const Position& pos) { return eval_.evaluate(pos); }

    // Shared objects.
    std::shared_ptr<tt::TranspositionTable> tt_;
    std::shared_ptr<std::atomic<bool>> stop_;
    std::shared_ptr<std::atomic<std::uint64_t>> node_counter_;
    const std::atomic<bool>* abort_ = nullptr;
    std::shared_ptr<const Tablebase> tablebase_;
    std::unique_ptr<MovePolicy> policy_;
    std::shared_ptr<smp::BusyMoves> busy_;
    std::shared_ptr<smp::YbwcPool> ybwc_;

    E eval_;

    // Settings.
    int thread_index_ = 0;
    int multipv_ = 1;
    SearchMode search_mode_ = SearchMode::AB;
    double gumbel_temp_ = 0.0;
    bool show_wdl_ = false;
    std::uint64_t move_overhead_ = 10;

    // Limits of the running search.
    std::chrono::steady_clock::time_point start_;
    std::optional<std::uint64_t> soft_limit_ms_;
    std::optional<std::uint64_t> hard_limit_ms_;
    std::optional<std::uint64_t> node_limit_;
    std::optional<std::uint64_t> soft_node_limit_;
    std::optional<std::uint64_t> stable_node_limit_;
    std::optional<int> mate_moves_;
    std::shared_ptr<const std::atomic<bool>> pondering_;
    bool stop_on_ponderhit_ = false;  // the limits were met while pondering
    std::optional<StrengthLevel> strength_;
    std::uint64_t strength_game_ = 0;

    // Counters.
    TableStats table_stats_;
    std::uint64_t nodes_ = 0;
    std::uint64_t flushed_nodes_ = 0;
    int seldepth_ = 0;
    std::uint64_t tbhits_ = 0;

    // Root state.
    std::vector<Move> root_moves_;
    std::vector<Move> root_exclusion_;
    std::optional<std::vector<Move>> preset_root_;
    std::optional<std::vector<RootMove>> root_probe_;
    std::vector<RootMove> tb_root_moves_;
    Move root_best_ = NULL_MOVE;  // the root's latest best move: its first when the table has none
    int iteration_depth_ = 0;
    bool stopped_ = false;
    std::array<std::array<std::uint64_t, 64>, 64> root_nodes_{};

    // Stacks, indexed by ply.
    std::array<std::array<Move, STACK_SIZE>, STACK_SIZE> pv_{};
    std::array<int, STACK_SIZE> pv_len_{};
    std::array<int, STACK_SIZE> eval_stack_{};
    std::array<Move, STACK_SIZE> excluded_{};
    std::array<MoveRecord, STACK_SIZE> move_stack_{};
    std::array<ContRecord, STACK_SIZE + 1> cont_{};
    std::array<std::uint32_t, STACK_SIZE> killers_{};
    std::array<std::array<Move, 64>, 12> counter_moves_{};

    History history_;

    template <Evaluator>
    friend class SearcherTestAccess;
};

// Phase bucket of a node: 0 with phase >= 17, 1 with 9..16, 2 below.
int phase_bucket(const Position& pos);

// The late-move reduction table entry for depth d and move number m (both clamped to 63):
// log(d) x log(m) / (LMR_DIVISOR / 100) + LMR_BASE / 100, rounded toward zero.
int lmr_reduction(int depth, int moves);
#ifdef ORVANE_TUNING
// Builds the table again from the live LMR_BASE and LMR_DIVISOR (while no search runs).
void rebuild_lmr_table();
#endif

}  // namespace orvane
