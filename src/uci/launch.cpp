#include "uci/launch.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/board/movegen.h"
#include "core/board/text.h"
#include "uci/output.h"

namespace orvane::uci {

namespace {
constexpr int MATE_DISPLAY = 31872;
constexpr std::uint64_t GOAL_MIN_NODES = 5000;
constexpr std::uint64_t GOAL_MAX_NODES = 1'000'000;
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

// After the search: every root move searched on its own within a node budget, and the
// lines most likely to win, draw and lose.
template <Evaluator E>
std::vector<GoalLine> analyse_goals(Searcher<E>& searcher, Position& pos, const SearchResult& result,
                                    const std::shared_ptr<std::atomic<bool>>& engine_stop) {
    MoveList legal;
    movegen::generate_all(pos, legal);
    const std::uint64_t n = std::max(legal.size(), 1);
    const std::uint64_t budget =
        std::clamp<std::uint64_t>(result.nodes / (4 * n), GOAL_MIN_NODES, GOAL_MAX_NODES);
    const int goal_depth = std::clamp(result.depth - 1, 1, 32);

    // A fresh stop flag: a "stop" arriving now does not cut the analysis short.
    searcher.set_stop(std::make_shared<std::atomic<bool>>(false));
    searcher.clear_time_limits();
    if (searcher.tablebase()) searcher.set_root_probe(searcher.tablebase()->probe_root(pos));

    std::vector<GoalLine> lines;
    for (Move m : legal) {
        searcher.set_hard_node_limit(searcher.nodes() + budget);
        searcher.clear_stopped();
        int score = 0;
        std::vector<Move> line{m};
        for (int d = 1; d <= goal_depth; ++d) {
            searcher.set_iteration_depth(d);
            pos.make_move(m);
            searcher.evaluator().reset(pos);
            const int v = -searcher.negamax(pos, d - 1, -INFINITE_SCORE, INFINITE_SCORE, 1, false, false);
            pos.unmake_move(m);
            if (searcher.stopped()) break;
            score = v;
            line.assign(1, m);
            for (Move x : searcher.pv_at(1)) line.push_back(x);
        }
        const WdlPermille w = searcher.line_wdl(pos, line, score);
        lines.push_back({score, w.win, w.draw, w.loss, m});
    }
    searcher.set_stop(engine_stop);
    searcher.set_hard_node_limit(std::nullopt);
    searcher.clear_stopped();
    return lines;
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
                std::vector<GoalLine> lines =
                    analyse_goals(pool->main(), job.position, result, job.stop);
                for (const std::string& l : format_goals(lines, job.notation)) write_line(l);
            }
        },
        *job.pool);
    if (job.infinite) {
        while (!job.stop->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
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
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view w = args[i];
        if (w == "infinite") {
            limits.infinite = true;
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
    if (!pool_) fatal("searcher available");
    job_ = std::make_shared<SearchJob>();
    job_->pool = std::move(*pool_);
    pool_.reset();
    job_->limits = limits;
    job_->position = position_;
    job_->goal_moves = goal_moves_;
    job_->stop = stop_;
    job_->infinite = limits.infinite;
    job_->notation = position_.notation(chess960_);
    std::shared_ptr<SearchJob> job = job_;
    search_thread_ = NamedThread::spawn("search", SEARCH_STACK_BYTES,
                                        [job]() { run_search_job(*job); }, "spawn search thread");
}

}  // namespace orvane::uci
