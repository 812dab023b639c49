// Named threads: what a finished thread's body holds is released when it is joined (a search
// job keeps the pool and the tablebase it was started with), and an escaping exception is
// reported as an abnormal end.
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

}  // namespace
}  // namespace orvane
