// Named threads: what a finished thread's body holds is released when it is joined (a search
// job keeps the pool and the tablebase it was started with), an escaping exception is
// reported as an abnormal end, and the body gets the stack size asked for (more than the
// system's default for a thread: 8 MB on Linux, 1 MB on Windows).
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/parallel/named_thread.h"

namespace orvane {
namespace {

TEST(NamedThread, JoinReleasesWhatTheBodyHeld) {
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    NamedThread thread = NamedThread::spawn(
        "holder", 1 << 20, [held = std::move(held)] { EXPECT_EQ(*held, 7); }, "spawn");
    EXPECT_TRUE(thread.join());
    EXPECT_TRUE(watch.expired()) << "the finished thread still holds its body's captures";
}

TEST(NamedThread, AnEscapingExceptionIsAnAbnormalEnd) {
    NamedThread thread = NamedThread::spawn(
        "thrower", 1 << 20, [] { throw std::runtime_error("boom"); }, "spawn");
    EXPECT_FALSE(thread.join());
}

// Recursion through about 4 kB of frame per level.
[[gnu::noinline]] int recurse(int levels) {
    volatile char frame[4096];
    frame[0] = static_cast<char>(levels);
    frame[sizeof frame - 1] = 1;
    if (levels == 0) return frame[sizeof frame - 1];
    return recurse(levels - 1) + frame[sizeof frame - 1];
}

TEST(NamedThread, TheBodyHasTheStackAskedFor) {
    constexpr int LEVELS = 4096;  // 16 MB of frames in a 32 MB stack
    int result = 0;
    NamedThread thread = NamedThread::spawn(
        "deep", std::size_t{32} << 20, [&result] { result = recurse(LEVELS); }, "spawn");
    EXPECT_TRUE(thread.join());
    EXPECT_EQ(result, LEVELS + 1);
}

}  // namespace
}  // namespace orvane
