#include "uci/launch.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/board/movegen.h"
#include "core/board/text.h"
#include "core/search/strength.h"
#include "uci/output.h"

namespace orvane::uci {

namespace {
constexpr int MATE_DISPLAY = 31872;
constexpr std::uint64_t GOAL_MIN_NODES = 5000;
constexpr std::uint64_t GOAL_MAX_NODES = 1'000'000;
constexpr std::int64_t MAX_MATE_MOVES = MAX_PLY / 2;
}  // namespace

Pool take_pool(SearchJob& job) {
    if (!job.pool) fatal("searcher available when idle");
    Pool pool = std::move(*job.pool);
    job.pool.reset();
    return pool;
}

std::string format_score(int s) {
    if (s > -MATE_DISPLAY && s < MATE_DISPLAY) return "cp " + std::to_string(s);
    const int m = s >= MATE_DISPLAY ? (INFINITE_SCORE - s) / 2 : (-MATE - s) / 2;
    return "mate " + std::to_string(m);
}

std::string format_info(const IterationInfo& info, const MoveNotation& notation) {
    const std::uint64_t nps = info.nodes * 1000 / std::max<std::uint64_t>(info.time_ms, 1);
    std::string pv;
    for (std::size_t i = 0; i < info.pv.size(); ++i) {
        if (i) pv += ' ';
        pv += notation.text(info.pv[i]);
    }
    std::string multipv;
    if (info.multipv >= 2 || info.wdl) multipv = " multipv " + std::to_string(info.multipv);
    std::string wdl;
    if (info.wdl)
        wdl = " wdl " + std::to_string(info.wdl->win) + " " + std::to_string(info.wdl->draw) + " "
              + std::to_string(info.wdl->loss);
    return "info depth " + std::to_string(info.depth) + " seldepth " + std::to_string(info.seldepth)
           + multipv + " score " + format_score(info.score) + wdl + " nodes "
           + std::to_string(info.nodes) + " nps " + std::to_string(nps) + " hashfull "
           + std::to_string(info.hashfull) + " tbhits " + std::to_string(info.tbhits) + " time "
           + std::to_string(info.time_ms) + " pv " + pv;
}

std::vector<std::string> format_goals(const std::vector<GoalLine>& lines,
                                      const MoveNotation& notation) {
    if (lines.empty()) return {};
    const GoalLine* win = &lines[0];
    const GoalLine* draw = &lines[0];
    const GoalLine* lose = &lines[0];
    for (const GoalLine& l : lines) {
        if (l.win > win->win || (l.win == win->win && l.score >= win->score)) win = &l;
        if (l.draw > draw->draw || (l.draw == draw->draw && l.score >= draw->score)) draw = &l;
        if (l.loss > lose->loss || (l.loss == lose->loss && l.score <= lose->score)) lose = &l;
    }
    auto percent = [](std::uint32_t permille) {
        return std::to_string(permille / 10) + "." + std::to_string(permille % 10);
    };
    std::vector<std::string> out;
    const std::pair<const char*, const GoalLine*> chosen[3] = {{"win", win}, {"draw", draw}, {"lose", lose}};
    for (const auto& [label, l] : chosen)
        out.push_back(std::string("info string orvane ") + label + " " + notation.text(l->move) + " W"
                      + percent(l->win) + " D" + percent(l->draw) + " L" + percent(l->loss));
    return out;
}

namespace {

// After the search: every root move searched on its own within a node budget, deeper round
// by round, and the lines most likely to win, draw and lose. The analysis keeps the search's
// hard limits (its clock: a timed search gets no more time than it was given) and its stop
// flag ("stop" and "quit" end it at once); it is skipped when nothing is left. Only moves
// whose first round completed are summed up.
template <Evaluator E>
std::vector<GoalLine> analyse_goals(Searcher<E>& searcher, Position& pos, const SearchResult& result) {
    MoveList legal;
    movegen::generate_all(pos, legal);
    const std::uint64_t n = std::max(legal.size(), 1);
    const std::uint64_t budget =
        std::clamp<std::uint64_t>(result.nodes / (4 * n), GOAL_MIN_NODES, GOAL_MAX_NODES);
    const int goal_depth = std::clamp(result.depth - 1, 1, 32);

    searcher.clear_soft_limits();
    searcher.set_hard_node_limit(std::nullopt);
    // The tablebase's verdicts on the root moves are the search's own (same root): a probe
    // handed over here would be taken by the next search, on another position.
    if (searcher.must_stop()) return {};

    struct Goal {
        Move move;
        int score = 0;
        std::vector<Move> line;
        std::uint64_t used = 0;
        bool searched = false;  // at least one round completed
        bool done = false;      // its budget is spent
    };
    std::vector<Goal> goals;
    for (Move m : legal) goals.push_back({m, 0, {m}});
    bool interrupted = false;
    for (int d = 1; d <= goal_depth && !interrupted; ++d) {
        for (Goal& g : goals) {
            if (g.done) continue;
            if (searcher.must_stop()) {
                interrupted = true;
                break;
            }
            const std::uint64_t before = searcher.nodes();
            searcher.set_hard_node_limit(before + (budget - std::min(budget, g.used)));
            searcher.clear_stopped();
            searcher.set_iteration_depth(d);
            pos.make_move(g.move);
            searcher.evaluator().reset(pos);
            const int v = -searcher.negamax(pos, d - 1, -INFINITE_SCORE, INFINITE_SCORE, 1, false, false);
            pos.unmake_move(g.move);
            g.used += searcher.nodes() - before;
            if (searcher.stopped()) {
                // The budget ended this move's deepening; anything else ends the analysis.
                searcher.set_hard_node_limit(std::nullopt);
                if (searcher.must_stop()) {
                    interrupted = true;
                    break;
                }
                g.done = true;
                continue;
            }
            g.score = v;
            g.line.assign(1, g.move);
            for (Move x : searcher.pv_at(1)) g.line.push_back(x);
            g.searched = true;
        }
    }
    searcher.set_hard_node_limit(std::nullopt);
    searcher.clear_stopped();

    std::vector<GoalLine> lines;
    for (const Goal& g : goals) {
        if (!g.searched) continue;
        const WdlPermille w = searcher.line_wdl(pos, g.line, g.score);
        lines.push_back({g.score, w.win, w.draw, w.loss, g.move});
    }
    return lines;
}

// A ponder move when the line has none: the table's move in the position after `best`.
Move ponder_from_table(const tt::TranspositionTable& table, Position pos, Move best) {
    pos.make_move(best);
    const std::optional<tt::Entry> entry = table.probe(pos.key());
    if (!entry || !entry->move) return NULL_MOVE;
    MoveList legal;
    movegen::generate_all(pos, legal);
    return legal.contains(entry->move) ? entry->move : NULL_MOVE;
}

}  // namespace

void run_search_job(SearchJob& job) {
    SearchResult result;
    std::visit(
        [&](auto& pool) {
            result = pool->search(job.position, job.limits, [&job](const IterationInfo& info) {
                write_line(format_info(info, job.notation));
            });
            if (job.goal_moves && result.best) {
                std::vector<GoalLine> lines = analyse_goals(pool->main(), job.position, result);
                for (const std::string& l : format_goals(lines, job.notation)) write_line(l);
            }
            if (result.best && !result.ponder)
                result.ponder = ponder_from_table(*pool->main().table(), job.position, result.best);
        },
        *job.pool);
    // An infinite or pondering search that ended by itself (a mate, the depth limit, a single
    // legal move) keeps its answer until "stop", or for a pondering one "ponderhit".
    auto must_wait = [&] { return job.infinite || (job.pondering && job.pondering->load()); };
    while (must_wait() && !job.stop->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!result.best) write_line("bestmove 0000");
    else if (!result.ponder) write_line("bestmove " + job.notation.text(result.best));
    else
        write_line("bestmove " + job.notation.text(result.best) + " ponder "
                   + job.notation.text(result.ponder));
}

void Engine::go(const std::vector<std::string_view>& args) {
    SearchLimits limits;
    limits.received = std::chrono::steady_clock::now();
    finish_search();
    // Each side's clock, indexed by colour: remaining milliseconds and increment.
    std::optional<std::int64_t> time[2];
    std::int64_t inc[2] = {0, 0};
    auto next_word = [&](std::size_t i) -> std::string_view {
        return i + 1 < args.size() ? args[i + 1] : std::string_view{};
    };
    auto milliseconds = [&](std::size_t i) -> std::optional<std::int64_t> {
        const std::optional<std::int64_t> v = text::parse_int<std::int64_t>(next_word(i));
        if (!v) return std::nullopt;
        return std::max<std::int64_t>(*v, 0);
    };
    bool ponder = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view w = args[i];
        if (w == "infinite") {
            limits.infinite = true;
        } else if (w == "ponder") {
            ponder = true;
        } else if (w == "mate") {
            // Mates longer than the deepest line are any mate; none shorter than one move
            // exists, so zero and negative counts are ignored like malformed ones.
            if (auto v = text::parse_int<std::int64_t>(next_word(i)); v && *v >= 1)
                limits.mate = static_cast<std::int32_t>(std::min<std::int64_t>(*v, MAX_MATE_MOVES));
        } else if (w == "wtime" || w == "btime") {
            if (auto v = milliseconds(i)) time[w[0] == 'w' ? WHITE : BLACK] = *v;
        } else if (w == "winc" || w == "binc") {
            if (auto v = milliseconds(i)) inc[w[0] == 'w' ? WHITE : BLACK] = *v;
        } else if (w == "movestogo") {
            if (auto v = text::parse_int<std::int64_t>(next_word(i)))
                limits.movestogo = static_cast<std::uint32_t>(
                    std::clamp<std::int64_t>(*v, 1, std::numeric_limits<std::uint32_t>::max()));
        } else if (w == "depth") {
            if (auto v = text::parse_int<std::int32_t>(next_word(i))) limits.depth = *v;
        } else if (w == "nodes") {
            if (auto v = text::parse_int<std::uint64_t>(next_word(i))) limits.nodes = *v;
        } else if (w == "movetime") {
            if (auto v = text::parse_int<std::int64_t>(next_word(i)))
                limits.movetime = static_cast<std::uint64_t>(std::max<std::int64_t>(*v, 1));
        } else if (w == "searchmoves") {
            limits.searchmoves.clear();
            for (std::size_t j = i + 1; j < args.size(); ++j) {
                std::optional<Move> m = position_.parse_uci_move(args[j], chess960_);
                if (!m) break;
                limits.searchmoves.push_back(*m);
            }
        } else if (w == "perft") {
            // A negative, missing or malformed depth counts as 1.
            std::int64_t depth = text::parse_int<std::int64_t>(next_word(i)).value_or(1);
            if (depth < 1 || depth > std::numeric_limits<std::uint32_t>::max()) depth = 1;
            perft(static_cast<std::uint32_t>(depth));
            return;
        }
    }
    const Color us = position_.side();
    if (time[us]) limits.time = static_cast<std::uint64_t>(*time[us]);
    limits.inc = static_cast<std::uint64_t>(inc[us]);

    stop_->store(false);
    pondering_->store(ponder);
    if (ponder) limits.pondering = pondering_;
    if (!pool_) fatal("searcher available");
    std::visit(
        [&](auto& pool) {
            std::optional<StrengthLevel> level;
            if (limit_strength_ && elo_ < strength::FULL_STRENGTH_ELO)
                level = strength::level_for_elo(elo_);
            pool->main().set_strength(level, game_number_);
        },
        *pool_);
    job_ = std::make_shared<SearchJob>();
    job_->pool = std::move(*pool_);
    pool_.reset();
    job_->limits = limits;
    job_->position = position_;
    job_->goal_moves = goal_moves_;
    job_->stop = stop_;
    job_->infinite = limits.infinite;
    job_->notation = position_.notation(chess960_);
    if (ponder) job_->pondering = pondering_;
    std::shared_ptr<SearchJob> job = job_;
    search_thread_ = NamedThread::spawn("search", SEARCH_STACK_BYTES,
                                        [job]() { run_search_job(*job); }, "spawn search thread");
}

}  // namespace orvane::uci
