// The search's tune records through the program. The normal build must not show them: no
// option, no `spsa` command. The tuning build (ORVANE_TUNING, `make tuning`) lists each record
// as a spin option after the others, sets it like any spin option and prints them for
// OpenBench with `spsa`; with the values unchanged it searches exactly like the normal build.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "core/search/tune.h"
#include "support/bench_signature.h"
#include "uci/engine_process.h"
#include "uci/tuning_options.h"

namespace {

using orvane::testing::EngineProcess;
namespace tune = orvane::tune;

class Tuning : public ::testing::Test {
protected:
    void SetUp() override { engine.sync(); }  // the banner

    std::vector<std::string> run(const std::vector<std::string>& lines) {
        for (const std::string& l : lines) engine.send(l);
        std::vector<std::string> out = engine.sync();
        EXPECT_TRUE(engine.synced_ok()) << "no readyok after " << ::testing::PrintToString(lines);
        return out;
    }

    // The node count of `bench DEPTH`, or 0 when no Bench line came.
    std::uint64_t bench_nodes(int depth) {
        static const std::regex BENCH(R"(Bench: (\d+) nodes.*)");
        for (const std::string& line : run({"bench " + std::to_string(depth)})) {
            std::smatch m;
            if (std::regex_match(line, m, BENCH)) return std::stoull(m[1].str());
        }
        ADD_FAILURE() << "no Bench line";
        return 0;
    }

    static std::vector<std::string> default_spsa_lines() {
        std::vector<std::string> lines;
        for (const tune::Param* p : tune::ALL) lines.push_back(tune::openbench_line(*p, p->value));
        return lines;
    }

    EngineProcess engine;
};

TEST(TuningText, SpsaListsEveryRecordWithItsValueInForce) {
    const std::string text = orvane::uci::spsa_lines();
    std::string expected;
    for (const tune::Param* p : tune::ALL)
        expected += tune::openbench_line(*p, tune::value(*p)) + "\n";
    EXPECT_EQ(text, expected);
}

#ifndef ORVANE_TUNING

TEST_F(Tuning, NormalBuildHasNoTuneOptionsAndNoSpsaCommand) {
    for (const std::string& line : run({"uci"}))
        for (const tune::Param* p : tune::ALL)
            EXPECT_EQ(line.find(std::string(p->name)), std::string::npos) << line;
    EXPECT_EQ(run({"spsa"}), std::vector<std::string>{"info string unknown command: spsa"});
    EXPECT_EQ(run({"setoption name LMR_BASE value 60"}),
              std::vector<std::string>{"info string unknown option 'lmr_base'"});
}

#else

TEST_F(Tuning, EveryRecordIsASpinOptionAfterTheOthers) {
    const std::vector<std::string> reply = run({"uci"});
    ASSERT_GE(reply.size(), tune::ALL.size() + 1);
    EXPECT_EQ(reply.back(), "uciok");
    const std::size_t first = reply.size() - 1 - tune::ALL.size();
    EXPECT_EQ(reply[first - 1].find("option name UCI_Elo"), 0u) << reply[first - 1];
    for (std::size_t i = 0; i < tune::ALL.size(); ++i)
        EXPECT_EQ(reply[first + i], tune::option_line(*tune::ALL[i], tune::ALL[i]->value));
}

TEST_F(Tuning, SetoptionChangesWhatSpsaPrintsAndTheSearch) {
    EXPECT_EQ(run({"spsa"}), default_spsa_lines());
    EXPECT_EQ(bench_nodes(orvane::bench_signature::DEPTH), orvane::bench_signature::NNUE);

    struct Step {
        std::string line;
        const tune::Param* param;
        int value;  // afterwards
    };
    const std::vector<Step> steps = {
        {"setoption name LMR_BASE value 90", &tune::LMR_BASE, 90},
        {"setoption name lmr_base value abc", &tune::LMR_BASE, 90},  // malformed: unchanged
        {"setoption name Lmr_Base value 9 0", &tune::LMR_BASE, 90},
        {"setoption name LMR_BASE value", &tune::LMR_BASE, 90},
        {"setoption name LMR_BASE value 1000", &tune::LMR_BASE, 150},  // clamped
        {"setoption name LMR_BASE value -5", &tune::LMR_BASE, 0},
        {"setoption name HISTORY_PRUNE_FACTOR value -1234", &tune::HISTORY_PRUNE_FACTOR, -1234},
        {"setoption name HISTORY_PRUNE_FACTOR value +7", &tune::HISTORY_PRUNE_FACTOR, -500},
        {"setoption name tm_stability_4 value 99", &tune::TM_STABILITY[4], 99},
    };
    std::vector<std::string> expected = default_spsa_lines();
    for (const Step& s : steps) {
        EXPECT_EQ(run({s.line}), std::vector<std::string>{}) << s.line;
        expected[static_cast<std::size_t>(s.param->index)] = tune::openbench_line(*s.param, s.value);
        EXPECT_EQ(run({"spsa"}), expected) << s.line;
    }
    EXPECT_EQ(run({"setoption name LMR_BASEX value 1"}),
              std::vector<std::string>{"info string unknown option 'lmr_basex'"});

    // Other values search differently; the records' own values search as before.
    EXPECT_NE(bench_nodes(orvane::bench_signature::DEPTH), orvane::bench_signature::NNUE);
    run({"setoption name LMR_BASE value " + std::to_string(tune::LMR_BASE.value),
         "setoption name HISTORY_PRUNE_FACTOR value "
             + std::to_string(tune::HISTORY_PRUNE_FACTOR.value),
         "setoption name TM_STABILITY_4 value " + std::to_string(tune::TM_STABILITY[4].value)});
    EXPECT_EQ(run({"spsa"}), default_spsa_lines());
    EXPECT_EQ(bench_nodes(orvane::bench_signature::DEPTH), orvane::bench_signature::NNUE);
}

#endif

}  // namespace
