// tactdoctor on systems laid out in a temporary folder: a sysfs tree with or
// without the frame, its nodes in /dev with the modes a user meets, the udev
// rule where udev reads it (or not), /dev/uinput, a preferences file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/platform/hid/Descriptors.hpp"
#include "tests/platform/hid/FakeSysfs.hpp"
#include "tests/platform/hid/Unprivileged.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

using namespace tact::test;
namespace fs = std::filesystem;

namespace {

struct Layout {
    bool frame = true;
    mode_t hidrawMode = 0666;  // of the frame's hidraw node
    bool uinput = true;
    std::vector<std::string> ruleFolders{"/usr/lib/udev/rules.d"};
    std::string display = ":99";
    std::string prefs;  // content of the preferences file; none when empty
    bool askAgent = false;
};

struct Case {
    const char* name;
    Layout layout;
    int status;
    std::vector<std::string> lines;  // each must appear in the report
};

const std::string kRule = "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"23c9\", TAG+=\"uaccess\"\n";

class DoctorTest : public testing::TestWithParam<Case> {};

TEST_P(DoctorTest, ReportsEveryCheckWithItsFix) {
    const Case& c = GetParam();
    hid::FakeSysfs fake;
    const std::string root = fs::path(fake.sys()).parent_path();
    hid::openFolderToAll(root);
    fs::create_directories(fake.dev());
    if (c.layout.frame) {
        fake.addHid("0003:23C9:5666.0001", "0003:000023C9:00005666", hid::frameTouchDescriptor(), 3,
                    7);
        fake.makeFifo("hidraw3");
        fake.makeFifo("input/event7");
        ASSERT_EQ(chmod(fake.devnode("hidraw3").c_str(), c.layout.hidrawMode), 0);
        ASSERT_EQ(chmod(fake.devnode("input/event7").c_str(), 0666), 0);
    }
    if (c.layout.uinput) {
        fake.makeFifo("uinput");
        ASSERT_EQ(chmod(fake.devnode("uinput").c_str(), 0666), 0);
    }
    for (const auto& folder : c.layout.ruleFolders)
        hid::fakesysfs::write(root + folder + "/70-tact.rules", kRule);
    TempDir config;
    hid::openFolderToAll(config.path());
    if (!c.layout.prefs.empty())
        writeFile(config.file("com.vostrabaxworks.Tactagent.plist"), c.layout.prefs);

    std::vector<std::string> argv = {builtProgram("tactdoctor"), "--root", root};
    if (!c.layout.askAgent)
        argv.push_back("--no-agent");
    // No systemctl on the PATH: the user unit's line is a plain "info".
    auto r = runProcess(
        hid::unprivileged(argv),
        {"PATH=" + config.path(), "XDG_CONFIG_HOME=" + config.path(), "DISPLAY=" + c.layout.display,
         "WAYLAND_DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + config.file("no-bus")});
    EXPECT_EQ(r.exitCode, c.status) << r.out << r.err;
    for (const auto& line : c.lines) {
        std::string expected = line;
        for (auto at = expected.find("DEV"); at != std::string::npos; at = expected.find("DEV"))
            expected.replace(at, 3, fake.dev());
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n---\n" << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DoctorTest,
    testing::Values(
        Case{"AllThere",
             {},
             0,
             {"ok    frame: Quux Touch Frame (23c9:5666), hidraw3",
              "ok    DEV/hidraw3: hidraw node, read-write: this user may open it",
              "ok    DEV/input/event7: input event node, taken from the desktop: this user may",
              "ok    udev rule: /usr/lib/udev/rules.d/70-tact.rules", "ok    /dev/uinput: writable",
              "info  session: X11 (DISPLAY=:99); the agent would inject through the virtual input",
              "info  user unit: no user service manager answers", "not written yet: defaults apply",
              "Everything the touch frame needs is there."}},
        Case{"FrameRefusedNoRule",
             [] {
                 Layout l;
                 l.hidrawMode = 0;
                 l.ruleFolders.clear();
                 return l;
             }(),
             1,
             {"FAIL  DEV/hidraw3: hidraw node, read-write: permission denied -> give this user "
              "access (below)",
              "FAIL  udev rule: 70-tact.rules is in none of the folders udev reads",
              "To give this user access", "sudo udevadm control --reload-rules",
              "Something the touch frame needs is missing"}},
        Case{
            "NothingToWorkWith",
            [] {
                Layout l;
                l.frame = l.uinput = false;
                l.ruleFolders = {"/etc/udev/rules.d", "/usr/lib/udev/rules.d"};
                l.display.clear();
                l.prefs = "not a property list";
                l.askAgent = true;
                return l;
            }(),
            1,
            {"FAIL  frame: no frame (USB vendor 23c9) is connected",
             "warn  udev rule: /etc/udev/rules.d/70-tact.rules (it hides "
             "/usr/lib/udev/rules.d/70-tact.rules)",
             "FAIL  /dev/uinput: missing (the uinput module is not loaded) -> sudo modprobe uinput",
             "FAIL  session: none (no DISPLAY, no WAYLAND_DISPLAY); the agent would inject "
             "through nothing",
             "FAIL  session bus: ", "is not a property list"}}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(DoctorCommandLine, HelpVersionAndMistakes) {
    auto help = runProcess({builtProgram("tactdoctor"), "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("(for testing)"), std::string::npos);
    auto missing = runProcess({builtProgram("tactdoctor"), "--root"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("Usage: tactdoctor"), std::string::npos);
}

}  // namespace
