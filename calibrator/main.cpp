// tactcalib: the full-screen calibration of the touch frame.
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <string>

#include "calibrator/AppDelegate.hpp"
#include "calibrator/CalibrateView.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "qtsupport/CommandLine.hpp"
#include "qtsupport/QtProgram.hpp"
#include "qtsupport/Screenshot.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: tactcalib [--screenshot FILE] [Qt options]\n"
    "\n"
    "Calibrates the touch frame against the screen it covers: the monitor named\n"
    "by \"ScreenOutput\" in the preferences domain com.vostrabaxworks.Tactagent\n"
    "(chosen in the settings), else the primary one. Four crosshairs appear one\n"
    "after another; hold a finger on each until its counter runs down from 100,\n"
    "then lift it. The fitted map is stored as \"Coefficients\" in the same\n"
    "domain and the agent reloads it.\n"
    "Escape quits without changing the stored calibration.\n"
    "\n"
    "The agent must run on the same D-Bus session bus (DBUS_SESSION_BUS_ADDRESS).\n"
    "\n"
    "Options:\n"
    "  --screenshot FILE  save a PNG of the screen to FILE once the first target\n"
    "                     is shown, then quit\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show the version and exit\n";

// Time for the window system to put the first frame on the screen before a
// screenshot is taken.
constexpr int kScreenshotDelayMilliseconds = 500;

constexpr tact::ProgramOption kOptions[] = {{"--screenshot", "a file name"}};

}  // namespace

int main(int argc, char** argv) {
    // Read before Qt starts: --help, --version and mistakes need no display.
    const tact::CommandLine options = tact::parseCommandLine(argc, argv, kOptions);
    if (int status = tact::commandLineExit(options, "tactcalib", kUsage); status >= 0)
        return status;
    const std::string screenshot = options.value("--screenshot");

    int status = 0;
    {
        // SIGTERM and SIGINT end the program the way closing the window does,
        // so the agent hears that calibration is over.
        tact::QtProgram program(argc, argv, {"tactcalib", "Tactcalib", "calibrator"});
        if (!program.ready())
            return 1;
        platform::RunLoop& loop = program.loop();
        platform::NotificationCenter& center = program.center();

        tact::AppDelegate delegate(center, loop);
        std::unique_ptr<QWidget> window = tact::loadMainInterface(delegate, center);

        bool screenshotFailed = false;
        bool screenshotScheduled = false;
        QObject::connect(delegate._calibrateView, &tact::CalibrateView::targetRecorded, &delegate,
                         [&](int stage, QPointF point) {
                             // A developer trace: where each target landed on the screen.
                             std::printf("CalibrateView: target %d at %.17g %.17g\n", stage,
                                         point.x(), point.y());
                             std::fflush(stdout);
                             if (screenshot.empty() || screenshotScheduled || stage != 0)
                                 return;
                             screenshotScheduled = true;
                             QTimer::singleShot(kScreenshotDelayMilliseconds, &delegate, [&] {
                                 screenshotFailed =
                                     !tact::saveScreenshot(*window, screenshot, "tactcalib");
                                 delegate.exit();
                             });
                         });
        QObject::connect(&program.application(), &QCoreApplication::aboutToQuit, &delegate,
                         &tact::AppDelegate::applicationWillTerminate);

        delegate.awakeFromNib();
        delegate.applicationDidFinishLaunching();
        std::printf("AppDelegate: observing \"ZYVTouch Event\"\n");
        std::fflush(stdout);

        status = QApplication::exec();
        if (status == 0 && screenshotFailed)
            status = 1;
        // Leaving the scope destroys the window, the delegate (ending the
        // observation) and the centre, which sends what is still queued.
    }
    return status;
}
