// Random and mutated command lines, go/stop interleavings with tiny limits, absurd option
// values, random bytes and very long lines, fed to an in-process Engine and to the program.
// Nothing may crash or hang; every search prints exactly one bestmove; every output line has
// one of the engine's known shapes. The rng state is fixed, so a failure replays.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uci/engine.h"
#include "uci/engine_process.h"

namespace {

using orvane::testing::count_prefix;
using orvane::testing::EngineProcess;
using orvane::testing::is_known_output;
using orvane::testing::StdoutPipe;
using orvane::testing::UciLineMaker;
using orvane::testing::Watchdog;

constexpr std::chrono::seconds NO_PROGRESS_LIMIT{60};

// What one fuzz run saw; checked after standard output is back.
struct FuzzReport {
    std::size_t searches = 0;
    std::size_t bestmoves = 0;
    std::size_t lines_out = 0;
    std::vector<std::string> unknown;  // output lines of no known shape (first few)
    std::string last_input;

    void take(const std::vector<std::string>& lines) {
        lines_out += lines.size();
        bestmoves += count_prefix(lines, "bestmove");
        for (const std::string& l : lines)
            if (!is_known_output(l) && unknown.size() < 5) unknown.push_back(l.substr(0, 200));
    }
};

void check(const FuzzReport& r) {
    EXPECT_EQ(r.bestmoves, r.searches) << "last input: " << r.last_input;
    EXPECT_TRUE(r.unknown.empty()) << ::testing::PrintToString(r.unknown);
    EXPECT_GT(r.lines_out, 0u);
}

// Feeds `count` lines to an in-process engine, as the program's read loop would.
FuzzReport fuzz_in_process(std::uint64_t rng_state, int count) {
    FuzzReport report;
    UciLineMaker maker(rng_state);
    Watchdog watchdog(NO_PROGRESS_LIMIT);
    StdoutPipe out;
    {
        orvane::uci::Engine engine;
        for (int i = 0; i < count; ++i) {
            std::string line = maker.next();
            watchdog.step(line);
            report.last_input = line.substr(0, 200);
            if (UciLineMaker::starts_search(line)) ++report.searches;
            std::string_view view = line;
            if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
            engine.handle(orvane::text::trim(view));  // "quit" only returns false here
            if (i % 64 == 63) report.take(out.take_lines());
        }
        watchdog.step("stop");
        engine.handle("stop");
        watchdog.step("end of input");
        engine.end_of_input();
    }
    out.restore();
    report.take(out.take_lines());
    return report;
}

TEST(UciFuzz, InProcessEngineSurvivesRandomLines) {
    for (std::uint64_t state : {0x9E3779B97F4A7C15ULL, 0xD1B54A32D192ED03ULL}) {
        SCOPED_TRACE(state);
        check(fuzz_in_process(state, 1500));
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
    Watchdog watchdog(NO_PROGRESS_LIMIT);
    StdoutPipe out;
    {
        orvane::uci::Engine engine;
        UciLineMaker maker(42);
        for (const std::string& setup : setups) {
            engine.handle(setup);
            for (int i = 0; i < 60; ++i) {
                const std::string& go = gos[maker.below(gos.size())];
                watchdog.step(go);
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
    check(report);
}

// The same through the program's pipes: NUL bytes, "\r", invalid UTF-8 and long lines go
// through its line reader. It must end with exit code 0 and print nothing on stderr.
TEST(UciFuzz, ProgramSurvivesRandomLines) {
    FuzzReport report;
    UciLineMaker maker(0xA0761D6478BD642FULL, false);
    EngineProcess engine;
    const std::optional<std::string> banner = engine.read_line();
    ASSERT_TRUE(banner && banner->starts_with("Orvane 0.1.0 ("));
    for (int i = 0; i < 600; ++i) {
        const std::string line = maker.next();
        report.last_input = line.substr(0, 200);
        if (UciLineMaker::starts_search(line)) ++report.searches;
        ASSERT_TRUE(engine.send(line))
            << "the program stopped reading at line " << i << ": " << report.last_input;
        // Read what has arrived, so neither side blocks on a full pipe.
        if (i % 16 == 15) {
            std::vector<std::string> lines;
            std::string pending = engine.pending_output();
            while (pending.find('\n') != std::string::npos) {
                lines.push_back(*engine.read_line());
                pending = engine.pending_output();
            }
            report.take(lines);
        }
    }
    engine.send("stop");
    engine.send("quit");
    const std::vector<std::string> rest =
        engine.read_until([](const std::string&) { return false; });
    ASSERT_FALSE(engine.timed_out()) << "the program did not end after quit";
    report.take(rest);
    EXPECT_EQ(engine.wait_exit(), std::optional<int>(0)) << "signal " << engine.signal_number();
    EXPECT_EQ(orvane::testing::unexpected_errors(engine.error_text()), "");
    check(report);
}

}  // namespace
