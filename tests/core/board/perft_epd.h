// The shared perft suites: "FEN ;D1 20 ;D2 400 ..." per line, '#' lines are comments.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace orvane::perft_epd {

struct PerftCase {
    std::string name;  // file and line, e.g. suite_L12
    std::string fen;
    std::vector<std::pair<int, std::uint64_t>> counts;  // (depth, leaf count)
};

inline std::string shared_path(const std::string& file) {
    return std::string(ORVANE_SOURCE_DIR) + "/../shared/perft/" + file;
}

inline std::vector<PerftCase> load_epd(const std::string& file) {
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

inline std::vector<PerftCase> all_cases() {
    std::vector<PerftCase> cases = load_epd("standard.epd");
    for (PerftCase& c : load_epd("suite.epd")) cases.push_back(c);
    return cases;
}

}  // namespace orvane::perft_epd
