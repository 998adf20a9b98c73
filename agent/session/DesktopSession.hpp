// The desktop the agent serves, and where its events go: an X11 display, a
// Wayland session (with Xwayland for X11 windows), or a virtual screen; a
// virtual input device on /dev/uinput or XTest; and the desktop's own ways
// of doing swipe and pinch actions. tactagent opens one at start (saying
// what it found); tactreplay --sink opens one to replay onto a desktop.
#pragma once

#include <memory>
#include <string>

#include "platform/actions/DesktopActions.hpp"
#include "platform/desktop/Desktop.hpp"
#include "platform/desktop/WaylandDesktop.hpp"
#include "platform/desktop/X11Desktop.hpp"
#include "platform/events/Events.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/values/Error.hpp"

namespace tact {

enum class SinkChoice {
    Automatic,  // the virtual input device, else XTest, else none
    XTest,      // XTest only (an error without a display)
    Uinput,     // the virtual input device only (an error without it)
};

class DesktopSession {
    struct Private {};

  public:
    // Connects to what the environment names (WAYLAND_DISPLAY, DISPLAY),
    // chooses the frame's monitor (frameOutput; empty: the primary), opens
    // the sink and installs it and the desktop actions. Without a desktop,
    // a virtual screen of virtualWidth x virtualHeight points. An error only
    // when the sink asked for cannot be had.
    static platform::Result<std::unique_ptr<DesktopSession>> open(platform::RunLoop& loop,
                                                                  SinkChoice choice,
                                                                  const std::string& frameOutput,
                                                                  double virtualWidth,
                                                                  double virtualHeight);
    explicit DesktopSession(Private) {}
    // Uninstalls the sink and the desktop actions.
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    platform::Desktop& desktop() { return *desktop_; }
    // Nothing when events are not injected.
    platform::events::EventSink* sink() { return sink_.get(); }

  private:
    std::unique_ptr<platform::X11Desktop> x11_;
    std::unique_ptr<platform::WaylandDesktop> wayland_;
    std::unique_ptr<platform::VirtualDesktop> virtual_;
    platform::Desktop* desktop_ = nullptr;
    std::unique_ptr<platform::events::EventSink> sink_;
    std::unique_ptr<platform::actions::DesktopActions> actions_;
    platform::Observation screenChanges_;
};

// "screen 1920x1080", or with several monitors "the frame's monitor HDMI-1,
// 1920x1080 at 1920,0 of a 3840x1080 desktop".
std::string describeScreen(const platform::Desktop& desktop);

}  // namespace tact
