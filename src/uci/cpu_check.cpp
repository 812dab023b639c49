#include "uci/cpu_check.h"

#if defined(__x86_64__)
#include <cpuid.h>

namespace orvane::cpu {
namespace {

constexpr std::string_view V2[] = {"sse3", "ssse3", "sse4.1", "sse4.2", "popcnt"};
constexpr std::string_view V3[] = {"avx", "avx2", "bmi1", "bmi2", "fma", "lzcnt", "movbe"};
constexpr std::string_view V4[] = {"avx512f", "avx512bw", "avx512vl", "avx512dq", "avx512cd"};

bool bit_set(unsigned long long value, int b) { return (value >> b) & 1; }

}  // namespace

CpuidInfo read_cpuid() {
    CpuidInfo info;
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid(0, a, b, c, d);
    info.max_basic = a;
    if (info.max_basic >= 1) {
        __cpuid(1, a, b, c, d);
        info.leaf1_ecx = c;
    }
    if (info.max_basic >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        info.leaf7_ebx = b;
    }
    __cpuid(0x80000000, a, b, c, d);
    info.max_extended = a;
    if (info.max_extended >= 0x80000001) {
        __cpuid(0x80000001, a, b, c, d);
        info.ext1_ecx = c;
    }
    if (bit_set(info.leaf1_ecx, 27)) {
        unsigned lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        info.xcr0 = (static_cast<unsigned long long>(hi) << 32) | lo;
    }
    return info;
}

bool cpu_has(std::string_view f, const CpuidInfo& info) {
    const unsigned ecx1 = info.leaf1_ecx;
    const unsigned ebx7 = info.max_basic >= 7 ? info.leaf7_ebx : 0;
    const unsigned ext = info.max_extended >= 0x80000001 ? info.ext1_ecx : 0;
    const bool avx_state = bit_set(info.xcr0, 1) && bit_set(info.xcr0, 2);
    const bool avx512_state = (info.xcr0 & 0xE6) == 0xE6;
    if (f == "sse3") return bit_set(ecx1, 0);
    if (f == "ssse3") return bit_set(ecx1, 9);
    if (f == "sse4.1") return bit_set(ecx1, 19);
    if (f == "sse4.2") return bit_set(ecx1, 20);
    if (f == "popcnt") return bit_set(ecx1, 23);
    if (f == "movbe") return bit_set(ecx1, 22);
    if (f == "avx") return bit_set(ecx1, 28) && avx_state;
    if (f == "fma") return bit_set(ecx1, 12) && avx_state;
    if (f == "lzcnt") return bit_set(ext, 5);
    if (f == "bmi1") return bit_set(ebx7, 3);
    if (f == "bmi2") return bit_set(ebx7, 8);
    if (f == "avx2") return bit_set(ebx7, 5) && avx_state;
    if (f == "avx512f") return bit_set(ebx7, 16) && avx512_state;
    if (f == "avx512dq") return bit_set(ebx7, 17) && avx512_state;
    if (f == "avx512cd") return bit_set(ebx7, 28) && avx512_state;
    if (f == "avx512bw") return bit_set(ebx7, 30) && avx512_state;
    if (f == "avx512vl") return bit_set(ebx7, 31) && avx512_state;
    return false;
}

bool cpu_has(std::string_view feature) { return cpu_has(feature, read_cpuid()); }

std::vector<std::string_view> required_features(std::string_view level) {
    std::vector<std::string_view> out;
    int n = level == "x86-64-v2" ? 2 : level == "x86-64-v3" ? 3 : level == "x86-64-v4" ? 4 : 1;
    // One push at a time: GCC 12 misreads the sizes of a range insert here (-Wstringop-overflow).
    auto append = [&out](const auto& features) {
        for (std::string_view f : features) out.push_back(f);
    };
    if (n >= 2) append(V2);
    if (n >= 3) append(V3);
    if (n >= 4) append(V4);
    return out;
}

std::vector<std::string_view> missing_features(const CpuidInfo& info, std::string_view level) {
    std::vector<std::string_view> missing;
    for (std::string_view f : required_features(level))
        if (!cpu_has(f, info)) missing.push_back(f);
    return missing;
}

std::vector<std::string_view> missing_features() {
    return missing_features(read_cpuid(), BUILD_LEVEL);
}

std::string best_build_for_this_cpu(const CpuidInfo& info) {
    auto all = [&](auto&& list) {
        for (std::string_view f : list)
            if (!cpu_has(f, info)) return false;
        return true;
    };
    if (all(V3)) return all(V4) ? "x86-64-v4" : "x86-64-v3";
    constexpr std::string_view SSE[] = {"sse3", "ssse3", "sse4.1", "sse4.2"};
    if (all(SSE)) return cpu_has("popcnt", info) ? "x86-64-v2" : "x86-64";
    return "x86-64";
}

std::string best_build_for_this_cpu() { return best_build_for_this_cpu(read_cpuid()); }

std::string startup_problem() { return missing_features_message(read_cpuid(), BUILD_LEVEL); }

std::string missing_features_message(const CpuidInfo& info, std::string_view level) {
    auto missing = missing_features(info, level);
    if (missing.empty()) return {};
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i) names += ", ";
        names += missing[i];
    }
    return "This copy of Orvane is the " + std::string(level) + " build, but this processor lacks: "
           + names + ". Use the " + best_build_for_this_cpu(info) + " build instead.";
}

}  // namespace orvane::cpu
#endif
