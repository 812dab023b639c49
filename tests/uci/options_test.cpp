// "setoption" driven in-process: how the name and value are read out of the line, and the
// effect of each option as later commands show it (search output, eval, messages).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "uci/engine.h"
#include "uci/engine_process.h"

extern "C" const std::uint8_t orvane_default_net_begin[];
extern "C" const std::uint8_t orvane_default_net_end[];

namespace {

using orvane::testing::count_prefix;
using orvane::testing::InfoLine;
using orvane::testing::parse_info;
using orvane::testing::StdoutPipe;
using orvane::uci::Engine;

// Runs the lines with standard output captured and returns what they printed; when
// `bestmoves` is given, first waits until that many searches have printed their bestmove.
std::vector<std::string> exchange(Engine& engine, const std::vector<std::string>& lines,
                                  std::size_t bestmoves = 0) {
    StdoutPipe out;
    for (const std::string& l : lines) engine.handle(l);
    const bool ended = out.wait_for([bestmoves](const std::vector<std::string>& got) {
        return count_prefix(got, "bestmove") >= bestmoves;
    });
    out.restore();  // the reader has then seen everything
    std::vector<std::string> got = out.take_lines();
    EXPECT_TRUE(ended) << "no bestmove after " << ::testing::PrintToString(lines);
    return got;
}

// The info lines of one search to `depth` from the current position.
std::vector<InfoLine> search_infos(Engine& engine, int depth,
                                   std::vector<std::string>* others = nullptr) {
    std::vector<InfoLine> infos;
    for (const std::string& line : exchange(engine, {"go depth " + std::to_string(depth)}, 1)) {
        if (auto info = parse_info(line))
            infos.push_back(*info);
        else if (others && !line.starts_with("bestmove"))
            others->push_back(line);
    }
    return infos;
}

std::size_t lines_at_last_depth(const std::vector<InfoLine>& infos) {
    if (infos.empty()) return 0;
    return static_cast<std::size_t>(
        std::count_if(infos.begin(), infos.end(),
                      [&](const InfoLine& i) { return i.depth == infos.back().depth; }));
}

struct Case {
    std::string line;
    std::vector<std::string> reply;
};

TEST(SetoptionParsing, NameIsReadUpToValueAndLowerCased) {
    Engine engine;
    const std::vector<Case> table = {
        {"setoption name Foo Bar value 1", {"info string unknown option 'foo bar'"}},
        {"setoption Foo Bar value 1", {"info string unknown option 'foo bar'"}},  // no "name"
        {"setoption Name MultiPV value 2", {"info string unknown option 'name multipv'"}},
        {"setoption name   Spaced \t  Out   value x", {"info string unknown option 'spaced out'"}},
        {"setoption name Foo value", {"info string unknown option 'foo'"}},
        {"setoption name Foo", {"info string unknown option 'foo'"}},
        {"setoption value 5 name Foo", {"info string unknown option 'foo'"}},
        {"setoption name name value value", {"info string unknown option 'name'"}},
        {"setoption name Multi PV value 2", {"info string unknown option 'multi pv'"}},
        {"setoption name MultiPV2 value 2", {"info string unknown option 'multipv2'"}},
        {"setoption name Hashes value 1", {"info string unknown option 'hashes'"}},
        {"setoption name Foo  Bar value 1", {"info string unknown option 'foo bar'"}},
        {"setoption name value 3", {"info string unknown option ''"}},
        {"setoption name", {"info string unknown option ''"}},
        {"setoption value 3", {"info string unknown option ''"}},
        {"setoption", {"info string unknown option ''"}},
        {"setoption name \xC3\x84\xC3\x96\xC3\x9C \xC3\x80\xC3\x89 value 1",  // ÄÖÜ ÀÉ
         {"info string unknown option '\xC3\xA4\xC3\xB6\xC3\xBC \xC3\xA0\xC3\xA9'"}},
        {"setoption name \xCE\x91\xCE\x92\xCE\x93 value 1",  // ΑΒΓ
         {"info string unknown option '\xCE\xB1\xCE\xB2\xCE\xB3'"}},
        // ПРИВЕТ Ё
        {"setoption name \xD0\x9F\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2 \xD0\x81 value 1",
         {"info string unknown option '\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 "
          "\xD1\x91'"}},
        {"setoption name \xC3\x97 value 1",
         {"info string unknown option '\xC3\x97'"}},  // × has no case
        {"setoption name \xFF\xC3 value 1",
         {"info string unknown option '\xFF\xC3'"}},  // not UTF-8
        // Unicode white space separates words like a blank.
        {"setoption\xC2\xA0name\xE2\x80\x82"
         "Foo\xE3\x80\x80value 1",
         {"info string unknown option 'foo'"}},
        // Known names in any letter case are not unknown.
        {"setoption name MULTIPV value 1", {}},
        {"setoption name multipv value 1", {}},
        {"setoption name mOVE oVERHEAD value 10", {}},
        {"setoption name move   overhead value 10", {}},
        {"setoption name CLEAR HASH", {}},
        {"setoption name clear hash value now", {}},
        {"setoption name Threads value 999", {}},
        {"setoption name Threads value 1", {}},
        {"setoption name uci_showwdl value false", {}},
        {"setoption name hash value 16", {}},
        {"setoption name Hash value 0", {}},  // the table's smallest size
        {"setoption name Hash value +8", {}},
        {"setoption name Hash value 8 MB", {}},
        {"setoption name Hash", {}},
    };
    for (const Case& c : table) EXPECT_EQ(exchange(engine, {c.line}), c.reply) << c.line;
}

TEST(SetoptionEffects, MultiPvIsClampedAndMalformedValuesAreIgnored) {
    struct Step {
        std::string line;
        std::size_t lines_per_depth;
    };
    const std::vector<Step> steps = {
        {"setoption name MultiPV value 3", 3},
        {"setoption name MultiPV value abc", 3},  // unchanged
        {"setoption name MultiPV value -1", 3},
        {"setoption name MultiPV value 2 3", 3},
        {"setoption name MultiPV value", 3},
        {"setoption name multipv value 0", 1},  // clamped to 1
        {"setoption MultiPV value +2", 2},  // without "name"
        {"setoption name MultiPV value 99999999999999999999", 2},  // out of range: ignored
        {"setoption name MULTIPV value 4294967297", 20},  // clamped to 256: every root move
        {"setoption name MultiPV value 1", 1},
    };
    Engine engine;
    for (const Step& s : steps) {
        EXPECT_EQ(exchange(engine, {s.line}), std::vector<std::string>{}) << s.line;
        const std::vector<InfoLine> infos = search_infos(engine, 2);
        EXPECT_EQ(lines_at_last_depth(infos), s.lines_per_depth) << s.line;
        for (const InfoLine& i : infos) EXPECT_NE(i.multipv, std::optional<int>(1)) << s.line;
    }
}

TEST(SetoptionEffects, CheckValuesAreTrueOnlyForTheWordTrue) {
    struct Step {
        std::string value;
        bool on;
    };
    const std::vector<Step> steps = {
        {"true", true},       {"false", false}, {"TRUE", true},   {"yes", false},
        {"True", true},       {"1", false},     {"tRuE", true},   {"on", false},
        {"true true", false}, {"", false},      {"truee", false},
    };
    Engine engine;
    for (const Step& s : steps) {
        EXPECT_EQ(exchange(engine, {"setoption name UCI_ShowWDL value " + s.value}),
                  std::vector<std::string>{});
        const std::vector<InfoLine> infos = search_infos(engine, 1);
        ASSERT_EQ(infos.size(), 1u) << s.value;
        EXPECT_EQ(infos[0].wdl.has_value(), s.on) << "'" << s.value << "'";
        EXPECT_EQ(infos[0].multipv.has_value(), s.on) << "'" << s.value << "'";
    }
    for (const Step& s : steps) {
        EXPECT_EQ(exchange(engine, {"setoption name GoalMoves value " + s.value}),
                  std::vector<std::string>{});
        std::vector<std::string> others;
        search_infos(engine, 2, &others);
        EXPECT_EQ(count_prefix(others, "info string orvane "), s.on ? 3u : 0u)
            << "'" << s.value << "'";
    }
}

TEST(SetoptionEffects, UseNnueChoosesTheEvaluator) {
    static const std::regex NNUE(R"(NNUE eval \(side to move\): -?\d+ cp)");
    static const std::regex HAND(R"(hand-written eval \(side to move\): -?\d+ cp)");
    struct Step {
        std::string value;
        bool nnue;
    };
    const std::vector<Step> steps = {
        {"false", false}, {"false", false}, {"TRUE", true}, {"true", true},
        {"no", false},    {"True", true},   {"0", false},   {"FALSE", false},
        {"yes", false},
    };
    Engine engine;
    // The built-in network is in use from the start.
    const std::vector<std::string> first = exchange(engine, {"eval"});
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(std::regex_match(first[0], NNUE)) << first[0];
    for (const Step& s : steps) {
        const std::vector<std::string> reply =
            exchange(engine, {"setoption name UseNNUE value " + s.value, "eval"});
        ASSERT_EQ(reply.size(), 2u) << s.value;
        EXPECT_EQ(reply[0],
                  std::string("info string evaluation: ") + (s.nnue ? "NNUE" : "hand-written"));
        EXPECT_TRUE(std::regex_match(reply[1], s.nnue ? NNUE : HAND)) << reply[1];
        // Either pool searches.
        EXPECT_FALSE(search_infos(engine, 2).empty()) << s.value;
    }
}

TEST(SetoptionEffects, SettingsSurviveAnEvaluatorSwitch) {
    Engine engine;
    EXPECT_EQ(exchange(engine, {"setoption name MultiPV value 2",
                                "setoption name UCI_ShowWDL value true",
                                "setoption name Threads value 2"}),
              std::vector<std::string>{});
    for (const std::string value : {"false", "true"}) {
        EXPECT_EQ(exchange(engine, {"setoption name UseNNUE value " + value}),
                  std::vector<std::string>{std::string("info string evaluation: ")
                                           + (value == "true" ? "NNUE" : "hand-written")});
        const std::vector<InfoLine> infos = search_infos(engine, 2);
        EXPECT_EQ(lines_at_last_depth(infos), 2u) << value;
        for (const InfoLine& i : infos) EXPECT_TRUE(i.wdl) << value;
    }
}

TEST(SetoptionEffects, HashTooLargeKeepsTheOldSize) {
    // The message names the size in force before the command.
    const std::vector<std::pair<std::string, std::string>> table = {
        {"4", ""},
        {"262144", "; keeping Hash 4 MB"},
        {"18446744073709551615", "; keeping Hash 4 MB"},
        {"99999999999", "; keeping Hash 4 MB"},
        {"1", ""},
        {"262144", "; keeping Hash 1 MB"},
    };
    static const std::regex TOO_BIG(R"(info string .+; keeping Hash \d+ MB)");
    Engine engine;
    for (const auto& [mb, suffix] : table) {
        const std::vector<std::string> reply =
            exchange(engine, {"setoption name Hash value " + mb});
        if (suffix.empty()) {
            EXPECT_TRUE(reply.empty()) << mb;
            continue;
        }
        ASSERT_EQ(reply.size(), 1u) << mb;
        EXPECT_TRUE(std::regex_match(reply[0], TOO_BIG)) << reply[0];
        EXPECT_TRUE(reply[0].ends_with(suffix)) << reply[0];
    }
    EXPECT_FALSE(search_infos(engine, 3).empty());
}

TEST(SetoptionEffects, CombosAcceptTheirSpellingsOnly) {
    const std::vector<Case> table = {
        {"setoption name SMPMode value YBWC", {"info string SMPMode set to YBWC"}},
        {"setoption name smpmode value  ybwc ", {"info string SMPMode set to YBWC"}},
        {"setoption name SMPMode value LAZYSMP", {"info string SMPMode set to Lazy"}},
        {"setoption name SMPMode value AbDaDa", {"info string SMPMode set to ABDADA"}},
        {"setoption name SMPMode value Lazy SMP", {}},
        {"setoption name SMPMode value ybwc2", {}},
        {"setoption name SMPMode value splitpoints", {}},
        {"setoption name SMPMode value", {}},
        {"setoption name SearchMode value ab", {"info string SearchMode set to AB"}},
        {"setoption name SearchMode value ALPHA-BETA", {"info string SearchMode set to AB"}},
        {"setoption name SearchMode value voi", {"info string SearchMode set to VOI"}},
        {"setoption name SearchMode value gumbelsh", {"info string SearchMode set to GumbelSH"}},
        {"setoption name SearchMode value Mcts", {"info string SearchMode set to GumbelSH"}},
        {"setoption name SearchMode value Gumbel", {"info string SearchMode set to GumbelSH"}},
        {"setoption name SearchMode value gumbel-sh", {"info string SearchMode set to GumbelSH"}},
        {"setoption name SearchMode value alphabeta", {"info string SearchMode set to AB"}},
        {"setoption name SearchMode value minimax", {}},
        {"setoption name SearchMode value gumbel sh", {}},
        {"setoption name SearchMode value", {}},
        {"setoption name RouterMode value replace", {}},
        {"setoption name RouterMode value anything", {}},
    };
    Engine engine;
    for (const Case& c : table) EXPECT_EQ(exchange(engine, {c.line}), c.reply) << c.line;
}

// Files the options name, made in a fresh directory whose name has a blank in it.
class OptionFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::path(::testing::TempDir()) /
               ("orvane options " + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& bytes) {
        const std::filesystem::path p = dir_ / name;
        std::ofstream(p, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }

    std::filesystem::path dir_;
};

TEST_F(OptionFiles, EvalFileLoadsOrKeepsTheCurrentNetwork) {
    const std::string good = write(
        "built in.nnue",
        std::string(reinterpret_cast<const char*>(orvane_default_net_begin),
                    static_cast<std::size_t>(orvane_default_net_end - orvane_default_net_begin)));
    const std::string junk = write("junk.nnue", "this is not a network");
    const std::string empty = write("empty.nnue", "");
    const std::string missing = (dir_ / "missing.nnue").string();
    Engine engine;
    const std::vector<std::string> start_eval = exchange(engine, {"eval"});

    EXPECT_EQ(exchange(engine, {"setoption name EvalFile value <internal>"}),
              std::vector<std::string>{"info string using the built-in network"});
    EXPECT_EQ(exchange(engine, {"setoption name EvalFile value"}),
              std::vector<std::string>{"info string using the built-in network"});
    // The value keeps its inner blanks and loses the outer ones.
    EXPECT_EQ(exchange(engine, {"setoption name EvalFile value   " + good + "  "}),
              std::vector<std::string>{"info string loaded network " + good});
    EXPECT_EQ(exchange(engine, {"eval"}), start_eval);
    for (const std::string& bad : {junk, empty, missing}) {
        const std::vector<std::string> reply =
            exchange(engine, {"setoption name EvalFile value " + bad});
        ASSERT_EQ(reply.size(), 1u) << bad;
        EXPECT_TRUE(reply[0].starts_with("info string cannot use " + bad + ": ")) << reply[0];
        EXPECT_TRUE(reply[0].ends_with("; keeping the current network")) << reply[0];
        EXPECT_EQ(exchange(engine, {"eval"}), start_eval);
    }
    // With the hand-written evaluator the network is stored for later.
    EXPECT_EQ(exchange(engine, {"setoption name UseNNUE value false"}),
              std::vector<std::string>{"info string evaluation: hand-written"});
    EXPECT_EQ(
        exchange(engine, {"setoption name EvalFile value " + good}),
        (std::vector<std::string>{"info string loaded network " + good,
                                  "info string the network is used only when UseNNUE is true"}));
    EXPECT_EQ(exchange(engine, {"setoption name UseNNUE value true"}),
              std::vector<std::string>{"info string evaluation: NNUE"});
    EXPECT_EQ(exchange(engine, {"eval"}), start_eval);
    EXPECT_FALSE(search_infos(engine, 3).empty());
}

TEST_F(OptionFiles, SyzygyPathLoadsAndUnloadsTables) {
    const std::string tables = std::string(ORVANE_SOURCE_DIR) + "/../shared/syzygy";
    ASSERT_TRUE(std::filesystem::exists(tables + "/KQvK.rtbw")) << "missing " << tables;
    const std::string kqk = "position fen 8/8/8/4k3/8/8/8/KQ6 w - - 0 1";
    Engine engine;
    EXPECT_EQ(exchange(engine, {"setoption name SyzygyPath value " + tables}),
              std::vector<std::string>{"info string loaded Syzygy tables up to 5 pieces"});
    EXPECT_EQ(exchange(engine, {kqk}), std::vector<std::string>{});
    std::vector<InfoLine> infos = search_infos(engine, 2);
    ASSERT_FALSE(infos.empty());
    EXPECT_GT(infos.back().tbhits, 0u);

    EXPECT_EQ(exchange(engine, {"setoption name SyzygyPath value <empty>"}),
              std::vector<std::string>{});
    EXPECT_EQ(exchange(engine, {"ucinewgame", kqk}), std::vector<std::string>{});
    infos = search_infos(engine, 2);
    ASSERT_FALSE(infos.empty());
    EXPECT_EQ(infos.back().tbhits, 0u);

    EXPECT_EQ(exchange(engine, {"setoption name SyzygyPath value"}), std::vector<std::string>{});
    // Paths without tables are named quoted, with escapes.
    EXPECT_EQ(exchange(engine, {"setoption name SyzygyPath value /nonexistent/tables"}),
              std::vector<std::string>{
                  "info string no Syzygy tables found in \"/nonexistent/tables\""});
    EXPECT_EQ(exchange(engine, {"setoption name SyzygyPath value a\"b\\c"}),
              std::vector<std::string>{"info string no Syzygy tables found in \"a\\\"b\\\\c\""});
    // A directory without tables: an error, and no tables afterwards.
    const std::vector<std::string> reply =
        exchange(engine, {"setoption name SyzygyPath value " + dir_.string()});
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_TRUE(reply[0].starts_with("info string ")) << reply[0];
    EXPECT_NE(reply[0].find(dir_.string()), std::string::npos) << reply[0];
    EXPECT_EQ(exchange(engine, {"ucinewgame", kqk}), std::vector<std::string>{});
    infos = search_infos(engine, 2);
    ASSERT_FALSE(infos.empty());
    EXPECT_EQ(infos.back().tbhits, 0u);
}

TEST_F(OptionFiles, RouterFileOffAndUnreadable) {
    Engine engine;
    EXPECT_EQ(exchange(engine, {"setoption name RouterFile value <empty>"}),
              std::vector<std::string>{"info string router off"});
    EXPECT_EQ(exchange(engine, {"setoption name routerfile value    "}),
              std::vector<std::string>{"info string router off"});
    const std::string missing = (dir_ / "missing router.bin").string();
    const std::vector<std::string> reply =
        exchange(engine, {"setoption name RouterFile value " + missing});
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_TRUE(reply[0].starts_with("info string cannot use router " + missing + ": "))
        << reply[0];
    EXPECT_FALSE(search_infos(engine, 3).empty());
}

TEST_F(OptionFiles, RouterFileRejectsMalformedFiles) {
    Engine engine;
    for (const std::string& bytes :
         {std::string("RRT5junk"), std::string("RRT1"), std::string("x")}) {
        const std::string path = write("bad router", bytes);
        const std::vector<std::string> reply =
            exchange(engine, {"setoption name RouterFile value " + path});
        ASSERT_EQ(reply.size(), 1u) << bytes;
        const std::string prefix = bytes.starts_with("RRT5") ? "info string cannot use RRT5 router "
                                                             : "info string cannot use router ";
        EXPECT_TRUE(reply[0].starts_with(prefix + path + ": ")) << reply[0];
    }
    EXPECT_FALSE(search_infos(engine, 3).empty());
}

// Files far larger than any network or router are refused by their size before a byte is
// read (a terabyte-long sparse file would otherwise be read into memory).
TEST_F(OptionFiles, HugeFilesAreRefusedUnread) {
    Engine engine;
    const std::vector<std::string> start_eval = exchange(engine, {"eval"});
    const std::string huge = write("huge", "");
    std::filesystem::resize_file(huge, std::uintmax_t{1} << 40);
    EXPECT_EQ(exchange(engine, {"setoption name EvalFile value " + huge}),
              std::vector<std::string>{"info string cannot use " + huge
                                       + ": network file has 1099511627776 bytes; a (768->1024)x2->1"
                                         " network needs 1579010 (1579072 padded), or 1591304"
                                         " (1591360 padded) with a W/D/L head (other sizes: "
                                         "king/output buckets); keeping the current network"});
    EXPECT_EQ(exchange(engine, {"setoption name RouterFile value " + huge}),
              std::vector<std::string>{"info string cannot use router " + huge
                                       + ": router file has 1099511627776 bytes, more than any "
                                         "router has (268435456)"});
    EXPECT_EQ(exchange(engine, {"eval"}), start_eval);
    EXPECT_FALSE(search_infos(engine, 3).empty());
}

TEST(SetoptionEffects, EveryOptionAcceptsAbsurdValues) {
    // Nothing here may crash or leave the engine unable to search.
    const std::vector<std::string> names = {
        "Hash",         "Threads",     "Move Overhead",  "PolicyMinDepth", "RouterPlies",
        "RouterReduce", "RouterOrder", "RouterMinDepth", "RouterMode",     "RouterOrderBonus",
        "RouterTopK",   "UseNNUE",     "MultiPV",        "UCI_ShowWDL",    "GoalMoves",
        "ABDADA",       "SMPMode",     "SearchMode",     "GumbelTemp",     "Ponder",
        "UCI_LimitStrength", "UCI_Elo"};
    const std::vector<std::string> values = {"-2147483648",
                                             "2147483647",
                                             "4294967295",
                                             "-1",
                                             "0",
                                             "+0",
                                             "--1",
                                             "1e9",
                                             "0x10",
                                             "",
                                             "\xFF",
                                             "9223372036854775807",
                                             "18446744073709551616"};
    Engine engine;
    for (const std::string& name : names) {
        for (const std::string& value : values) {
            // A huge Hash or thread count would only test the machine.
            if ((name == "Hash" || name == "Threads") && value.size() > 2) continue;
            // Silently ignored, except that UseNNUE names the evaluator it leaves in force.
            const std::vector<std::string> expected =
                name == "UseNNUE" ? std::vector<std::string>{"info string evaluation: hand-written"}
                                  : std::vector<std::string>{};
            EXPECT_EQ(exchange(engine, {"setoption name " + name + " value " + value}), expected)
                << name << " " << value;
        }
        // A clock search must still end by itself whatever the overhead.
        for (const std::string go : {"go nodes 2000", "go wtime 300 btime 300"}) {
            const std::vector<std::string> reply = exchange(engine, {go}, 1);
            ASSERT_FALSE(reply.empty()) << name;
            EXPECT_TRUE(reply.back().starts_with("bestmove ")) << name << ": " << reply.back();
        }
    }
}

}  // namespace
