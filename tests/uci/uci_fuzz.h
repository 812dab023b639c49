// Fuzz runs of the command loop, shared by the default and the long tests: random lines from
// UciLineMaker fed to an in-process Engine or to the program through its pipes. Nothing may
// crash or hang; every search prints exactly one bestmove; every output line has one of the
// engine's known shapes. The rng state is fixed, so a failure replays.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "uci/engine.h"
#include "uci/engine_process.h"

namespace orvane::testing {

inline constexpr std::chrono::seconds NO_PROGRESS_LIMIT{60};

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

    void check() const {
        EXPECT_EQ(bestmoves, searches) << "last input: " << last_input;
        EXPECT_TRUE(unknown.empty()) << ::testing::PrintToString(unknown);
        EXPECT_GT(lines_out, 0u);
    }
};

// Feeds `count` lines to an in-process engine, as the program's read loop would.
inline FuzzReport fuzz_in_process(std::uint64_t rng_state, int count) {
    FuzzReport report;
    UciLineMaker maker(rng_state);
    Watchdog watchdog("in-process fuzz", NO_PROGRESS_LIMIT);
    StdoutPipe out;
    {
        uci::Engine engine;
        for (int i = 0; i < count; ++i) {
            std::string line = maker.next();
            watchdog.progress(line);
            report.last_input = line.substr(0, 200);
            if (UciLineMaker::starts_search(line)) ++report.searches;
            std::string_view view = line;
            if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
            engine.handle(text::trim(view));  // "quit" only returns false here
            if (i % 64 == 63) report.take(out.take_lines());
        }
        watchdog.progress("stop");
        engine.handle("stop");
        watchdog.progress("end of input");
        engine.end_of_input();
    }
    out.restore();
    report.take(out.take_lines());
    return report;
}

// The same through the program's pipes: NUL bytes, "\r", invalid UTF-8 and long lines go
// through its line reader. It must end with exit code 0 and print nothing on stderr.
inline void fuzz_program(std::uint64_t rng_state, int count, FuzzReport& report) {
    UciLineMaker maker(rng_state, false);
    EngineProcess engine;
    const std::optional<std::string> banner = engine.read_line();
    ASSERT_TRUE(banner && banner->starts_with("Orvane 0.1.0 ("));
    for (int i = 0; i < count; ++i) {
        const std::string line = maker.next();
        report.last_input = line.substr(0, 200);
        if (UciLineMaker::starts_search(line)) ++report.searches;
        ASSERT_TRUE(engine.send(line))
            << "the program stopped reading at line " << i << ": " << report.last_input;
        // Read what has arrived, so neither side blocks on a full pipe.
        if (i % 16 == 15) {
            std::vector<std::string> lines;
            while (engine.pending_output().find('\n') != std::string::npos)
                lines.push_back(*engine.read_line());
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
    EXPECT_EQ(unexpected_errors(engine.error_text()), "");
}

}  // namespace orvane::testing
