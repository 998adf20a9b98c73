// tactagent: the background agent that turns the touch frame into the
// desktop's own input.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/device/AgentMain.hpp"
#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "platform/actions/DesktopActions.hpp"
#include "platform/desktop/Desktop.hpp"
#include "platform/desktop/X11Desktop.hpp"
#include "platform/events/Events.hpp"
#include "platform/events/UinputSink.hpp"
#include "platform/events/XTestSink.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace {

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
    "  TACT_LOG_LEVEL=LEVEL debug, info, notice, warning or error (default info)\n";

// The uinput sink's reason without its "not injected": they are, by XTest.
std::string withoutNotInjected(std::string reason) {
    for (const char* phrase :
         {": input events are not injected", "; input events are not injected"}) {
        for (auto at = reason.find(phrase); at != std::string::npos; at = reason.find(phrase))
            reason.erase(at, std::strlen(phrase));
    }
    return reason;
}

// The monitor the frame covers, as the settings stored it (empty: the primary).
std::string frameOutputPreference() {
    const auto value = platform::CFPreferencesCopyAppValue(
        platform::String(tact::kZyvTouchScreenOutput), platform::String(tact::kZyvTouchSetting));
    const platform::String* name = value ? value->asString() : nullptr;
    return name && name->isPlainText() ? name->utf8().value_or("") : "";
}

std::string size(const platform::Rect& r) {
    return std::to_string(static_cast<int>(r.width)) + "x" +
           std::to_string(static_cast<int>(r.height));
}

// "screen 1920x1080", or with several monitors "the frame's monitor HDMI-1,
// 1920x1080 at 1920,0 of a 3840x1080 desktop".
std::string describeScreen(const platform::Desktop& desktop) {
    const platform::Rect main = desktop.mainScreenFrame();
    if (desktop.outputs().size() < 2)
        return "screen " + size(main);
    return "the frame's monitor " + desktop.mainOutputName() + ", " + size(main) + " at " +
           std::to_string(static_cast<int>(main.x)) + "," +
           std::to_string(static_cast<int>(main.y)) + " of a " + size(desktop.desktopBounds()) +
           " desktop";
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version")) {
            std::printf("tactagent %s\n", std::string(tact::kDriverVersion).c_str());
            return 0;
        }
        std::fprintf(stderr, "tactagent: unknown argument '%s'\n%s", argv[i], kUsage);
        return 2;
    }

    auto loop = platform::makeRealRunLoop(true);
    platform::setMainRunLoop(loop.get());

    std::string error;
    std::unique_ptr<platform::NotificationCenter> notifications =
        platform::makeBusNotificationCenter(*loop, &error);
    if (!notifications) {
        platform::systemLog(platform::LogLevel::Warning,
                            "no session bus (" + error +
                                "); the calibrator, painter and settings cannot reach the agent");
        notifications = platform::makeLocalNotificationCenter(*loop);
    }

    // The desktop: the X display when one is reachable, else a virtual
    // screen whose pointer follows the agent's own events.
    std::string displayError;
    std::unique_ptr<platform::X11Desktop> x11 = platform::X11Desktop::connect(*loop, &displayError);
    platform::VirtualDesktop virtualDesktop;
    platform::Desktop* desktop = x11.get();
    if (x11) {
        x11->setFrameOutput(frameOutputPreference());
        platform::systemLog(platform::LogLevel::Info,
                            "display " + x11->displayName() + ", " + describeScreen(*x11));
    } else {
        if (const char* size = std::getenv("TACT_SCREEN")) {
            if (auto wh = platform::parseScreenSize(size)) {
                virtualDesktop.setScreenSize(wh->first, wh->second);
            } else {
                platform::systemLog(platform::LogLevel::Warning,
                                    std::string("TACT_SCREEN='") + size + "' is not WxH; ignored");
            }
        }
        const auto frame = virtualDesktop.mainScreenFrame();
        platform::systemLog(platform::LogLevel::Info,
                            displayError + ": using a virtual screen of " +
                                std::to_string(static_cast<int>(frame.width)) + "x" +
                                std::to_string(static_cast<int>(frame.height)) + " points");
        desktop = &virtualDesktop;
    }

    // Events go to a virtual input device, or through XTest on the display
    // when there is no such device. Without either the agent still
    // identifies the frame, serves the calibrator and the painter, and
    // counts what it could not deliver.
    std::string sinkError;
    const platform::events::ScreenGeometry geometry = platform::screenGeometry(*desktop);
    std::unique_ptr<platform::events::EventSink> sink =
        platform::events::UinputSink::open(geometry, &sinkError);
    if (!sink && x11) {
        std::string xtestError;
        sink = platform::events::XTestSink::open(geometry, &xtestError, x11->displayName());
        if (sink) {
            platform::systemLog(platform::LogLevel::Info,
                                "injecting events through XTest on display " + x11->displayName() +
                                    " (the virtual input device is not available: " +
                                    withoutNotInjected(sinkError) + ")");
        } else {
            sinkError += "; " + xtestError;
        }
    }
    // Monitors plugged in or out, new modes, another monitor chosen: the
    // sink follows (the converter follows on its own).
    platform::Observation screenChanges;
    if (sink) {
        platform::events::setEventSink(sink.get());
        screenChanges = desktop->observeScreenChanges(
            [&sink, desktop] { sink->setScreenGeometry(platform::screenGeometry(*desktop)); });
    } else {
        platform::systemLog(platform::LogLevel::Warning,
                            "events are not injected: " + sinkError +
                                "; calibration and the touch painter still work");
    }

    // Desktop actions (swipes and pinches) the way this desktop does them.
    auto actions =
        platform::actions::makeSessionDesktopActions(*loop, x11 ? x11->displayName() : "");
    platform::actions::setDesktopActions(actions.get());
    platform::systemLog(platform::LogLevel::Info,
                        std::string("desktop actions for ") +
                            std::string(platform::actions::desktopName(actions->kind())));

    tact::AgentEnvironment environment{*loop, *notifications, *desktop};
    int rc = tact::agentMain(environment);
    platform::actions::setDesktopActions(nullptr);
    actions.reset();
    platform::events::setEventSink(nullptr);
    if (auto dropped = platform::events::droppedEventCount()) {
        platform::systemLog(platform::LogLevel::Info,
                            std::to_string(dropped) + " events were not injected");
    }
    platform::setMainRunLoop(nullptr);
    return rc;
}
