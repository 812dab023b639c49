// The engine binary as a child process for end-to-end tests: its standard input, output and
// error are pipes; lines are read with a time limit (poll), so a hung engine fails a test
// instead of hanging it. The destructor always kills and reaps the child: no zombies.
//
// The time limits here only guard against hangs; they are generous on purpose (a sanitizer
// build on a loaded machine is slow) and no test asserts anything about speed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/board/movegen.h"
#include "core/board/position.h"
#include "core/board/text.h"
#include "support/position_helpers.h"

extern char** environ;

namespace orvane::testing {

inline constexpr std::chrono::milliseconds HANG_LIMIT{60'000};

class EngineProcess {
public:
    explicit EngineProcess(const std::vector<std::string>& args = {},
                           const std::string& binary = ORVANE_BINARY) {
        // A write to a child that has already exited must fail with EPIPE, not kill the test.
        ::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

        std::vector<std::string> argv_text{binary};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : argv_text) argv.push_back(a.data());
        argv.push_back(nullptr);

        const int rc =
            ::posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        if (rc != 0) {
            ::close(in[1]);
            ::close(out[0]);
            ::close(err[0]);
            throw std::runtime_error("cannot start " + binary + ": " + std::strerror(rc));
        }
        to_child_ = in[1];
        ::fcntl(to_child_, F_SETFL, ::fcntl(to_child_, F_GETFL) | O_NONBLOCK);
        from_child_ = out[0];
        errors_ = err[0];
    }

    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    ~EngineProcess() {
        close_input();
        if (pid_ > 0 && !exit_status_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        if (from_child_ >= 0) ::close(from_child_);
        if (errors_ >= 0) ::close(errors_);
    }

    // Sends one command line; false when the child no longer reads its input.
    bool send(std::string_view line) { return send_raw(std::string(line) + "\n"); }

    // Writes everything, reading the child's output meanwhile: a child blocked on a full
    // output pipe stops reading its input, and both sides would wait for ever.
    bool send_raw(std::string_view bytes) {
        if (to_child_ < 0) return false;
        while (!bytes.empty()) {
            const ssize_t n = ::write(to_child_, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
            pollfd fds[3];
            nfds_t count = 0;
            fds[count++] = {to_child_, POLLOUT, 0};
            if (!out_closed_) fds[count++] = {from_child_, POLLIN, 0};
            if (!err_closed_) fds[count++] = {errors_, POLLIN, 0};
            if (::poll(fds, count, static_cast<int>(HANG_LIMIT.count())) == 0) {
                timed_out_ = true;
                return false;
            }
            if (fds[0].revents & (POLLERR | POLLHUP)) return false;
            pump(std::chrono::steady_clock::now());
        }
        return true;
    }

    // End of input for the engine.
    void close_input() {
        if (to_child_ >= 0) ::close(to_child_);
        to_child_ = -1;
    }

    // The next output line without its "\n"; nothing at end of output or after `limit`.
    std::optional<std::string> read_line(std::chrono::milliseconds limit = HANG_LIMIT) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const std::size_t nl = out_buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = out_buffer_.substr(0, nl);
                out_buffer_.erase(0, nl + 1);
                return line;
            }
            if (out_closed_) return std::nullopt;
            if (!pump(deadline)) {
                timed_out_ = true;
                return std::nullopt;
            }
        }
    }

    // Lines up to and including the first one that satisfies `last`. When output ends or the
    // limit passes first, the lines read so far are returned and `timed_out()` or `at_end()`
    // tells which.
    std::vector<std::string> read_until(const std::function<bool(const std::string&)>& last,
                                        std::chrono::milliseconds limit = HANG_LIMIT) {
        std::vector<std::string> lines;
        while (auto line = read_line(limit)) {
            lines.push_back(*line);
            if (last(*line)) break;
        }
        return lines;
    }

    std::vector<std::string> read_until_prefix(std::string_view prefix,
                                               std::chrono::milliseconds limit = HANG_LIMIT) {
        return read_until([prefix](const std::string& l) { return l.starts_with(prefix); }, limit);
    }

    // Like read_until_prefix, but `total` bounds the whole call rather than each line.
    std::vector<std::string> read_until_prefix_within(std::string_view prefix,
                                                      std::chrono::milliseconds total) {
        const auto deadline = std::chrono::steady_clock::now() + total;
        std::vector<std::string> lines;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            std::optional<std::string> line;
            if (left.count() > 0) line = read_line(left);
            if (!line) {
                timed_out_ = timed_out_ || left.count() <= 0;
                return lines;
            }
            lines.push_back(*line);
            if (line->starts_with(prefix)) return lines;
        }
    }

    // Sends "isready" and returns the lines printed before its "readyok": everything the
    // commands sent earlier printed, since the engine answers in order.
    std::vector<std::string> sync() {
        send("isready");
        std::vector<std::string> lines =
            read_until([](const std::string& l) { return l == "readyok"; });
        if (!lines.empty() && lines.back() == "readyok") {
            lines.pop_back();
        } else {
            synced_ok_ = false;
        }
        return lines;
    }

    // Like sync(), for commands that may print "readyok" themselves: the end marker is an
    // unknown command, which the engine echoes.
    std::vector<std::string> sync_by_echo() {
        const std::string marker = "sync-marker-" + std::to_string(++markers_);
        const std::string echo = "info string unknown command: " + marker;
        send(marker);
        std::vector<std::string> lines =
            read_until([&](const std::string& l) { return l == echo; });
        if (!lines.empty() && lines.back() == echo) {
            lines.pop_back();
        } else {
            synced_ok_ = false;
        }
        return lines;
    }

    // Waits for the child to exit; its exit code, or nothing when it did not exit in time or
    // was ended by a signal (then `signal_number()` says which).
    std::optional<int> wait_exit(std::chrono::milliseconds limit = HANG_LIMIT) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!exit_status_) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exit_status_ = status;
                break;
            }
            if (r < 0 && errno != EINTR) return std::nullopt;
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            // Keep draining both pipes, so that a child blocked on a full pipe can finish.
            pump(std::min(deadline,
                          std::chrono::steady_clock::now() + std::chrono::milliseconds(5)));
        }
        if (WIFEXITED(*exit_status_)) return WEXITSTATUS(*exit_status_);
        return std::nullopt;
    }

    int signal_number() const {
        return exit_status_ && WIFSIGNALED(*exit_status_) ? WTERMSIG(*exit_status_) : 0;
    }

    // Everything the child wrote to standard error so far (the pipe is drained first).
    const std::string& error_text() {
        pump(std::chrono::steady_clock::now());
        return err_buffer_;
    }

    // Output that has arrived but has not been read as lines yet.
    std::string pending_output() {
        pump(std::chrono::steady_clock::now());
        return out_buffer_;
    }

    bool timed_out() const { return timed_out_; }
    bool at_end() const { return out_closed_ && out_buffer_.find('\n') == std::string::npos; }
    bool synced_ok() const { return synced_ok_; }

private:
    // Reads what is available on stdout and stderr, waiting at most until `deadline`; false
    // when nothing arrived in time.
    bool pump(std::chrono::steady_clock::time_point deadline) {
        bool got = false;
        for (;;) {
            pollfd fds[2];
            nfds_t count = 0;
            if (!out_closed_) fds[count++] = {from_child_, POLLIN, 0};
            if (!err_closed_) fds[count++] = {errors_, POLLIN, 0};
            if (count == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return got;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const int wait_ms = got ? 0 : static_cast<int>(std::max<long long>(left.count(), 0));
            const int r = ::poll(fds, count, wait_ms);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return got;
            for (nfds_t i = 0; i < count; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const bool is_out = fds[i].fd == from_child_;
                char buffer[65536];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    (is_out ? out_buffer_ : err_buffer_)
                        .append(buffer, static_cast<std::size_t>(n));
                    if (is_out) got = true;
                } else if (n == 0 || errno != EINTR) {
                    (is_out ? out_closed_ : err_closed_) = true;
                    if (is_out) got = true;  // end of output is news too
                }
            }
        }
    }

    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    int errors_ = -1;
    std::string out_buffer_;
    std::string err_buffer_;
    bool out_closed_ = false;
    bool err_closed_ = false;
    bool timed_out_ = false;
    bool synced_ok_ = true;
    int markers_ = 0;
    std::optional<int> exit_status_;
};

// Standard error without the lines of a known quirk of the installed Syzygy probing
// library, which prints "munmap: <stale error text>" after every successful unmap when
// tables it has used are released. Anything else the engine writes there is a fault.
inline std::string unexpected_errors(const std::string& text) {
    std::string rest;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line(text.data() + start, end - start);
        if (!line.starts_with("munmap: ")) rest.append(text, start, end + 1 - start);
        start = end + 1;
    }
    return rest;
}

// ---- An engine inside the test program ----

// Standard output of this process redirected into a pipe and collected by a reader thread,
// for an Engine driven in-process: the search thread prints asynchronously, so a test can
// wait for a line (with a hang limit) before it looks at the output. While it exists,
// GoogleTest's own messages land here too, so tests assert after it is gone.
class StdoutPipe {
public:
    StdoutPipe() {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        int fds[2];
        if (saved_ < 0 || ::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("stdout capture: ") + std::strerror(errno));
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] {
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                std::lock_guard lock(mutex_);
                if (n <= 0) {
                    closed_ = true;
                    changed_.notify_all();
                    break;
                }
                text_.append(buffer, static_cast<std::size_t>(n));
                changed_.notify_all();
            }
            ::close(fd);
        });
    }

    StdoutPipe(const StdoutPipe&) = delete;
    StdoutPipe& operator=(const StdoutPipe&) = delete;

    ~StdoutPipe() { restore(); }

    // Puts standard output back; the pipe's last writer goes away and the reader ends.
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
        reader_.join();
    }

    // Waits until the complete lines printed so far satisfy `done`; false after `limit`.
    bool wait_for(const std::function<bool(const std::vector<std::string>&)>& done,
                  std::chrono::milliseconds limit = HANG_LIMIT) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return closed_ || done(split(text_)); }) &&
               done(split(text_));
    }

    // The complete lines the reader has collected so far (after restore(): all of them).
    std::vector<std::string> take_lines() {
        std::fflush(stdout);
        std::lock_guard lock(mutex_);
        const std::size_t end = text_.rfind('\n');
        if (end == std::string::npos) return {};
        std::vector<std::string> lines = split(text_.substr(0, end + 1));
        text_.erase(0, end + 1);
        return lines;
    }

    std::size_t size() {
        std::lock_guard lock(mutex_);
        return text_.size();
    }

    static std::vector<std::string> split(const std::string& text) {
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t nl = text.find('\n'); nl != std::string::npos;
             nl = text.find('\n', start)) {
            lines.push_back(text.substr(start, nl - start));
            start = nl + 1;
        }
        return lines;
    }

private:
    int saved_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
    bool closed_ = false;
};

inline std::size_t count_prefix(const std::vector<std::string>& lines, std::string_view prefix) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [prefix](const std::string& l) { return l.starts_with(prefix); }));
}

// ---- Reading the engine's output ----

// One "info" line of a search, taken apart; nothing when the line does not follow the grammar
// "info depth D seldepth S[ multipv K] score (cp N|mate N)[ wdl W D L] nodes N nps N
// hashfull N tbhits N time N pv [moves]".
struct InfoLine {
    int depth = 0;
    int seldepth = 0;
    std::optional<int> multipv;
    bool mate = false;
    long long score = 0;
    std::optional<std::array<unsigned, 3>> wdl;
    std::uint64_t nodes = 0, nps = 0, hashfull = 0, tbhits = 0, time = 0;
    std::vector<std::string> pv;
};

inline std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t end = std::min(text.find(' ', i), text.size());
        if (end > i) words.push_back(text.substr(i, end - i));
        i = end + 1;
    }
    return words;
}

inline std::optional<InfoLine> parse_info(const std::string& line) {
    static const std::regex GRAMMAR(
        R"(info depth (\d+) seldepth (\d+)( multipv (\d+))? score (cp|mate) (-?\d+))"
        R"(( wdl (\d+) (\d+) (\d+))? nodes (\d+) nps (\d+) hashfull (\d+) tbhits (\d+))"
        R"( time (\d+) pv ((?:[a-h][1-8][a-h][1-8][qrbn]?)(?: [a-h][1-8][a-h][1-8][qrbn]?)*)?)");
    std::smatch m;
    if (!std::regex_match(line, m, GRAMMAR)) return std::nullopt;
    InfoLine info;
    info.depth = std::stoi(m[1]);
    info.seldepth = std::stoi(m[2]);
    if (m[3].matched) info.multipv = std::stoi(m[4]);
    info.mate = m[5] == "mate";
    info.score = std::stoll(m[6]);
    if (m[7].matched)
        info.wdl = std::array<unsigned, 3>{static_cast<unsigned>(std::stoul(m[8])),
                                           static_cast<unsigned>(std::stoul(m[9])),
                                           static_cast<unsigned>(std::stoul(m[10]))};
    info.nodes = std::stoull(m[11]);
    info.nps = std::stoull(m[12]);
    info.hashfull = std::stoull(m[13]);
    info.tbhits = std::stoull(m[14]);
    info.time = std::stoull(m[15]);
    if (m[16].matched) info.pv = words_of(m[16]);
    return info;
}

struct BestMove {
    std::string best;
    std::optional<std::string> ponder;
};

inline std::optional<BestMove> parse_bestmove(const std::string& line) {
    static const std::regex GRAMMAR(R"(bestmove (\S+)(?: ponder (\S+))?)");
    std::smatch m;
    if (!std::regex_match(line, m, GRAMMAR)) return std::nullopt;
    BestMove b{m[1], std::nullopt};
    if (m[2].matched) b.ponder = m[2];
    return b;
}

// Plays `moves` from `pos`; false as soon as one is not legal there.
inline bool is_legal_line(Position pos, const std::vector<std::string>& moves) {
    for (const std::string& text : moves) {
        const std::optional<Move> m = pos.parse_uci_move(text);
        if (!m) return false;
        pos.make_move(*m);
    }
    return true;
}

inline bool has_legal_move(const Position& pos) {
    MoveList moves;
    movegen::generate_all(pos, moves);
    return !moves.empty();
}

// ---- Random command lines ----

// Lines for fuzzing the command loop: well-formed commands, mutated ones, random bytes and
// very long lines, all from one rng state so that a failure can be replayed. Lines never
// contain '\n'. Options whose values would only test the machine (a huge Hash, hundreds of
// threads, long perft, bench, files) are kept to small or harmless values; GoalMoves stays
// off because its analysis ignores "stop" by design.
class UciLineMaker {
public:
    explicit UciLineMaker(std::uint64_t state, bool allow_quit = true)
        : rng_(state), allow_quit_(allow_quit) {}

    std::string next() {
        const int kind = below(1000);
        std::string line;
        if (kind < 4)
            line = long_line();
        else if (kind < 60)
            line = random_bytes(below(80));
        else if (kind < 300)
            line = mutate(command());
        else
            line = command();
        return sanitize(std::move(line));
    }

    // True when the engine starts a search for this line (and so prints one bestmove).
    static bool starts_search(std::string_view line) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::vector<std::string_view> words =
            orvane::text::split_words(orvane::text::trim(line));
        if (words.empty() || words[0] != "go") return false;
        return std::find(words.begin(), words.end(), "perft") == words.end();
    }

    static bool is_quit(std::string_view line) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::vector<std::string_view> words =
            orvane::text::split_words(orvane::text::trim(line));
        return !words.empty() && words[0] == "quit";
    }

    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }

private:
    template <typename T>
    const T& pick(const std::vector<T>& items) {
        return items[below(items.size())];
    }

    std::string number() {
        static const std::vector<std::string> odd = {"0",
                                                     "-0",
                                                     "+0",
                                                     "-1",
                                                     "+1",
                                                     "1",
                                                     "2",
                                                     "3",
                                                     "127",
                                                     "128",
                                                     "255",
                                                     "256",
                                                     "65535",
                                                     "65536",
                                                     "2147483647",
                                                     "2147483648",
                                                     "-2147483648",
                                                     "-2147483649",
                                                     "4294967295",
                                                     "4294967296",
                                                     "9223372036854775807",
                                                     "9223372036854775808",
                                                     "-9223372036854775808",
                                                     "18446744073709551615",
                                                     "18446744073709551616",
                                                     "99999999999999999999999",
                                                     "1e3",
                                                     "0x10",
                                                     "--5",
                                                     "++5",
                                                     "+-5",
                                                     "5-",
                                                     " ",
                                                     "",
                                                     "abc",
                                                     "\xFF"};
        if (below(3) == 0) return pick(odd);
        return std::to_string(static_cast<std::int64_t>(below(5000)) - 100);
    }

    std::string random_move_text() {
        static const std::vector<std::string> texts = {
            "e2e4", "d2d4", "g1f3", "e7e5", "a7a8q", "a7a8",  "e1g1", "e1c1", "e8g8", "h7h8n",
            "a1a1", "i9i9", "e2e5", "0000", "e2",    "e2e4e", "E2E4", "b1c3", "c7c5", "d7d5"};
        return pick(texts);
    }

    // A random game from `fen`, as a "moves" list (sometimes with an illegal word inside).
    std::string moves_from(const std::string& fen, int max_plies) {
        FenResult parsed = Position::from_fen(fen);
        if (!std::holds_alternative<Position>(parsed)) return "";
        Position pos = std::get<Position>(std::move(parsed));
        std::string out;
        const int plies = static_cast<int>(below(static_cast<std::uint64_t>(max_plies) + 1));
        for (int i = 0; i < plies; ++i) {
            MoveList legal;
            movegen::generate_all(pos, legal);
            if (legal.empty()) break;
            const Move m = legal[static_cast<int>(below(static_cast<std::uint64_t>(legal.size())))];
            out += " " + move_to_uci(m);
            pos.make_move(m);
        }
        if (below(8) == 0) out += " " + random_move_text();
        return out;
    }

    std::string fen() {
        static const std::vector<std::string> fens = {
            "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
            "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
            "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
            "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
            "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
            "8/P7/8/8/8/8/7p/k6K w - - 0 1",
            "8/8/8/4k3/8/8/8/KQ6 w - - 0 1",
            "8/8/8/8/8/8/1qk5/K7 w - - 0 1",
            "8/8/8/8/8/1q6/2k5/K7 w - - 0 1",
            "k7/8/1K6/8/8/8/8/7R w - - 0 1",
            "4k3/8/8/8/8/8/8/4K2R w K - 99 80",
            "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
            "8/8/8/8/8/8/8/8 w - - 0 1",
            "k7/8/8/8/8/8/8/K7 w - - 70000 1",
            "K7/8/8/8/8/8/8/k7 b KQkq - 0 1",
            "kk6/8/8/8/8/8/8/KK6 w - - 0 1",
            "k7/8/8/8/8/8/8/K6P w - - 0 1",
            "k6Q/8/8/8/8/8/8/K7 w - - 0 1",
            "k6Q/8/8/8/8/8/8/K7 b - - 0 1",
            "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq e3 0 1",
            "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0",
            "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w",
            "QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQkQQQ/QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQKQQQ b - - 0 1",
            "4k3/8/8/8/8/8/pppppppp/4K3 b - - 0 1",
            "3k4/8/8/8/8/8/8/R3K2R w KQ - 0 1 extra fields here",
        };
        std::string f = pick(fens);
        if (below(6) == 0) {
            // A character changed: mostly a bad FEN, sometimes another valid one.
            const std::string alphabet = "pnbrqkPNBRQK12345678/ -wb0";
            f[below(f.size())] = alphabet[below(alphabet.size())];
        }
        return f;
    }

    std::string name_case(std::string name) {
        const int how = static_cast<int>(below(4));
        for (char& c : name) {
            if (how == 1 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
            if (how == 2 && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
            if (how == 3 && below(2) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        }
        return name;
    }

    std::string setoption_for(const std::string& name) {
        const std::string key = orvane::text::ascii_lower(name);
        std::string value;
        if (key == "hash")
            value = below(5) ? std::to_string(1 + below(64))
                             : pick<std::string>({"abc", "0", "-1", ""});
        else if (key == "threads")
            value =
                below(5) ? std::to_string(1 + below(8)) : pick<std::string>({"0", "-3", "x", ""});
        else if (key == "goalmoves")
            value = "false";
        else if (key == "evalfile")
            value =
                pick<std::string>({"<internal>", "", "/nonexistent/net.nnue", "  <internal>  "});
        else if (key == "routerfile")
            value = pick<std::string>({"<empty>", "", "/nonexistent/router.bin"});
        else if (key == "syzygypath")
            value = pick<std::string>({"<empty>", "", "/nonexistent/tables",
                                       std::string(ORVANE_SOURCE_DIR) + "/../shared/syzygy"});
        else if (key == "smpmode")
            value = pick<std::string>({"Lazy", "YBWC", "ABDADA", "lazysmp", "ybwc", "junk", ""});
        else if (key == "searchmode")
            value = pick<std::string>({"AB", "VOI", "GumbelSH", "mcts", "alpha-beta", "x"});
        else if (key == "usennue" || key == "uci_showwdl" || key == "abdada" ||
                 key == "routerorder")
            value = pick<std::string>({"true", "false", "TRUE", "True", "yes", ""});
        else if (key == "routermode")
            value = pick<std::string>({"Delta", "Replace", "replace", "x"});
        else if (key == "multipv")
            value = below(4) ? std::to_string(below(6)) : number();
        else
            value = number();
        std::string line = "setoption name " + name_case(name);
        if (key != "clear hash" || below(2)) line += " value " + value;
        return line;
    }

    std::string setoption() {
        static const std::vector<std::string> names = {
            "Hash",       "Clear Hash",       "Threads",      "Move Overhead", "PolicyMinDepth",
            "RouterFile", "RouterPlies",      "RouterReduce", "RouterOrder",   "RouterMinDepth",
            "RouterMode", "RouterOrderBonus", "RouterTopK",   "SyzygyPath",    "UseNNUE",
            "EvalFile",   "MultiPV",          "UCI_ShowWDL",  "GoalMoves",     "ABDADA",
            "SMPMode",    "SearchMode",       "GumbelTemp",   "Unknown Thing", "Hashes"};
        return setoption_for(pick(names));
    }

    std::string go() {
        switch (below(14)) {
            case 0: return "go nodes " + std::to_string(1 + below(3000));
            case 1: return "go depth " + std::to_string(1 + below(3));
            case 2: return "go movetime " + std::to_string(below(15));
            case 3:
                return "go wtime " + std::to_string(below(2000)) + " btime " +
                       std::to_string(below(2000)) + " winc " + std::to_string(below(50)) +
                       " binc " + std::to_string(below(50));
            case 4:
                return "go wtime " + std::to_string(below(3000)) + " btime " +
                       std::to_string(below(3000)) + " movestogo " + std::to_string(below(40));
            case 5: return "go infinite";
            case 6: return "go";
            case 7:
                return "go searchmoves " + random_move_text() + " " + random_move_text() +
                       " nodes 800";
            case 8: return "go perft " + std::to_string(below(3));
            case 9: return "go ponder depth 2";
            case 10: return "go depth " + number() + " nodes " + number();
            case 11: return "go movetime " + number();
            case 12: return "go infinite searchmoves " + random_move_text();
            default: return "go nodes 500 depth 2 movetime 20";
        }
    }

    std::string command() {
        const int k = static_cast<int>(below(100));
        if (k < 22) return go();
        if (k < 32) return "stop";
        if (k < 50) {
            if (below(2))
                return "position startpos" +
                       std::string(below(5) ? " moves" + moves_from(START_FEN_TEXT, 30) : "");
            const std::string f = fen();
            return "position fen " + f + (below(2) ? " moves" + moves_from(f, 12) : "");
        }
        if (k < 66) return setoption();
        if (k < 72) return "isready";
        if (k < 74) return "uci";
        if (k < 78) return "ucinewgame";
        if (k < 81) return below(2) ? "d" : "display";
        if (k < 85) return "eval";
        if (k < 88) return below(2) ? "perft" : "perft " + std::to_string(below(3));
        if (k < 89) return "quit";
        if (k < 92)
            return pick<std::string>({"position", "position moves e2e4", "position foo",
                                      "setoption", "Quit", "UCI", "go go go", "stop stop"});
        return pick<std::string>(
            {"", "   ", "\t", "\r", "isready\r", " \xC2\xA0 isready \xE2\x80\x83"});
    }

    std::string random_bytes(std::size_t n) {
        static const std::vector<std::string> pieces = {
            " ",        "\t",           "\r",   std::string(1, '\0'),
            "\xC2\xA0", "\xE3\x80\x80", "\xFF", "\xC3",
            "go",       "moves",        "name", "value",
            "fen",      "startpos"};
        std::string out;
        while (out.size() < n) {
            if (below(4) == 0) {
                out += pick(pieces);
            } else {
                char c = static_cast<char>(below(256));
                if (c == '\n') c = ' ';
                out += c;
            }
        }
        return out;
    }

    std::string long_line() {
        switch (below(4)) {
            case 0: return random_bytes(10'000 + below(190'000));
            case 1: {
                std::string line = "position startpos moves";
                const int rounds = 50 + static_cast<int>(below(800));
                for (int i = 0; i < rounds; ++i) line += " g1f3 g8f6 f3g1 f6g8";
                return line;
            }
            case 2: return "position startpos moves" + moves_from(START_FEN_TEXT, 400);
            default: {
                std::string line = "setoption name ";
                for (int i = static_cast<int>(below(20'000)); i > 0; --i) line += "x ";
                return line + "value 1";
            }
        }
    }

    std::string mutate(std::string line) {
        static const std::vector<std::string> keywords = {
            "moves",     "name",   "value",    "fen",   "startpos", "infinite", "searchmoves",
            "depth",     "nodes",  "movetime", "wtime", "btime",    "winc",     "binc",
            "movestogo", "ponder", "go",       "stop",  "position"};
        const int edits = 1 + static_cast<int>(below(3));
        for (int e = 0; e < edits; ++e) {
            std::vector<std::string> words = words_of(line);
            switch (below(7)) {
                case 0:
                    if (!line.empty()) line.erase(below(line.size()), 1 + below(4));
                    break;
                case 1: line.insert(below(line.size() + 1), random_bytes(1 + below(3))); break;
                case 2:
                case 3:
                    if (!words.empty()) {
                        words[below(words.size())] = below(2) ? number() : pick(keywords);
                        line = join(words);
                    }
                    break;
                case 4:
                    if (!words.empty()) {
                        const std::size_t i = below(words.size());
                        words.insert(words.begin() + static_cast<std::ptrdiff_t>(i), words[i]);
                        line = join(words);
                    }
                    break;
                case 5:
                    if (words.size() >= 2) {
                        std::swap(words[below(words.size())], words[below(words.size())]);
                        line = join(words);
                    }
                    break;
                default: line.resize(below(line.size() + 1)); break;
            }
        }
        return line;
    }

    static std::string join(const std::vector<std::string>& words) {
        std::string out;
        for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
        return out;
    }

    // Keeps the line within what a fuzz run should spend (see the class comment).
    std::string sanitize(std::string line) {
        std::string_view view = line;
        if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
        const std::vector<std::string_view> words =
            orvane::text::split_words(orvane::text::trim(view));
        if (words.empty()) return line;
        if (std::find(words.begin(), words.end(), "bench") != words.end()) return "isready";
        if (std::find(words.begin(), words.end(), "perft") != words.end())
            return below(2) ? "perft " + std::to_string(below(3))
                            : "go perft " + std::to_string(below(3));
        if (words[0] == "quit" && !allow_quit_) return "isready";
        if (words[0] == "setoption") {
            // The name as the engine reads it: after "name" (or from the start) up to "value".
            const std::vector<std::string_view> args(words.begin() + 1, words.end());
            std::size_t name_at = args.size(), value_at = args.size();
            for (std::size_t i = 0; i < args.size(); ++i) {
                if (args[i] == "name" && name_at == args.size()) name_at = i;
                if (args[i] == "value" && value_at == args.size()) value_at = i;
            }
            const std::size_t begin = name_at == args.size() ? 0 : name_at + 1;
            const std::size_t end = value_at >= begin ? value_at : args.size();
            const std::string name =
                orvane::text::ascii_lower(orvane::text::join(args, begin, end));
            for (const char* guarded :
                 {"hash", "threads", "goalmoves", "evalfile", "routerfile", "syzygypath"})
                if (name == guarded) return setoption_for(name);
        }
        return line;
    }

    static constexpr const char* START_FEN_TEXT =
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

    std::mt19937_64 rng_;
    bool allow_quit_;
};

// Names every shape of line the engine prints; a line of no known shape (two lines run
// together, a truncated line, stray text) is a fault.
inline bool is_known_output(const std::string& line) {
    // Echoes of user input can be very long; the regex engine recurses per character, so
    // they are told by their prefix only.
    for (std::string_view prefix : {"info string ", "option name ", "FEN: "})
        if (line.starts_with(prefix)) return true;
    if (line.size() > 2000) return false;
    static const std::vector<std::regex> shapes = {
        std::regex(
            R"(bestmove (0000|[a-h][1-8][a-h][1-8][qrbn]?)( ponder [a-h][1-8][a-h][1-8][qrbn]?)?)"),
        std::regex(R"(readyok|uciok|id name Orvane 0\.1\.0|id author the Orvane authors)"),
        std::regex(R"( [1-8] (?: [PNBRQKpnbrqk.]){8}|    a b c d e f g h|Hash: [0-9a-f]{16}|)"),
        std::regex(R"((NNUE|hand-written) eval \(side to move\): -?\d+ cp)"),
        std::regex(R"([a-h][1-8][a-h][1-8][qrbn]?: \d+|Nodes searched: \d+  \(\d+ ms, \d+ nps\))"),
    };
    if (line.starts_with("info depth")) return parse_info(line).has_value();
    for (const std::regex& r : shapes)
        if (std::regex_match(line, r)) return true;
    return false;
}

// Fails a fuzz run that stops making progress: the loop calls `step` before each line, and
// if no step comes for `limit` the process is aborted with the last line on stderr (the
// main thread is stuck, so a normal test failure could never be reported).
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit) : limit_(limit) {
        thread_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            std::uint64_t seen = steps_;
            auto last_change = std::chrono::steady_clock::now();
            while (!done_) {
                changed_.wait_for(lock, std::chrono::seconds(1));
                if (steps_ != seen) {
                    seen = steps_;
                    last_change = std::chrono::steady_clock::now();
                } else if (!done_ && std::chrono::steady_clock::now() - last_change > limit_) {
                    std::fprintf(stderr,
                                 "fuzz: no progress for %lld s; stuck on line %llu: %.300s\n",
                                 static_cast<long long>(limit_.count()),
                                 static_cast<unsigned long long>(steps_), last_line_.c_str());
                    std::fflush(stderr);
                    std::abort();
                }
            }
        });
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    void step(std::string_view line) {
        std::lock_guard lock(mutex_);
        ++steps_;
        last_line_.assign(line.substr(0, 300));
    }

private:
    std::chrono::seconds limit_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t steps_ = 0;
    std::string last_line_;
    bool done_ = false;
};

}  // namespace orvane::testing
