// orvane-gen-router: writes a router network file with freshly initialised weights, for tests,
// benchmarks and as a starting point for training.
//
//   orvane-gen-router [--rng N] FILE rrt1|rrt2|rrt3 [H1]
//   orvane-gen-router [--rng N] FILE rrt4 [H1 [H2]]
//   orvane-gen-router [--rng N] FILE rrt5 [C [B [E]]]
//
// RRT1-RRT4 weights come from the engine's own initialisation of fresh networks (the one-layer
// layout for RRT1-RRT3); RRT5 weights are uniform, scaled by 1 / sqrt(fan-in). Defaults: H1 256,
// H2 32; C 32 channels, B 2 residual blocks, E 32 units per expert. --rng sets the non-zero
// start value of the xorshift generator (default 1). Sizes outside the ranges the loaders
// accept are refused, and E is limited to 65,536. Prints the file name and its size in bytes.
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/router/router_net.h"
#include "core/router/router_moe_net.h"
#include "core/board/text.h"

using namespace orvane;

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: orvane-gen-router [--rng N] FILE rrt1|rrt2|rrt3 [H1]\n"
                 "       orvane-gen-router [--rng N] FILE rrt4 [H1 [H2]]\n"
                 "       orvane-gen-router [--rng N] FILE rrt5 [C [B [E]]]\n");
    return 2;
}

bool size_arg(const std::vector<std::string_view>& args, std::size_t index, std::uint32_t lo,
              std::uint32_t hi, std::uint32_t& value) {
    if (index >= args.size()) return true;
    auto parsed = text::parse_int<std::uint32_t>(args[index]);
    if (!parsed || *parsed < lo || *parsed > hi) {
        std::fprintf(stderr, "size '%.*s' is not in %u..%u\n", static_cast<int>(args[index].size()),
                     args[index].data(), lo, hi);
        return false;
    }
    value = *parsed;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    std::uint64_t rng_state = 1;
    if (args.size() >= 2 && args[0] == "--rng") {
        auto parsed = text::parse_int<std::uint64_t>(args[1]);
        if (!parsed || *parsed == 0) return usage();
        rng_state = *parsed;
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() < 2) return usage();
    const std::string path(args[0]);
    const std::string kind = text::ascii_lower(args[1]);

    std::vector<std::uint8_t> bytes;
    if (kind == "rrt1" || kind == "rrt2" || kind == "rrt3" || kind == "rrt4") {
        const int version = kind[3] - '0';
        std::uint32_t h1 = 256, h2 = version == 4 ? 32 : 0;
        if (args.size() > (version == 4 ? 4u : 3u)) return usage();
        if (!size_arg(args, 2, 1, router::MAX_HIDDEN, h1)) return 1;
        if (version == 4 && !size_arg(args, 3, 1, router::MAX_HIDDEN, h2)) return 1;
        bytes = router::serialise(router::RouterNet::new_v4(h1, h2, rng_state), version);
    } else if (kind == "rrt5") {
        std::uint32_t c = 32, b = 2, e = 32;
        if (args.size() > 5) return usage();
        if (!size_arg(args, 2, 1, router_moe::MAX_CHANNELS, c)) return 1;
        if (!size_arg(args, 3, 0, router_moe::MAX_BLOCKS, b)) return 1;
        if (!size_arg(args, 4, 1, 65'536, e)) return 1;
        bytes = router_moe::serialise(router_moe::RouterMoeNet::random(c, b, e, rng_state));
    } else {
        return usage();
    }

    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
    return 0;
}
