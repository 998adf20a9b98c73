// Every program answers its command line before it opens anything: with no
// display and no bus, --version prints the suite's one version and a
// mistyped option gives the usage line and status 2, never a window.
#include <gtest/gtest.h>

#include <string>

#include "common/Version.hpp"
#include "tests/support/Subprocess.hpp"

using namespace tact::test;

namespace {

class ProgramCommandLine : public testing::TestWithParam<const char*> {};

TEST_P(ProgramCommandLine, VersionAndMistakesNeedNoDisplay) {
    const std::string program = GetParam();
    // xcb with no DISPLAY makes Qt abort: a program that started Qt fails here.
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=xcb", "DISPLAY=", "WAYLAND_DISPLAY=",
                                          "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"};
    auto version = runProcess({builtProgram(program), "--version"}, env);
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out, program + " " + tact::kSuiteVersion + "\n");

    auto bogus = runProcess({builtProgram(program), "--bogus"}, env);
    EXPECT_EQ(bogus.exitCode, 2) << bogus.err;
    EXPECT_NE(bogus.err.find("'--bogus'"), std::string::npos) << bogus.err;
    EXPECT_NE(bogus.err.find("Usage: " + program), std::string::npos) << bogus.err;
    EXPECT_TRUE(bogus.out.empty()) << bogus.out;

    auto help = runProcess({builtProgram(program), "--help"}, env);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: " + program)) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos) << help.out;
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramCommandLine,
                         testing::Values("tactagent", "tactreplay", "tactrecord", "tactcalib",
                                         "tactpaint", "tactprefs", "tactdoctor"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

}  // namespace
