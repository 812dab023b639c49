// The exact text of search output: scores, info lines and the goal-move summary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/board/position.h"
#include "core/search/score.h"
#include "support/position_helpers.h"
#include "uci/launch.h"

namespace {

using orvane::from_fen;
using orvane::IterationInfo;
using orvane::Move;
using orvane::Position;
using orvane::uci::format_goals;
using orvane::uci::format_info;
using orvane::uci::format_score;
using orvane::uci::GoalLine;

// Moves of a line played from the start position, for PVs and goal lines.
std::vector<Move> line_from_start(const std::vector<std::string>& moves) {
    Position pos = Position::startpos();
    std::vector<Move> out;
    for (const std::string& text : moves) {
        const std::optional<Move> m = pos.parse_uci_move(text);
        if (!m) throw std::runtime_error("illegal test move " + text);
        out.push_back(*m);
        pos.make_move(*m);
    }
    return out;
}

TEST(FormatScore, CentipawnsAndMovesToMate) {
    struct Case {
        int score;
        const char* text;
    };
    const std::vector<Case> table = {
        {0, "cp 0"},
        {31, "cp 31"},
        {-250, "cp -250"},
        {31743, "cp 31743"},  // a mate bound score, but still printed in centipawns
        {31871, "cp 31871"},  // tablebase win at the root
        {-31871, "cp -31871"},
        {31870, "cp 31870"},
        {31999, "mate 1"},  // mate with the next move
        {31998, "mate 1"},
        {31997, "mate 2"},
        {31996, "mate 2"},
        {31995, "mate 3"},
        {32000 - 127, "mate 64"},
        {31872, "mate 64"},  // the first score that is printed as a mate
        {-31998, "mate -1"},  // mated after one reply
        {-31996, "mate -2"},
        {-31997, "mate -1"},
        {-32000 + 126, "mate -63"},
        {-31872, "mate -64"},
        {-32000, "mate 0"},  // mated at the root
    };
    for (const Case& c : table) EXPECT_EQ(format_score(c.score), c.text) << c.score;
    // A win in p plies prints (p + 1) / 2 moves, a loss in p plies -(p / 2).
    for (int p = 1; p <= 128; ++p) {
        EXPECT_EQ(format_score(orvane::MATE - p), "mate " + std::to_string((p + 1) / 2)) << p;
        EXPECT_EQ(format_score(p - orvane::MATE), "mate " + std::to_string(-(p / 2))) << p;
    }
}

struct InfoCase {
    IterationInfo info;
    std::vector<std::string> pv;
    std::string line;
};

TEST(FormatInfo, ExactLines) {
    auto make = [](int depth, int seldepth, int score, std::uint64_t nodes, std::uint64_t time_ms) {
        IterationInfo info;
        info.depth = depth;
        info.seldepth = seldepth;
        info.score = score;
        info.nodes = nodes;
        info.time_ms = time_ms;
        return info;
    };
    std::vector<InfoCase> table;
    {
        IterationInfo i = make(12, 18, 31, 412345, 250);
        i.hashfull = 12;
        table.push_back(
            {i,
             {"e2e4", "e7e5", "g1f3"},
             "info depth 12 seldepth 18 score cp 31 nodes 412345 nps 1649380 hashfull 12 "
             "tbhits 0 time 250 pv e2e4 e7e5 g1f3"});
    }
    // Time 0 counts as one millisecond.
    table.push_back({make(1, 1, -5, 21, 0),
                     {"g1f3"},
                     "info depth 1 seldepth 1 score cp -5 nodes 21 nps 21000 hashfull 0 tbhits 0 "
                     "time 0 pv g1f3"});
    // The second and later lines of a MultiPV search carry their index.
    {
        IterationInfo i = make(3, 5, 10, 999, 3);
        i.multipv = 2;
        i.tbhits = 7;
        i.hashfull = 1000;
        table.push_back({i,
                         {"d2d4"},
                         "info depth 3 seldepth 5 multipv 2 score cp 10 nodes 999 nps 333000 "
                         "hashfull 1000 tbhits 7 time 3 pv d2d4"});
    }
    // With WDL output the first line carries "multipv 1" too.
    {
        IterationInfo i = make(4, 6, 25, 5000, 1000);
        i.wdl = orvane::WdlPermille{300, 650, 50};
        table.push_back({i,
                         {"e2e4", "c7c5"},
                         "info depth 4 seldepth 6 multipv 1 score cp 25 wdl 300 650 50 nodes 5000 "
                         "nps 5000 hashfull 0 tbhits 0 time 1000 pv e2e4 c7c5"});
    }
    {
        IterationInfo i = make(9, 9, 31999, 100, 7);
        i.multipv = 3;
        i.wdl = orvane::WdlPermille{1000, 0, 0};
        table.push_back({i,
                         {"a2a3"},
                         "info depth 9 seldepth 9 multipv 3 score mate 1 wdl 1000 0 0 nodes 100 "
                         "nps 14285 hashfull 0 tbhits 0 time 7 pv a2a3"});
    }
    table.push_back(
        {make(2, 3, -31998, 0, 0),
         {"f2f3"},
         "info depth 2 seldepth 3 score mate -1 nodes 0 nps 0 hashfull 0 tbhits 0 time 0 "
         "pv f2f3"});
    // An empty PV still ends in "pv ".
    table.push_back(
        {make(1, 0, 0, 1, 1),
         {},
         "info depth 1 seldepth 0 score cp 0 nodes 1 nps 1000 hashfull 0 tbhits 0 time 1 pv "});
    // Large counters are printed in full.
    table.push_back({make(60, 99, 7, 18'000'000'000'000ULL, 3'600'000),
                     {"e2e4"},
                     "info depth 60 seldepth 99 score cp 7 nodes 18000000000000 nps 5000000000 "
                     "hashfull 0 tbhits 0 time 3600000 pv e2e4"});
    // Promotions in the PV.
    {
        Position pos = from_fen("8/P7/8/8/8/8/7p/k3K3 w - - 0 1");
        const Move a8n = *pos.parse_uci_move("a7a8n");
        pos.make_move(a8n);
        const Move h1q = *pos.parse_uci_move("h2h1q");
        IterationInfo i = make(2, 2, -400, 40, 2);
        const std::vector<Move> pv{a8n, h1q};
        i.pv = pv;
        EXPECT_EQ(format_info(i),
                  "info depth 2 seldepth 2 score cp -400 nodes 40 nps 20000 hashfull 0 tbhits 0 "
                  "time 2 pv a7a8n h2h1q");
    }
    for (InfoCase& c : table) {
        const std::vector<Move> pv = line_from_start(c.pv);
        c.info.pv = pv;
        EXPECT_EQ(format_info(c.info), c.line);
    }
}

struct GoalCase {
    std::vector<GoalLine> lines;
    std::vector<std::string> out;
};

TEST(FormatGoals, ChoosesWinDrawAndLoseLines) {
    Position pos = Position::startpos();
    auto mv = [&pos](const char* text) { return *pos.parse_uci_move(text); };
    const Move e4 = mv("e2e4"), d4 = mv("d2d4"), c4 = mv("c2c4"), f3 = mv("f2f3");
    const std::vector<GoalCase> table = {
        {{}, {}},
        // One line is the choice for every label; per mille prints with one decimal.
        {{{25, 612, 300, 88, e4}},
         {"info string orvane win e2e4 W61.2 D30.0 L8.8",
          "info string orvane draw e2e4 W61.2 D30.0 L8.8",
          "info string orvane lose e2e4 W61.2 D30.0 L8.8"}},
        {{{0, 5, 990, 5, e4}},
         {"info string orvane win e2e4 W0.5 D99.0 L0.5",
          "info string orvane draw e2e4 W0.5 D99.0 L0.5",
          "info string orvane lose e2e4 W0.5 D99.0 L0.5"}},
        {{{32000, 1000, 0, 0, e4}},
         {"info string orvane win e2e4 W100.0 D0.0 L0.0",
          "info string orvane draw e2e4 W100.0 D0.0 L0.0",
          "info string orvane lose e2e4 W100.0 D0.0 L0.0"}},
        // Different lines for each label.
        {{{30, 400, 400, 200, e4}, {-300, 100, 300, 600, f3}, {0, 50, 900, 50, d4}},
         {"info string orvane win e2e4 W40.0 D40.0 L20.0",
          "info string orvane draw d2d4 W5.0 D90.0 L5.0",
          "info string orvane lose f2f3 W10.0 D30.0 L60.0"}},
        // Equal win values: the higher score; equal draw values: the higher score; equal loss
        // values: the lower score.
        {{{10, 300, 400, 300, e4}, {20, 300, 400, 300, d4}, {-5, 300, 400, 300, c4}},
         {"info string orvane win d2d4 W30.0 D40.0 L30.0",
          "info string orvane draw d2d4 W30.0 D40.0 L30.0",
          "info string orvane lose c2c4 W30.0 D40.0 L30.0"}},
        // A full tie: the later line wins every label.
        {{{7, 333, 334, 333, e4}, {7, 333, 334, 333, d4}},
         {"info string orvane win d2d4 W33.3 D33.4 L33.3",
          "info string orvane draw d2d4 W33.3 D33.4 L33.3",
          "info string orvane lose d2d4 W33.3 D33.4 L33.3"}},
        // An earlier line with the better tie-break score is not replaced by a later worse one.
        {{{50, 500, 0, 500, e4}, {40, 500, 0, 500, d4}},
         {"info string orvane win e2e4 W50.0 D0.0 L50.0",
          "info string orvane draw e2e4 W50.0 D0.0 L50.0",
          "info string orvane lose d2d4 W50.0 D0.0 L50.0"}},
    };
    for (const GoalCase& c : table) EXPECT_EQ(format_goals(c.lines), c.out);
}

}  // namespace
