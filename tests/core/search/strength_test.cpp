// The weaker player's settings by Elo and its choice among the searched lines: the choice
// stays inside the level's margin, never leaves a mate or walks into one, deviates about as
// often as the level says, and depends only on the position key and the game number.
#include "core/search/strength.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace orvane::strength {
namespace {

TEST(StrengthLevels, WeakenSteadilyTowardsTheMinimumAndClamp) {
    StrengthLevel previous = level_for_elo(MIN_ELO);
    for (int elo = MIN_ELO + 10; elo <= MAX_ELO; elo += 10) {
        const StrengthLevel level = level_for_elo(elo);
        EXPECT_GE(level.nodes, previous.nodes) << elo;
        EXPECT_GE(level.depth, previous.depth) << elo;
        EXPECT_LE(level.margin, previous.margin) << elo;
        EXPECT_LE(level.deviate_permille, previous.deviate_permille) << elo;
        EXPECT_GE(level.depth, 3) << elo;       // a mate in one is always within reach
        EXPECT_LT(level.margin, 300) << elo;    // never a piece for nothing
        previous = level;
    }
    EXPECT_EQ(level_for_elo(MAX_ELO).deviate_permille, 0);
    EXPECT_EQ(level_for_elo(-5).nodes, level_for_elo(MIN_ELO).nodes);
    EXPECT_EQ(level_for_elo(1'000'000).nodes, level_for_elo(MAX_ELO).nodes);
}

struct ChoiceCase {
    std::string name;
    std::vector<int> scores;  // best first
    int margin, deviate_permille;
    std::set<std::size_t> allowed;
};

TEST(StrengthChoice, StaysWithinTheAllowedLines) {
    const std::vector<ChoiceCase> cases = {
        {"one_line", {50}, 100, 1000, {0}},
        {"never_deviates", {50, 49, 48}, 100, 0, {0}},
        // A shorter mate or tablebase win is kept even when a longer one is within the margin.
        {"mate_kept", {MATE - 5, MATE - 9, 30}, 100, 1000, {0}},
        {"tablebase_win_kept", {TB_WIN - 9, TB_WIN - 15}, 100, 1000, {0}},
        {"beyond_margin", {300, 100, 0}, 150, 1000, {0}},
        {"inside_margin", {300, 250, 100, 200}, 100, 1000, {1, 3}},
        {"mated_line_skipped", {-200, -MATE + 4, -250}, 100, 1000, {2}},
        {"all_mated", {-MATE + 2, -MATE + 4}, 1000, 1000, {0}},
    };
    for (const ChoiceCase& c : cases) {
        StrengthLevel level;
        level.margin = c.margin;
        level.deviate_permille = c.deviate_permille;
        std::set<std::size_t> seen;
        for (std::uint64_t key = 0; key < 2000; ++key) seen.insert(choose_line(c.scores, level, key * 0x9E37, 7));
        EXPECT_EQ(seen, c.allowed) << c.name;
    }
}

TEST(StrengthChoice, DeviatesAsOftenAsTheLevelSaysAndRepeatsItself) {
    StrengthLevel level;
    level.margin = 100;
    level.deviate_permille = 300;
    const std::vector<int> scores = {100, 90, 80, 70};
    int deviations = 0, differs_by_game = 0;
    for (std::uint64_t key = 1; key <= 10'000; ++key) {
        const std::uint64_t k = key * 0xD1B54A32D192ED03ULL;
        const std::size_t pick = choose_line(scores, level, k, 11);
        EXPECT_EQ(pick, choose_line(scores, level, k, 11));
        deviations += pick != 0;
        differs_by_game += pick != choose_line(scores, level, k, 12);
    }
    EXPECT_GT(deviations, 2'700);
    EXPECT_LT(deviations, 3'300);
    EXPECT_GT(differs_by_game, 1'000);  // another game, other choices
}

}  // namespace
}  // namespace orvane::strength
