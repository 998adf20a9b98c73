// tactprefs on a real X server (Xvfb), its device tab filled from an agent's
// reply: the window is captured into the build tree and checked where it
// matters.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/Notifications.hpp"
#include "tests/prefpane/ImageChecks.hpp"
#include "tests/support/AgentStandIn.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/PrivateXServer.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace tact {
namespace {

using namespace std::chrono_literals;

using tact::test::PrivateXServer;
using test::darkIn;
using test::isDark;

TEST(PaneScreenshot, TheDeviceTabFilledFromTheAgentsReply) {
    PrivateXServer x;
    if (!x.installed())
        GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not report its display";
    test::PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    test::AgentStandIn agent(bus.address());
    ASSERT_TRUE(agent.ok());
    test::TempDir home;

    const std::string dir = TACT_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    const std::string png = dir + "/tactprefs.png";
    std::filesystem::remove(png);

    test::BackgroundProcess prefs({test::builtProgram("tactprefs"), "--screenshot", png},
                                  {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x.display(),
                                   "HOME=" + home.path(), "XDG_CONFIG_HOME=" + home.file(".config"),
                                   "XDG_RUNTIME_DIR=" + home.path(), bus.environment()});
    ASSERT_TRUE(agent.waitFor(kKeyNeedSerialNumber)) << "tactprefs never asked the agent";
    agent.send(test::exampleInformationReply());

    std::string line;
    bool filled = false;
    while (prefs.readLine(line, 20s)) {
        filled |= line.find("serial=\"ZT-0042\"") != std::string::npos;
        if (line.starts_with("tactprefs: screenshot written to "))
            break;
    }
    EXPECT_TRUE(filled) << "the pane never showed the reply";
    ASSERT_EQ(prefs.wait(10s), 0);

    QImage image;
    ASSERT_TRUE(image.load(QString::fromStdString(png))) << png;
    EXPECT_GE(image.width(), 600);
    EXPECT_GE(image.height(), 380);
    EXPECT_LE(image.width(), 1280);
    EXPECT_LE(image.height(), 800);
    // The background is light; the labels on the left and the values on the
    // right of the device tab are dark text.
    EXPECT_FALSE(isDark(image.pixel(2, 2)));
    const int middle = image.width() / 4;
    EXPECT_GT(darkIn(image, QRect(0, 40, middle, 180)), 200) << "labels";
    EXPECT_GT(darkIn(image, QRect(middle, 40, image.width() - middle, 180)), 200) << "values";
}

}  // namespace
}  // namespace tact
