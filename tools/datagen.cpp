// orvane-datagen: self-play games for network training, played in-process by the search.
//
//   orvane-datagen --out FILE [--threads N] [--games N | --seconds S] [--rng N]
//                  [--soft-nodes N] [--net FILE] [--hce]
//
// Each game starts with 8 or 9 random legal plies from the start position (the parity
// alternates, so both colours get the first real move); a depth-10 search throws away
// openings that are already decided (beyond +-1000 cp). Then every move is searched with a
// soft node limit (default 5000) and a hard cap of 8 times that, on a fresh 16 MB table.
// Games end by the rules or by adjudication: a win after 4 plies at |score| >= 2000, a draw
// after 10 plies at |score| <= 10 once 70 plies are played. Records (see game_record.h) are
// appended to FILE, one game at a time, so an interrupted run keeps what it made.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/game_record.h"
#include "core/movegen.h"
#include "core/nnue/nnue_eval.h"
#include "core/search.h"
#include "core/text.h"

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
    bool hce = false;
};

constexpr int VERIFY_DEPTH = 10;
constexpr int OPENING_LIMIT = 1000;
constexpr int WIN_SCORE = 2000;
constexpr int WIN_PLIES = 4;
constexpr int DRAW_SCORE = 10;
constexpr int DRAW_PLIES = 10;
constexpr int DRAW_MIN_PLY = 70;
constexpr int MAX_GAME_PLIES = 600;

struct Stats {
    std::atomic<std::uint64_t> games{0}, positions{0}, white{0}, draws{0}, black{0}, discarded{0};
};

template <Evaluator E>
class GamePlayer {
public:
    GamePlayer(E evaluator, const Options& options, std::uint64_t rng)
        : options_(options), rng_(rng), stop_(std::make_shared<std::atomic<bool>>(false)) {
        table_ = tt::TranspositionTable::new_table(16);
        searcher_ = std::make_unique<Searcher<E>>(std::move(evaluator), table_, stop_);
    }

    // One game, or nothing when the opening was discarded.
    std::optional<game_record::Game> play(int opening_plies) {
        table_->clear();
        searcher_->clear_learned();
        game_record::Game game;
        Position pos = Position::startpos();
        for (int i = 0; i < opening_plies; ++i) {
            MoveList legal;
            movegen::generate_all(pos, legal);
            if (legal.empty()) return std::nullopt;
            const Move m = legal[static_cast<int>(rng_() % static_cast<std::uint64_t>(legal.size()))];
            game.opening.push_back(m);
            pos.make_move(m);
        }
        if (!movegen::has_legal_move(pos)) return std::nullopt;
        SearchLimits verify;
        verify.depth = VERIFY_DEPTH;
        if (std::abs(searcher_->search(pos, verify, {}).score) > OPENING_LIMIT) return std::nullopt;
        table_->clear();

        SearchLimits limits;
        limits.soft_nodes = options_.soft_nodes;
        limits.nodes = options_.soft_nodes * 8;
        int win_streak = 0, draw_streak = 0, ply = static_cast<int>(game.opening.size());
        for (;;) {
            MoveList legal;
            movegen::generate_all(pos, legal);
            if (legal.empty()) {
                game.result = !pos.in_check() ? game_record::Result::DRAW
                              : pos.side() == WHITE ? game_record::Result::BLACK_WIN
                                                    : game_record::Result::WHITE_WIN;
                break;
            }
            if (pos.halfmove() >= 100 || pos.is_repetition() || pos.insufficient_material()
                || game.plies.size() >= MAX_GAME_PLIES) {
                game.result = game_record::Result::DRAW;
                break;
            }
            const SearchResult r = searcher_->search(pos, limits, {});
            const int score = r.score;
            game.plies.push_back({r.best, static_cast<std::int16_t>(std::clamp(score, -32000, 32000))});

            // Adjudication, with scores turned to White's view.
            const int white_score = pos.side() == WHITE ? score : -score;
            win_streak = std::abs(score) >= WIN_SCORE ? win_streak + 1 : 0;
            draw_streak = (ply >= DRAW_MIN_PLY && std::abs(score) <= DRAW_SCORE) ? draw_streak + 1 : 0;
            pos.make_move(r.best);
            ++ply;
            if (win_streak >= WIN_PLIES) {
                game.result = white_score > 0 ? game_record::Result::WHITE_WIN
                                              : game_record::Result::BLACK_WIN;
                break;
            }
            if (draw_streak >= DRAW_PLIES) {
                game.result = game_record::Result::DRAW;
                break;
            }
        }
        return game;
    }

private:
    const Options& options_;
    std::mt19937_64 rng_;
    std::shared_ptr<std::atomic<bool>> stop_;
    std::shared_ptr<tt::TranspositionTable> table_;
    std::unique_ptr<Searcher<E>> searcher_;
};

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
        else if (a == "--hce") o.hce = true;
        else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return false;
        }
    }
    if (o.out.empty()) {
        std::fprintf(stderr, "usage: orvane-datagen --out FILE [--threads N] [--games N | --seconds S] "
                             "[--rng N] [--soft-nodes N] [--net FILE] [--hce]\n");
        return false;
    }
    return true;
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

    std::ofstream out(options.out, std::ios::binary | std::ios::app);
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", options.out.c_str());
        return 1;
    }
    std::mutex out_lock;
    Stats stats;
    std::atomic<bool> done{false};
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };

    auto worker = [&](int index) {
        auto run = [&](auto evaluator) {
            GamePlayer player(std::move(evaluator), options, options.rng * 1000003 + index);
            for (std::uint64_t n = 0; !done.load(); ++n) {
                const int opening = 8 + static_cast<int>((n + index) % 2);
                std::optional<game_record::Game> game = player.play(opening);
                if (!game) {
                    ++stats.discarded;
                    continue;
                }
                {
                    std::lock_guard lock(out_lock);
                    game_record::write(out, *game);
                    out.flush();
                }
                stats.positions += game->plies.size();
                if (game->result == game_record::Result::WHITE_WIN) ++stats.white;
                else if (game->result == game_record::Result::BLACK_WIN) ++stats.black;
                else ++stats.draws;
                const std::uint64_t played = ++stats.games;
                if (options.games && played >= options.games) done = true;
                if (options.seconds && elapsed() >= static_cast<double>(options.seconds)) done = true;
            }
        };
        if (options.hce) run(PstEval{});
        else run(nnue::NnueEval(network));
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < options.threads; ++i) threads.emplace_back(worker, i);
    while (!done.load()) {
        for (int i = 0; i < 100 && !done.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (options.seconds && elapsed() >= static_cast<double>(options.seconds)) done = true;
        const double t = elapsed();
        std::fprintf(stderr,
                     "%.0fs games %llu positions %llu (%.0f pos/s) W %llu D %llu B %llu discarded %llu\n",
                     t, static_cast<unsigned long long>(stats.games.load()),
                     static_cast<unsigned long long>(stats.positions.load()),
                     static_cast<double>(stats.positions.load()) / std::max(t, 1e-9),
                     static_cast<unsigned long long>(stats.white.load()),
                     static_cast<unsigned long long>(stats.draws.load()),
                     static_cast<unsigned long long>(stats.black.load()),
                     static_cast<unsigned long long>(stats.discarded.load()));
    }
    for (auto& t : threads) t.join();
    return 0;
}
