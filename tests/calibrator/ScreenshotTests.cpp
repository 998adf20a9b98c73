// The calibrator on a real X server (Xvfb): its first screen is captured into
// the build tree, and the picture is checked where it matters.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <filesystem>
#include <string>

#include "tests/support/PrivateBus.hpp"
#include "tests/support/PrivateXServer.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace tact {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 800;

using tact::test::PrivateXServer;

bool isGrey(QRgb pixel, int level) {
    return qRed(pixel) == level && qGreen(pixel) == level && qBlue(pixel) == level;
}

TEST(CalibratorScreenshot, FirstTargetAndCounterOnARealXServer) {
    PrivateXServer x;
    if (!x.installed())
        GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not report its display";
    test::PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    test::TempDir config;

    const std::string dir = TACT_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    const std::string png = dir + "/tactcalib-first-target.png";
    std::filesystem::remove(png);

    auto result = test::runProcess(
        {test::builtProgram("tactcalib"), "--screenshot", png},
        {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x.display(), "XDG_CONFIG_HOME=" + config.path(),
         "XDG_RUNTIME_DIR=" + config.path(), bus.environment()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("CalibrateView: target 0 at 128"), std::string::npos) << result.out;

    QImage image;
    ASSERT_TRUE(image.load(QString::fromStdString(png))) << png;
    ASSERT_EQ(image.width(), kWidth);
    ASSERT_EQ(image.height(), kHeight);

    // Dark grey everywhere but the target and the counter.
    EXPECT_TRUE(isGrey(image.pixel(5, 5), 85));
    EXPECT_TRUE(isGrey(image.pixel(kWidth - 5, kHeight - 5), 85));
    // The first cross: light grey, 80 points across, centred a tenth of the
    // screen in from the top-left corner; nothing at the other corners.
    const int cx = kWidth / 10, cy = kHeight / 10;
    for (int d : {-38, -20, 0, 20, 38}) {
        EXPECT_TRUE(isGrey(image.pixel(cx + d, cy), 170)) << "horizontal arm at " << d;
        EXPECT_TRUE(isGrey(image.pixel(cx, cy + d), 170)) << "vertical arm at " << d;
    }
    EXPECT_TRUE(isGrey(image.pixel(cx + 45, cy), 85));
    EXPECT_TRUE(isGrey(image.pixel(cx + 20, cy + 20), 85));
    EXPECT_TRUE(isGrey(image.pixel(kWidth - cx, kHeight - cy), 85));

    // The counter: white text whose lower-left corner is the screen's centre.
    auto whiteIn = [&](int x0, int y0, int x1, int y1) {
        int count = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (qRed(image.pixel(x, y)) > 240 && qBlue(image.pixel(x, y)) > 240)
                    ++count;
        return count;
    };
    EXPECT_GT(whiteIn(kWidth / 2, kHeight / 2 - 40, kWidth / 2 + 80, kHeight / 2), 50);
    EXPECT_EQ(whiteIn(0, 0, kWidth / 2 - 1, kHeight), 0);
    EXPECT_EQ(whiteIn(0, kHeight / 2 + 1, kWidth, kHeight), 0);
}

}  // namespace
}  // namespace tact
