// tactagent as it runs on this machine: no frame, no uinput, a session bus.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/platform/hid/Descriptors.hpp"
#include "tests/platform/hid/FakeSysfs.hpp"
#include "tests/platform/hid/Unprivileged.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/PrivateWeston.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

using namespace tact::test;

TEST(AgentProgramTest, AnnouncesItselfWaitsAndStopsOnSigterm) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    TempDir home;
    BackgroundProcess watcher(
        {builtProgram("bus_peer"), "watch", "ZYVTouch Event", "com.multiTouchSupportObj", "1"},
        {bus.environment()});
    std::string line;
    ASSERT_TRUE(watcher.readLine(line));
    ASSERT_EQ(line, "ready");

    BackgroundProcess agent({builtProgram("tactagent")},
                            {bus.environment(), "XDG_CONFIG_HOME=" + home.path()});
    ASSERT_TRUE(watcher.readLine(line, std::chrono::seconds(10)));
    EXPECT_EQ(line, R"({"Driver Version":"2.0"})");
    EXPECT_EQ(watcher.wait(), 0);

    // No frame: it keeps waiting for one until told to stop.
    EXPECT_EQ(agent.wait(std::chrono::milliseconds(300)), -1);
    ASSERT_EQ(kill(agent.pid(), SIGTERM), 0);
    EXPECT_EQ(agent.wait(), 0);
}

TEST(AgentProgramTest, CommandLine) {
    auto help = runProcess({builtProgram("tactagent"), "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: tactagent"), std::string::npos);
    auto version = runProcess({builtProgram("tactagent"), "--version"}, {"DISPLAY="});
    EXPECT_EQ(version.out, "tactagent 2.0\n");
    auto bad = runProcess({builtProgram("tactagent"), "--frame"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("unknown argument '--frame'"), std::string::npos);
}

// In a Wayland session the agent reads the compositor's monitors; with only
// XTest into Xwayland it says that native Wayland windows get nothing.
TEST(AgentProgramTest, NamesTheWaylandSessionItsMonitorAndWhereEventsGo) {
    PrivateWeston weston;
    if (!weston.installed())
        GTEST_SKIP() << "weston, Xwayland or Xvfb is not installed";
    ASSERT_TRUE(weston.ok()) << weston.error();
    if (access("/dev/uinput", W_OK) == 0)
        GTEST_SKIP() << "this machine injects through /dev/uinput";
    TempDir home;
    std::vector<std::string> env = weston.environment();
    env.push_back("XDG_CONFIG_HOME=" + home.path());
    env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + home.file("no-bus"));

    env.push_back("DISPLAY=");
    auto r = runProcess({builtProgram("tactagent")}, env, std::chrono::milliseconds(1500));
    EXPECT_NE(r.err.find("Wayland session (" + weston.waylandSocket() +
                         "), the frame's monitor screen0, 800x600 at 0,0 of a 1600x600 desktop"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("events are not injected"), std::string::npos) << r.err;

    env.back() = "DISPLAY=" + weston.xwaylandDisplay();
    r = runProcess({builtProgram("tactagent")}, env, std::chrono::milliseconds(2500));
    EXPECT_NE(r.err.find("Xwayland display " + weston.xwaylandDisplay() +
                         ", the frame's monitor XWAYLAND0, 800x600 at 0,0 of a 1600x600 desktop"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("injecting events through XTest"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("native Wayland windows do not"), std::string::npos) << r.err;
}

// The session bus restarted under a running agent: it comes back and
// answers the settings again.
TEST(AgentProgramTest, AnswersAgainAfterTheBusRestarts) {
    TempDir dir;
    const std::string socket = dir.file("bus");
    auto bus = std::make_unique<PrivateBus>(socket);
    ASSERT_TRUE(bus->ok()) << bus->error();
    const std::string address = "DBUS_SESSION_BUS_ADDRESS=unix:path=" + socket;
    writeFile(dir.file("wait.session"), "30 wait\n");
    BackgroundProcess agent(
        {builtProgram("tactreplay"), dir.file("wait.session"), "--bus", "--prefs-dir", dir.path()},
        {address});
    // Asks for the frame's identity, as the settings do; true once the agent
    // answered.
    auto answers = [&] {
        BackgroundProcess watcher(
            {builtProgram("bus_peer"), "watch", "ZYVTouch Event", "com.multiTouchSupportObj", "1"},
            {address});
        std::string line;
        if (!watcher.readLine(line) || line != "ready")
            return false;
        runProcess({builtProgram("bus_peer"), "post", "QuenralMultiTouch Preference Notification",
                    "com.quenraltouch.multiTouchPrefsPaneTarget", R"({"NeedSerialNumber": true})"},
                   {address});
        return watcher.readLine(line, std::chrono::seconds(2)) &&
               line.find("SerialNumber") != std::string::npos;
    };
    ASSERT_TRUE(waitUntil(answers, std::chrono::seconds(10)));

    bus.reset();  // the daemon goes
    bus = std::make_unique<PrivateBus>(socket);
    ASSERT_TRUE(bus->ok()) << bus->error();
    EXPECT_TRUE(waitUntil(answers, std::chrono::seconds(20)));
    EXPECT_TRUE(agent.terminate());
}

// A frame this user may not open: the agent says why and what fixes it, and
// waits. Access granted while it waits (here a chmod, on a desktop the ACL
// from a reloaded udev rule) starts it as usual; without access it gives up
// with status 1, so that the service manager starts it again.
TEST(AgentProgramTest, WaitsForAFrameItMayNotOpenAndFailsWithoutAccess) {
    tact::test::hid::FakeSysfs fake;
    fake.addHid("0003:23C9:5666.0001", "0003:000023C9:00005666",
                tact::test::hid::frameTouchDescriptor(), 3);
    fake.makeFifo("hidraw3");
    const std::string node = fake.devnode("hidraw3");
    tact::test::hid::openFolderToAll(std::filesystem::path(fake.sys()).parent_path());
    ASSERT_EQ(chmod(node.c_str(), 0), 0);
    TempDir home;
    tact::test::hid::openFolderToAll(home.path());
    const std::vector<std::string> env = {
        "XDG_CONFIG_HOME=" + home.path(),
        "TACT_SYSFS_ROOT=" + fake.sys(),
        "TACT_DEV_ROOT=" + fake.dev(),
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + home.file("no-bus"),
        "DISPLAY=",
        "WAYLAND_DISPLAY="};
    const auto agent = tact::test::hid::unprivileged({builtProgram("tactagent")});

    auto withWait = [&](const char* seconds) {
        auto e = env;
        e.push_back(std::string("TACT_FRAME_WAIT=") + seconds);
        return e;
    };
    auto gaveUp = runProcess(agent, withWait("0.5"));
    EXPECT_EQ(gaveUp.exitCode, 1) << gaveUp.err;
    EXPECT_NE(gaveUp.err.find("the frame cannot be opened: permission (" + node + ")"),
              std::string::npos)
        << gaveUp.err;
    EXPECT_NE(gaveUp.err.find("sudo udevadm control --reload-rules"), std::string::npos);
    EXPECT_NE(gaveUp.err.find("giving up"), std::string::npos);

    BackgroundProcess waiting(tact::test::hid::unprivilegedWithStderr({builtProgram("tactagent")}),
                              withWait("30"));
    auto readUntil = [&](const std::string& text) {
        std::string line;
        while (waiting.readLine(line))
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    };
    ASSERT_TRUE(readUntil("waiting up to 30 s"));
    ASSERT_EQ(chmod(node.c_str(), 0666), 0);
    EXPECT_TRUE(readUntil("the frame is open now"));
    EXPECT_EQ(waiting.wait(std::chrono::milliseconds(300)), -1);  // running as the agent
    ASSERT_TRUE(waiting.terminate());
    EXPECT_EQ(waiting.wait(), 0);
}
