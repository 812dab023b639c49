// orvane-games: counts and cuts self-play game files (raw records or zstd-compressed).
//
//   orvane-games count FILE...         one line per file, then the total when there are several:
//                                      games, scored positions, results, and the bytes after the
//                                      last whole record (a run killed while writing)
//   orvane-games split N IN HEAD TAIL  the first N games of IN into HEAD, the rest into TAIL
//                                      (raw records; compress them with zstd afterwards)
//
// The counts come from the records themselves, so a data row never depends on what a run
// printed last. Exit code 1 on an unreadable file, 2 on a bad command line.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/board/text.h"
#include "selfplay/game_record.h"
#include "train/dataset.h"

using namespace orvane;

namespace {

struct Counts {
    std::uint64_t games = 0, positions = 0, white = 0, draws = 0, black = 0, trailing = 0;

    void add(const Counts& c) {
        games += c.games;
        positions += c.positions;
        white += c.white;
        draws += c.draws;
        black += c.black;
        trailing += c.trailing;
    }
};

// The records of `bytes`, handed to `visit` with their bytes; returns the bytes after the last
// whole record.
template <typename Visit>
std::uint64_t each_record(const std::vector<std::uint8_t>& bytes, Visit&& visit) {
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::uint64_t consumed = 0;
    while (std::optional<game_record::Game> game = game_record::read(in)) {
        const auto end = static_cast<std::uint64_t>(in.tellg());
        visit(*game, std::span(bytes).subspan(consumed, end - consumed));
        consumed = end;
    }
    return bytes.size() - consumed;
}

bool read(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::string error;
    bytes = train::read_game_file(path, error);
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    return error.empty();
}

void print(const std::string& name, const Counts& c) {
    std::printf("%s: games %llu positions %llu W %llu D %llu B %llu trailing bytes %llu\n",
                name.c_str(), static_cast<unsigned long long>(c.games),
                static_cast<unsigned long long>(c.positions),
                static_cast<unsigned long long>(c.white), static_cast<unsigned long long>(c.draws),
                static_cast<unsigned long long>(c.black),
                static_cast<unsigned long long>(c.trailing));
}

int count(const std::vector<std::string>& paths) {
    Counts total;
    for (const std::string& path : paths) {
        std::vector<std::uint8_t> bytes;
        if (!read(path, bytes)) return 1;
        Counts c;
        c.trailing = each_record(bytes, [&](const game_record::Game& g, auto) {
            ++c.games;
            c.positions += g.plies.size();
            switch (g.result) {
                case game_record::Result::WHITE_WIN: ++c.white; break;
                case game_record::Result::BLACK_WIN: ++c.black; break;
                default: ++c.draws; break;
            }
        });
        print(path, c);
        total.add(c);
    }
    if (paths.size() > 1) print("total", total);
    return 0;
}

int split(std::uint64_t head_games, const std::string& in, const std::string& head,
          const std::string& tail) {
    std::vector<std::uint8_t> bytes;
    if (!read(in, bytes)) return 1;
    std::ofstream out[2] = {std::ofstream(head, std::ios::binary),
                            std::ofstream(tail, std::ios::binary)};
    if (!out[0] || !out[1]) {
        std::fprintf(stderr, "cannot write %s or %s\n", head.c_str(), tail.c_str());
        return 1;
    }
    std::uint64_t games = 0, written[2] = {0, 0};
    each_record(bytes, [&](const game_record::Game&, std::span<const std::uint8_t> record) {
        const int side = games++ < head_games ? 0 : 1;
        out[side].write(reinterpret_cast<const char*>(record.data()),
                        static_cast<std::streamsize>(record.size()));
        ++written[side];
    });
    for (std::ofstream& o : out) o.close();
    if (!out[0] || !out[1]) {
        std::fprintf(stderr, "writing %s or %s failed\n", head.c_str(), tail.c_str());
        return 1;
    }
    std::printf("%s: %llu games, %s: %llu games\n", head.c_str(),
                static_cast<unsigned long long>(written[0]), tail.c_str(),
                static_cast<unsigned long long>(written[1]));
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: orvane-games count FILE...\n"
                         "       orvane-games split N IN HEAD TAIL\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "count") return count({args.begin() + 1, args.end()});
    if (args.size() == 5 && args[0] == "split") {
        const std::optional<std::uint64_t> n = text::parse_int<std::uint64_t>(args[1]);
        if (!n) return usage();
        return split(*n, args[2], args[3], args[4]);
    }
    return usage();
}
