// The real loop on sd-event: timers that fire on time and can retire
// themselves, descriptor sources, work posted from the loop and from other
// threads, stop codes and the stop signals.
#include "platform/runloop/RunLoop.hpp"
#include "platform/runloop/SdEvent.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

// Every test arms this so that a loop that never stops fails instead of hanging.
constexpr int kSafetyCode = 99;
Timer safetyStop(RunLoop& loop) {
    return loop.addTimer(10.0, 0, [&loop](Timer&) { loop.stop(kSafetyCode); });
}

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (pipe(fds) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~Pipe() {
        closeWrite();
        if (r >= 0)
            close(r);
    }
    void closeWrite() {
        if (w >= 0)
            close(w);
        w = -1;
    }
};

TEST(RealRunLoop, RepeatingTimerKeepsItsPeriodAndInvalidatesItself) {
    auto loop = makeRealRunLoop(false);
    ASSERT_NE(sdEventOf(*loop), nullptr);
    Timer safety = safetyStop(*loop);
    std::vector<std::uint64_t> firedAt;
    const std::uint64_t t0 = loop->monotonicNanoseconds();
    Timer after;
    Timer timer = loop->addTimer(0.01, 0.01, [&](Timer& t) {
        firedAt.push_back(loop->monotonicNanoseconds());
        if (firedAt.size() == 5) {
            t.invalidate();
            // Had it survived, it would fire again inside the next 50 ms.
            after = loop->addTimer(0.05, 0, [&](Timer&) { loop->stop(0); });
        }
    });
    EXPECT_EQ(loop->run(), 0);
    ASSERT_EQ(firedAt.size(), 5u);
    EXPECT_FALSE(timer.isValid());
    // Never early: the k-th firing is at least k periods after creation
    // (the due time is kept in whole microseconds).
    for (std::size_t k = 0; k < firedAt.size(); ++k)
        EXPECT_GE(firedAt[k] + 1000, t0 + (k + 1) * 10'000'000u) << "firing " << k;
    double spanMs = static_cast<double>(firedAt.back() - firedAt.front()) / 1e6;
    std::printf("5 firings of a 10 ms timer spanned %.3f ms\n", spanMs);
}

TEST(RealRunLoop, TimerMayDestroyItsOwnHandleInItsCallback) {
    auto loop = makeRealRunLoop(false);
    Timer safety = safetyStop(*loop);
    auto state = std::make_shared<std::vector<int>>(1000, 1);
    std::optional<Timer> self;
    int fired = 0;
    self = loop->addTimer(0.001, 0.001, [&, state](Timer&) {
        ++fired;
        self.reset();
        state->at(999) = 2;
        loop->post([&] { loop->addTimer(0.02, 0, [&](Timer&) {}); });
    });
    Timer end = loop->addTimer(0.05, 0, [&](Timer&) { loop->stop(0); });
    EXPECT_EQ(loop->run(), 0);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(state->at(999), 2);
    EXPECT_EQ(state.use_count(), 1);
}

TEST(RealRunLoop, FdSourceDeliversPipeDataAndHangUp) {
    auto loop = makeRealRunLoop(false);
    Timer safety = safetyStop(*loop);
    Pipe p;
    ASSERT_GE(p.r, 0);
    std::string got;
    bool hungUp = false;
    FdSource source = loop->addFd(p.r, POLLIN, [&](std::uint32_t revents) {
        char buf[64];
        ssize_t n = read(p.r, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
            if (got == "hello")
                p.closeWrite();
        } else if (n == 0 && (revents & POLLHUP)) {
            hungUp = true;
            source.remove();  // from its own callback
            loop->stop(42);
        }
    });
    EXPECT_TRUE(source.isActive());
    loop->post([&] { ASSERT_EQ(write(p.w, "hel", 3), 3); });
    Timer later = loop->addTimer(0.02, 0, [&](Timer&) { ASSERT_EQ(write(p.w, "lo", 2), 2); });
    EXPECT_EQ(loop->run(), 42);
    EXPECT_EQ(got, "hello");
    EXPECT_TRUE(hungUp);
    EXPECT_FALSE(source.isActive());
}

TEST(RealRunLoop, StopReturnsItsCodeAndTheLoopRunsAgain) {
    auto loop = makeRealRunLoop(false);
    Timer safety = safetyStop(*loop);
    loop->post([&] { loop->stop(3); });
    EXPECT_EQ(loop->run(), 3);

    Timer t = loop->addTimer(0.001, 0, [&](Timer&) { loop->stop(4); });
    EXPECT_EQ(loop->run(), 4);

    loop->stop(6);  // before run(): the next run() returns at once
    EXPECT_EQ(loop->run(), 6);
}

TEST(RealRunLoop, PostedWorkRunsInOrderFromTheLoopAndFromOtherThreads) {
    auto loop = makeRealRunLoop(false);
    Timer safety = safetyStop(*loop);
    std::vector<std::string> order;
    loop->post([&] {
        order.push_back("a");
        loop->post([&] { order.push_back("a.inner"); });
    });
    loop->post([&] { order.push_back("b"); });
    Timer t = loop->addTimer(0.01, 0, [&](Timer&) {
        order.push_back("timer");
        loop->post([&] { order.push_back("from timer"); });
    });
    // With nothing else due, work posted from another thread wakes the loop.
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        loop->post([&] {
            order.push_back("other thread");
            loop->stop(0);
        });
    });
    EXPECT_EQ(loop->run(), 0);
    other.join();
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "a.inner", "timer", "from timer",
                                               "other thread"}));
}

TEST(RealRunLoop, HandlesOutlivingTheLoopAreInert) {
    Timer timer;
    FdSource source;
    Pipe p;
    auto state = std::make_shared<int>(0);
    {
        auto loop = makeRealRunLoop(false);
        timer = loop->addTimer(0.001, 0.001, [state](Timer&) {});
        source = loop->addFd(p.r, POLLIN, [state](std::uint32_t) {});
        loop->post([state] {});
        EXPECT_TRUE(timer.isValid());
        EXPECT_TRUE(source.isActive());
    }
    EXPECT_FALSE(timer.isValid());
    EXPECT_FALSE(source.isActive());
    EXPECT_EQ(state.use_count(), 1);
    timer.invalidate();
    source.remove();
}

TEST(RealRunLoop, RefusedDescriptorGivesAnInactiveSource) {
    auto loop = makeRealRunLoop(false);
    FdSource source = loop->addFd(-1, POLLIN, [](std::uint32_t) {});
    EXPECT_FALSE(source.isActive());
}

// Runs body in a child process and returns its exit status, so that a
// signal that slips through kills the child, not the test program.
int inChild(int (*body)()) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status))
        return 1000 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

bool isBlocked(int sig) {
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, sig);
}

int stopsOn(int sig) {
    {
        auto loop = makeRealRunLoop(true);
        if (!isBlocked(sig))
            return 20;
        Timer safety = loop->addTimer(5.0, 0, [&](Timer&) { loop->stop(kSafetyCode); });
        Timer t = loop->addTimer(0.01, 0, [sig](Timer&) { raise(sig); });
        int code = loop->run();
        if (code != 0)
            return 30 + code;
    }
    if (isBlocked(sig))
        return 21;  // the loop lifts the blocking it set up
    return 0;
}

TEST(RealRunLoop, SigtermAndSigintStopTheLoopWithCodeZero) {
    EXPECT_EQ(inChild([] { return stopsOn(SIGTERM); }), 0);
    EXPECT_EQ(inChild([] { return stopsOn(SIGINT); }), 0);
    // A signal raised before run() is waiting for it.
    EXPECT_EQ(inChild([] {
                  auto loop = makeRealRunLoop(true);
                  Timer safety = loop->addTimer(5.0, 0, [&](Timer&) { loop->stop(kSafetyCode); });
                  raise(SIGTERM);
                  return loop->run();
              }),
              0);
    // Without stopOnSignals SIGTERM is left alone and kills as usual.
    EXPECT_EQ(inChild([] {
                  auto loop = makeRealRunLoop(false);
                  Timer safety = loop->addTimer(5.0, 0, [&](Timer&) { loop->stop(kSafetyCode); });
                  Timer t = loop->addTimer(0.01, 0, [](Timer&) { raise(SIGTERM); });
                  return loop->run();
              }),
              1000 + SIGTERM);
}

}  // namespace
}  // namespace platform
