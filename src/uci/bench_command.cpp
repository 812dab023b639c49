#include "uci/bench_command.h"

#include <cstdio>
#include <string>

#include "core/search/bench.h"
#include "uci/cpu_check.h"
#include "core/eval/nnue/nnue_eval.h"
#include "core/board/text.h"
#include "uci/output.h"

namespace orvane::uci {

void run_bench(const std::vector<std::string_view>& args) {
    int depth = bench::DEFAULT_DEPTH;
    bool verbose = false, hand_written = false;
    bool have_depth = false;
    for (std::string_view a : args) {
        if (!have_depth) {
            if (auto d = text::parse_int<std::int32_t>(a)) {
                depth = *d;
                have_depth = true;
                continue;
            }
        }
        if (a == "verbose") verbose = true;
        if (a == "hce") hand_written = true;
    }
    const bench::BenchResult r = hand_written
                                     ? bench::run(depth)
                                     : bench::run_with(depth, nnue::NnueEval(nnue::default_net()));
    std::string out;
    if (verbose) {
        for (std::size_t i = 0; i < r.nodes.size(); ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "position %2zu: %llu nodes\n", i + 1,
                          static_cast<unsigned long long>(r.nodes[i]));
            out += line;
        }
    }
    out += "Bench: " + std::to_string(r.total) + " nodes (depth " + std::to_string(depth) + ", "
           + std::to_string(bench::POSITIONS.size()) + " positions)\n";
    const std::uint64_t nps = r.total * 1000 / std::max<std::uint64_t>(r.ms, 1);
    out += "Speed: " + std::to_string(nps) + " nps (" + std::to_string(r.ms) + " ms, "
           + std::string(cpu::BUILD_LEVEL) + " build)\n";
    write_raw(out);
}

}  // namespace orvane::uci
