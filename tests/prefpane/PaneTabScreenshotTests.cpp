// Every tab of the settings window at 1280 x 800, saved to the build tree's
// screenshots folder for the documentation and checked for text where the
// tab should be filled: the device tab with a frame's answer, the gestures
// tab on a GNOME and on a KDE Plasma key set, the applications, tuning,
// calibration and log tabs.
#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <QTabWidget>

#include <filesystem>
#include <string>

#include "platform/actions/UserHotKeys.hpp"
#include "prefpane/host/SettingsWindow.hpp"
#include "tests/prefpane/ImageChecks.hpp"
#include "tests/prefpane/PaneFixture.hpp"

namespace tact {
namespace {

using platform::Dictionary;
using platform::String;

// A Plasma user's shortcuts as kglobalshortcutsrc holds them.
constexpr const char* kPlasmaShortcuts =
    "[kwin]\n"
    "Switch One Desktop to the Left=Meta+Ctrl+Left,Meta+Ctrl+Left,Switch One Desktop to the "
    "Left\n"
    "Switch One Desktop to the Right=Meta+Ctrl+Right,Meta+Ctrl+Right,Switch One Desktop to the "
    "Right\n"
    "ExposeAll=Ctrl+F10,Ctrl+F10,Toggle Present Windows (All desktops)\n"
    "ExposeClass=Ctrl+F7,Ctrl+F7,Toggle Present Windows (Window class)\n"
    "Show Desktop=Meta+D,Meta+D,Peek at Desktop\n"
    "[plasmashell]\n"
    "activate application launcher=Alt+F1,Alt+F1,Activate Application Launcher\n";

// A few lines of the kind the agent's touch log holds.
std::string exampleLog() {
    std::string log;
    for (int i = 0; i < 12; ++i) {
        log += "enter state2FingersScroll\n";
        log += "Sum " + std::to_string(0.0123 * i) + ",0.004100,0.000000,0.001000\n";
        log += "Detect Gesture: Scroll\n";
        log += "exit state2FingersScroll @ " + std::to_string(14 + i) + " \n";
        log += "swipe action:81\n";
    }
    return log;
}

class PaneTabScreenshot : public test::PaneInProcess {
  protected:
    // Shows the pane in the settings window at 1280 x 800 on the desktop
    // named, and saves each tab (name: index) as tactprefs-<name>.png.
    void capture(const char* desktop, const std::vector<std::pair<std::string, int>>& tabs) {
        qputenv("XDG_CURRENT_DESKTOP", desktop);
        qputenv("GSETTINGS_BACKEND", "memory");
        SettingsWindow window({}, context());
        window.addPane(std::make_unique<MultitouchPrefsPane>(context()));
        window.resize(1280, 800);
        window.show();
        local_->post(String(kZyvTouchEventNotification), String(kMultiTouchSupportObject),
                     test::informationReply());
        settle();
        auto* tabWidget = window.findChild<QTabWidget*>();
        ASSERT_NE(tabWidget, nullptr);
        const std::string dir = TACT_SCREENSHOT_DIR;
        std::filesystem::create_directories(dir);
        for (const auto& [name, index] : tabs) {
            tabWidget->setCurrentIndex(index);
            test::spinFor(std::chrono::milliseconds(50));
            const QImage image = window.grab().toImage();
            const std::string png = dir + "/tactprefs-" + name + ".png";
            ASSERT_TRUE(image.save(QString::fromStdString(png), "PNG")) << png;
            EXPECT_EQ(image.size(), QSize(1280, 800)) << name;
            EXPECT_FALSE(test::isDark(image.pixel(2, 2))) << name;
            // Text in the upper and the lower half of the tab's page: filled.
            const QRect page = tabWidget->currentWidget()->geometry().translated(
                tabWidget->currentWidget()->mapTo(&window, QPoint(0, 0)) -
                tabWidget->currentWidget()->pos());
            const QRect upper(page.x(), page.y(), page.width(), page.height() / 2);
            const QRect lower(page.x(), page.y() + page.height() / 2, page.width(),
                              page.height() / 2);
            EXPECT_GT(test::darkIn(image, upper), 2000) << name << ": the upper half is empty";
            EXPECT_GT(test::darkIn(image, lower), 600) << name << ": the lower half is empty";
        }
    }
};

TEST_F(PaneTabScreenshot, EveryTabIsFilledAtTheWindowsSize) {
    const std::string logFile = env_.home() + "/touch.log";
    test::writeFile(logFile, exampleLog());
    storeOnDisk(Dictionary{{String(kZyvTouchLogFile), logFile}});
    // One action with a shortcut of the user's own.
    ASSERT_TRUE(platform::actions::setUserHotKey(
        "33", {125, platform::events::kCGEventFlagMaskControl |
                        platform::events::kCGEventFlagMaskCommand}));
    ASSERT_NO_FATAL_FAILURE(capture("GNOME", {{"device", 0},
                                              {"gestures-gnome", 1},
                                              {"applications", 2},
                                              {"tuning", 3},
                                              {"calibration", 4},
                                              {"log", 5}}));
}

TEST_F(PaneTabScreenshot, TheGesturesTabOnAPlasmaKeySet) {
    std::filesystem::create_directories(env_.config());
    test::writeFile(env_.config() + "/kglobalshortcutsrc", kPlasmaShortcuts);
    ASSERT_NO_FATAL_FAILURE(capture("KDE", {{"gestures-kde", 1}}));
}

}  // namespace
}  // namespace tact
