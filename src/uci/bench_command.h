// The benchmark as the program offers it: "bench [depth] [verbose] [hce]" on the command line
// or as a UCI command.
#pragma once

#include <string_view>
#include <vector>

namespace orvane::uci {
void run_bench(const std::vector<std::string_view>& args);
}
