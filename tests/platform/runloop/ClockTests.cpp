// The process clocks: system time in absolute-time seconds, the monotonic tick
// counter, and a clock override taking their place.
#include "platform/runloop/Clock.hpp"
#include "platform/runloop/RunLoop.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <thread>

namespace platform {
namespace {

TEST(Clock, AbsoluteTimeIsSystemTimeSince2001) {
    // time() reads a coarser clock, so it may be a second apart at a boundary.
    double now = CFAbsoluteTimeGetCurrent();
    double seconds = static_cast<double>(std::time(nullptr)) - 978307200.0;
    EXPECT_NEAR(now, seconds, 2.0);
    auto loop = makeRealRunLoop(false);
    EXPECT_NEAR(loop->absoluteTime(), CFAbsoluteTimeGetCurrent(), 1.0);
}

TEST(Clock, HostTicksAreMonotonicNanoseconds) {
    EXPECT_EQ(hostTimebase().numer, 1u);
    EXPECT_EQ(hostTimebase().denom, 1u);
    std::uint64_t prev = hostTicks();
    for (int i = 0; i < 1000; ++i) {
        std::uint64_t t = hostTicks();
        ASSERT_GE(t, prev);
        prev = t;
    }
    std::uint64_t a = hostTicks();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::uint64_t b = hostTicks();
    EXPECT_GE(b - a, 5'000'000u);
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    auto mono = static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
                static_cast<std::uint64_t>(ts.tv_nsec);
    EXPECT_LE(b, mono);
}

struct FixedClock : Clock {
    double absoluteTime() const override { return 12.5; }
    std::uint64_t monotonicNanoseconds() const override { return 777; }
};

TEST(Clock, OverrideReplacesBothClocksUntilRemoved) {
    FixedClock fixed;
    setClockOverride(&fixed);
    EXPECT_EQ(CFAbsoluteTimeGetCurrent(), 12.5);
    EXPECT_EQ(hostTicks(), 777u);
    setClockOverride(nullptr);
    EXPECT_GT(CFAbsoluteTimeGetCurrent(), 700'000'000.0);
    EXPECT_NE(hostTicks(), 777u);
}

}  // namespace
}  // namespace platform
