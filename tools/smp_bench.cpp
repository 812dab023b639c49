// orvane-smp-bench: how much a second thread buys. Searches positions from an opening book to
// a fixed depth with one thread and with --threads threads in every parallel mode, and prints
// the time to depth of each, their ratios and the nodes per second.
//
//   orvane-smp-bench [--positions N] [--depth D] [--threads T] [--hash MB] [--runs R]
//                    [--mode lazy|ybwc|abdada]... [--hce] [BOOK.pgn]
//
// The positions are the ends of N games spread evenly through the book (default 20 from
// ../shared/books/8moves_v3.pgn); --depth defaults to 15, --threads to 2, --hash to 64 MB;
// --mode limits the parallel modes to those named (default all three).
// Every search starts from a cleared table and cleared histories. For each position the modes
// run one after another, so that they share whatever else the machine is doing, and the whole
// round is repeated R times (default 1); a position's time in a mode is the median of its runs.
// The summary gives, per mode, the total time, the median and the geometric mean of the
// one-thread time divided by the mode's time (above 1 is faster), and the nodes per second;
// then how often the vote chose a helper's move, how long helpers took to start and to stop,
// and (in an ORVANE_SEARCH_STATS build) how often the table knew the position and ended it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/board/san.h"
#include "core/board/text.h"
#include "core/eval/nnue/nnue_eval.h"
#include "core/parallel/thread_pool.h"

using namespace orvane;

namespace {

struct Options {
    int positions = 20;
    int depth = 15;
    int threads = 2;
    std::size_t hash_mb = 64;
    int runs = 1;
    std::vector<smp::SmpMode> modes;  // empty: every mode
    bool hce = false;
    std::string book = "../shared/books/8moves_v3.pgn";
};

struct Mode {
    const char* name;
    int threads;
    smp::SmpMode smp;
};

// The movetext of every game of a PGN file, as a list of move tokens.
std::vector<std::vector<std::string>> read_games(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::vector<std::string>> games;
    bool in_moves = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] == '[') {
            in_moves = false;
            continue;
        }
        if (!in_moves) {
            if (text::trim(line).empty()) continue;
            games.emplace_back();
            in_moves = true;
        }
        for (std::string_view word : text::split_words(line)) {
            if (word.empty() || word[0] == '{' || word == "*" || word == "1-0" || word == "0-1"
                || word == "1/2-1/2")
                continue;
            // "12." and "12..." number the moves; "12.Nf3" carries one.
            const std::size_t dot = word.find_last_of('.');
            if (dot != std::string_view::npos) word.remove_prefix(dot + 1);
            if (!word.empty()) games.back().emplace_back(word);
        }
    }
    return games;
}

std::vector<Position> book_positions(const Options& o) {
    const auto games = read_games(o.book);
    std::vector<Position> out;
    if (games.empty()) return out;
    const std::size_t step = std::max<std::size_t>(games.size() / o.positions, 1);
    for (std::size_t g = 0; g < games.size() && static_cast<int>(out.size()) < o.positions;
         g += step) {
        Position pos = Position::startpos();
        bool ok = true;
        for (const std::string& word : games[g]) {
            const std::optional<Move> m = san::parse(pos, word);
            if (!m) {
                ok = false;
                break;
            }
            pos.make_move(*m);
        }
        if (ok && movegen::has_legal_move(pos)) out.push_back(pos);
    }
    return out;
}

template <Evaluator E>
std::unique_ptr<smp::ThreadPool<E>> make_pool(const E& evaluator, const Options& o, const Mode& m) {
    auto table = tt::TranspositionTable::new_table(o.hash_mb);
    auto pool = std::make_unique<smp::ThreadPool<E>>(
        std::make_unique<Searcher<E>>(evaluator, table, std::make_shared<std::atomic<bool>>(false)));
    pool->set_mode(m.smp, false);
    table->set_threads(static_cast<std::size_t>(m.threads));
    pool->resize(static_cast<std::size_t>(m.threads));
    if (m.threads >= 2 && m.smp == smp::SmpMode::ABDADA)
        pool->set_busy(std::make_shared<smp::BusyMoves>());
    if (m.threads >= 2 && m.smp == smp::SmpMode::YBWC)
        pool->set_ybwc(std::make_shared<smp::YbwcPool>());
    return pool;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

template <Evaluator E>
int run(const E& evaluator, const Options& o) {
    const std::vector<Position> positions = book_positions(o);
    if (positions.empty()) {
        std::fprintf(stderr, "no positions from %s\n", o.book.c_str());
        return 1;
    }
    std::vector<Mode> modes = {{"1 thread", 1, smp::SmpMode::Lazy}};
    for (const smp::SmpMode m : {smp::SmpMode::Lazy, smp::SmpMode::YBWC, smp::SmpMode::ABDADA})
        if (o.modes.empty() || std::find(o.modes.begin(), o.modes.end(), m) != o.modes.end())
            modes.push_back({smp::smp_mode_name(m).data(), o.threads, m});
    std::vector<std::unique_ptr<smp::ThreadPool<E>>> pools;
    for (const Mode& m : modes) pools.push_back(make_pool(evaluator, o, m));

    std::printf("%zu positions, depth %d, %d threads, %zu MB table, %d run(s)\n", positions.size(),
                o.depth, o.threads, o.hash_mb, o.runs);
    std::printf("%-4s", "pos");
    for (const Mode& m : modes) std::printf(" %12s", m.name);
    std::printf("   (seconds to depth)\n");
    std::vector<std::vector<double>> seconds(modes.size());
    std::vector<std::uint64_t> nodes(modes.size(), 0);
    SearchLimits limits;
    limits.depth = o.depth;
    for (std::size_t p = 0; p < positions.size(); ++p) {
        std::printf("%-4zu", p + 1);
        std::vector<std::vector<double>> runs(modes.size());
        for (int run = 0; run < o.runs; ++run) {
            for (std::size_t i = 0; i < modes.size(); ++i) {
                pools[i]->clear();
                const auto start = std::chrono::steady_clock::now();
                const SearchResult r = pools[i]->search(positions[p], limits, {});
                runs[i].push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
                nodes[i] += r.nodes;
            }
        }
        for (std::size_t i = 0; i < modes.size(); ++i) {
            seconds[i].push_back(median(runs[i]));
            std::printf(" %12.3f", seconds[i].back());
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    std::printf("\n%-10s %10s %14s %14s %12s\n", "mode", "total s", "median ratio", "geomean ratio",
                "knps");
    for (std::size_t i = 0; i < modes.size(); ++i) {
        std::vector<double> ratios;
        double log_sum = 0, total = 0;
        for (std::size_t p = 0; p < positions.size(); ++p) {
            const double ratio = seconds[0][p] / std::max(seconds[i][p], 1e-9);
            ratios.push_back(ratio);
            log_sum += std::log(ratio);
            total += seconds[i][p];
        }
        std::printf("%-10s %10.2f %14.3f %14.3f %12.0f\n", modes[i].name, total, median(ratios),
                    std::exp(log_sum / static_cast<double>(ratios.size())),
                    static_cast<double>(nodes[i]) / o.runs / std::max(total, 1e-9) / 1000.0);
    }

    // Where the helpers' time goes.
    auto percent = [](std::uint64_t part, std::uint64_t whole) {
        return whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
    };
    std::printf("\n%-10s %14s %14s %14s", "mode", "helper chosen", "start ms", "stop ms");
    if (COUNT_TABLE_STATS) std::printf(" %22s %22s", "main hits/cutoffs %", "helper hits/cutoffs %");
    std::printf("\n");
    for (std::size_t i = 0; i < modes.size(); ++i) {
        const smp::PoolStats& s = pools[i]->stats();
        const double searches = static_cast<double>(std::max<std::uint64_t>(s.searches, 1));
        std::printf("%-10s %13.1f%% %14.3f %14.3f", modes[i].name,
                    percent(s.helper_chosen, s.searches),
                    s.starts ? s.start_ms / static_cast<double>(s.starts) : 0.0, s.stop_ms / searches);
        if (COUNT_TABLE_STATS)
            std::printf(" %10.1f /%10.1f %10.1f /%10.1f", percent(s.main_table.hits, s.main_table.probes),
                        percent(s.main_table.cutoffs, s.main_table.probes),
                        percent(s.helper_table.hits, s.helper_table.probes),
                        percent(s.helper_table.cutoffs, s.helper_table.probes));
        std::printf("\n");
    }
    if (!COUNT_TABLE_STATS)
        std::printf("(table hit rates: build with -DORVANE_SEARCH_STATS=ON)\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](int lo, int hi) {
            const auto v = i + 1 < argc ? text::parse_int<int>(argv[++i]) : std::nullopt;
            if (!v || *v < lo || *v > hi) {
                std::fprintf(stderr, "bad value for %s\n", a.c_str());
                std::exit(2);
            }
            return *v;
        };
        if (a == "--positions") o.positions = number(1, 10000);
        else if (a == "--depth") o.depth = number(1, 60);
        else if (a == "--threads") o.threads = number(2, 256);
        else if (a == "--hash") o.hash_mb = static_cast<std::size_t>(number(1, 65536));
        else if (a == "--runs") o.runs = number(1, 100);
        else if (a == "--mode" && i + 1 < argc && smp::parse_smp_mode(argv[i + 1]))
            o.modes.push_back(*smp::parse_smp_mode(argv[++i]));
        else if (a == "--hce") o.hce = true;
        else if (!a.starts_with("--")) o.book = a;
        else {
            std::fprintf(stderr, "usage: orvane-smp-bench [--positions N] [--depth D] "
                                 "[--threads T] [--hash MB] [--runs R] "
                                 "[--mode lazy|ybwc|abdada]... [--hce] [BOOK.pgn]\n");
            return 2;
        }
    }
    return o.hce ? run(PstEval{}, o) : run(nnue::NnueEval(nnue::default_net()), o);
}
