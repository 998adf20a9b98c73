// tactprefs: the settings host. Loads the pane plug-ins it finds and shows
// them in one window.
#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/Notifications.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "prefpane/host/PaneLoader.hpp"
#include "prefpane/host/PreferencePane.hpp"
#include "prefpane/host/SettingsWindow.hpp"
#include "prefpane/host/Workspace.hpp"
#include "qtsupport/CommandLine.hpp"
#include "qtsupport/QtProgram.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: tactprefs [--pane-dir DIR]... [--screenshot FILE] [Qt options]\n"
    "\n"
    "Shows the settings panes of the touch frame suite: the frame's identity and\n"
    "versions, click timing and movement threshold, the agent's touch log, the\n"
    "calibration reset, and buttons that start the calibrator and the painter.\n"
    "\n"
    "Panes are plug-ins (*.so) in ../lib/tact/panes next to this program, then in\n"
    "the install prefix's lib/tact/panes. The agent must run on the same D-Bus\n"
    "session bus (DBUS_SESSION_BUS_ADDRESS).\n"
    "\n"
    "Options:\n"
    "  --pane-dir DIR     look for panes in DIR first (may be repeated)\n"
    "  --screenshot FILE  save a PNG of the window to FILE once the agent has\n"
    "                     answered the pane (or after 5 seconds without an\n"
    "                     answer), then quit\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show the version and exit\n";

// How long a screenshot waits for the agent's answer, and how long it then
// leaves the window to take in what arrived.
constexpr int kScreenshotAnswerLimitMilliseconds = 5000;
constexpr int kScreenshotSettleMilliseconds = 200;

constexpr tact::ProgramOption kOptions[] = {{"--pane-dir", "a value"}, {"--screenshot", "a value"}};

}  // namespace

int main(int argc, char** argv) {
    // Read before Qt starts: --help, --version and mistakes need no display.
    const tact::CommandLine line = tact::parseCommandLine(argc, argv, kOptions);
    if (int status = tact::commandLineExit(line, "tactprefs", kUsage); status >= 0)
        return status;
    const struct {
        std::vector<std::string> paneFolders;
        std::string screenshot;
    } options{line.values("--pane-dir"), line.value("--screenshot")};

    int status = 0;
    {
        // SIGTERM and SIGINT end the program the way closing the window does,
        // so the pane is unselected and stores what it keeps.
        tact::QtProgram program(argc, argv, {"tactprefs", "Tactprefs", "settings"});
        if (!program.ready())
            return 1;
        platform::RunLoop& loop = program.loop();
        platform::NotificationCenter& center = program.center();
        tact::Workspace workspace;

        QStringList folders;
        for (const std::string& folder : options.paneFolders)
            folders << QString::fromStdString(folder);
        folders << tact::defaultPaneFolders();
        auto libraries = tact::loadPaneLibraries(folders);
        if (libraries.empty())
            platform::systemLog(platform::LogLevel::Error,
                                "settings: no settings panes in " +
                                    folders.join(QStringLiteral(", ")).toStdString());

        tact::PaneContext context;
        context.runLoop = &loop;
        context.notificationCenter = &center;
        context.workspace = &workspace;
        // The window goes before the centre and the loop its panes use.
        tact::SettingsWindow window(std::move(libraries), context, folders);

        bool screenshotFailed = false;
        bool screenshotTaken = false;
        platform::Observation answer;
        auto takeScreenshot = [&] {
            if (screenshotTaken)
                return;
            screenshotTaken = true;
            answer.remove();
            QTimer::singleShot(kScreenshotSettleMilliseconds, &window, [&] {
                const QPixmap pixmap = window.grab();
                const QString path = QString::fromStdString(options.screenshot);
                if (pixmap.isNull() || !pixmap.save(path, "PNG")) {
                    platform::systemLog(
                        platform::LogLevel::Error,
                        "settings: cannot write the screenshot to " + options.screenshot);
                    screenshotFailed = true;
                } else {
                    std::printf("tactprefs: screenshot written to %s\n",
                                options.screenshot.c_str());
                    std::fflush(stdout);
                }
                window.close();
                QCoreApplication::quit();
            });
        };
        if (!options.screenshot.empty()) {
            // The agent's answer reaches the pane in the same round; the
            // picture is taken after that round.
            answer = center.addObserver(
                platform::String(tact::kZyvTouchEventNotification),
                platform::String(tact::kMultiTouchSupportObject),
                [&](const platform::Notification&) { loop.post([&] { takeScreenshot(); }); });
            QTimer::singleShot(kScreenshotAnswerLimitMilliseconds, &window, takeScreenshot);
        }

        window.show();
        status = QApplication::exec();
        if (status == 0 && screenshotFailed)
            status = 1;
        // Leaving the scope unselects the pane and destroys the window, then
        // the centre, which sends what is still queued.
    }
    return status;
}
