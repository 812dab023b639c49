#include "uci/engine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/board/movegen.h"
#include "core/board/text.h"
#include "uci/bench_command.h"
#include "uci/genfens.h"
#include "uci/launch.h"
#include "uci/output.h"
#include "uci/tuning_options.h"

namespace orvane::uci {

namespace {
constexpr std::uint32_t MAX_PERFT_DEPTH = 32;  // deeper trees cannot be counted in any lifetime
}

Engine::Engine() : position_(Position::startpos()), stop_(std::make_shared<std::atomic<bool>>(false)) {
    tt_ = tt::TranspositionTable::new_table(16);
    network_ = nnue::default_net();
    auto searcher = std::make_unique<Searcher<nnue::NnueEval>>(nnue::NnueEval(network_), tt_, stop_);
    pool_ = Pool{std::make_unique<NnuePool>(std::move(searcher))};
    apply_settings();
}

Engine::~Engine() { end_of_input(); }

void Engine::join_search(bool report_crash) {
    if (!search_thread_.joinable()) return;
    const bool ok = search_thread_.join();
    if (!ok && report_crash) {
        std::fputs("search thread crashed\n", stderr);
        std::fflush(stderr);
        std::fflush(stdout);
        std::_Exit(1);
    }
    pool_ = take_pool(*job_);
    job_.reset();
}

void Engine::finish_search() {
    if (!search_thread_.joinable()) return;
    stop_->store(true);
    join_search(true);
    pondering_->store(false);
}

void Engine::end_of_input() {
    // An infinite search would never end by itself: it is told to stop.
    if (!search_thread_.joinable()) return;
    stop_->store(true);
    join_search(false);
}

void Engine::clear_learned() {
    std::visit([](auto& pool) { pool->clear(); }, searcher());
}

Pool& Engine::searcher() {
    finish_search();
    if (!pool_) fatal("searcher available when idle");
    return *pool_;
}

bool Engine::handle(std::string_view line) {
    const std::vector<std::string_view> words = text::split_words(line);
    if (words.empty()) return true;
    const std::string_view cmd = words[0];
    const std::vector<std::string_view> args(words.begin() + 1, words.end());

    if (cmd == "uci") {
        cmd_uci();
    } else if (cmd == "isready") {
        write_line("readyok");
    } else if (cmd == "ucinewgame") {
        clear_learned();
        position_ = Position::startpos();
        ++game_number_;
    } else if (cmd == "ponderhit") {
        // The move pondered on was played: the search goes on under its clock. Ignored when
        // no search is pondering.
        pondering_->store(false);
    } else if (cmd == "setoption") {
        set_option(args);
    } else if (cmd == "position") {
        cmd_position(args);
    } else if (cmd == "go") {
        go(args);
    } else if (cmd == "stop") {
        finish_search();
    } else if (cmd == "quit") {
        finish_search();
        return false;
    } else if (cmd == "d" || cmd == "display") {
        write_line(position_.diagram());
    } else if (cmd == "eval") {
        cmd_eval();
    } else if (cmd == "perft") {
        std::uint32_t depth = 1;
        if (!args.empty()) depth = text::parse_int<std::uint32_t>(args[0]).value_or(1);
        perft(depth);
    } else if (cmd == "bench") {
        finish_search();
        run_bench(args);
    } else if (cmd == "genfens") {
        finish_search();
        genfens::run(args, use_nnue_ ? network_ : nullptr);
    } else if (tuning_command(cmd)) {  // spsa, in the tuning build
    } else {
        info_string("unknown command: " + std::string(line));
    }
    return true;
}

void Engine::cmd_position(const std::vector<std::string_view>& args) {
    finish_search();
    std::size_t moves_at = args.size();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "moves") {
            moves_at = i;
            break;
        }
    }
    if (moves_at == 0 || (args[0] != "fen" && args[0] != "startpos")) {
        info_string("expected 'startpos' or 'fen'");
        return;
    }
    Position next = Position::startpos();
    if (args[0] == "fen") {
        FenResult parsed = Position::from_fen(text::join(args, 1, moves_at));
        if (auto* error = std::get_if<FenError>(&parsed)) {
            info_string(error->text());
            return;
        }
        next = std::get<Position>(std::move(parsed));
    }
    position_ = std::move(next);
    for (std::size_t i = moves_at + 1; i < args.size(); ++i) {
        std::optional<Move> m = position_.parse_uci_move(args[i], chess960_);
        if (!m) {
            info_string("illegal move " + std::string(args[i]));
            return;
        }
        position_.make_move(*m);
    }
}

void Engine::cmd_eval() {
    Position pos = position_;
    Pool& pool = searcher();
    std::visit(
        [&](auto& p) {
            using PoolType = std::decay_t<decltype(*p)>;
            if constexpr (std::is_same_v<PoolType, PstPool>) {
                const int white = eval::evaluate_white(pos);
                const int score = pos.side() == WHITE ? white : -white;
                write_line("hand-written eval (side to move): " + std::to_string(score) + " cp");
            } else {
                auto evaluator = p->main().evaluator();
                evaluator.reset(pos);
                write_line("NNUE eval (side to move): " + std::to_string(evaluator.evaluate(pos))
                           + " cp");
            }
        },
        pool);
}

void Engine::perft(std::uint32_t depth) {
    finish_search();
    if (depth > MAX_PERFT_DEPTH) depth = 1;
    const auto start = std::chrono::steady_clock::now();
    MoveList moves;
    movegen::generate_all(position_, moves);
    std::uint64_t total = 0;
    std::string out;
    const MoveNotation notation = position_.notation(chess960_);
    for (Move m : moves) {
        position_.make_move(m);
        std::uint64_t count = depth < 2 ? 1 : movegen::perft(position_, static_cast<int>(depth - 1));
        position_.unmake_move(m);
        out += notation.text(m) + ": " + std::to_string(count) + "\n";
        total += count;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now()
                                                                    - start)
                  .count();
    if (ms < 1) ms = 1;
    const std::uint64_t nps = total * 1000 / static_cast<std::uint64_t>(ms);
    out += "\nNodes searched: " + std::to_string(total) + "  (" + std::to_string(ms) + " ms, "
           + std::to_string(nps) + " nps)\n";
    write_raw(out);
}

}  // namespace orvane::uci
