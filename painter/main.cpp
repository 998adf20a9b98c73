// tactpaint: paints every touch the agent reports, for testing a frame.
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <string>

#include "painter/AppDelegate.hpp"
#include "painter/TouchView.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "qtsupport/CommandLine.hpp"
#include "qtsupport/QtProgram.hpp"
#include "qtsupport/Screenshot.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: tactpaint [--trace] [--screenshot FILE] [--assume-active] [Qt options]\n"
    "\n"
    "Paints every touch the touch frame reports as a coloured oval, so that you can\n"
    "see where the frame detects fingers and how large it measures them. Each finger\n"
    "identifier has its own colour. The paint stays until you double-click the\n"
    "window; resizing the window clears it too. The window opens on the monitor\n"
    "the frame covers (\"ScreenOutput\" in the settings; else the primary one).\n"
    "\n"
    "While the painter is the active application the agent is in touch test mode:\n"
    "it publishes every raw touch report and posts no scroll or gesture events.\n"
    "The agent must run on the same D-Bus session bus (DBUS_SESSION_BUS_ADDRESS).\n"
    "\n"
    "Options:\n"
    "  --trace            print a line for every painting tick that had reports\n"
    "  --screenshot FILE  save a PNG of the screen to FILE once touches were painted\n"
    "                     and no more came for half a second, then quit\n"
    "  --assume-active    tell the agent to enter touch test mode at start even if\n"
    "                     the window system never makes the painter active\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show the version and exit\n";

// Quiet time after the last painted touches before the screenshot is taken.
constexpr int kScreenshotDelayMilliseconds = 500;

constexpr tact::ProgramOption kOptions[] = {
    {"--trace"}, {"--screenshot", "a file name"}, {"--assume-active"}};

}  // namespace

int main(int argc, char** argv) {
    // Read before Qt starts: --help, --version and mistakes need no display.
    const tact::CommandLine line = tact::parseCommandLine(argc, argv, kOptions);
    if (int status = tact::commandLineExit(line, "tactpaint", kUsage); status >= 0)
        return status;
    const struct {
        bool trace, assumeActive;
        std::string screenshot;
    } options{line.has("--trace"), line.has("--assume-active"), line.value("--screenshot")};

    int status = 0;
    {
        // SIGTERM and SIGINT end the program the way closing the window does,
        // so the agent hears that touch test mode is over.
        tact::QtProgram program(argc, argv, {"tactpaint", "Tactpaint", "painter"});
        if (!program.ready())
            return 1;
        platform::RunLoop& loop = program.loop();
        platform::NotificationCenter& center = program.center();

        tact::AppDelegate delegate(center);
        std::unique_ptr<QWidget> window = tact::loadMainInterface(delegate, center, loop);
        QObject::connect(&program.application(), &QCoreApplication::aboutToQuit, &delegate,
                         &tact::AppDelegate::applicationWillTerminate);

        bool screenshotFailed = false;
        QTimer screenshotTimer;
        screenshotTimer.setSingleShot(true);
        QObject::connect(&screenshotTimer, &QTimer::timeout, &delegate, [&] {
            screenshotFailed = !tact::saveScreenshot(*window, options.screenshot, "tactpaint");
            QCoreApplication::quit();
        });
        QObject::connect(delegate.touchView, &tact::TouchView::painted, &delegate,
                         [&](int touches, int reports) {
                             if (options.trace) {
                                 // A developer trace: what each tick painted.
                                 std::printf("TouchView: painted %d touches from %d reports\n",
                                             touches, reports);
                                 std::fflush(stdout);
                             }
                             if (!options.screenshot.empty() && touches > 0)
                                 screenshotTimer.start(kScreenshotDelayMilliseconds);
                         });

        delegate.awakeFromNib();
        delegate.touchView->awakeFromNib();
        delegate.applicationDidFinishLaunching();
        if (options.assumeActive)
            delegate.applicationStateChanged(Qt::ApplicationActive);
        std::printf("AppDelegate: observing \"MTouch Report\"\n");
        std::fflush(stdout);

        status = QApplication::exec();
        if (status == 0 && screenshotFailed)
            status = 1;
        // Leaving the scope destroys the window (ending the observation), the
        // delegate and the centre, which sends what is still queued.
    }
    return status;
}
