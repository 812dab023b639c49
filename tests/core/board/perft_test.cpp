// Perft counts from the shared EPD suites, each depth whose count fits a node budget, so the
// whole file stays quick even in a sanitizer build. The full counts are in perft_slow_test.
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

// Depths whose expected count is above this are left to the slow test.
constexpr std::uint64_t NODE_BUDGET = 200'000;

using perft_epd::PerftCase;
using perft_epd::all_cases;
using perft_epd::load_epd;
using perft_epd::shared_path;

// Per-move counts, printed only when a total is wrong.
std::string divide(Position& pos, int depth) {
    std::string out = "divide at depth " + std::to_string(depth) + ":\n";
    MoveList moves;
    movegen::generate_all(pos, moves);
    for (Move m : moves) {
        pos.make_move(m);
        out += "  " + move_to_uci(m) + ": " + std::to_string(movegen::perft(pos, depth - 1)) + "\n";
        pos.unmake_move(m);
    }
    return out;
}

TEST(PerftFiles, ArePresentAndWellFormed) {
    std::vector<PerftCase> standard = load_epd("standard.epd");
    std::vector<PerftCase> suite = load_epd("suite.epd");
    EXPECT_GE(standard.size(), 6u) << shared_path("standard.epd") << " missing or short";
    EXPECT_GE(suite.size(), 100u) << shared_path("suite.epd") << " missing or short";
    for (const PerftCase& c : all_cases()) {
        EXPECT_FALSE(c.counts.empty()) << c.name;
        EXPECT_TRUE(std::holds_alternative<Position>(Position::from_fen(c.fen))) << c.name;
    }
}

class Perft : public testing::TestWithParam<PerftCase> {};

TEST_P(Perft, CountsWithinBudget) {
    const PerftCase& c = GetParam();
    Position pos = from_fen(c.fen);
    ASSERT_FALSE(HasFailure());
    const std::string fen_before = pos.to_fen();
    const std::uint64_t key_before = pos.key();
    int checked = 0;
    for (auto [depth, count] : c.counts) {
        if (count > NODE_BUDGET) continue;
        ++checked;
        EXPECT_EQ(movegen::perft(pos, depth), count) << c.fen << " depth " << depth << "\n"
                                                     << divide(pos, depth);
    }
    EXPECT_GT(checked, 0) << "no depth fits the budget";
    EXPECT_EQ(pos.to_fen(), fen_before);
    EXPECT_EQ(pos.key(), key_before);
    EXPECT_TRUE(pos.history().empty());
}

INSTANTIATE_TEST_SUITE_P(Epd, Perft, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<PerftCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace orvane
