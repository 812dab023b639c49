// orvane-datagen: self-play games for network training, played in-process by the search.
//
//   orvane-datagen --out FILE [--threads N] [--games N | --seconds S] [--rng N]
//                  [--soft-nodes N] [--net FILE] [--hce] [--syzygy DIR] [--hash MB]
//
// Each thread plays one game after another (see selfplay/game_player.h): 8 or 9 random plies
// from the start position (the parity alternates, so both colours get the first real move),
// then every move searched with the soft node limit (default 5000) on a fresh table of --hash MB
// (default 4: a search of this size fits in it, and with one table per thread the smaller
// tables stay in the processor's cache, which made the runs about 6% faster than with 16 MB).
// With --syzygy the tables end a game at the first position they answer, with their result.
// The games are a function of --rng: give every run its own. Records (see
// selfplay/game_record.h) are appended to FILE one whole game at a time, so a run stopped by
// SIGINT or SIGTERM keeps every finished game (the games in progress are dropped).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/eval/nnue/nnue_eval.h"
#include "core/board/text.h"
#include "selfplay/game_player.h"
#include "selfplay/game_record.h"
#include "syzygy/syzygy.h"

using namespace orvane;

namespace {

struct Options {
    std::string out;
    int threads = 2;
    std::uint64_t games = 0;     // 0: no limit
    std::uint64_t seconds = 0;   // 0: no limit
    std::uint64_t rng = 1;
    std::uint64_t soft_nodes = 5000;
    std::string net;
    std::string syzygy;
    std::uint64_t hash_mb = 4;
    bool hce = false;
};

struct Stats {
    std::atomic<std::uint64_t> games{0}, positions{0}, white{0}, draws{0}, black{0}, discarded{0},
        tablebase{0}, nodes{0};
};

// Raised by SIGINT and SIGTERM; every search polls it.
std::atomic<bool>* signal_stop = nullptr;
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_signal(int) {
    if (signal_stop != nullptr) signal_stop->store(true);
}

bool parse_options(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        auto number = [&]() { return text::parse_int<std::uint64_t>(value()).value_or(0); };
        if (a == "--out") o.out = value();
        else if (a == "--threads") o.threads = static_cast<int>(std::max<std::uint64_t>(number(), 1));
        else if (a == "--games") o.games = number();
        else if (a == "--seconds") o.seconds = number();
        else if (a == "--rng") o.rng = number();
        else if (a == "--soft-nodes") o.soft_nodes = std::max<std::uint64_t>(number(), 1);
        else if (a == "--net") o.net = value();
        else if (a == "--syzygy") o.syzygy = value();
        else if (a == "--hash") o.hash_mb = std::clamp<std::uint64_t>(number(), 1, 1024);
        else if (a == "--hce") o.hce = true;
        else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return false;
        }
    }
    if (o.out.empty()) {
        std::fprintf(stderr, "usage: orvane-datagen --out FILE [--threads N] [--games N | --seconds S] "
                             "[--rng N] [--soft-nodes N] [--net FILE] [--hce] [--syzygy DIR] [--hash MB]\n");
        return false;
    }
    return true;
}

void print_progress(const Stats& stats, double seconds) {
    std::fprintf(stderr,
                 "%.0fs games %llu positions %llu (%.0f pos/s) W %llu D %llu B %llu discarded %llu "
                 "tablebase %llu, %.0f nodes per position, %.0f knps\n",
                 seconds, static_cast<unsigned long long>(stats.games.load()),
                 static_cast<unsigned long long>(stats.positions.load()),
                 static_cast<double>(stats.positions.load()) / std::max(seconds, 1e-9),
                 static_cast<unsigned long long>(stats.white.load()),
                 static_cast<unsigned long long>(stats.draws.load()),
                 static_cast<unsigned long long>(stats.black.load()),
                 static_cast<unsigned long long>(stats.discarded.load()),
                 static_cast<unsigned long long>(stats.tablebase.load()),
                 static_cast<double>(stats.nodes.load())
                     / static_cast<double>(std::max<std::uint64_t>(stats.positions.load(), 1)),
                 static_cast<double>(stats.nodes.load()) / std::max(seconds, 1e-9) / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) return 2;

    std::shared_ptr<const nnue::Network> network;
    if (!options.hce) {
        if (options.net.empty()) {
            network = nnue::default_net();
        } else {
            std::ifstream in(options.net, std::ios::binary);
            std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
            auto parsed = nnue::Network::from_bytes(bytes);
            if (auto* e = std::get_if<nnue::NetworkError>(&parsed)) {
                std::fprintf(stderr, "cannot use %s: %s\n", options.net.c_str(), e->message.c_str());
                return 1;
            }
            network = std::get<std::shared_ptr<const nnue::Network>>(parsed);
        }
    }

    selfplay::Settings settings;
    settings.soft_nodes = options.soft_nodes;
    settings.table_mb = options.hash_mb;
    if (!options.syzygy.empty()) {
        SyzygyLoad load = Syzygy::load(options.syzygy);
        if (auto* e = std::get_if<SyzygyError>(&load)) {
            std::fprintf(stderr, "cannot use %s: %s\n", options.syzygy.c_str(), e->message.c_str());
            return 1;
        }
        settings.tablebase = std::get<std::shared_ptr<Syzygy>>(load);
        std::fprintf(stderr, "tablebases up to %u pieces\n", settings.tablebase->max_pieces());
    }

    std::ofstream out(options.out, std::ios::binary | std::ios::app);
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", options.out.c_str());
        return 1;
    }
    auto stop = std::make_shared<std::atomic<bool>>(false);
    signal_stop = stop.get();
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    std::mutex out_lock;
    Stats stats;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto limits_reached = [&] {
        return (options.games && stats.games.load() >= options.games)
               || (options.seconds && elapsed() >= static_cast<double>(options.seconds));
    };

    auto worker = [&](int index) {
        auto run = [&](auto evaluator) {
            selfplay::GamePlayer player(std::move(evaluator), settings,
                                        options.rng * 1000003 + static_cast<std::uint64_t>(index),
                                        stop);
            for (std::uint64_t n = 0; !stop->load() && !limits_reached(); ++n) {
                const int opening = 8 + static_cast<int>((n + static_cast<std::uint64_t>(index)) % 2);
                const std::uint64_t nodes_before = player.nodes();
                std::optional<selfplay::PlayedGame> played = player.play(opening);
                stats.nodes += player.nodes() - nodes_before;
                if (!played) {
                    if (!stop->load()) ++stats.discarded;
                    continue;
                }
                const game_record::Game& game = played->record;
                {
                    std::lock_guard lock(out_lock);
                    // Past the limit a finished game is still kept, but none is started.
                    game_record::write(out, game);
                    out.flush();
                }
                stats.positions += game.plies.size();
                if (game.result == game_record::Result::WHITE_WIN) ++stats.white;
                else if (game.result == game_record::Result::BLACK_WIN) ++stats.black;
                else ++stats.draws;
                if (played->ending == selfplay::Ending::TABLEBASE) ++stats.tablebase;
                ++stats.games;
            }
        };
        if (options.hce) run(PstEval{});
        else run(nnue::NnueEval(network));
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < options.threads; ++i) threads.emplace_back(worker, i);
    while (!stop->load() && !limits_reached()) {
        for (int i = 0; i < 100 && !stop->load() && !limits_reached(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        print_progress(stats, elapsed());
    }
    for (auto& t : threads) t.join();
    print_progress(stats, elapsed());
    if (!out) {
        std::fprintf(stderr, "writing %s failed\n", options.out.c_str());
        return 1;
    }
    return 0;
}
