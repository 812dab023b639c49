// Random and mutated command lines, go/stop interleavings with tiny limits, absurd option
// values, random bytes and very long lines, fed to an in-process Engine and to the program.
// Nothing may crash or hang; every search prints exactly one bestmove; every output line has
// one of the engine's known shapes. The rng state is fixed, so a failure replays.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uci/uci_fuzz.h"

namespace {

using orvane::testing::FuzzReport;
using orvane::testing::NO_PROGRESS_LIMIT;
using orvane::testing::StdoutPipe;
using orvane::testing::UciLineMaker;
using orvane::testing::Watchdog;

TEST(UciFuzz, InProcessEngineSurvivesRandomLines) {
    for (std::uint64_t state : {0x9E3779B97F4A7C15ULL, 0xD1B54A32D192ED03ULL}) {
        SCOPED_TRACE(state);
        orvane::testing::fuzz_in_process(state, 1500).check();
    }
}

TEST(UciFuzz, RapidGoStopInterleavings) {
    // Searches started and stopped with nothing in between, on every parallel scheme.
    const std::vector<std::string> setups = {
        "setoption name Threads value 1",      "setoption name Threads value 4",
        "setoption name SMPMode value YBWC",   "setoption name SMPMode value ABDADA",
        "setoption name SearchMode value VOI", "setoption name SearchMode value GumbelSH",
        "setoption name UseNNUE value false",  "setoption name MultiPV value 3",
    };
    const std::vector<std::string> gos = {"go nodes 500",
                                          "go depth 2",
                                          "go infinite",
                                          "go",
                                          "go movetime 1",
                                          "go nodes 1",
                                          "go depth 1 searchmoves e2e4"};
    FuzzReport report;
    Watchdog watchdog("UciFuzz.RapidGoStop", NO_PROGRESS_LIMIT);
    StdoutPipe out;
    {
        orvane::uci::Engine engine;
        UciLineMaker maker(42);
        for (const std::string& setup : setups) {
            engine.handle(setup);
            for (int i = 0; i < 60; ++i) {
                const std::string& go = gos[maker.below(gos.size())];
                watchdog.progress(go);
                engine.handle(go);
                ++report.searches;
                switch (maker.below(5)) {
                    case 0: engine.handle("stop"); break;
                    case 1: engine.handle("isready"); break;
                    case 2: engine.handle("position startpos moves e2e4"); break;
                    case 3:
                        engine.handle(
                            "position fen r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R "
                            "w KQkq - 0 1");
                        break;
                    default: break;  // the next go stops it
                }
            }
            engine.handle("stop");
            report.take(out.take_lines());
        }
        engine.end_of_input();
    }
    out.restore();
    report.take(out.take_lines());
    report.check();
}

TEST(UciFuzz, ProgramSurvivesRandomLines) {
    FuzzReport report;
    orvane::testing::fuzz_program(0xA0761D6478BD642FULL, 600, report);
    report.check();
}

}  // namespace
