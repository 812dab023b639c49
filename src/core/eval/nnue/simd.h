// The two inner loops of NNUE inference, in a scalar reference form and in vector forms:
// on x86-64 AVX2 (every x86-64 build has it), AVX-512 (compiled only into x86-64-v4 builds)
// and AVX-512 with VNNI (in the same builds, taken only where the processor has it); on
// aarch64 NEON (every aarch64 build has it). All paths
// use wrapping integer arithmetic, so they give bit-identical results; the evaluator takes
// the fastest one unless a test asks for another.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace orvane::nnue::simd {

enum class Path : std::uint8_t { SCALAR, AVX2, AVX512, AVX512_VNNI, NEON };

// `width` is the network's width: a multiple of 512 up to 1024.

// dst = src + sum of the `add` rows - sum of the `sub` rows, over `width` lanes of 16-bit
// wrapping arithmetic. dst may be src.
using UpdateFn = void (*)(std::int16_t* dst, const std::int16_t* src,
                          const std::int16_t* const* add, int add_count,
                          const std::int16_t* const* sub, int sub_count, int width);

// sum over i < width of v(us_i)^2 w_i + v(them_i)^2 w_(1024 + i), with
// v(x) = min(max(x, 0), 255). Each term is (v w) kept in a 16-bit lane (exact for |w| <= 127),
// then times v in 32 bits; the sum wraps at 32 bits.
using OutputFn = std::int32_t (*)(const std::int16_t* us, const std::int16_t* them,
                                  const std::int16_t* weights, int width);

struct Kernels {
    Path path;
    std::string_view name;
    UpdateFn update;
    OutputFn output;
};

// The paths compiled into this build that this processor runs, the scalar reference first
// and the fastest last.
std::span<const Path> available_paths();
Path best_path();
// The kernels of a path of this build; asking for another one is a fatal stop.
const Kernels& kernels(Path path);

}  // namespace orvane::nnue::simd
