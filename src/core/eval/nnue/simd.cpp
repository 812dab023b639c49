#include "core/eval/nnue/simd.h"

#include <array>
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "core/eval/nnue/network.h"
#include "core/board/types.h"

namespace orvane::nnue::simd {
namespace {

constexpr int ACTIVATION_MAX = 255;

// Scalar reference. Unsigned arithmetic gives the wrapping the vector lanes have.

void update_scalar(std::int16_t* dst, const std::int16_t* src, const std::int16_t* const* add,
                   int add_count, const std::int16_t* const* sub, int sub_count, int width) {
    std::uint16_t sum[HIDDEN];
    for (int i = 0; i < width; ++i) sum[i] = static_cast<std::uint16_t>(src[i]);
    for (int a = 0; a < add_count; ++a)
        for (int i = 0; i < width; ++i) sum[i] += static_cast<std::uint16_t>(add[a][i]);
    for (int s = 0; s < sub_count; ++s)
        for (int i = 0; i < width; ++i) sum[i] -= static_cast<std::uint16_t>(sub[s][i]);
    for (int i = 0; i < width; ++i) dst[i] = static_cast<std::int16_t>(sum[i]);
}

std::uint32_t half_output_scalar(const std::int16_t* acc, const std::int16_t* w, int width) {
    std::uint32_t sum = 0;
    for (int i = 0; i < width; ++i) {
        int v = acc[i] < 0 ? 0 : acc[i] > ACTIVATION_MAX ? ACTIVATION_MAX : acc[i];
        auto vw = static_cast<std::int16_t>(v * w[i]);
        sum += static_cast<std::uint32_t>(vw * v);
    }
    return sum;
}

std::int32_t output_scalar(const std::int16_t* us, const std::int16_t* them,
                           const std::int16_t* weights, int width) {
    std::uint32_t sum = half_output_scalar(us, weights, width);
    sum += half_output_scalar(them, weights + HIDDEN, width);
    return static_cast<std::int32_t>(sum);
}

#if defined(__AVX2__)

// Eight 16-lane registers per pass: the accumulator slice stays in registers while every
// row is added.
constexpr int AVX2_LANES = 16;
constexpr int AVX2_REGS = 8;

void update_avx2(std::int16_t* dst, const std::int16_t* src, const std::int16_t* const* add,
                 int add_count, const std::int16_t* const* sub, int sub_count, int width) {
    for (int base = 0; base < width; base += AVX2_LANES * AVX2_REGS) {
        __m256i r[AVX2_REGS];
        for (int k = 0; k < AVX2_REGS; ++k)
            r[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + base) + k);
        for (int a = 0; a < add_count; ++a) {
            const auto* row = reinterpret_cast<const __m256i*>(add[a] + base);
            for (int k = 0; k < AVX2_REGS; ++k)
                r[k] = _mm256_add_epi16(r[k], _mm256_loadu_si256(row + k));
        }
        for (int s = 0; s < sub_count; ++s) {
            const auto* row = reinterpret_cast<const __m256i*>(sub[s] + base);
            for (int k = 0; k < AVX2_REGS; ++k)
                r[k] = _mm256_sub_epi16(r[k], _mm256_loadu_si256(row + k));
        }
        for (int k = 0; k < AVX2_REGS; ++k)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + base) + k, r[k]);
    }
}

__m256i half_output_avx2(__m256i sum, const std::int16_t* acc, const std::int16_t* w,
                         int width) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i top = _mm256_set1_epi16(ACTIVATION_MAX);
    for (int i = 0; i < width; i += AVX2_LANES) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + i));
        v = _mm256_min_epi16(_mm256_max_epi16(v, zero), top);
        __m256i wi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + i));
        __m256i vw = _mm256_mullo_epi16(v, wi);
        sum = _mm256_add_epi32(sum, _mm256_madd_epi16(vw, v));
    }
    return sum;
}

std::int32_t sum_lanes(__m256i sum) {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(s);
}

std::int32_t output_avx2(const std::int16_t* us, const std::int16_t* them,
                         const std::int16_t* weights, int width) {
    __m256i sum = half_output_avx2(_mm256_setzero_si256(), us, weights, width);
    return sum_lanes(half_output_avx2(sum, them, weights + HIDDEN, width));
}

#endif

#if defined(__AVX512F__) && defined(__AVX512BW__)

constexpr int AVX512_LANES = 32;
constexpr int AVX512_REGS = 16;

void update_avx512(std::int16_t* dst, const std::int16_t* src, const std::int16_t* const* add,
                   int add_count, const std::int16_t* const* sub, int sub_count, int width) {
    for (int base = 0; base < width; base += AVX512_LANES * AVX512_REGS) {
        __m512i r[AVX512_REGS];
        for (int k = 0; k < AVX512_REGS; ++k)
            r[k] = _mm512_loadu_si512(src + base + k * AVX512_LANES);
        for (int a = 0; a < add_count; ++a) {
            const std::int16_t* row = add[a] + base;
            for (int k = 0; k < AVX512_REGS; ++k)
                r[k] = _mm512_add_epi16(r[k], _mm512_loadu_si512(row + k * AVX512_LANES));
        }
        for (int s = 0; s < sub_count; ++s) {
            const std::int16_t* row = sub[s] + base;
            for (int k = 0; k < AVX512_REGS; ++k)
                r[k] = _mm512_sub_epi16(r[k], _mm512_loadu_si512(row + k * AVX512_LANES));
        }
        for (int k = 0; k < AVX512_REGS; ++k)
            _mm512_storeu_si512(dst + base + k * AVX512_LANES, r[k]);
    }
}

// Through memory: this compiler's 512-to-256-bit intrinsics warn about their own code.
std::int32_t sum_lanes(__m512i sum) {
    alignas(64) std::uint32_t lanes[16];
    _mm512_store_si512(lanes, sum);
    std::uint32_t total = 0;
    for (std::uint32_t lane : lanes) total += lane;
    return static_cast<std::int32_t>(total);
}

__m512i half_output_avx512(__m512i sum, const std::int16_t* acc, const std::int16_t* w,
                           int width) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i top = _mm512_set1_epi16(ACTIVATION_MAX);
    for (int i = 0; i < width; i += AVX512_LANES) {
        __m512i v = _mm512_min_epi16(_mm512_max_epi16(_mm512_loadu_si512(acc + i), zero), top);
        __m512i vw = _mm512_mullo_epi16(v, _mm512_loadu_si512(w + i));
        sum = _mm512_add_epi32(sum, _mm512_madd_epi16(vw, v));
    }
    return sum;
}

std::int32_t output_avx512(const std::int16_t* us, const std::int16_t* them,
                           const std::int16_t* weights, int width) {
    __m512i sum = half_output_avx512(_mm512_setzero_si512(), us, weights, width);
    sum = half_output_avx512(sum, them, weights + HIDDEN, width);
    return sum_lanes(sum);
}

// AVX-512 VNNI (not part of x86-64-v4, so compiled for it here and chosen only when the
// processor has it): the multiply-add folds into the sum. Its latency is longer than an
// addition's, so four running sums take alternate slices.
constexpr int VNNI_SUMS = 4;

__attribute__((target("avx512vnni"))) void half_output_vnni(__m512i (&sum)[VNNI_SUMS],
                                                            const std::int16_t* acc,
                                                            const std::int16_t* w,
                                                            int width) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i top = _mm512_set1_epi16(ACTIVATION_MAX);
    for (int i = 0; i < width; i += VNNI_SUMS * AVX512_LANES) {
        for (int k = 0; k < VNNI_SUMS; ++k) {
            const int j = i + k * AVX512_LANES;
            __m512i v = _mm512_min_epi16(_mm512_max_epi16(_mm512_loadu_si512(acc + j), zero), top);
            __m512i vw = _mm512_mullo_epi16(v, _mm512_loadu_si512(w + j));
            sum[k] = _mm512_dpwssd_epi32(sum[k], vw, v);
        }
    }
}

__attribute__((target("avx512vnni"))) std::int32_t output_vnni(const std::int16_t* us,
                                                               const std::int16_t* them,
                                                               const std::int16_t* weights,
                                                               int width) {
    __m512i sum[VNNI_SUMS];
    for (__m512i& s : sum) s = _mm512_setzero_si512();
    half_output_vnni(sum, us, weights, width);
    half_output_vnni(sum, them, weights + HIDDEN, width);
    return sum_lanes(
        _mm512_add_epi32(_mm512_add_epi32(sum[0], sum[1]), _mm512_add_epi32(sum[2], sum[3])));
}

#endif

#if defined(__aarch64__)

// Advanced SIMD (NEON), which every AArch64 processor has: eight 16-bit lanes per register.
// Sixteen registers per pass keep a 128-lane slice of the accumulator while the rows are
// added (AArch64 has 32 vector registers).
constexpr int NEON_LANES = 8;
constexpr int NEON_REGS = 16;

void update_neon(std::int16_t* dst, const std::int16_t* src, const std::int16_t* const* add,
                 int add_count, const std::int16_t* const* sub, int sub_count, int width) {
    for (int base = 0; base < width; base += NEON_LANES * NEON_REGS) {
        int16x8_t r[NEON_REGS];
        for (int k = 0; k < NEON_REGS; ++k) r[k] = vld1q_s16(src + base + k * NEON_LANES);
        for (int a = 0; a < add_count; ++a) {
            const std::int16_t* row = add[a] + base;
            for (int k = 0; k < NEON_REGS; ++k)
                r[k] = vaddq_s16(r[k], vld1q_s16(row + k * NEON_LANES));
        }
        for (int s = 0; s < sub_count; ++s) {
            const std::int16_t* row = sub[s] + base;
            for (int k = 0; k < NEON_REGS; ++k)
                r[k] = vsubq_s16(r[k], vld1q_s16(row + k * NEON_LANES));
        }
        for (int k = 0; k < NEON_REGS; ++k) vst1q_s16(dst + base + k * NEON_LANES, r[k]);
    }
}

// (v w) is kept in 16 bits, as in the scalar form; the widening multiply-accumulate then
// adds (v w) v into 32-bit lanes, low and high halves into two running sums.
void half_output_neon(int32x4_t (&sum)[2], const std::int16_t* acc, const std::int16_t* w,
                      int width) {
    const int16x8_t zero = vdupq_n_s16(0);
    const int16x8_t top = vdupq_n_s16(ACTIVATION_MAX);
    for (int i = 0; i < width; i += NEON_LANES) {
        const int16x8_t v = vminq_s16(vmaxq_s16(vld1q_s16(acc + i), zero), top);
        const int16x8_t vw = vmulq_s16(v, vld1q_s16(w + i));
        sum[0] = vmlal_s16(sum[0], vget_low_s16(vw), vget_low_s16(v));
        sum[1] = vmlal_high_s16(sum[1], vw, v);
    }
}

std::int32_t output_neon(const std::int16_t* us, const std::int16_t* them,
                         const std::int16_t* weights, int width) {
    int32x4_t sum[2] = {vdupq_n_s32(0), vdupq_n_s32(0)};
    half_output_neon(sum, us, weights, width);
    half_output_neon(sum, them, weights + HIDDEN, width);
    // Lane sums in unsigned arithmetic: they wrap at 32 bits like every other path.
    return static_cast<std::int32_t>(
        vaddvq_u32(vaddq_u32(vreinterpretq_u32_s32(sum[0]), vreinterpretq_u32_s32(sum[1]))));
}

#endif

constexpr Kernels SCALAR_KERNELS{Path::SCALAR, "scalar", update_scalar, output_scalar};
#if defined(__aarch64__)
constexpr Kernels NEON_KERNELS{Path::NEON, "neon", update_neon, output_neon};
#endif
#if defined(__AVX2__)
constexpr Kernels AVX2_KERNELS{Path::AVX2, "avx2", update_avx2, output_avx2};
#endif
#if defined(__AVX512F__) && defined(__AVX512BW__)
constexpr Kernels AVX512_KERNELS{Path::AVX512, "avx512", update_avx512, output_avx512};
constexpr Kernels AVX512_VNNI_KERNELS{Path::AVX512_VNNI, "avx512-vnni", update_avx512,
                                      output_vnni};
#endif

// The compiled paths this processor can run, in order of speed.
struct PathList {
    std::array<Path, 4> paths{};
    std::size_t size = 0;
    PathList() {
        paths[size++] = Path::SCALAR;
#if defined(__aarch64__)
        paths[size++] = Path::NEON;
#endif
#if defined(__AVX2__)
        paths[size++] = Path::AVX2;
#endif
#if defined(__AVX512F__) && defined(__AVX512BW__)
        paths[size++] = Path::AVX512;
        __builtin_cpu_init();  // the list may be built before the program's constructors ran
        if (__builtin_cpu_supports("avx512vnni")) paths[size++] = Path::AVX512_VNNI;
#endif
    }
};

const PathList& path_list() {
    static const PathList list;
    return list;
}

}  // namespace

std::span<const Path> available_paths() {
    const PathList& list = path_list();
    return {list.paths.data(), list.size};
}

Path best_path() { return available_paths().back(); }

const Kernels& kernels(Path path) {
    switch (path) {
        case Path::SCALAR: return SCALAR_KERNELS;
#if defined(__aarch64__)
        case Path::NEON: return NEON_KERNELS;
#endif
#if defined(__AVX2__)
        case Path::AVX2: return AVX2_KERNELS;
#endif
#if defined(__AVX512F__) && defined(__AVX512BW__)
        case Path::AVX512: return AVX512_KERNELS;
        case Path::AVX512_VNNI:
            if (best_path() == Path::AVX512_VNNI) return AVX512_VNNI_KERNELS;
            break;
#endif
        default: break;
    }
    fatal("NNUE vector path not compiled into this build");
}

}  // namespace orvane::nnue::simd
