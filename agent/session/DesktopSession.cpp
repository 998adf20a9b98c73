#include "agent/session/DesktopSession.hpp"

#include <cstdlib>
#include <optional>

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

platform::Result<std::unique_ptr<DesktopSession>> DesktopSession::open(
    platform::RunLoop& loop, SinkChoice choice, const std::string& frameOutput, double virtualWidth,
    double virtualHeight) {
    auto s = std::make_unique<DesktopSession>(Private{});

    // The desktops: the X display (Xwayland's too), the Wayland session's
    // compositor, each told which monitor the frame covers.
    std::string displayError;
    if (auto x11 = platform::X11Desktop::connect(loop))
        s->x11_ = std::move(*x11);
    else
        displayError = x11.error().detail;
    const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
    const bool waylandSession = waylandDisplay && *waylandDisplay;
    if (waylandSession) {
        if (auto wayland = platform::WaylandDesktop::connect(loop, "", s->x11_.get()))
            s->wayland_ = std::move(*wayland);
        else
            systemLog(LogLevel::Warning, "a Wayland session, but " + wayland.error().detail);
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
    std::optional<platform::Error> uinputError, xtestError;
    s->desktop_ = own;
    if (choice != SinkChoice::XTest) {
        if (auto uinput = platform::events::UinputSink::open(platform::screenGeometry(*own)))
            s->sink_ = std::move(*uinput);
        else
            uinputError = uinput.error();
    }
    if (!s->sink_ && choice != SinkChoice::Uinput && s->x11_) {
        if (auto xtest = platform::events::XTestSink::open(platform::screenGeometry(*s->x11_),
                                                           s->x11_->displayName())) {
            s->sink_ = std::move(*xtest);
            s->desktop_ = s->x11_.get();
        } else {
            xtestError = xtest.error();
        }
    }
    if (!s->sink_ && choice == SinkChoice::Uinput)
        return *uinputError;
    if (!s->sink_ && choice == SinkChoice::XTest) {
        if (xtestError)
            return *xtestError;
        return platform::Error{platform::Reason::Unavailable,
                               "no X display (" + displayError + ")"};
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
    if (s->sink_ && s->desktop_ == s->x11_.get() && uinputError) {
        std::string line = "injecting events through XTest on display " + s->x11_->displayName() +
                           " (the virtual input device is not available: " + uinputError->detail +
                           ")";
        if (waylandSession)
            line +=
                "; only X11 windows receive them, native Wayland windows do not: give this "
                "user /dev/uinput (see README, Install)";
        systemLog(waylandSession ? LogLevel::Warning : LogLevel::Info, line);
    } else if (!s->sink_) {
        std::string why = uinputError ? uinputError->detail : std::string();
        if (xtestError)
            why += "; " + xtestError->detail;
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
