// The command line as testing frameworks use it: `orvane bench` prints what OpenBench's client
// reads (the last line with "N nodes" and the last with "N nps"), and any other arguments are
// UCI commands run in order before standard input, a quit among them ending the program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <regex>
#include <string>
#include <vector>

#include "uci/engine_process.h"

namespace {

using orvane::testing::EngineProcess;

constexpr const char* KIWIPETE =
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";

struct BenchReading {
    std::optional<std::uint64_t> nodes, nps;
};

// OpenBench's rule: from the last line up, each line with every character other than a
// letter, digit or space made a space, upper-cased; the first "N NODES" or "NODES N" found
// is the signature and the first "N NPS" or "NPS N" the speed.
BenchReading read_like_openbench(const std::vector<std::string>& lines) {
    static const std::regex NODES(R"(([0-9]+) NODES|NODES +([0-9]+))");
    static const std::regex NPS(R"(([0-9]+) NPS|NPS +([0-9]+))");
    BenchReading reading;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        std::string line = *it;
        for (char& c : line)
            c = std::isalnum(static_cast<unsigned char>(c)) || c == ' '
                    ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                    : ' ';
        std::smatch m;
        if (!reading.nodes && std::regex_search(line, m, NODES))
            reading.nodes = std::stoull(m[1].matched ? m[1] : m[2]);
        if (!reading.nps && std::regex_search(line, m, NPS))
            reading.nps = std::stoull(m[1].matched ? m[1] : m[2]);
    }
    return reading;
}

std::vector<std::string> all_output(EngineProcess& engine) {
    return engine.read_until([](const std::string&) { return false; });
}

TEST(CommandLine, BenchIsReadAsOpenBenchReadsIt) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"bench", "4"}, std::vector<std::string>{"bench", "3", "hce"}}) {
        EngineProcess engine(args);
        const std::vector<std::string> lines = all_output(engine);
        EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
        ASSERT_FALSE(lines.empty());
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[0], m, std::regex(R"(Bench: (\d+) nodes .*)")))
            << lines[0];
        const BenchReading reading = read_like_openbench(lines);
        EXPECT_EQ(reading.nodes, std::optional<std::uint64_t>(std::stoull(m[1])));
        ASSERT_TRUE(reading.nps);
        EXPECT_GT(*reading.nps, 0u);
    }
}

TEST(CommandLine, CommandsRunInOrderAndQuitEndsTheProgram) {
    // Standard input stays open: the program must end by the quit among its arguments.
    EngineProcess engine({"position fen " + std::string(KIWIPETE), "isready", "d", "quit", "uci"});
    const std::vector<std::string> lines = all_output(engine);
    EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "readyok");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "FEN: " + std::string(KIWIPETE)), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "uciok"), 0) << "a command after quit ran";
}

TEST(CommandLine, StandardInputFollowsTheArguments) {
    EngineProcess engine({"position fen " + std::string(KIWIPETE), "--help"});
    EXPECT_TRUE(engine.read_line().value_or("").starts_with("Orvane "));
    EXPECT_EQ(engine.read_line(), std::optional<std::string>("info string unknown command: --help"));
    engine.send("d");
    const std::vector<std::string> lines = engine.sync();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "FEN: " + std::string(KIWIPETE)), 1);
    engine.close_input();
    EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
}

}  // namespace
