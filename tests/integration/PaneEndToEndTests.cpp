// The agent and the settings pane together: the agent (tactreplay on the bus,
// with a frame of our own identity) and the real tactprefs with the real pane
// plug-in meet on a private bus, as they do on a desktop.
#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "platform/values/Json.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

using namespace tact::test;
using namespace std::chrono_literals;

namespace {

// Boot parameters: bootloader 41, hardware 205, software 3142, flash 8 x 32 KB,
// Flags 0x60 (six touch points in the high nibble).
constexpr const char* kSession =
    "frame product=0x5668 serial=E2E-1 type=T-9 shiptime=1600000000 "
    "bootparam=2900000000000000cd00460c00080060\n"
    "screen 800x600\n"
    // The replay serves the bus until the test stops it, which is long before
    // this unless the machine is very slow.
    "20 wait\n";

// The agent's trace line with its user information, when the line is a
// notification the agent posted.
const platform::Dictionary* postedInfo(const platform::Result<platform::Value>& line) {
    if (!line || !line->isDictionary())
        return nullptr;
    const platform::Dictionary& d = *line->asDictionary();
    if (!d.contains("notification"))
        return nullptr;
    return d.dictionary("userInfo");
}

// True when the process is gone (reaped), false while it still runs.
bool gone(const BackgroundProcess& p) {
    return kill(p.pid(), 0) != 0 && errno == ESRCH;
}

}  // namespace

TEST(PaneEndToEndTest, ThePaneShowsWhatTheAgentReadFromTheFrame) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    TempDir home, config, work;
    writeFile(work.file("pane.session"), kSession);

    // The agent's trace comes on its standard output, a line as each
    // notification is posted. The ship time is shown in the agent's zone.
    BackgroundProcess agent({builtProgram("tactreplay"), work.file("pane.session"), "--bus",
                             "--prefs-dir", config.path(), "--trace", "-"},
                            {bus.environment(), "TZ=UTC"});
    std::string line;
    bool announced = false;
    while (!announced && agent.readLine(line, 30s)) {
        const auto parsed = platform::json::parse(line);
        if (const platform::Dictionary* info = postedInfo(parsed))
            announced = info->boolean("IsDeviceReady") == true;
    }
    ASSERT_TRUE(announced) << "the agent never announced the frame; last trace line: " << line;

    // The pane starts after the announcement, so all it can know comes from
    // the answer to its own question.
    BackgroundProcess prefs(
        {builtProgram("tactprefs")},
        {"QT_QPA_PLATFORM=offscreen", "HOME=" + home.path(), "XDG_CONFIG_HOME=" + config.path(),
         "XDG_RUNTIME_DIR=" + home.path(), bus.environment()});
    std::string shown;
    while (prefs.readLine(line, 30s)) {
        if (line.starts_with("MultitouchPrefsPane: ")) {
            shown = line;
            break;
        }
    }
    EXPECT_EQ(shown,
              "MultitouchPrefsPane: driver=\"2.0\" serial=\"E2E-1\" type=\"T-9\" "
              "shipDate=\"2020-9-13\" shipTime=\"12:26:40\" touchPoints=\"6\" hardware=\"2.5\" "
              "firmware=\"3.14.2 - 4.1\" alive=1");

    // The agent's side of it: the pane's question was answered with the
    // frame's whole identity, boot parameters included.
    bool answered = false;
    while (!answered && agent.readLine(line, 30s)) {
        const auto parsed = platform::json::parse(line);
        if (const platform::Dictionary* info = postedInfo(parsed)) {
            answered = info->contains("BOOTPARAM");
            if (answered) {
                EXPECT_EQ(info->string("SerialNumber") ? info->string("SerialNumber")->utf8()
                                                       : std::nullopt,
                          "E2E-1");
                EXPECT_EQ(info->integer("ProductID"), 0x5668);
            }
        }
    }
    EXPECT_TRUE(answered) << "no information reply in the agent's trace";

    // Stopping: the settings program has no clean way out on SIGTERM (it just
    // goes); the agent stops its loop and lets go of the frame.
    ASSERT_EQ(kill(prefs.pid(), SIGTERM), 0);
    prefs.wait(30s);
    EXPECT_TRUE(gone(prefs)) << "tactprefs still runs after SIGTERM";
    ASSERT_EQ(kill(agent.pid(), SIGTERM), 0);
    EXPECT_EQ(agent.wait(30s), 0);
}
