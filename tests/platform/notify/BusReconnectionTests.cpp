// The centre when its bus daemon goes away: a daemon restarted at the same
// address is joined again with the same observations; a daemon gone for good
// costs a few attempts, not a busy loop; a virtual loop does not reconnect.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/log/SystemLog.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "tests/support/LoopWait.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/ResultChecks.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;
using tact::test::PrivateBus;
using tact::test::TempDir;
using SteadyClock = std::chrono::steady_clock;

// Standard error (where the system log goes) into a file while it exists,
// every entry written: the rate limit's clock steps two seconds per entry.
class CapturedLog {
  public:
    CapturedLog() : path_(dir_.file("stderr")) {
        setSystemLogClock([now = std::uint64_t{0}]() mutable { return now += 2'000'000'000; });
        fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        saved_ = dup(STDERR_FILENO);
        if (fd_ >= 0 && saved_ >= 0)
            dup2(fd_, STDERR_FILENO);
    }
    ~CapturedLog() {
        setSystemLogClock({});
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
        }
        if (fd_ >= 0)
            close(fd_);
        // Show what was logged with the test's own output.
        std::fputs(text().c_str(), stderr);
    }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::string text() const { return tact::test::readFile(path_); }
    int count(const std::string& what) const {
        const std::string all = text();
        int n = 0;
        for (auto at = all.find(what); at != std::string::npos; at = all.find(what, at + 1))
            ++n;
        return n;
    }
    // The first logged line holding what; empty when there is none.
    std::string line(const std::string& what) const {
        for (const auto& l : tact::test::linesOf(text())) {
            if (l.find(what) != std::string::npos)
                return l;
        }
        return {};
    }

  private:
    TempDir dir_;
    std::string path_;
    int fd_ = -1;
    int saved_ = -1;
};

class LogLevelForTest {
  public:
    explicit LogLevelForTest(LogLevel level) : previous_(systemLogLevel()) {
        setSystemLogLevel(level);
    }
    ~LogLevelForTest() { setSystemLogLevel(previous_); }
    LogLevelForTest(const LogLevelForTest&) = delete;
    LogLevelForTest& operator=(const LogLevelForTest&) = delete;

  private:
    LogLevel previous_;
};

// A socket that accepts connections at a path and never says a word: a bus
// daemon that hangs.
class MuteListener {
  public:
    explicit MuteListener(const std::string& path) {
        unlink(path.c_str());  // the socket a killed daemon left behind
        listening_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ok_ = listening_ >= 0 &&
              bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              listen(listening_, 8) == 0;
    }
    ~MuteListener() {
        for (int fd : accepted_)
            close(fd);
        if (listening_ >= 0)
            close(listening_);
    }
    MuteListener(const MuteListener&) = delete;
    MuteListener& operator=(const MuteListener&) = delete;

    bool ok() const { return ok_; }
    // Takes the connections that are waiting; returns how many were taken so far.
    std::size_t acceptWaiting() {
        for (int fd; (fd = accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
            accepted_.push_back(fd);
        return accepted_.size();
    }

  private:
    int listening_ = -1;
    bool ok_ = false;
    std::vector<int> accepted_;
};

constexpr const char* kLost = "lost the connection to the session bus";
constexpr const char* kReconnected = "reconnected to the session bus after";
constexpr const char* kAttempt = "reconnecting to the session bus (attempt ";

class BusReconnectionTest : public ::testing::Test {
  protected:
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        return tact::test::runLoopUntil(*loop, done, limit, 0.01);
    }
    void runFor(std::chrono::milliseconds span) { tact::test::runLoopFor(*loop, span); }

    bool peerPost(const PrivateBus& on, const std::vector<std::string>& args) {
        std::vector<std::string> argv{tact::test::builtProgram("bus_peer"), "post"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = tact::test::runProcess(argv, {on.environment()});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.exitCode == 0;
    }

    std::unique_ptr<NotificationCenter> open(RunLoop& on, const PrivateBus& bus) {
        return tact::test::valueOf(makeBusNotificationCenterAt(on, bus.address()));
    }

    TempDir dir;
    const std::string socket = dir.file("bus");
    std::unique_ptr<RunLoop> loop = makeRealRunLoop(false);
};

TEST_F(BusReconnectionTest, ARestartedDaemonIsJoinedAgainWithTheSameObservations) {
    auto bus = std::make_unique<PrivateBus>(socket);
    ASSERT_TRUE(bus->ok()) << bus->error();
    // The address as the daemon prints it, with its guid: the next daemon has
    // another one.
    ASSERT_NE(bus->address().find("guid="), std::string::npos) << bus->address();
    CapturedLog log;
    auto centre = open(*loop, *bus);
    ASSERT_TRUE(centre);

    std::vector<Notification> received, late, doomedSeen;
    auto observation = centre->addObserver("Restart", "obj",
                                           [&](const Notification& n) { received.push_back(n); });
    auto doomed = centre->addObserver("Doomed", "obj",
                                      [&](const Notification& n) { doomedSeen.push_back(n); });
    ASSERT_TRUE(peerPost(*bus, {"Restart", "obj", R"({"n":"before"})"}));
    ASSERT_TRUE(runUntil([&] { return received.size() == 1; }));

    bus.reset();  // the daemon is killed
    ASSERT_TRUE(runUntil([&] { return log.count(kLost) > 0; })) << log.text();
    EXPECT_FALSE(centre->post("Restart", "obj", Dictionary{{"n", "dropped"}}));
    doomed.remove();  // while there is no bus
    auto lateObservation =
        centre->addObserver("Late", "obj", [&](const Notification& n) { late.push_back(n); });

    bus = std::make_unique<PrivateBus>(socket);
    ASSERT_TRUE(bus->ok()) << bus->error();
    ASSERT_TRUE(runUntil([&] { return log.count(kReconnected) > 0; }, 60s)) << log.text();
    EXPECT_NE(log.line(kReconnected).find("; 1 notification posted meanwhile was dropped"),
              std::string::npos)
        << log.line(kReconnected);

    // Once it says so, the match rules are in place on the new daemon.
    ASSERT_TRUE(peerPost(*bus, {"Doomed", "obj", R"({"n":"doomed"})"}));
    ASSERT_TRUE(peerPost(*bus, {"Restart", "obj", R"({"n":"after"})"}));
    ASSERT_TRUE(peerPost(*bus, {"Late", "obj", R"({"n":"late"})"}));
    ASSERT_TRUE(runUntil([&] { return received.size() >= 2 && late.size() == 1; }));
    // Nothing posted while disconnected arrives later: it was dropped.
    EXPECT_EQ(received[1].userInfo, (Dictionary{{"n", "after"}}));
    EXPECT_EQ(late[0].userInfo, (Dictionary{{"n", "late"}}));

    // Posting works again, and reaches this process's own observers.
    ASSERT_TRUE(centre->post("Restart", "obj", Dictionary{{"n", "self"}}));
    ASSERT_TRUE(runUntil([&] { return received.size() >= 3; }));
    EXPECT_EQ(received[2].userInfo, (Dictionary{{"n", "self"}}));
    runFor(100ms);
    EXPECT_EQ(received.size(), 3u);
    EXPECT_TRUE(doomedSeen.empty());
    EXPECT_EQ(log.count(kLost), 1) << log.text();
    EXPECT_EQ(log.count(kReconnected), 1) << log.text();

    // And the daemon may go again: the same centre recovers once more.
    bus.reset();
    ASSERT_TRUE(runUntil([&] { return log.count(kLost) == 2; })) << log.text();
    bus = std::make_unique<PrivateBus>(socket);
    ASSERT_TRUE(bus->ok()) << bus->error();
    ASSERT_TRUE(runUntil([&] { return log.count(kReconnected) == 2; }, 60s)) << log.text();
    ASSERT_TRUE(peerPost(*bus, {"Restart", "obj", R"({"n":"again"})"}));
    ASSERT_TRUE(runUntil([&] { return received.size() == 4; }));
    EXPECT_EQ(received[3].userInfo, (Dictionary{{"n", "again"}}));
}

TEST_F(BusReconnectionTest, ADaemonGoneForGoodCostsAFewAttemptsNotABusyLoop) {
    auto bus = std::make_unique<PrivateBus>(socket);
    ASSERT_TRUE(bus->ok()) << bus->error();
    LogLevelForTest debug(LogLevel::Debug);
    CapturedLog log;
    auto centre = open(*loop, *bus);
    ASSERT_TRUE(centre);
    std::vector<Notification> received;
    auto observation =
        centre->addObserver("N", "O", [&](const Notification& n) { received.push_back(n); });

    bus.reset();
    ASSERT_TRUE(runUntil([&] { return log.count(kLost) > 0; })) << log.text();
    timespec before{}, after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    runFor(2200ms);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const double cpu = static_cast<double>(after.tv_sec - before.tv_sec) +
                       static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e9;

    // Attempts 0.5 s and 1.5 s after the loss, the next one at 3.5 s: a
    // slow machine makes fewer, never more.
    const int attempts = log.count(kAttempt);
    EXPECT_GE(attempts, 1) << log.text();
    EXPECT_LE(attempts, 3) << log.text();
    EXPECT_LT(cpu, 0.5) << "the loop spins while the bus is gone";
    EXPECT_FALSE(centre->post("N", "O", std::nullopt));
    EXPECT_EQ(log.count(kReconnected), 0);
    observation.remove();
    centre.reset();
    EXPECT_TRUE(received.empty());
}

TEST_F(BusReconnectionTest, ADaemonThatNeverAnswersHoldsNothingUp) {
    auto bus = std::make_unique<PrivateBus>(socket);
    ASSERT_TRUE(bus->ok()) << bus->error();
    CapturedLog log;
    auto centre = open(*loop, *bus);
    ASSERT_TRUE(centre);
    auto observation = centre->addObserver("N", "O", [](const Notification&) {});
    bus.reset();
    ASSERT_TRUE(runUntil([&] { return log.count(kLost) > 0; })) << log.text();

    // The next attempt reaches a socket that takes the connection and then
    // never answers: the loop keeps running meanwhile, and nothing is posted.
    MuteListener mute(socket);
    ASSERT_TRUE(mute.ok());
    ASSERT_TRUE(runUntil([&] { return mute.acceptWaiting() >= 1; }, 30s));
    runFor(100ms);
    EXPECT_FALSE(centre->post("N", "O", std::nullopt));
    EXPECT_EQ(log.count(kReconnected), 0) << log.text();

    // Ending the centre does not wait for that daemon (sd-bus would wait out
    // its authentication timeout, 90 s, to flush such a connection).
    const auto before = SteadyClock::now();
    observation.remove();
    centre.reset();
    EXPECT_LT(SteadyClock::now() - before, 10s);
}

TEST_F(BusReconnectionTest, AVirtualLoopKeepsTheLostConnectionAndEnds) {
    auto bus = std::make_unique<PrivateBus>();
    ASSERT_TRUE(bus->ok()) << bus->error();
    LogLevelForTest debug(LogLevel::Debug);
    CapturedLog log;
    auto virtualLoop = makeVirtualRunLoop(0);
    auto centre = open(*virtualLoop, *bus);
    ASSERT_TRUE(centre);
    auto observation = centre->addObserver("N", "O", [](const Notification&) {});

    bus.reset();
    // Drive the loop until the centre notices; then only a far timer is left,
    // and the loop must come to its end rather than run reconnection attempts.
    bool refused = false;
    const auto deadline = SteadyClock::now() + 10s;
    auto tick = virtualLoop->addTimer(0, 0.01, [&](Timer& self) {
        refused = !centre->post("N", "O", std::nullopt);
        if (refused || SteadyClock::now() > deadline)
            self.invalidate();
        usleep(1000);
    });
    bool farTimerFired = false;
    auto far = virtualLoop->addTimer(3600, 0, [&](Timer&) { farTimerFired = true; });
    virtualLoop->run();
    EXPECT_TRUE(refused);
    EXPECT_TRUE(farTimerFired);
    EXPECT_EQ(log.count(kAttempt), 0) << log.text();
    EXPECT_EQ(log.count(kLost), 1) << log.text();
}

}  // namespace
}  // namespace platform
