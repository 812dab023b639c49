// Processor feature check: the binary is built for one instruction-set level and uses that
// level's instructions freely, so main tests the features of that level before anything else
// runs. Each processor family has a source file of its own that defines startup_problem():
// cpu_check.cpp for x86-64 (from the cpuid registers, declared below so that the decision can
// be tested), cpu_check_aarch64.cpp for 64-bit ARM.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvane::cpu {

// The level this binary was built for, e.g. "x86-64-v4" or "armv8-a".
inline constexpr std::string_view BUILD_LEVEL = ORVANE_BUILD_LEVEL;

// The start-up message for a processor that cannot run this build, or empty when it can.
std::string startup_problem();

#if defined(__x86_64__)

// Raw identification registers, so that the decision logic can be tested on made-up machines.
struct CpuidInfo {
    unsigned max_basic = 0;
    unsigned max_extended = 0;
    unsigned leaf1_ecx = 0;
    unsigned leaf7_ebx = 0;
    unsigned ext1_ecx = 0;
    unsigned long long xcr0 = 0;
};

CpuidInfo read_cpuid();

bool cpu_has(std::string_view feature, const CpuidInfo& info);
bool cpu_has(std::string_view feature);

// Features the given level needs, in the order they are tested and listed.
std::vector<std::string_view> required_features(std::string_view level);
std::vector<std::string_view> missing_features(const CpuidInfo& info, std::string_view level);
std::vector<std::string_view> missing_features();
std::string best_build_for_this_cpu(const CpuidInfo& info);
std::string best_build_for_this_cpu();

// The start-up message for a processor that lacks features, or empty when none is missing.
std::string missing_features_message(const CpuidInfo& info, std::string_view level);
#endif

}  // namespace orvane::cpu
