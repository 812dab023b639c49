// Every perft count of the shared EPD suites, to the deepest listed depth. Minutes of work,
// so this program carries the "slow" label and stays out of the default run.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/board/movegen.h"
#include "core/board/position.h"
#include "perft_epd.h"
#include "support/position_helpers.h"

namespace orvane {
namespace {

using perft_epd::PerftCase;
using perft_epd::all_cases;
using perft_epd::load_epd;
using perft_epd::shared_path;

TEST(PerftFiles, ArePresent) {
    EXPECT_GE(load_epd("standard.epd").size(), 6u) << shared_path("standard.epd");
    EXPECT_GE(load_epd("suite.epd").size(), 100u) << shared_path("suite.epd");
}

class PerftFull : public testing::TestWithParam<PerftCase> {};

TEST_P(PerftFull, EveryListedDepth) {
    const PerftCase& c = GetParam();
    Position pos = from_fen(c.fen);
    ASSERT_FALSE(HasFailure());
    ASSERT_FALSE(c.counts.empty());
    for (auto [depth, count] : c.counts)
        EXPECT_EQ(movegen::perft(pos, depth), count) << c.fen << " depth " << depth;
    EXPECT_TRUE(pos.history().empty());
}

INSTANTIATE_TEST_SUITE_P(Epd, PerftFull, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<PerftCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace orvane
