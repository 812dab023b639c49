// Named threads with a chosen stack size (the search recurses deeply and keeps its move
// lists in the frame), joined with detection of an abnormal end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orvane {

inline constexpr std::size_t SEARCH_STACK_BYTES = 64ull * 1024 * 1024;

class NamedThread {
public:
    NamedThread() = default;
    NamedThread(NamedThread&& other) noexcept;
    NamedThread& operator=(NamedThread&& other) noexcept;
    NamedThread(const NamedThread&) = delete;
    NamedThread& operator=(const NamedThread&) = delete;
    ~NamedThread();

    // Starts `body` on a new thread; a thread that cannot be started is a fatal stop with
    // `failure_message`. An exception escaping `body` ends the thread abnormally.
    static NamedThread spawn(const std::string& name, std::size_t stack_bytes,
                             std::function<void()> body, const std::string& failure_message);

    bool joinable() const { return started_; }
    // Waits for the thread; true when it ended normally.
    bool join();

    struct Shared;

private:
    std::uintptr_t handle_ = 0;  // the pthread_t: an integer on Linux and on Windows (winpthreads)
    bool started_ = false;
    std::shared_ptr<Shared> shared_;
};

}  // namespace orvane
