// The bench signatures: total nodes of `orvane bench DEPTH` with the built-in network and
// of `orvane bench DEPTH hce` with the hand-written evaluator. They change whenever the
// search or the built-in network changes; such a commit updates them, and its message ends
// "Bench: N" with the new count.
#pragma once

#include <cstdint>

namespace orvane::bench_signature {

inline constexpr int DEPTH = 6;
inline constexpr std::uint64_t NNUE = 25'800;
inline constexpr std::uint64_t HCE = 40'493;

}  // namespace orvane::bench_signature
