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
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
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
#include "support/stdout_capture.h"
#include "support/uci_line_maker.h"
#include "support/watchdog.h"

extern char** environ;

namespace orvane::testing {

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

}  // namespace orvane::testing
