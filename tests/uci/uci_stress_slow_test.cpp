// Long runs of the command loop: many more random lines than the default fuzz run, and
// thousands of go/stop cycles through the program with every parallel scheme, each of which
// must end in exactly one legal bestmove.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uci/uci_fuzz.h"

namespace {

using orvane::from_fen;
using orvane::Position;
using orvane::testing::EngineProcess;
using orvane::testing::is_known_output;
using orvane::testing::is_legal_line;
using orvane::testing::parse_bestmove;
using orvane::testing::UciLineMaker;

constexpr const char* KIWIPETE =
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";

TEST(UciStress, LongInProcessFuzz) {
    for (std::uint64_t state : {1ULL, 2ULL, 3ULL, 0xC0FFEEULL}) {
        SCOPED_TRACE(state);
        orvane::testing::fuzz_in_process(state, 8000).check();
    }
}

TEST(UciStress, LongProgramFuzz) {
    orvane::testing::FuzzReport report;
    orvane::testing::fuzz_program(0x5EED5EEDULL, 4000, report);
    report.check();
}

TEST(UciStress, ThousandsOfGoStopCycles) {
    const std::vector<std::vector<std::string>> setups = {
        {"setoption name Threads value 1"},
        {"setoption name Threads value 4", "setoption name SMPMode value Lazy"},
        {"setoption name Threads value 4", "setoption name SMPMode value YBWC"},
        {"setoption name Threads value 4", "setoption name SMPMode value ABDADA"},
        {"setoption name Threads value 3", "setoption name SMPMode value Lazy",
         "setoption name ABDADA value true"},
        {"setoption name Threads value 2", "setoption name SearchMode value VOI"},
        {"setoption name Threads value 2", "setoption name SearchMode value GumbelSH",
         "setoption name MultiPV value 2"},
    };
    const std::vector<std::string> fens = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", KIWIPETE,
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1"};
    EngineProcess engine;
    ASSERT_TRUE(engine.read_line());
    UciLineMaker rng(7);
    int cycles = 0;
    for (const std::vector<std::string>& setup : setups) {
        for (const std::string& s : setup) engine.send(s);
        for (int i = 0; i < 150; ++i, ++cycles) {
            const std::string& fen = fens[rng.below(fens.size())];
            const Position root = from_fen(fen);
            engine.send("position fen " + fen);
            // Stop at once, after the first line, or let a small limit end it.
            const std::uint64_t how = rng.below(3);
            engine.send(how == 2 ? "go nodes " + std::to_string(1 + rng.below(5000))
                                 : "go infinite");
            if (how == 1) {
                ASSERT_FALSE(engine.read_until_prefix("info depth").empty());
            }
            if (how != 2) engine.send("stop");
            const std::vector<std::string> lines = engine.read_until_prefix("bestmove");
            ASSERT_FALSE(lines.empty()) << "cycle " << cycles;
            const auto best = parse_bestmove(lines.back());
            ASSERT_TRUE(best) << "cycle " << cycles << ": " << lines.back();
            EXPECT_TRUE(is_legal_line(root, {best->best})) << fen << ": " << lines.back();
            for (std::size_t k = 0; k + 1 < lines.size(); ++k)
                EXPECT_TRUE(is_known_output(lines[k])) << lines[k];
        }
        // Everything printed belongs to a finished search: nothing is left over.
        EXPECT_EQ(engine.sync(), std::vector<std::string>{});
        engine.send("setoption name SearchMode value AB");
        engine.send("setoption name MultiPV value 1");
        engine.send("setoption name ABDADA value false");
    }
    // Option changes and table clearing between searches with many threads.
    for (int i = 0; i < 60; ++i) {
        engine.send("setoption name Threads value " + std::to_string(1 + rng.below(8)));
        engine.send("setoption name Hash value " + std::to_string(1 + rng.below(64)));
        engine.send("go infinite");
        engine.send(rng.below(2) ? "ucinewgame" : "setoption name Clear Hash");
        const std::vector<std::string> lines = engine.read_until_prefix("bestmove");
        ASSERT_FALSE(lines.empty());
        ASSERT_TRUE(parse_bestmove(lines.back())) << lines.back();
    }
    engine.send("quit");
    EXPECT_EQ(engine.read_until([](const std::string&) { return false; }),
              std::vector<std::string>{});
    EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
    EXPECT_EQ(orvane::testing::unexpected_errors(engine.error_text()), "");
}

}  // namespace
