// Every count of the shared Chess960 perft file, to the deepest listed depth (depth 5 for the
// 60 deep start positions and the 150 positions from games). Minutes of work: label "slow".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/board/movegen.h"
#include "core/board/position.h"
#include "perft_epd.h"

namespace orvane {
namespace {

using perft_epd::PerftCase;

// The cases with counts deeper than the quick test runs. Without them (a missing file) the
// suite below has no instance, which Google Test reports as a failure.
std::vector<PerftCase> deep_cases() {
    std::vector<PerftCase> deep;
    for (const PerftCase& c : perft_epd::load_epd("chess960.epd"))
        if (c.counts.size() > 3) deep.push_back(c);
    return deep;
}

class Chess960PerftDeep : public testing::TestWithParam<PerftCase> {};

TEST_P(Chess960PerftDeep, EveryListedDepth) {
    const PerftCase& c = GetParam();
    FenResult parsed = Position::from_fen(c.fen);
    ASSERT_TRUE(std::holds_alternative<Position>(parsed)) << c.fen;
    Position pos = std::get<Position>(parsed);
    for (auto [depth, count] : c.counts)
        EXPECT_EQ(movegen::perft(pos, depth), count) << c.fen << " depth " << depth;
}

INSTANTIATE_TEST_SUITE_P(Epd, Chess960PerftDeep, testing::ValuesIn(deep_cases()),
                         [](const testing::TestParamInfo<PerftCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace orvane
