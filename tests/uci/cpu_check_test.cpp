// The processor feature check, decided on made-up identification records: which register
// bit each feature reads, the operating-system state (XCR0) the vector features need, the
// best level for a processor and the start-up message.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uci/cpu_check.h"

// The decision from cpuid registers exists in x86-64 builds only.
#if defined(__x86_64__)
namespace orvane::cpu {
namespace {

// Register bits of the features, as the processor reports them.
constexpr unsigned L1_SSE3 = 1u << 0, L1_SSSE3 = 1u << 9, L1_FMA = 1u << 12, L1_SSE41 = 1u << 19,
                   L1_SSE42 = 1u << 20, L1_MOVBE = 1u << 22, L1_POPCNT = 1u << 23,
                   L1_OSXSAVE = 1u << 27, L1_AVX = 1u << 28;
constexpr unsigned L7_BMI1 = 1u << 3, L7_AVX2 = 1u << 5, L7_BMI2 = 1u << 8, L7_AVX512F = 1u << 16,
                   L7_AVX512DQ = 1u << 17, L7_AVX512CD = 1u << 28, L7_AVX512BW = 1u << 30,
                   L7_AVX512VL = 1u << 31;
constexpr unsigned EXT_LZCNT = 1u << 5;
constexpr unsigned long long XCR0_AVX = 0x7, XCR0_AVX512 = 0xE7;

constexpr unsigned L1_V2 = L1_SSE3 | L1_SSSE3 | L1_SSE41 | L1_SSE42 | L1_POPCNT;
constexpr unsigned L1_V3 = L1_V2 | L1_FMA | L1_MOVBE | L1_OSXSAVE | L1_AVX;
constexpr unsigned L7_V3 = L7_BMI1 | L7_AVX2 | L7_BMI2;
constexpr unsigned L7_V4 =
    L7_V3 | L7_AVX512F | L7_AVX512DQ | L7_AVX512CD | L7_AVX512BW | L7_AVX512VL;

CpuidInfo machine(unsigned leaf1_ecx, unsigned leaf7_ebx, unsigned ext1_ecx,
                  unsigned long long xcr0) {
    CpuidInfo info;
    info.max_basic = 0x16;
    info.max_extended = 0x80000008;
    info.leaf1_ecx = leaf1_ecx;
    info.leaf7_ebx = leaf7_ebx;
    info.ext1_ecx = ext1_ecx;
    info.xcr0 = xcr0;
    return info;
}

const CpuidInfo V4_MACHINE = machine(L1_V3, L7_V4, EXT_LZCNT, XCR0_AVX512);
const CpuidInfo AVX2_MACHINE = machine(L1_V3, L7_V3, EXT_LZCNT, XCR0_AVX);
const CpuidInfo V2_MACHINE = machine(L1_V2, 0, EXT_LZCNT, 0);
const CpuidInfo BARE_MACHINE = machine(0, 0, 0, 0);

const std::vector<std::string_view> ALL_V4 = {
    "sse3", "ssse3", "sse4.1", "sse4.2",  "popcnt",   "avx",      "avx2",     "bmi1",    "bmi2",
    "fma",  "lzcnt", "movbe",  "avx512f", "avx512bw", "avx512vl", "avx512dq", "avx512cd"};

struct FeatureBit {
    const char* name;
    unsigned leaf1_ecx, leaf7_ebx, ext1_ecx;
    unsigned long long xcr0;  // the state the feature also needs
};

const FeatureBit FEATURE_BITS[] = {
    {"sse3", L1_SSE3, 0, 0, 0},
    {"ssse3", L1_SSSE3, 0, 0, 0},
    {"sse4.1", L1_SSE41, 0, 0, 0},
    {"sse4.2", L1_SSE42, 0, 0, 0},
    {"popcnt", L1_POPCNT, 0, 0, 0},
    {"movbe", L1_MOVBE, 0, 0, 0},
    {"avx", L1_AVX | L1_OSXSAVE, 0, 0, XCR0_AVX},
    {"fma", L1_FMA | L1_OSXSAVE, 0, 0, XCR0_AVX},
    {"lzcnt", 0, 0, EXT_LZCNT, 0},
    {"bmi1", 0, L7_BMI1, 0, 0},
    {"bmi2", 0, L7_BMI2, 0, 0},
    {"avx2", L1_OSXSAVE, L7_AVX2, 0, XCR0_AVX},
    {"avx512f", L1_OSXSAVE, L7_AVX512F, 0, XCR0_AVX512},
    {"avx512dq", L1_OSXSAVE, L7_AVX512DQ, 0, XCR0_AVX512},
    {"avx512cd", L1_OSXSAVE, L7_AVX512CD, 0, XCR0_AVX512},
    {"avx512bw", L1_OSXSAVE, L7_AVX512BW, 0, XCR0_AVX512},
    {"avx512vl", L1_OSXSAVE, L7_AVX512VL, 0, XCR0_AVX512},
};

// Each feature is seen on exactly its own bit: set alone it passes and no other feature
// does; without its bit it fails even with every other bit set.
TEST(CpuHas, EachFeatureReadsItsOwnBit) {
    for (const FeatureBit& f : FEATURE_BITS) {
        SCOPED_TRACE(f.name);
        CpuidInfo alone = machine(f.leaf1_ecx, f.leaf7_ebx, f.ext1_ecx, f.xcr0);
        EXPECT_TRUE(cpu_has(f.name, alone));
        for (std::string_view other : ALL_V4) {
            if (other == f.name) continue;
            EXPECT_FALSE(cpu_has(other, alone)) << other;
        }
        CpuidInfo without = machine(L1_V3 & ~(f.leaf1_ecx & ~L1_OSXSAVE), L7_V4 & ~f.leaf7_ebx,
                                    EXT_LZCNT & ~f.ext1_ecx, XCR0_AVX512);
        EXPECT_FALSE(cpu_has(f.name, without));
        for (std::string_view other : ALL_V4) {
            if (other == f.name) continue;
            EXPECT_TRUE(cpu_has(other, without)) << other;
        }
    }
}

TEST(CpuHas, UnknownNamesAreFalse) {
    for (const char* name : {"", "sse5", "AVX", "avx512", "avx512fx", "sse4", "x86-64-v3"})
        EXPECT_FALSE(cpu_has(name, V4_MACHINE)) << name;
}

TEST(CpuHas, VectorFeaturesNeedTheOperatingSystemState) {
    // CPUID bits all set, but the operating system has not enabled the AVX register state.
    for (unsigned long long xcr0 : {0x0ULL, 0x1ULL, 0x3ULL, 0x5ULL}) {
        SCOPED_TRACE(xcr0);
        CpuidInfo info = machine(L1_V3, L7_V4, EXT_LZCNT, xcr0);
        for (const char* f :
             {"avx", "avx2", "fma", "avx512f", "avx512bw", "avx512vl", "avx512dq", "avx512cd"})
            EXPECT_FALSE(cpu_has(f, info)) << f;
        for (const char* f :
             {"sse3", "ssse3", "sse4.1", "sse4.2", "popcnt", "bmi1", "bmi2", "lzcnt", "movbe"})
            EXPECT_TRUE(cpu_has(f, info)) << f;
        EXPECT_EQ(missing_features(info, "x86-64-v3"),
                  (std::vector<std::string_view>{"avx", "avx2", "fma"}));
        EXPECT_EQ(best_build_for_this_cpu(info), "x86-64-v2");
    }
    // AVX state without the AVX-512 state (opmask and upper registers): AVX-512 fails.
    for (unsigned long long xcr0 : {0x7ULL, 0x27ULL, 0x67ULL, 0xA7ULL, 0xC7ULL}) {
        CpuidInfo info = machine(L1_V3, L7_V4, EXT_LZCNT, xcr0);
        EXPECT_TRUE(cpu_has("avx2", info)) << xcr0;
        EXPECT_FALSE(cpu_has("avx512f", info)) << xcr0;
        EXPECT_EQ(best_build_for_this_cpu(info), "x86-64-v3") << xcr0;
    }
    // ... and the AVX-512 state alone is not enough either: it needs the AVX state too.
    for (unsigned long long xcr0 : {0xE1ULL, 0xE3ULL, 0xE5ULL}) {
        CpuidInfo info = machine(L1_V3, L7_V4, EXT_LZCNT, xcr0);
        EXPECT_FALSE(cpu_has("avx512f", info)) << xcr0;
        EXPECT_FALSE(cpu_has("avx512vl", info)) << xcr0;
    }
    EXPECT_TRUE(cpu_has("avx512f", machine(L1_V3, L7_V4, EXT_LZCNT, 0xFFULL)));
}

TEST(CpuHas, LeavesBeyondTheHighestReportedAreNotRead) {
    CpuidInfo old_basic = V4_MACHINE;
    old_basic.max_basic = 6;  // leaf 7 does not exist: its register holds leftovers
    for (const char* f : {"bmi1", "bmi2", "avx2", "avx512f", "avx512cd"})
        EXPECT_FALSE(cpu_has(f, old_basic)) << f;
    EXPECT_TRUE(cpu_has("avx", old_basic));
    EXPECT_EQ(best_build_for_this_cpu(old_basic), "x86-64-v2");

    CpuidInfo old_extended = V4_MACHINE;
    old_extended.max_extended = 0x80000000;
    EXPECT_FALSE(cpu_has("lzcnt", old_extended));
    EXPECT_EQ(missing_features(old_extended, "x86-64-v4"), std::vector<std::string_view>{"lzcnt"});
    EXPECT_EQ(best_build_for_this_cpu(old_extended), "x86-64-v2");
}

TEST(RequiredFeatures, PerLevelInListingOrder) {
    EXPECT_TRUE(required_features("x86-64").empty());
    EXPECT_EQ(required_features("x86-64-v2"),
              (std::vector<std::string_view>{"sse3", "ssse3", "sse4.1", "sse4.2", "popcnt"}));
    std::vector<std::string_view> v3(ALL_V4.begin(), ALL_V4.begin() + 12);
    EXPECT_EQ(required_features("x86-64-v3"), v3);
    EXPECT_EQ(required_features("x86-64-v4"), ALL_V4);
}

TEST(MissingFeatures, ListsWhatTheLevelNeedsInOrder) {
    EXPECT_TRUE(missing_features(V4_MACHINE, "x86-64-v4").empty());
    EXPECT_EQ(
        missing_features(AVX2_MACHINE, "x86-64-v4"),
        (std::vector<std::string_view>{"avx512f", "avx512bw", "avx512vl", "avx512dq", "avx512cd"}));
    EXPECT_TRUE(missing_features(AVX2_MACHINE, "x86-64-v3").empty());
    EXPECT_EQ(missing_features(BARE_MACHINE, "x86-64-v4"), ALL_V4);
    EXPECT_TRUE(missing_features(BARE_MACHINE, "x86-64").empty());
    EXPECT_EQ(missing_features(V2_MACHINE, "x86-64-v3"),
              (std::vector<std::string_view>{"avx", "avx2", "bmi1", "bmi2", "fma", "movbe"}));
}

TEST(BestBuild, HighestLevelWhoseTestsAllPass) {
    struct Case {
        const char* name;
        CpuidInfo info;
        const char* level;
    };
    const Case cases[] = {
        {"v4", V4_MACHINE, "x86-64-v4"},
        {"avx2_only", AVX2_MACHINE, "x86-64-v3"},
        {"v2", V2_MACHINE, "x86-64-v2"},
        {"bare", BARE_MACHINE, "x86-64"},
        {"v2_without_popcnt", machine(L1_V2 & ~L1_POPCNT, 0, 0, 0), "x86-64"},
        {"v2_without_ssse3", machine(L1_V2 & ~L1_SSSE3, 0, 0, 0), "x86-64"},
        {"v3_without_movbe", machine(L1_V3 & ~L1_MOVBE, L7_V3, EXT_LZCNT, XCR0_AVX), "x86-64-v2"},
        {"v3_without_lzcnt", machine(L1_V3, L7_V3, 0, XCR0_AVX), "x86-64-v2"},
        {"v4_without_avx512vl", machine(L1_V3, L7_V4 & ~L7_AVX512VL, EXT_LZCNT, XCR0_AVX512),
         "x86-64-v3"},
    };
    for (const Case& c : cases) EXPECT_EQ(best_build_for_this_cpu(c.info), c.level) << c.name;
}

TEST(Message, AvxTwoMachineWithoutAvx512) {
    EXPECT_EQ(missing_features_message(AVX2_MACHINE, "x86-64-v4"),
              "This copy of Orvane is the x86-64-v4 build, but this processor lacks: avx512f, "
              "avx512bw, avx512vl, avx512dq, avx512cd. Use the x86-64-v3 build instead.");
}

TEST(Message, Cases) {
    EXPECT_EQ(missing_features_message(V4_MACHINE, "x86-64-v4"), "");
    EXPECT_EQ(missing_features_message(AVX2_MACHINE, "x86-64-v3"), "");
    EXPECT_EQ(missing_features_message(BARE_MACHINE, "x86-64"), "");
    EXPECT_EQ(missing_features_message(machine(L1_V3, L7_V4, EXT_LZCNT, 0), "x86-64-v3"),
              "This copy of Orvane is the x86-64-v3 build, but this processor lacks: avx, avx2, "
              "fma. Use the x86-64-v2 build instead.");
    EXPECT_EQ(missing_features_message(machine(L1_V2 & ~L1_POPCNT, 0, 0, 0), "x86-64-v2"),
              "This copy of Orvane is the x86-64-v2 build, but this processor lacks: popcnt. "
              "Use the x86-64 build instead.");
}

// The test program itself runs here, so this processor has every feature of the level the
// tree is built for.
TEST(ThisMachine, HasTheBuildLevel) {
    EXPECT_TRUE(missing_features().empty());
    EXPECT_EQ(missing_features_message(read_cpuid(), BUILD_LEVEL), "");
    const std::string best = best_build_for_this_cpu();
    EXPECT_GE(best, std::string(BUILD_LEVEL)) << best;  // "x86-64-v3" < "x86-64-v4"
    for (std::string_view f : required_features(BUILD_LEVEL)) EXPECT_TRUE(cpu_has(f)) << f;
    CpuidInfo info = read_cpuid();
    EXPECT_GE(info.max_basic, 7u);
    EXPECT_GE(info.max_extended, 0x80000001u);
    EXPECT_TRUE(info.xcr0 & 1) << "x87 state is always enabled";
}

}  // namespace
}  // namespace orvane::cpu
#endif
