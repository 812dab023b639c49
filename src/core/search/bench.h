// The benchmark: a fixed-depth search over 16 built-in positions from a cleared state. Its
// total node count is a signature of the search: two builds that search alike print the same.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/eval/pst_eval.h"

namespace orvane::bench {

inline constexpr int DEFAULT_DEPTH = 11;

extern const std::array<std::string_view, 16> POSITIONS;

struct BenchResult {
    std::vector<std::uint64_t> nodes;  // per position, in order
    std::uint64_t total = 0;
    std::uint64_t ms = 0;
};

template <Evaluator E>
BenchResult run_with(int depth, const E& evaluator);

// With the hand-written evaluator.
BenchResult run(int depth);

}  // namespace orvane::bench
