#include "core/tablebase/tablebase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane {
namespace {

constexpr Move M1 = make_move(12, 28, DOUBLE_PUSH);       // e2e4
constexpr Move M2 = make_move(6, 21, QUIET);              // g1f3
constexpr Move M3 = make_move(4, 12, QUIET);              // e1e2
constexpr Move M4 = make_move(52, 60, PROMO_KNIGHT + 3);  // e7e8q

struct FilterCase {
    std::string name;
    std::vector<RootMove> input;
    std::vector<Move> kept;
};

std::vector<FilterCase> filter_cases() {
    using enum Wdl;
    return {
        {"EmptyInput", {}, {}},
        {"WinsKeepSmallestDtzInOrder", {{5, M1, WIN}, {3, M2, WIN}, {3, M3, WIN}}, {M2, M3}},
        {"LossesKeepLargestDtz", {{10, M1, LOSS}, {20, M2, LOSS}}, {M2}},
        {"DrawsKeepAllWhateverDtz", {{0, M1, DRAW}, {4, M2, DRAW}, {2, M3, LOSS}}, {M1, M2}},
        {"WinBeatsDrawAndLoss", {{0, M1, DRAW}, {7, M2, WIN}, {1, M3, LOSS}, {9, M4, WIN}}, {M2}},
        {"WinBeatsFasterCursedWin", {{3, M1, CURSED_WIN}, {50, M2, WIN}}, {M2}},
        {"CursedWinBeatsDraw", {{0, M1, DRAW}, {116, M2, CURSED_WIN}, {0, M3, DRAW}}, {M2}},
        {"CursedWinsKeepSmallestDtz", {{120, M1, CURSED_WIN}, {116, M2, CURSED_WIN}}, {M2}},
        {"BlessedLossBeatsLoss", {{100, M1, BLESSED_LOSS}, {1, M2, LOSS}}, {M1}},
        {"BlessedLossesKeepLargestDtz",
         {{101, M1, BLESSED_LOSS}, {130, M2, BLESSED_LOSS}, {130, M3, BLESSED_LOSS}},
         {M2, M3}},
        {"SingleLossIsKept", {{1, M4, LOSS}}, {M4}},
    };
}

class FilterRootMoves : public testing::TestWithParam<FilterCase> {};

TEST_P(FilterRootMoves, KeepsTheBestResult) {
    const FilterCase& c = GetParam();
    EXPECT_EQ(tablebase::filter_root_moves(c.input), c.kept);
}

INSTANTIATE_TEST_SUITE_P(Cases, FilterRootMoves, testing::ValuesIn(filter_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace orvane
