// Every perft count of the shared EPD suites, to the deepest listed depth. Minutes of work,
// so this program carries the "slow" label and stays out of the default run.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/movegen.h"
#include "core/position.h"

namespace orvane {
namespace {

struct PerftCase {
    std::string name;  // file and line, e.g. suite_L12
    std::string fen;
    std::vector<std::pair<int, std::uint64_t>> counts;  // (depth, leaf count)
};

std::string shared_path(const std::string& file) {
    return std::string(ORVANE_SOURCE_DIR) + "/../shared/perft/" + file;
}

// "FEN ;D1 20 ;D2 400 ..." per line; lines starting with '#' are comments.
std::vector<PerftCase> load_epd(const std::string& file) {
    std::vector<PerftCase> cases;
    std::ifstream in(shared_path(file));
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#') continue;
        PerftCase c;
        c.name = file.substr(0, file.find('.')) + "_L" + std::to_string(number);
        std::size_t semi = line.find(';');
        c.fen = line.substr(0, semi);
        while (semi != std::string::npos) {
            std::size_t next = line.find(';', semi + 1);
            std::istringstream field(line.substr(semi + 1, next - semi - 1));
            std::string tag;
            std::uint64_t count = 0;
            if (field >> tag >> count && tag.size() > 1 && tag[0] == 'D')
                c.counts.emplace_back(std::stoi(tag.substr(1)), count);
            semi = next;
        }
        cases.push_back(c);
    }
    return cases;
}

std::vector<PerftCase> all_cases() {
    std::vector<PerftCase> cases = load_epd("standard.epd");
    for (PerftCase& c : load_epd("suite.epd")) cases.push_back(c);
    return cases;
}

TEST(PerftFiles, ArePresent) {
    EXPECT_GE(load_epd("standard.epd").size(), 6u) << shared_path("standard.epd");
    EXPECT_GE(load_epd("suite.epd").size(), 100u) << shared_path("suite.epd");
}

class PerftFull : public testing::TestWithParam<PerftCase> {};

TEST_P(PerftFull, EveryListedDepth) {
    const PerftCase& c = GetParam();
    FenResult parsed = Position::from_fen(c.fen);
    ASSERT_TRUE(std::holds_alternative<Position>(parsed)) << c.fen;
    Position pos = std::get<Position>(parsed);
    ASSERT_FALSE(c.counts.empty());
    for (auto [depth, count] : c.counts)
        EXPECT_EQ(movegen::perft(pos, depth), count) << c.fen << " depth " << depth;
    EXPECT_TRUE(pos.history().empty());
}

INSTANTIATE_TEST_SUITE_P(Epd, PerftFull, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<PerftCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace orvane
