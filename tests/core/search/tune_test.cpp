// The tune records as text (lookup, option values, OpenBench's SPSA lines) and the late-move
// reduction table built from two of them. The list's well-formedness (count, unique names,
// ranges, order) is checked at compile time in tune.h; here what a tuning tool reads.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>

#include "core/search/searcher.h"
#include "core/search/tune.h"

namespace orvane {
namespace {

TEST(TuneRecords, FindIgnoresLetterCaseAndKnowsEveryRecord) {
    struct Case {
        std::string_view name;
        const tune::Param* found;
    };
    const Case cases[] = {
        {"LMR_BASE", &tune::LMR_BASE},
        {"lmr_base", &tune::LMR_BASE},
        {"  Rfp_Margin_P2 ", &tune::RFP_MARGIN[2]},
        {"tm_stability_4", &tune::TM_STABILITY[4]},
        {"LMR_BAS", nullptr},
        {"LMR_BASE_", nullptr},
        {"LMR BASE", nullptr},
        {"", nullptr},
        {"Hash", nullptr},
    };
    for (const Case& c : cases) EXPECT_EQ(tune::find(c.name), c.found) << c.name;
    for (const tune::Param* p : tune::ALL) EXPECT_EQ(tune::find(p->name), p) << p->name;
}

TEST(TuneRecords, OptionValuesAreIntegersClampedToTheRange) {
    struct Case {
        const tune::Param* param;
        std::string_view text;
        std::optional<int> value;
    };
    const tune::Param& lmr = tune::LMR_BASE;              // 0..150
    const tune::Param& prune = tune::HISTORY_PRUNE_FACTOR;  // -6000..-500
    const Case cases[] = {
        {&lmr, "60", 60},
        {&lmr, "+60", 60},
        {&lmr, " 60 ", 60},
        {&lmr, "0", 0},
        {&lmr, "150", 150},
        {&lmr, "151", 150},
        {&lmr, "-1", 0},
        {&lmr, "99999999999", 150},
        {&lmr, "-99999999999", 0},
        {&lmr, "99999999999999999999", std::nullopt},  // not even a 64-bit integer
        {&lmr, "", std::nullopt},
        {&lmr, "abc", std::nullopt},
        {&lmr, "6 0", std::nullopt},
        {&lmr, "60.5", std::nullopt},
        {&lmr, "0x10", std::nullopt},
        {&lmr, "-", std::nullopt},
        {&prune, "-1234", -1234},
        {&prune, "0", -500},
        {&prune, "-7000", -6000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tune::parse_value(*c.param, c.text), c.value) << c.param->name << " " << c.text;
}

TEST(TuneRecords, OpenBenchAndOptionLines) {
    struct Case {
        const tune::Param* param;
        int value;
        double r_end;
        std::string_view openbench, option;
    };
    const Case cases[] = {
        {&tune::RFP_MARGIN[0], 78, 0.002, "RFP_MARGIN_P0, int, 78, 30, 160, 8, 0.002",
         "option name RFP_MARGIN_P0 type spin default 78 min 30 max 160"},
        {&tune::HISTORY_PRUNE_FACTOR, -2296, 0.002,
         "HISTORY_PRUNE_FACTOR, int, -2296, -6000, -500, 200, 0.002",
         "option name HISTORY_PRUNE_FACTOR type spin default -2296 min -6000 max -500"},
        {&tune::LMR_BASE, 71, 0.0005, "LMR_BASE, int, 71, 0, 150, 8, 0.0005",
         "option name LMR_BASE type spin default 71 min 0 max 150"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tune::openbench_line(*c.param, c.value, c.r_end), c.openbench);
        EXPECT_EQ(tune::option_line(*c.param, c.value), c.option);
    }
    // Every record gives a line OpenBench can split into its seven fields.
    static const std::regex LINE(R"(([A-Z0-9_]+), int, (-?\d+), (-?\d+), (-?\d+), ([0-9.]+), 0\.002)");
    for (const tune::Param* p : tune::ALL) {
        const std::string line = tune::openbench_line(*p, p->value);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, LINE)) << line;
        EXPECT_EQ(m[1].str(), p->name);
        EXPECT_EQ(std::stoi(m[2].str()), p->value);
        EXPECT_EQ(std::stoi(m[3].str()), p->min);
        EXPECT_EQ(std::stoi(m[4].str()), p->max);
        EXPECT_DOUBLE_EQ(std::stod(m[5].str()), p->step);
    }
}

TEST(TuneRecords, FamiliesAreIndexedByPhaseBucket) {
    const tune::Family* families[] = {&tune::RFP_MARGIN, &tune::FUT_BASE,  &tune::FUT_MULT,
                                      &tune::LMP_BASE,   &tune::SEE_NOISY, &tune::SEE_QUIET};
    std::set<int> seen;
    for (const tune::Family* f : families)
        for (std::size_t bucket = 0; bucket < f->size(); ++bucket) {
            const tune::Param& p = (*f)[bucket];
            EXPECT_EQ(tune::ALL[static_cast<std::size_t>(p.index)], &p) << p.name;
            EXPECT_TRUE(p.name.ends_with("_P" + std::to_string(bucket))) << p.name;
            seen.insert(p.index);
        }
    EXPECT_EQ(seen.size(), 18u);
}

// The table is built at compile time (std::log folded by the compiler); the engine played
// with a table from the run-time std::log before, and the two must agree entry for entry.
TEST(LateMoveReductions, CompileTimeTableMatchesRunTimeLogarithms) {
    volatile double divisor = tune::LMR_DIVISOR.value / 100.0;  // kept from folding
    volatile double base = tune::LMR_BASE.value / 100.0;
    for (int d = 1; d < 64; ++d)
        for (int m = 1; m < 64; ++m) {
            const int expected = static_cast<int>(std::log(d) * std::log(m) / divisor + base);
            EXPECT_EQ(lmr_reduction(d, m), expected) << d << " " << m;
        }
}

#ifdef ORVANE_TUNING
// The tuning build reads the live values; each test puts back what it changed.
TEST(TuningBuild, LiveValuesAndTheReductionTable) {
    EXPECT_EQ(tune::value(tune::LMR_BASE), tune::LMR_BASE.value);
    const int before = lmr_reduction(20, 40);
    tune::set(tune::LMR_BASE, tune::LMR_BASE.value + 100);
    EXPECT_EQ(tune::value(tune::LMR_BASE), tune::LMR_BASE.value + 100);
    EXPECT_EQ(lmr_reduction(20, 40), before);  // until the table is built again
    rebuild_lmr_table();
    EXPECT_EQ(lmr_reduction(20, 40), before + 1);
    tune::set(tune::LMR_BASE, tune::LMR_BASE.value);
    rebuild_lmr_table();
    EXPECT_EQ(lmr_reduction(20, 40), before);
}
#endif

}  // namespace
}  // namespace orvane
