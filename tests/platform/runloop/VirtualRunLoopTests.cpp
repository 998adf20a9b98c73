// The virtual loop: exact timer arithmetic on a clock that never sleeps,
// ordering of posted work and timers, handles that outlive their callbacks
// or their loop, and the process clock following the virtual one.
#include "bench/CountingAllocator.hpp"
#include "platform/runloop/Clock.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/runloop/SdEvent.hpp"
#include "platform/runloop/VirtualRunLoop.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {
namespace {

constexpr double kStart = 800000000.0;

TEST(VirtualRunLoop, RepeatingTimerFiresOnExactTicksAndStopsItself) {
    VirtualRunLoop loop(kStart);
    const std::uint64_t ticks0 = loop.monotonicNanoseconds();
    int fired = 0;
    std::vector<std::uint64_t> firedAt;
    Timer timer = loop.addTimer(0.01, 0.01, [&](Timer& t) {
        ++fired;
        firedAt.push_back(loop.monotonicNanoseconds() - ticks0);
        EXPECT_TRUE(t.isValid());
        if (fired == 17)
            t.invalidate();
        EXPECT_EQ(t.isValid(), fired < 17);
    });

    auto realStart = std::chrono::steady_clock::now();
    EXPECT_EQ(loop.run(), 0);
    auto realMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - realStart)
            .count();
    std::printf("17 virtual ticks took %.3f ms of real time\n", realMs);

    EXPECT_EQ(fired, 17);
    ASSERT_EQ(firedAt.size(), 17u);
    for (std::size_t i = 0; i < firedAt.size(); ++i)
        EXPECT_EQ(firedAt[i], (i + 1) * 10'000'000u) << "tick " << i;
    EXPECT_EQ(loop.monotonicNanoseconds() - ticks0, 170'000'000u);
    EXPECT_DOUBLE_EQ(loop.absoluteTime(), kStart + 0.17);
    EXPECT_FALSE(timer.isValid());
    EXPECT_FALSE(loop.hasPendingWork());
}

TEST(VirtualRunLoop, TimersAtEqualTimesFireInCreationOrder) {
    VirtualRunLoop loop(kStart);
    std::vector<std::string> order;
    std::optional<Timer> late;
    // "late" is created at 0.1 for 0.2, after "c" and "d" were created for 0.2.
    Timer a = loop.addTimer(0.2, 0, [&](Timer&) { order.push_back("a"); });
    Timer b = loop.addTimer(0.1, 0, [&](Timer&) {
        order.push_back("b");
        late = loop.addTimer(0.1, 0, [&](Timer&) { order.push_back("late"); });
    });
    Timer c = loop.addTimer(0.2, 0, [&](Timer&) { order.push_back("c"); });
    Timer d = loop.addTimer(0.2, 0, [&](Timer&) { order.push_back("d"); });
    Timer e = loop.addTimer(0.15, 0, [&](Timer&) { order.push_back("e"); });
    Timer now = loop.addTimer(0, 0, [&](Timer&) { order.push_back("now"); });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(order, (std::vector<std::string>{"now", "b", "e", "a", "c", "d", "late"}));
    EXPECT_FALSE(a.isValid());
    EXPECT_FALSE(late->isValid());
    EXPECT_DOUBLE_EQ(loop.elapsed(), 0.2);
}

TEST(VirtualRunLoop, TimerMayDestroyOrReplaceItsOwnHandleInItsCallback) {
    VirtualRunLoop loop(kStart);
    // The callback owns sizeable state, so a use after it is freed shows up
    // under a sanitizer or as garbage in the count.
    std::optional<Timer> self;
    auto state = std::make_shared<std::vector<int>>(1000, 7);
    int fired = 0;
    self = loop.addTimer(0.01, 0.01, [&, state](Timer&) {
        ++fired;
        self.reset();  // destroys the handle and, with it, this timer
        state->at(999) = fired;
    });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(state->at(999), 1);
    EXPECT_EQ(state.use_count(), 1) << "the loop still holds the dead timer's callback";

    // Replacing the handle from its callback retires the old timer and keeps
    // the new one.
    Timer slot;
    std::vector<std::string> log;
    slot = loop.addTimer(0.01, 0.01, [&](Timer&) {
        log.push_back("old");
        slot = loop.addTimer(0.05, 0, [&](Timer&) { log.push_back("new"); });
    });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"old", "new"}));
}

TEST(VirtualRunLoop, FiringAllocatesNothingAndAKeptHandleIsCutLoose) {
    VirtualRunLoop loop(kStart);
    int fired = 0;
    std::uint64_t allocations = 0;
    std::optional<Timer> kept;
    Timer timer = loop.addTimer(0.01, 0.01, [&](Timer& self) {
        ++fired;
        if (fired == 3)
            tact::bench::armAllocationCount();  // warm: the loop's queue has its room
        if (fired == 503)
            allocations = tact::bench::disarmAllocationCount();
        if (fired == 600)
            kept.emplace(std::move(self));  // a callback keeps its handle
        if (fired == 700) {
            kept.reset();  // cut loose: destroying it stops nothing
            EXPECT_TRUE(self.isValid());
            self.invalidate();  // this firing's own handle still acts
        }
    });
    loop.run();
    EXPECT_EQ(allocations, 0u) << "allocations in 500 firings";
    EXPECT_EQ(fired, 700);
    EXPECT_FALSE(timer.isValid());
}

TEST(VirtualRunLoop, OneShotTimerIsValidDuringItsCallbackAndInvalidAfter) {
    VirtualRunLoop loop(kStart);
    bool validInside = false;
    Timer t = loop.addTimer(0.5, 0, [&](Timer& h) { validInside = h.isValid(); });
    EXPECT_TRUE(t.isValid());
    EXPECT_TRUE(loop.hasPendingWork());
    loop.run();
    EXPECT_TRUE(validInside);
    EXPECT_FALSE(t.isValid());
    t.invalidate();  // harmless on a spent timer
}

TEST(VirtualRunLoop, InvalidatedTimersNeverFireAndDoNotKeepRunAlive) {
    VirtualRunLoop loop(kStart);
    int fired = 0;
    std::vector<Timer> timers;
    for (int i = 0; i < 200; ++i)
        timers.push_back(loop.addTimer(1000.0 + i, 0, [&](Timer&) { ++fired; }));
    for (auto& t : timers)
        t.invalidate();
    EXPECT_FALSE(loop.hasPendingWork());
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(loop.elapsed(), 0.0) << "the clock ran to a timer that was gone";

    // Moving a handle over another retires the one overwritten.
    Timer first = loop.addTimer(1, 0, [&](Timer&) { fired += 100; });
    first = loop.addTimer(2, 0, [&](Timer&) { fired += 1; });
    loop.run();
    EXPECT_EQ(fired, 1);
}

TEST(VirtualRunLoop, PostedWorkRunsInOrderBeforeTheClockMoves) {
    VirtualRunLoop loop(kStart);
    std::vector<std::string> order;
    Timer t = loop.addTimer(0, 0, [&](Timer&) {
        order.push_back("timer@" + std::to_string(loop.elapsed()));
        loop.post([&] { order.push_back("from timer@" + std::to_string(loop.elapsed())); });
    });
    Timer later = loop.addTimer(1, 0, [&](Timer&) { order.push_back("later"); });
    loop.post([&] {
        order.push_back("p1");
        loop.post([&] { order.push_back("p1.inner"); });
    });
    loop.post([&] { order.push_back("p2"); });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(order, (std::vector<std::string>{"p1", "p2", "p1.inner", "timer@0.000000",
                                               "from timer@0.000000", "later"}));

    // Posted work alone keeps run() going.
    int n = 0;
    loop.post([&] { ++n; });
    EXPECT_TRUE(loop.hasPendingWork());
    loop.run();
    EXPECT_EQ(n, 1);
    EXPECT_FALSE(loop.hasPendingWork());
}

TEST(VirtualRunLoop, StopEndsRunWithItsCodeAndLeavesTheRestForLater) {
    VirtualRunLoop loop(kStart);
    int fired = 0;
    Timer t = loop.addTimer(1, 1, [&](Timer& h) {
        ++fired;
        if (fired == 3)
            loop.stop(5);
        if (fired == 4)
            h.invalidate();
    });
    EXPECT_EQ(loop.run(), 5);
    EXPECT_EQ(fired, 3);
    EXPECT_DOUBLE_EQ(loop.elapsed(), 3.0);
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(fired, 4);

    // A stop requested outside run() ends the next run() at once.
    loop.stop(9);
    EXPECT_TRUE(loop.stopRequested());
    Timer u = loop.addTimer(1, 0, [&](Timer&) { ++fired; });
    EXPECT_EQ(loop.run(), 9);
    EXPECT_EQ(fired, 4);
    EXPECT_FALSE(loop.stopRequested());
}

TEST(VirtualRunLoop, RunUntilHandlesWhatIsDueAndSetsTheClock) {
    VirtualRunLoop loop(kStart);
    std::vector<double> at;
    Timer a = loop.addTimer(0.1, 0, [&](Timer&) { at.push_back(loop.elapsed()); });
    Timer b = loop.addTimer(0.25, 0, [&](Timer&) { at.push_back(loop.elapsed()); });
    Timer c = loop.addTimer(0.4, 0, [&](Timer&) { at.push_back(loop.elapsed()); });

    loop.runUntil(kStart + 0.25);
    EXPECT_EQ(at, (std::vector<double>{0.1, 0.25}));
    // start + 0.25 cannot be held to the nanosecond at this magnitude; the
    // clock still lands on the exact instant.
    EXPECT_EQ(loop.monotonicNanoseconds(), 1'000'000'000u + 250'000'000u);
    EXPECT_TRUE(loop.hasPendingWork());

    loop.runUntil(kStart + 0.3);
    EXPECT_EQ(at.size(), 2u);
    EXPECT_EQ(loop.monotonicNanoseconds(), 1'000'000'000u + 300'000'000u);

    loop.runUntil(kStart + 0.1);  // never backwards
    EXPECT_EQ(loop.monotonicNanoseconds(), 1'000'000'000u + 300'000'000u);

    // A timer created now for 0.1 s later lands exactly on 0.4, after c.
    std::vector<std::string> order;
    Timer d = loop.addTimer(0.1, 0, [&](Timer&) { order.push_back("d"); });
    Timer e = loop.addTimer(0.1, 0.05, [&](Timer& h) {
        order.push_back("e");
        h.invalidate();
    });
    loop.runUntil(kStart + 1);
    EXPECT_EQ(at, (std::vector<double>{0.1, 0.25, 0.4}));
    EXPECT_EQ(order, (std::vector<std::string>{"d", "e"}));
    EXPECT_DOUBLE_EQ(loop.absoluteTime(), kStart + 1);
    EXPECT_FALSE(loop.hasPendingWork());

    // Posted work runs even when nothing is due.
    bool ran = false;
    loop.post([&] { ran = true; });
    loop.runUntil(kStart + 1);
    EXPECT_TRUE(ran);
}

TEST(VirtualRunLoop, ProcessClockFollowsTheLoopWhileItExists) {
    const double realBefore = CFAbsoluteTimeGetCurrent();
    ASSERT_GT(realBefore, 700'000'000.0);
    {
        auto loop = makeVirtualRunLoop(kStart);
        EXPECT_EQ(CFAbsoluteTimeGetCurrent(), kStart);
        const std::uint64_t ticks0 = hostTicks();
        EXPECT_EQ(ticks0, loop->monotonicNanoseconds());
        EXPECT_NE(ticks0, 0u);
        double inside = 0;
        std::uint64_t ticksInside = 0;
        Timer t = loop->addTimer(2.5, 0, [&](Timer&) {
            inside = CFAbsoluteTimeGetCurrent();
            ticksInside = hostTicks();
        });
        loop->run();
        EXPECT_DOUBLE_EQ(inside, kStart + 2.5);
        EXPECT_EQ(ticksInside - ticks0, 2'500'000'000u);
        EXPECT_DOUBLE_EQ(CFAbsoluteTimeGetCurrent(), kStart + 2.5);
        EXPECT_EQ(sdEventOf(*loop), nullptr);
    }
    const double realAfter = CFAbsoluteTimeGetCurrent();
    EXPECT_GE(realAfter, realBefore);
    EXPECT_LT(realAfter - realBefore, 60.0);
}

TEST(VirtualRunLoop, HandlesOutlivingTheLoopAreInert) {
    Timer timer;
    FdSource source;
    auto state = std::make_shared<int>(0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        VirtualRunLoop loop(kStart);
        timer = loop.addTimer(1, 1, [state](Timer&) {});
        source = loop.addFd(fds[0], POLLIN, [state](std::uint32_t) {});
        EXPECT_TRUE(timer.isValid());
        EXPECT_TRUE(source.isActive());
    }
    EXPECT_FALSE(timer.isValid());
    EXPECT_FALSE(source.isActive());
    EXPECT_EQ(state.use_count(), 1) << "callbacks of a destroyed loop were kept";
    timer.invalidate();
    source.remove();
    close(fds[0]);
    close(fds[1]);
}

TEST(VirtualRunLoop, FdSourcesDeliverDataButDoNotKeepRunAlive) {
    VirtualRunLoop loop(kStart);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string got;
    FdSource source = loop.addFd(fds[0], POLLIN, [&](std::uint32_t revents) {
        EXPECT_TRUE(revents & POLLIN);
        char buf[64];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
    });
    EXPECT_FALSE(loop.hasPendingWork());
    EXPECT_EQ(loop.run(), 0);  // returns at once: a descriptor alone is no work

    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    Timer t = loop.addTimer(0.5, 0, [&](Timer&) {
        EXPECT_EQ(got, "abc");
        ASSERT_EQ(write(fds[1], "de", 2), 2);
    });
    Timer u = loop.addTimer(1, 0, [&](Timer&) {
        EXPECT_EQ(got, "abcde");
        source.remove();  // from another callback
        ASSERT_EQ(write(fds[1], "f", 1), 1);
    });
    Timer v = loop.addTimer(2, 0, [](Timer&) {});
    loop.run();
    EXPECT_EQ(got, "abcde");
    EXPECT_FALSE(source.isActive());
    close(fds[0]);
    close(fds[1]);
}

// A callback that throws ends the program, saying what threw: whatever it
// left half done must not run on. Every way into a callback, on both loops.
TEST(RunLoopDeathTest, AnExceptionFromACallbackEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* says;
        std::function<void(RunLoop&, std::vector<Timer>&, FdSource&, int)> arm;
    };
    const Case cases[] = {
        {"a timer callback threw an exception: timer boom; the program ends",
         [](RunLoop& loop, std::vector<Timer>& timers, FdSource&, int) {
             timers.push_back(
                 loop.addTimer(0.01, 0, [](Timer&) { throw std::runtime_error("timer boom"); }));
         }},
        {"posted work threw an exception: posted boom; the program ends",
         [](RunLoop& loop, std::vector<Timer>&, FdSource&, int) {
             loop.post([] { throw std::runtime_error("posted boom"); });
         }},
        {"a descriptor callback threw an exception: unknown; the program ends",
         [](RunLoop& loop, std::vector<Timer>&, FdSource& source, int fd) {
             source = loop.addFd(fd, POLLIN, [](std::uint32_t) { throw 42; });
         }},
    };
    for (bool real : {false, true}) {
        for (const Case& c : cases) {
            EXPECT_DEATH(
                {
                    auto loop = real ? makeRealRunLoop(false) : makeVirtualRunLoop(kStart);
                    int fds[2];
                    if (pipe(fds) != 0 || write(fds[1], "x", 1) != 1)
                        std::abort();
                    std::vector<Timer> timers;
                    FdSource source;
                    c.arm(*loop, timers, source, fds[0]);
                    // Would run next, and the loop would end normally.
                    timers.push_back(loop->addTimer(0.02, 0, [&](Timer&) { loop->stop(0); }));
                    loop->run();
                    std::exit(0);
                },
                c.says)
                << (real ? "real loop: " : "virtual loop: ") << c.says;
        }
    }
}

}  // namespace
}  // namespace platform
