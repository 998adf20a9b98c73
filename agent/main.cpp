// tactagent: the background agent that turns the touch frame into the
// desktop's own input.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/device/AgentMain.hpp"
#include "agent/session/DesktopSession.hpp"
#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "common/Version.hpp"
#include "platform/desktop/Desktop.hpp"
#include "platform/events/Events.hpp"
#include "platform/hid/HID.hpp"
#include "platform/hid/linux/LinuxBackend.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace {

// Long enough for someone to fix the udev rule after reading the message; the
// service manager starts the agent again after it gives up.
constexpr double kDefaultFrameWaitSeconds = 60;

constexpr const char* kUsage =
    "Usage: tactagent [--help | --version]\n"
    "\n"
    "The touch-frame agent. It takes no options: it waits for a touch frame\n"
    "(USB vendor 23c9), turns its touches into pointer, scroll, gesture and key\n"
    "events, and talks to tactcalib, tactpaint and tactprefs over the session bus.\n"
    "Settings live in ~/.config/com.vostrabaxworks.Tactagent.plist.\n"
    "SIGTERM or SIGINT stops it and gives the frame back to the desktop.\n"
    "\n"
    "Environment:\n"
    "  DISPLAY=:N           the X display to serve (its screen, pointer and active\n"
    "                       application; events go through XTest when /dev/uinput\n"
    "                       is not writable)\n"
    "  XDG_CURRENT_DESKTOP  which desktop runs (GNOME, KDE, XFCE): swipes and\n"
    "                       pinches act the way it does (see docs/gestures.md)\n"
    "  TACT_SCREEN=WxH      screen size in points when no display is reachable\n"
    "  TACT_LOG_LEVEL=LEVEL debug, info, notice, warning or error (default info)\n"
    "  TACT_FRAME_WAIT=S    when the frame is there but cannot be opened (no\n"
    "                       permission), wait up to S seconds (default 60) for\n"
    "                       access before giving up with status 1\n"
    "\n"
    "For tests: TACT_SYSFS_ROOT=DIR and TACT_DEV_ROOT=DIR look for the frame in a\n"
    "sysfs tree and a /dev laid out under DIR (no hot-plug is followed).\n"
    "\n"
    "Exit status: 0 when stopped by a signal, 1 when a frame is connected that\n"
    "cannot be opened, 2 for a malformed command line.\n";

// A number of seconds from the environment, or the default.
double secondsFromEnvironment(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (*end != '\0' || !(seconds >= 0) || seconds > 86400) {
        platform::systemLog(platform::LogLevel::Warning,
                            std::string(name) + "='" + text + "' is not a number of seconds");
        return fallback;
    }
    return seconds;
}

// The monitor the frame covers, as the settings stored it (empty: the primary).
std::string frameOutputPreference() {
    const auto value =
        tact::agentPreferences().copyAppValue(platform::String(tact::kZyvTouchScreenOutput));
    const platform::String* name = value ? value->asString() : nullptr;
    return name && name->isPlainText() ? name->utf8().value_or("") : "";
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version")) {
            std::printf("tactagent %s\n", tact::kSuiteVersion);
            return 0;
        }
        std::fprintf(stderr,
                     "tactagent: unknown argument '%s'\nUsage: tactagent [--help | --version]\n"
                     "Try 'tactagent --help' for more information.\n",
                     argv[i]);
        return 2;
    }

    tact::FrameWait wait;
    wait.seconds = secondsFromEnvironment("TACT_FRAME_WAIT", kDefaultFrameWaitSeconds);
    const char* sysfsRoot = std::getenv("TACT_SYSFS_ROOT");
    const char* devRoot = std::getenv("TACT_DEV_ROOT");
    if (sysfsRoot && *sysfsRoot && devRoot && *devRoot) {
        wait.roots = {sysfsRoot, devRoot};
        platform::hid::setBackend(platform::hid::makeLinuxBackend({sysfsRoot, devRoot}));
    }

    auto loop = platform::makeRealRunLoop(true);
    platform::setMainRunLoop(loop.get());

    std::unique_ptr<platform::NotificationCenter> notifications;
    if (auto bus = platform::makeBusNotificationCenter(*loop)) {
        notifications = std::move(*bus);
    } else {
        platform::systemLog(platform::LogLevel::Warning,
                            "no session bus (" + bus.error().detail +
                                "); the calibrator, painter and settings cannot reach the agent");
        notifications = platform::makeLocalNotificationCenter(*loop);
    }

    // The desktop (an X display, a Wayland session, else a virtual screen of
    // TACT_SCREEN's size), where events go, and how it does swipe actions.
    platform::VirtualDesktop sized;
    if (const char* size = std::getenv("TACT_SCREEN")) {
        if (auto wh = platform::parseScreenSize(size)) {
            sized.setScreenSize(wh->first, wh->second);
        } else {
            platform::systemLog(platform::LogLevel::Warning,
                                std::string("TACT_SCREEN='") + size + "' is not WxH; ignored");
        }
    }
    const platform::Rect virtualScreen = sized.mainScreenFrame();
    // The automatic choice always opens: without a sink the agent runs on.
    auto session = std::move(
        *tact::DesktopSession::open(*loop, tact::SinkChoice::Automatic, frameOutputPreference(),
                                    virtualScreen.width, virtualScreen.height));

    // The process's event service: the desktop session installed its sink
    // and the desktop its pointer reader there.
    tact::AgentEnvironment environment{*loop, *notifications, session->desktop(),
                                       platform::events::processEventService(),
                                       tact::agentPreferences()};
    int rc = tact::agentMain(environment, wait);
    session.reset();
    if (auto dropped = environment.events.droppedCount()) {
        platform::systemLog(platform::LogLevel::Info,
                            std::to_string(dropped) + " events were not injected");
    }
    platform::setMainRunLoop(nullptr);
    return rc;
}
