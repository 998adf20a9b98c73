// The desktop of an X11 session (see docs/desktop.md): the main screen is
// RandR's primary output (the root window when there is none), the pointer
// is the server's, and the frontmost application follows the window manager's
// _NET_ACTIVE_WINDOW on the root window, named through the application table
// by the active window's application id or WM_CLASS.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/desktop/ApplicationTable.hpp"
#include "platform/desktop/Desktop.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace platform {

class X11Desktop : public Desktop {
    struct Private {};

  public:
    struct Impl;

    // Connects to DISPLAY (or the display named), watches the root window
    // from the loop, and installs the server's pointer as the event
    // service's pointer. The application tables are read from tables
    // (the shipped one and the user's). nullptr when no display is
    // reachable, with the reason in *error.
    static std::unique_ptr<X11Desktop> connect(RunLoop& loop, std::string* error);
    static std::unique_ptr<X11Desktop> connect(
        RunLoop& loop, const std::string& displayName, std::string* error,
        const ApplicationTablePaths& tables = defaultApplicationTablePaths());

    X11Desktop(Private, std::shared_ptr<Impl> impl);
    // Removes the pointer reader it installed.
    ~X11Desktop() override;
    X11Desktop(const X11Desktop&) = delete;
    X11Desktop& operator=(const X11Desktop&) = delete;

    // The primary output's area on the root window; the last one known once
    // the connection is gone.
    Rect mainScreenFrame() const override;
    SystemVersion systemVersion() const override { return SystemVersion{}; }
    // The server's pointer relative to the main screen's top-left corner;
    // once the connection is gone, where the agent's own events put it.
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

}  // namespace platform
