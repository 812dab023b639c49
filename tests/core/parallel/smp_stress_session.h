// Random UCI sessions run in-process through Engine::handle: option changes (Threads,
// SMPMode, ABDADA and a few others), searches of every kind ended at random moments by
// "stop", another "go", "position", "setoption" or "quit", and "isready" while searching.
// After each search the session checks that exactly one bestmove came per "go" and that it
// is legal in the position it was searched from; between engines and at the end, that no
// helper or search thread outlived its pool. A watchdog ends a deadlocked run with the last
// command sent.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/board/movegen.h"
#include "core/parallel/smp_test_support.h"
#include "uci/engine.h"

namespace orvane::testing {

struct StressPlan {
    const char* name;
    int cycles;             // searches in all
    int restarts;           // "quit" during a search, then a new engine, at most this often
    std::uint32_t rng_state;
    int max_threads = 8;
    int max_wait_ms = 30;   // a search runs this long at most before something stops it
};

class StressSession {
public:
    explicit StressSession(const StressPlan& plan)
        : plan_(plan), rng_(plan.rng_state), watchdog_(plan.name) {}
    // Test framework messages printed after the last look at the output go to standard output.
    ~StressSession() {
        out_.restore();
        for (const std::string& line : out_.take_lines()) std::printf("%s\n", line.c_str());
    }

    void run() {
        const int base = task_count();
        start_engine();
        int restarts = 0;
        for (int cycle = 0; cycle < plan_.cycles && !::testing::Test::HasFatalFailure(); ++cycle) {
            for (int k = pick(0, 2); k > 0; --k) send(random_option());
            if (pick(0, 3) == 0) send(random_position());
            send(random_go());
            for (;;) {
                wait_a_little();
                if (pick(0, 4) == 0) {
                    send("isready");
                    ++readyoks_;
                }
                const int ending = pick(0, 19);
                if (ending == 0 && restarts < plan_.restarts) {
                    ++restarts;
                    quit_and_restart(base);
                    break;
                }
                if (ending <= 2) {
                    send(random_go());  // the running search ends first and prints its move
                    continue;
                }
                if (ending <= 4) send(random_position());
                else if (ending <= 7) send(random_option());
                else send("stop");
                break;
            }
            check_output();
        }
        send("setoption name Threads value 1");
        check_output();
        EXPECT_EQ(settled_task_count(base), base) << "threads left over with Threads 1";
        engine_.reset();
        EXPECT_EQ(settled_task_count(base), base) << "threads left over after the engine";
        check_output();
        const std::set<std::string> expected = {
            "SMPMode set to Lazy", "SMPMode set to YBWC", "SMPMode set to ABDADA",
            "evaluation: NNUE", "evaluation: hand-written"};
        for (const std::string& s : info_strings_)
            EXPECT_TRUE(expected.count(s)) << "unexpected info string: " << s;
        std::fprintf(stderr, "%s: %zu searches, %llu info lines, %d restarts\n", plan_.name,
                     bestmoves_.size(), static_cast<unsigned long long>(infos_), restarts);
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    void send(const std::string& line) {
        watchdog_.progress(line);
        const bool go_on = engine_->handle(line);
        EXPECT_EQ(go_on, line != "quit") << line;
        if (line.starts_with("go")) {
            positions_.push_back(engine_->position());
            commands_.push_back(line);
        }
        watchdog_.progress("after " + line);
    }

    void start_engine() {
        watchdog_.progress("new Engine");
        engine_ = std::make_unique<uci::Engine>();
        // A quick engine for most of the run; NNUE comes back now and then by the options.
        send("setoption name UseNNUE value false");
        send("setoption name Hash value 4");
    }

    // "quit" during a search, or the end of input (the engine dropped while it searches).
    void quit_and_restart(int base) {
        if (pick(0, 1) == 0) {
            send("quit");
            check_output();
            watchdog_.progress("drop Engine");
            engine_.reset();
        } else {
            watchdog_.progress("drop Engine while searching");
            engine_.reset();
            check_output();
        }
        EXPECT_EQ(settled_task_count(base), base) << "threads left over after quit";
        start_engine();
        send("setoption name Threads value " + std::to_string(pick(1, plan_.max_threads)));
    }

    void wait_a_little() {
        const int ms = pick(0, 3) == 0 ? 0 : pick(1, plan_.max_wait_ms);
        if (ms) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    std::string random_option() {
        switch (pick(0, 15)) {
            case 0: case 1: case 2: case 3: case 4:
                return "setoption name Threads value " + std::to_string(pick(1, plan_.max_threads));
            case 5: case 6: case 7: case 8: {
                const char* modes[] = {"Lazy", "YBWC", "ABDADA", "lazysmp", "ybwc"};
                return std::string("setoption name SMPMode value ") + modes[pick(0, 4)];
            }
            case 9: case 10:
                return std::string("setoption name ABDADA value ") + (pick(0, 1) ? "true" : "false");
            case 11:
                return "setoption name MultiPV value " + std::to_string(pick(1, 3));
            case 12:
                return "setoption name Hash value " + std::to_string(1 << pick(0, 3));
            case 13:
                return std::string("setoption name UseNNUE value ") + (pick(0, 2) ? "false" : "true");
            case 14:
                return "setoption name Clear Hash";
            default:
                return "ucinewgame";
        }
    }

    std::string random_position() {
        const char* positions[] = {
            "position startpos",
            "position startpos moves e2e4 e7e5 g1f3 b8c6 f1b5",
            "position fen r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
            "position fen r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
            "position fen 8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
            "position fen 6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1",
            "position fen 7k/6Q1/6K1/8/8/8/8/8 b - - 0 1",
            "position fen 7k/5Q2/6K1/8/8/8/8/8 b - - 0 1",
            "position fen 8/8/4k3/8/2p5/8/B2P4/4K3 w - - 0 1",
        };
        return positions[pick(0, 8)];
    }

    std::string random_go() {
        switch (pick(0, 7)) {
            case 0: case 1: return "go infinite";
            case 2: case 3: return "go depth " + std::to_string(pick(1, 14));
            case 4: return "go movetime " + std::to_string(pick(1, 40));
            case 5: return "go nodes " + std::to_string(pick(1, 200) * 1000);
            case 6: {
                const std::string t = std::to_string(pick(50, 2000));
                return "go wtime " + t + " btime " + t + " winc 10 binc 10";
            }
            default: return "go infinite searchmoves e2e4 d2d4 a1b1 b4b1";
        }
    }

    // Sorts the captured lines; a line of no kind the session expects (a test framework
    // message, say) goes on to standard error so that nothing is lost.
    void take_output() {
        out_.sync();
        for (const std::string& line : out_.take_lines()) {
            if (line.starts_with("bestmove "))
                bestmoves_.push_back(line.substr(9));
            else if (line.starts_with("info string "))
                info_strings_.push_back(line.substr(12));
            else if (line.starts_with("info "))
                ++infos_;
            else if (line == "readyok")
                ++readyok_count_;
            else
                std::fprintf(stderr, "%s\n", line.c_str());
        }
    }

    // Every search started so far has ended and printed one legal bestmove.
    void check_output() {
        watchdog_.progress("sync");
        take_output();
        const std::vector<std::string>& moves = bestmoves_;
        ASSERT_EQ(moves.size(), positions_.size()) << "after " << commands_.back();
        for (; checked_ < moves.size(); ++checked_) {
            const Position& pos = positions_[checked_];
            const std::string& text = moves[checked_];
            SCOPED_TRACE(commands_[checked_] + " on " + pos.to_fen() + ": bestmove " + text);
            MoveList legal;
            movegen::generate_all(pos, legal);
            const std::size_t space = text.find(' ');
            const std::string best = text.substr(0, space);
            if (best == "0000") {
                EXPECT_TRUE(legal.empty());
                continue;
            }
            const std::optional<Move> m = pos.parse_uci_move(best);
            ASSERT_TRUE(m.has_value());
            if (space != std::string::npos) {
                ASSERT_EQ(text.substr(space, 8), " ponder ");
                Position after = pos;
                after.make_move(*m);
                EXPECT_TRUE(after.parse_uci_move(text.substr(space + 8)).has_value());
            }
        }
        EXPECT_EQ(readyok_count_, readyoks_);
    }

    StressPlan plan_;
    std::mt19937 rng_;
    Watchdog watchdog_;
    StdoutPipe out_;
    std::vector<std::string> bestmoves_;
    std::vector<std::string> info_strings_;
    std::uint64_t infos_ = 0;
    std::uint64_t readyok_count_ = 0;
    std::unique_ptr<uci::Engine> engine_;
    std::vector<Position> positions_;
    std::vector<std::string> commands_;
    std::size_t checked_ = 0;
    std::uint64_t readyoks_ = 0;
};

}  // namespace orvane::testing
