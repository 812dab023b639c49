// Support for the parallel-search tests: the number of threads the process has, beside the
// shared watchdog (which ends a hung test with a clear message) and standard-output capture.
#pragma once

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/stdout_capture.h"
#include "support/watchdog.h"

namespace orvane::testing {

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

}  // namespace orvane::testing
