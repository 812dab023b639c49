// Standard output of the test process captured through a pipe, for code that prints in-process
// (an Engine driven by handle(), whose search threads print asynchronously).
//
// The time limits here only guard against hangs; they are generous on purpose (a sanitizer
// build on a loaded machine is slow) and no test asserts anything about speed.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace orvane::testing {

inline constexpr std::chrono::milliseconds HANG_LIMIT{60'000};

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

    // Returns once every line written to standard output before the call has been read: a
    // marker line follows them through the pipe and is dropped on arrival.
    void sync() {
        const std::string marker = "#sync " + std::to_string(++syncs_) + "\n";
        std::fwrite(marker.data(), 1, marker.size(), stdout);
        std::fflush(stdout);
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, HANG_LIMIT,
                          [&] { return closed_ || text_.find(marker) != std::string::npos; });
        if (const std::size_t at = text_.find(marker); at != std::string::npos)
            text_.erase(at, marker.size());
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
    std::uint64_t syncs_ = 0;
};

}  // namespace orvane::testing
