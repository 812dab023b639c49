// orvane-tactics: a tactics suite run. Searches every position of one or more EPD files and
// counts the positions where the engine's move is a best move ("bm") and not an avoided
// move ("am"). Moves in the files are in standard algebraic notation.
//
//   orvane-tactics [--ms N] [--depth N] [--hce | --nnue] [--hash MB] [FILE.epd ...]
//
// --ms: time per position in milliseconds (default 1000); --depth: a fixed depth instead
// (repeatable results, no clock); --hce: the hand-written evaluator instead of the built-in
// network (--nnue, the default); --hash: table size (default 64 MB). Without files,
// ../shared/tactics/wac.epd (paths are relative to where the program is started).
// Each position starts from a cleared table and cleared histories, like a new game.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/board/movegen.h"
#include "core/board/san.h"
#include "core/eval/nnue/nnue_eval.h"
#include "core/search/searcher.h"
#include "core/board/text.h"

using namespace orvane;

namespace {

constexpr std::string_view DEFAULT_FILE = "../shared/tactics/wac.epd";

struct Options {
    std::uint64_t ms = 1000;
    std::optional<int> depth;
    bool hce = false;
    std::size_t hash_mb = 64;
    std::vector<std::string> files;
};

struct EpdEntry {
    std::string fen;
    std::string id;
    std::vector<std::string> best;   // "bm" operands as written
    std::vector<std::string> avoid;  // "am" operands as written
};

// One EPD line: four FEN fields, then operations separated by ';'. Marks that stand apart
// from their move ("Qd1 +") are dropped.
std::optional<EpdEntry> parse_epd(std::string_view line) {
    const std::vector<std::string_view> words = text::split_words(line);
    if (words.size() < 4) return std::nullopt;
    EpdEntry e;
    e.fen = std::string(words[0]) + " " + std::string(words[1]) + " " + std::string(words[2])
            + " " + std::string(words[3]);
    // The operations start after the fourth field.
    std::size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        pos = line.find(words[i], pos) + words[i].size();
    }
    std::string_view rest = line.substr(pos);
    while (!rest.empty()) {
        const std::size_t semi = rest.find(';');
        std::string_view op = text::trim(rest.substr(0, semi));
        rest = semi == std::string_view::npos ? std::string_view{} : rest.substr(semi + 1);
        const std::vector<std::string_view> parts = text::split_words(op);
        if (parts.empty()) continue;
        std::vector<std::string>* target = nullptr;
        if (parts[0] == "bm") target = &e.best;
        else if (parts[0] == "am") target = &e.avoid;
        if (target) {
            for (std::size_t i = 1; i < parts.size(); ++i)
                if (parts[i].find_first_not_of("+#!?") != std::string_view::npos)
                    target->emplace_back(parts[i]);
        } else if (parts[0] == "id") {
            std::string_view id = text::trim(op.substr(2));
            if (id.size() >= 2 && id.front() == '"' && id.back() == '"')
                id = id.substr(1, id.size() - 2);
            e.id = id;
        }
    }
    return e;
}

bool parse_options(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        auto value = [&]() -> std::optional<std::int64_t> {
            if (i + 1 >= argc) return std::nullopt;
            return text::parse_int<std::int64_t>(argv[++i]);
        };
        if (a == "--ms") {
            auto v = value();
            if (!v || *v < 1) return false;
            o.ms = static_cast<std::uint64_t>(*v);
        } else if (a == "--depth") {
            auto v = value();
            if (!v || *v < 1 || *v > 127) return false;
            o.depth = static_cast<int>(*v);
        } else if (a == "--hash") {
            auto v = value();
            if (!v || *v < 1) return false;
            o.hash_mb = static_cast<std::size_t>(*v);
        } else if (a == "--hce") {
            o.hce = true;
        } else if (a == "--nnue") {
            o.hce = false;
        } else if (!a.empty() && a[0] == '-') {
            return false;
        } else {
            o.files.emplace_back(a);
        }
    }
    if (o.files.empty()) o.files.emplace_back(DEFAULT_FILE);
    return true;
}

struct Tally {
    int positions = 0;
    int solved = 0;
    int unreadable = 0;
    std::vector<std::string> missed;
};

template <Evaluator E>
void run_file(Searcher<E>& searcher, const Options& o, const std::string& path, Tally& tally) {
    std::ifstream in(path);
    if (!in) {
        std::printf("cannot read %s\n", path.c_str());
        ++tally.unreadable;
        return;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        if (text::trim(line).empty() || text::trim(line)[0] == '#') continue;
        ++number;
        std::optional<EpdEntry> entry = parse_epd(line);
        FenResult parsed = entry ? Position::from_fen(entry->fen) : FenResult{FenError{"no FEN"}};
        if (!entry || !std::holds_alternative<Position>(parsed)) {
            std::printf("%s:%d: unreadable position\n", path.c_str(), number);
            ++tally.unreadable;
            continue;
        }
        Position pos = std::get<Position>(std::move(parsed));
        const std::string id = entry->id.empty() ? path + ":" + std::to_string(number) : entry->id;

        std::vector<Move> best, avoid;
        bool readable = !(entry->best.empty() && entry->avoid.empty());
        for (const auto& [names, moves] : {std::pair{&entry->best, &best}, {&entry->avoid, &avoid}})
            for (const std::string& san : *names) {
                if (std::optional<Move> m = san::parse(pos, san)) moves->push_back(*m);
                else readable = false;
            }
        if (!readable) {
            std::printf("%-10s unreadable bm/am in: %s\n", id.c_str(), line.c_str());
            ++tally.unreadable;
            continue;
        }
        auto solves = [&](Move m) {
            const bool in_best =
                best.empty() || std::find(best.begin(), best.end(), m) != best.end();
            return in_best && std::find(avoid.begin(), avoid.end(), m) == avoid.end();
        };

        searcher.table()->clear();
        searcher.clear_learned();
        SearchLimits limits;
        if (o.depth) limits.depth = *o.depth;
        else limits.movetime = o.ms;
        // The first iteration from which on the reported move kept solving the position.
        int found_depth = -1;
        std::uint64_t found_ms = 0;
        const SearchResult r = searcher.search(pos, limits, [&](const IterationInfo& info) {
            if (info.multipv != 1 || info.pv.empty()) return;
            if (!solves(info.pv[0])) {
                found_depth = -1;
            } else if (found_depth < 0) {
                found_depth = info.depth;
                found_ms = info.time_ms;
            }
        });
        ++tally.positions;
        const bool ok = r.best != NULL_MOVE && solves(r.best);
        if (ok) ++tally.solved;
        else tally.missed.push_back(id);

        std::string wanted;
        for (const std::string& s : entry->best) wanted += (wanted.empty() ? "" : " ") + s;
        for (const std::string& s : entry->avoid) wanted += (wanted.empty() ? "not " : " not ") + s;
        const std::string played = san::text(pos, r.best);
        const std::string score = is_mate_score(r.score)
                                      ? (r.score > 0 ? "#" : "#-")
                                            + std::to_string((MATE - std::abs(r.score) + 1) / 2)
                                      : std::to_string(r.score);
        std::printf("%-10s %-14s %-8s %-4s score %7s depth %3d", id.c_str(), wanted.c_str(),
                    played.c_str(), ok ? "ok" : "--", score.c_str(), r.depth);
        if (ok && found_depth > 0)
            std::printf("  found at depth %d, %llu ms", found_depth,
                        static_cast<unsigned long long>(found_ms));
        std::printf("\n");
        std::fflush(stdout);
    }
}

template <Evaluator E>
Tally run(E evaluator, const Options& o) {
    std::shared_ptr<tt::TranspositionTable> table = tt::TranspositionTable::new_table(o.hash_mb);
    auto searcher = std::make_unique<Searcher<E>>(std::move(evaluator), table,
                                                  std::make_shared<std::atomic<bool>>(false));
    Tally tally;
    for (const std::string& path : o.files) run_file(*searcher, o, path, tally);
    return tally;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, o)) {
        std::fprintf(stderr, "usage: orvane-tactics [--ms N] [--depth N] [--hce | --nnue] "
                             "[--hash MB] [FILE.epd ...]\n");
        return 2;
    }
    const std::string limit = o.depth ? "depth " + std::to_string(*o.depth)
                                      : std::to_string(o.ms) + " ms";
    std::printf("evaluator %s, %s per position, %zu MB table\n", o.hce ? "hand-written" : "NNUE",
                limit.c_str(), o.hash_mb);
    const auto start = std::chrono::steady_clock::now();
    const Tally t = o.hce ? run(PstEval{}, o) : run(nnue::NnueEval(nnue::default_net()), o);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    if (!t.missed.empty()) {
        std::printf("missed:");
        for (const std::string& id : t.missed) std::printf(" %s", id.c_str());
        std::printf("\n");
    }
    std::printf("solved %d of %d (%s, %s per position, %lld s)", t.solved, t.positions,
                o.hce ? "hand-written" : "NNUE", limit.c_str(), static_cast<long long>(seconds));
    if (t.unreadable > 0) std::printf(", %d unreadable", t.unreadable);
    std::printf("\n");
    return t.unreadable > 0 && t.positions == 0 ? 1 : 0;
}
