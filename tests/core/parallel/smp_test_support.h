// Support for the parallel-search tests: a watchdog that ends a hung test with a clear
// message, the number of threads the process has, and a capture of the engine's standard
// output (bestmove, readyok and info-string lines) for in-process UCI sessions.
//
// The watchdog only guards against deadlocks: its limit is far beyond any normal step, even
// in a thread-sanitizer build on a loaded machine, and no test asserts anything about speed.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "uci/output.h"

namespace orvane::testing {

// Aborts the process with a message when no progress is reported for `limit`.
class Watchdog {
public:
    explicit Watchdog(std::string name, std::chrono::seconds limit = std::chrono::seconds(120))
        : name_(std::move(name)), limit_(limit), last_(std::chrono::steady_clock::now()) {
        thread_ = std::thread([this] { run(); });
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog() {
        {
            std::lock_guard lock(lock_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    void progress(std::string_view step) {
        std::lock_guard lock(lock_);
        last_ = std::chrono::steady_clock::now();
        step_.assign(step);
    }

private:
    void run() {
        std::unique_lock lock(lock_);
        while (!done_) {
            cv_.wait_for(lock, std::chrono::milliseconds(200));
            if (done_) break;
            const auto idle = std::chrono::steady_clock::now() - last_;
            if (idle > limit_) {
                std::fprintf(stderr,
                             "\n%s: no progress for %lld s (deadlock?); last step: %s\n",
                             name_.c_str(),
                             static_cast<long long>(
                                 std::chrono::duration_cast<std::chrono::seconds>(idle).count()),
                             step_.c_str());
                std::fflush(stderr);
                std::abort();
            }
        }
    }

    std::string name_;
    std::chrono::seconds limit_;
    std::mutex lock_;
    std::condition_variable cv_;
    std::chrono::steady_clock::time_point last_;
    std::string step_ = "(start)";
    bool done_ = false;
    std::thread thread_;
};

// Threads of this process, from /proc/self/task.
inline int task_count() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++n;
    }
    return n;
}

// A joined thread may stay listed for a moment while the kernel reaps it: waits up to
// `limit` for the count to settle at `expected` and returns the last count seen.
inline int settled_task_count(int expected,
                              std::chrono::milliseconds limit = std::chrono::milliseconds(20'000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int n = task_count();
    while (n != expected && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        n = task_count();
    }
    return n;
}

// Standard output goes into a pipe while this object lives; a reader thread keeps the lines
// the tests look at. Lines it does not know (a test framework message, say) go on to
// standard error so that nothing is lost.
class OutputCapture {
public:
    OutputCapture() {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        int fds[2];
        if (saved_ < 0 || ::pipe2(fds, O_CLOEXEC) != 0) std::abort();
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);
        read_fd_ = fds[0];
        reader_ = std::thread([this] { read_loop(); });
    }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;
    ~OutputCapture() {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);  // closes the pipe's last write end: the reader sees EOF
        ::close(saved_);
        reader_.join();
        ::close(read_fd_);
    }

    // Returns once every line written before this call has been read.
    void sync() {
        const std::uint64_t n = ++sync_sent_;
        uci::write_line("#sync " + std::to_string(n));
        std::unique_lock lock(lock_);
        cv_.wait(lock, [&] { return sync_seen_ >= n; });
    }

    std::vector<std::string> bestmoves() {
        std::lock_guard lock(lock_);
        return bestmoves_;
    }
    std::vector<std::string> info_strings() {
        std::lock_guard lock(lock_);
        return info_strings_;
    }
    std::uint64_t readyok_count() {
        std::lock_guard lock(lock_);
        return readyok_;
    }
    std::uint64_t info_count() {
        std::lock_guard lock(lock_);
        return infos_;
    }

private:
    void read_loop() {
        std::string pending;
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(read_fd_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(got));
            std::size_t start = 0;
            for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1)
                take(std::string_view(pending).substr(start, nl - start));
            pending.erase(0, start);
        }
        if (!pending.empty()) take(pending);
    }

    void take(std::string_view line) {
        std::lock_guard lock(lock_);
        if (line.starts_with("bestmove ")) {
            bestmoves_.emplace_back(line.substr(9));
        } else if (line.starts_with("info string ")) {
            info_strings_.emplace_back(line.substr(12));
        } else if (line.starts_with("info ")) {
            ++infos_;
        } else if (line == "readyok") {
            ++readyok_;
        } else if (line.starts_with("#sync ")) {
            sync_seen_ = std::stoull(std::string(line.substr(6)));
            cv_.notify_all();
        } else {
            std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
        }
    }

    int saved_ = -1;
    int read_fd_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable cv_;
    std::uint64_t sync_sent_ = 0;
    std::uint64_t sync_seen_ = 0;
    std::vector<std::string> bestmoves_;
    std::vector<std::string> info_strings_;
    std::uint64_t readyok_ = 0;
    std::uint64_t infos_ = 0;
};

}  // namespace orvane::testing
