// Ends a hung test with a clear message. A test reports progress before each step; when no
// progress comes for `limit`, the process is aborted with the last step on standard error (the
// stuck thread could never report a normal test failure).
//
// It only guards against deadlocks and hangs: the limit is far beyond any normal step, even in
// a sanitizer build on a loaded machine, and no test asserts anything about speed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace orvane::testing {

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
        step_.assign(step.substr(0, 300));
    }

private:
    void run() {
        std::unique_lock lock(lock_);
        while (!done_) {
            cv_.wait_for(lock, std::chrono::milliseconds(200));
            if (done_) break;
            const auto idle = std::chrono::steady_clock::now() - last_;
            if (idle > limit_) {
                std::fprintf(stderr, "\n%s: no progress for %lld s (deadlock?); last step: %s\n",
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

}  // namespace orvane::testing
