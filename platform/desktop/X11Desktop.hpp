// The desktop of an X11 session (see docs/desktop.md): the outputs are
// RandR's monitors (its connected outputs before RandR 1.5), followed live;
// the main screen is the one the frame covers (by default the primary); the
// pointer is the server's; and the frontmost application follows the window
// manager's _NET_ACTIVE_WINDOW on the root window, named through the
// application table by the active window's application id or WM_CLASS.
// The event service's pointer follows the server's pointer motion (on the
// root window, and XInput2's raw motion of every device) without a round
// trip per event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/desktop/ApplicationTable.hpp"
#include "platform/desktop/Desktop.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/values/Error.hpp"

namespace platform {

class X11Desktop : public Desktop {
    struct Private {};

  public:
    struct Impl;

    // Connects to DISPLAY (or the display named), watches the root window
    // from the loop, and installs the server's pointer as the event
    // service's pointer. The application tables are read from tables
    // (the shipped one and the user's). An error when no display is
    // reachable.
    static Result<std::unique_ptr<X11Desktop>> connect(RunLoop& loop);
    static Result<std::unique_ptr<X11Desktop>> connect(
        RunLoop& loop, const std::string& displayName,
        const ApplicationTablePaths& tables = defaultApplicationTablePaths());

    X11Desktop(Private, std::shared_ptr<Impl> impl);
    // Removes the pointer reader it installed.
    ~X11Desktop() override;
    X11Desktop(const X11Desktop&) = delete;
    X11Desktop& operator=(const X11Desktop&) = delete;

    // The output the frame covers, on the root window: the one
    // setFrameOutput() named, else the primary, else the first; the whole
    // root window when RandR shows no active output. The last one known once
    // the connection is gone. Kept from RandR's notifications, so asking
    // costs no round trip.
    Rect mainScreenFrame() const override;
    std::string mainOutputName() const override;
    // RandR's active monitors (RandR 1.5), else its connected outputs that
    // show a CRTC (1.2 to 1.4); one output "screen" covering the root window
    // without RandR 1.2. Empty when every monitor is off.
    std::vector<Output> outputs() const override;
    // The root window: (0, 0) and its size.
    Rect desktopBounds() const override;
    // Chooses again at once. A name that is not connected is logged once
    // (and again once it is back); the primary serves meanwhile.
    void setFrameOutput(const std::string& name) override;
    // Called from the loop after the main screen's frame or the root
    // window's size changed; never from inside this call.
    Observation observeScreenChanges(ScreenCallback cb) override;
    SystemVersion systemVersion() const override { return SystemVersion{}; }
    // The server's pointer relative to the main screen's top-left corner,
    // asked of the server (a round trip; the event service's reader answers
    // from the motion it heard instead); once the connection is gone, where
    // the agent's own events put it.
    Point pointerLocation() const override;
    void setPointerLocation(Point p) override;
    // Called with activeApplication() when it changes to another one. A new
    // observer is also told the application already active, from the loop
    // (never from inside this call), unless a change reached it first.
    Observation observeApplicationActivation(ActivationCallback cb) override;

    // The display connected to, as DISPLAY names it (":0").
    const std::string& displayName() const;
    // What the observers are told: the application of the last active
    // window that named one, through the application table
    // ("com.apple.Safari", "com.apple.Preview", another identifier of the
    // table) or else its WM_CLASS class; empty when none is known yet.
    const std::string& activeApplication() const;
    // The window _NET_ACTIVE_WINDOW named when last read (0 for none).
    std::uint32_t activeWindow() const;
    // False once the server has closed the connection.
    bool connected() const;

  private:
    std::shared_ptr<Impl> impl_;
};

// The instance and class of a WM_CLASS value (its first two NUL-terminated
// strings; empty when missing). A STRING value is Latin-1 and comes back as
// UTF-8.
std::pair<std::string, std::string> wmClassNames(std::string_view value, bool latin1);

// The application identifier in a WM_CLASS value: its class, or its
// instance when it has no class; empty when it has neither.
std::string applicationFromWmClass(std::string_view value, bool latin1);

// One monitor of a RandR GetMonitors reply: the atom of its name, whether it
// is the primary one, and its area on the root window.
struct RandrMonitor {
    std::uint32_t name = 0;
    bool primary = false;
    Rect frame;
    friend bool operator==(const RandrMonitor&, const RandrMonitor&) = default;
};

// The monitors of a GetMonitors reply of size bytes (the whole reply as the
// server sent it). The counts in it are not trusted: the list ends at the
// first monitor that does not fit.
std::vector<RandrMonitor> randrMonitors(const void* reply, std::size_t size);

}  // namespace platform
