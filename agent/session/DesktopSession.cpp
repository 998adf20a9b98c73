#include "agent/session/DesktopSession.hpp"

#include <cstdlib>
#include <cstring>

#include "platform/events/UinputSink.hpp"
#include "platform/events/XTestSink.hpp"
#include "platform/log/SystemLog.hpp"

namespace tact {
namespace {

using platform::LogLevel;
using platform::systemLog;

std::string size(const platform::Rect& r) {
    return std::to_string(static_cast<int>(r.width)) + "x" +
           std::to_string(static_cast<int>(r.height));
}

// The uinput sink's reason without its "not injected": they are, by XTest.
std::string withoutNotInjected(std::string reason) {
    for (const char* phrase :
         {": input events are not injected", "; input events are not injected"}) {
        for (auto at = reason.find(phrase); at != std::string::npos; at = reason.find(phrase))
            reason.erase(at, std::strlen(phrase));
    }
    return reason;
}

}  // namespace

std::string describeScreen(const platform::Desktop& desktop) {
    const platform::Rect main = desktop.mainScreenFrame();
    if (desktop.outputs().size() < 2)
        return "screen " + size(main);
    return "the frame's monitor " + desktop.mainOutputName() + ", " + size(main) + " at " +
           std::to_string(static_cast<int>(main.x)) + "," +
           std::to_string(static_cast<int>(main.y)) + " of a " + size(desktop.desktopBounds()) +
           " desktop";
}

std::unique_ptr<DesktopSession> DesktopSession::open(platform::RunLoop& loop, SinkChoice choice,
                                                     const std::string& frameOutput,
                                                     double virtualWidth, double virtualHeight,
                                                     std::string* error) {
    auto s = std::make_unique<DesktopSession>(Private{});

    // The desktops: the X display (Xwayland's too), the Wayland session's
    // compositor, each told which monitor the frame covers.
    std::string displayError;
    s->x11_ = platform::X11Desktop::connect(loop, &displayError);
    const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
    const bool waylandSession = waylandDisplay && *waylandDisplay;
    if (waylandSession) {
        std::string waylandError;
        s->wayland_ = platform::WaylandDesktop::connect(loop, "", s->x11_.get(), &waylandError);
        if (!s->wayland_)
            systemLog(LogLevel::Warning, "a Wayland session, but " + waylandError);
    }
    if (s->x11_)
        s->x11_->setFrameOutput(frameOutput);
    if (s->wayland_)
        s->wayland_->setFrameOutput(frameOutput);
    platform::Desktop* own =
        s->wayland_ ? static_cast<platform::Desktop*>(s->wayland_.get()) : s->x11_.get();
    if (!own) {
        s->virtual_ = std::make_unique<platform::VirtualDesktop>(virtualWidth, virtualHeight);
        own = s->virtual_.get();
    }

    // Events go to a virtual input device over the whole desktop, or through
    // XTest on the X display (then positions are the X display's).
    std::string uinputError, xtestError;
    s->desktop_ = own;
    if (choice != SinkChoice::XTest)
        s->sink_ = platform::events::UinputSink::open(platform::screenGeometry(*own), &uinputError);
    if (!s->sink_ && choice != SinkChoice::Uinput && s->x11_) {
        s->sink_ = platform::events::XTestSink::open(platform::screenGeometry(*s->x11_),
                                                     &xtestError, s->x11_->displayName());
        if (s->sink_)
            s->desktop_ = s->x11_.get();
    }
    if (!s->sink_ && choice != SinkChoice::Automatic) {
        if (error) {
            *error = choice == SinkChoice::Uinput
                         ? uinputError
                         : (s->x11_ ? xtestError : "no X display (" + displayError + ")");
        }
        return nullptr;
    }
    // Wayland tells no client where the pointer is, and Xwayland's idea of
    // it goes stale over native windows: the agent's own moves count.
    if (s->desktop_ == s->wayland_.get())
        platform::events::setPointerReader(nullptr);

    if (s->desktop_ == s->wayland_.get()) {
        systemLog(LogLevel::Info, "Wayland session (" + s->wayland_->socketName() + "), " +
                                      describeScreen(*s->desktop_));
    } else if (s->desktop_ == s->x11_.get()) {
        systemLog(LogLevel::Info, std::string(waylandSession ? "Xwayland display " : "display ") +
                                      s->x11_->displayName() + ", " + describeScreen(*s->desktop_));
    } else {
        systemLog(LogLevel::Info,
                  (waylandSession ? std::string("no compositor answers") : displayError) +
                      ": using a virtual screen of " + size(s->desktop_->mainScreenFrame()) +
                      " points");
    }
    if (s->sink_ && s->desktop_ == s->x11_.get() && !uinputError.empty()) {
        std::string line =
            "injecting events through XTest on display " + s->x11_->displayName() +
            " (the virtual input device is not available: " + withoutNotInjected(uinputError) + ")";
        if (waylandSession)
            line +=
                "; only X11 windows receive them, native Wayland windows do not: give this "
                "user /dev/uinput (see README, Install)";
        systemLog(waylandSession ? LogLevel::Warning : LogLevel::Info, line);
    } else if (!s->sink_) {
        std::string why = uinputError;
        if (!xtestError.empty())
            why += "; " + xtestError;
        systemLog(LogLevel::Warning, "events are not injected: " + why +
                                         "; calibration and the touch painter still work");
    }

    // Monitors plugged in or out, new modes, another monitor chosen: the
    // sink follows (the converter follows on its own).
    if (s->sink_) {
        platform::events::setEventSink(s->sink_.get());
        s->screenChanges_ =
            s->desktop_->observeScreenChanges([sink = s->sink_.get(), desktop = s->desktop_] {
                sink->setScreenGeometry(platform::screenGeometry(*desktop));
            });
    }

    // Swipe and pinch actions the way this desktop does them.
    s->actions_ = platform::actions::makeSessionDesktopActions(
        loop, s->x11_ ? s->x11_->displayName() : std::string());
    platform::actions::setDesktopActions(s->actions_.get());
    systemLog(LogLevel::Info, "desktop actions for " +
                                  std::string(platform::actions::desktopName(s->actions_->kind())));
    return s;
}

DesktopSession::~DesktopSession() {
    platform::actions::setDesktopActions(nullptr);
    if (sink_ && platform::events::eventSink() == sink_.get())
        platform::events::setEventSink(nullptr);
    screenChanges_ = platform::Observation();
}

}  // namespace tact
