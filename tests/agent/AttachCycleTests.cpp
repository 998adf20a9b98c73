// Frames plugged in and out, and the agent started and stopped, ten thousand
// times over on the real run loop: descriptors and heap must come back to
// where they were. The heap is measured where glibc's allocator counts it;
// under AddressSanitizer that count is zero and LeakSanitizer judges instead.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "agent/device/AgentMain.hpp"
#include "agent/device/DeviceLayer.hpp"
#include "agent/simulator/VirtualFrame.hpp"
#include "platform/hid/HID.hpp"
#include "platform/hid/linux/LinuxBackend.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "tests/platform/hid/Descriptors.hpp"
#include "tests/platform/hid/FakeSysfs.hpp"
#include "tests/support/TempDir.hpp"

using namespace tact;
using platform::hid::VirtualFrame;

namespace {

constexpr int kCycles = 10000;
constexpr int kWarmUp = 100;                   // caches, pools and buffers settle first
constexpr std::size_t kHeapSlack = 64 * 1024;  // allocator bookkeeping, not growth

std::size_t openDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

std::size_t heapInUse() {
    return mallinfo2().uordblks;
}

// The agent greets every frame on standard output and in the log; the cycles
// run without that.
class Quiet {
  public:
    Quiet() : saved_(::dup(STDOUT_FILENO)), level_(platform::systemLogLevel()) {
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
        platform::setSystemLogLevel(platform::LogLevel::Error);
    }
    ~Quiet() {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        platform::setSystemLogLevel(level_);
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

  private:
    int saved_;
    platform::LogLevel level_;
};

// One agent for the process (its converter is one per process), on the real loop.
struct RealAgent {
    RealAgent()
        : loop(platform::makeRealRunLoop(false)),
          notifications(platform::makeLocalNotificationCenter(*loop)),
          environment{*loop, *notifications, desktop} {
        platform::setPreferencesDirectory(prefs.path());
        platform::setMainRunLoop(loop.get());
        ZyvTouchConverter::setSharedEnvironment(&environment);
    }
    // Runs what is due and what that sets off, a few rounds deep.
    void settle() {
        for (int round = 0; round < 8; ++round) {
            loop->post([this] { loop->stop(0); });
            loop->run();
        }
    }
    tact::test::TempDir prefs;
    std::unique_ptr<platform::RunLoop> loop;
    std::unique_ptr<platform::NotificationCenter> notifications;
    platform::VirtualDesktop desktop;
    AgentEnvironment environment;
};

RealAgent& agent() {
    static RealAgent a;
    return a;
}

// Runs `cycle` kWarmUp times, then kCycles times, and checks that nothing grew.
template <typename Cycle>
void expectNothingPilesUp(Cycle cycle) {
    {
        Quiet quiet;
        for (int i = 0; i < kWarmUp; ++i)
            cycle();
    }
    const std::size_t fds = openDescriptors();
    const std::size_t heap = heapInUse();
    {
        Quiet quiet;
        for (int i = 0; i < kCycles; ++i)
            cycle();
    }
    EXPECT_EQ(openDescriptors(), fds);
    if (heap != 0) {
        EXPECT_LT(heapInUse(), heap + kHeapSlack) << "heap in use before: " << heap;
    }
}

}  // namespace

TEST(AttachCycles, FramesPluggedInAndOutLeaveNothingBehind) {
    auto& a = agent();
    auto backend = std::make_shared<platform::hid::VirtualBackend>();
    platform::hid::setBackend(backend);
    ASSERT_TRUE(agentStart(a.environment));
    auto& converter = ZyvTouchConverter::sharedConverter();

    int handshakes = 0;
    expectNothingPilesUp([&] {
        converter.set_inchSize(32);
        auto frame = std::make_shared<VirtualFrame>();
        backend->attach(frame);
        a.settle();
        frame->sendTouches({{7, 3, 16384, 8192, {}, {}}});
        frame->sendTouches({});
        a.settle();
        handshakes += converter.inchSize() == 26 && deviceLayer().bReady;
        backend->detach(frame);
        a.settle();
    });
    EXPECT_EQ(handshakes, kWarmUp + kCycles);
    agentStop();
    platform::hid::setBackend(nullptr);
}

TEST(AttachCycles, AgentStartsAndStopsOnHidrawNodesCloseEveryNode) {
    auto& a = agent();
    tact::test::hid::FakeSysfs fake;
    fake.addHid("0003:23C9:5666.0001", "0003:000023C9:00005666",
                tact::test::hid::frameTouchDescriptor(), 3);
    fake.makeFifo("hidraw3");
    platform::hid::setBackend(platform::hid::makeLinuxBackend({fake.sys(), fake.dev()}));

    int opened = 0;
    expectNothingPilesUp([&] {
        if (agentStart(a.environment)) {
            a.settle();
            opened += deviceLayer().bReady;
        }
        agentStop();
        a.settle();
    });
    EXPECT_EQ(opened, kWarmUp + kCycles);
    platform::hid::setBackend(nullptr);
}
