// The painter on a real X server (Xvfb): a scripted report is painted and the
// screen captured into the build tree, and the picture is checked where it
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
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/PrivateXServer.hpp"
#include "tests/support/ResultChecks.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace tact {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 1280;
constexpr int kHeight = 800;

using tact::test::PrivateXServer;

struct Finger {
    std::int64_t id;
    float x, y, width, height;
    QRgb colour;  // by the colour rule
};

// A few fingers across the screen, each in its own colour; y counts from the
// bottom edge.
const std::vector<Finger> kFingers{
    {1, 0.15f, 0.8f, 0.06f, 0.09f, qRgb(0, 146, 0)},        // green
    {2, 0.35f, 0.6f, 0.05f, 0.08f, qRgb(146, 0, 0)},        // red
    {4, 0.55f, 0.4f, 0.07f, 0.07f, qRgb(0, 0, 170)},        // blue
    {300, 0.75f, 0.25f, 0.04f, 0.1f, qRgb(0, 73, 255)},     // as 44
    {255, 0.85f, 0.75f, 0.03f, 0.05f, qRgb(255, 255, 255)}  // white
};

platform::Dictionary scriptedReport(std::size_t first, std::size_t count) {
    platform::Dictionary info{{kKeyActualCount, static_cast<int>(count)}};
    for (std::size_t n = 0; n < count; ++n) {
        const Finger& f = kFingers[first + n];
        const std::string i = std::to_string(n);
        info.set(i + "_FingerID", f.id);
        info.set(i + "_x", f.x);
        info.set(i + "_y", f.y);
        info.set(i + "_Width", f.width);
        info.set(i + "_Height", f.height);
    }
    return info;
}

TEST(PainterScreenshot, ScriptedTouchesOnARealXServer) {
    PrivateXServer x;
    if (!x.installed())
        GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not report its display";
    test::PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    test::TempDir config;

    const std::string dir = TACT_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    const std::string png = dir + "/tactpaint.png";
    std::filesystem::remove(png);

    test::BackgroundProcess painter(
        {test::builtProgram("tactpaint"), "--screenshot", png},
        {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x.display(), "XDG_CONFIG_HOME=" + config.path(),
         "XDG_RUNTIME_DIR=" + config.path(), bus.environment()});
    std::string line;
    ASSERT_TRUE(painter.readLine(line));
    ASSERT_EQ(line, "AppDelegate: observing \"MTouch Report\"");

    // The agent's part: two reports, as a frame sends them.
    auto loop = platform::makeRealRunLoop(false);
    auto center = tact::test::valueOf(platform::makeBusNotificationCenterAt(*loop, bus.address()));
    ASSERT_TRUE(center);
    center->post(kMTouchReportNotification, kMultiTouchSupportObject, scriptedReport(0, 3));
    center->post(kMTouchReportNotification, kMultiTouchSupportObject, scriptedReport(3, 2));
    center.reset();  // sends what is queued

    ASSERT_TRUE(painter.readLine(line, 20s));
    EXPECT_EQ(line, "tactpaint: screenshot written to " + png);
    ASSERT_EQ(painter.wait(10s), 0);

    QImage image;
    ASSERT_TRUE(image.load(QString::fromStdString(png))) << png;
    ASSERT_EQ(image.width(), kWidth);
    ASSERT_EQ(image.height(), kHeight);
    auto at = [&](double x, double y) {
        return image.pixel(static_cast<int>(x), static_cast<int>(y)) | 0xFF000000u;
    };
    const QRgb grey = qRgb(85, 85, 85);
    EXPECT_EQ(at(3, 3), grey);
    EXPECT_EQ(at(kWidth - 3, kHeight - 3), grey);
    EXPECT_EQ(at(kWidth / 2, 3), grey);
    for (const Finger& f : kFingers) {
        const double cx = f.x * kWidth, cy = (1 - f.y) * kHeight;
        const double rx = f.width * kWidth / 2, ry = f.height * kHeight / 2;
        EXPECT_EQ(at(cx, cy), f.colour) << "finger " << f.id;
        EXPECT_EQ(at(cx + rx * 0.6, cy), f.colour) << "finger " << f.id;
        EXPECT_EQ(at(cx, cy - ry * 0.6), f.colour) << "finger " << f.id;
        EXPECT_EQ(at(cx + rx + 3, cy), grey) << "finger " << f.id;
        EXPECT_EQ(at(cx, cy + ry + 3), grey) << "finger " << f.id;
        EXPECT_EQ(at(cx + rx * 0.9, cy + ry * 0.9), grey) << "an oval, not a box: " << f.id;
    }
    // The legend, not faded yet: a dark box at the bottom's centre, above the
    // paint and not in it.
    EXPECT_LT(qRed(at(kWidth / 2, kHeight - 26)), 60);
    EXPECT_LT(qRed(at(kWidth / 2 - 110, kHeight - 40)), 60);
}

}  // namespace
}  // namespace tact
