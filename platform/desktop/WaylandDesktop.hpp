// The desktop of a Wayland session (see docs/desktop.md): the outputs and
// their logical layout come from the compositor (wl_output, and xdg-output
// where the compositor offers it); the pointer is where the agent's own
// events put it, since Wayland tells a client no global pointer position;
// the frontmost application is whatever an X11 desktop on Xwayland reports,
// when the session has one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/Desktop.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/values/Error.hpp"

namespace platform {

class WaylandDesktop : public Desktop {
    struct Private {};

  public:
    struct Impl;

    // Connects to the compositor's socket (empty: WAYLAND_DISPLAY, in
    // XDG_RUNTIME_DIR), learns its outputs (waiting at most a few seconds
    // for its answers) and from then on follows them from the loop. Windows,
    // when not null, answers for the frontmost application (an X11Desktop on
    // the session's Xwayland); it must outlive this desktop. An error when no
    // compositor answers.
    static Result<std::unique_ptr<WaylandDesktop>> connect(RunLoop& loop,
                                                           const std::string& socketName,
                                                           Desktop* windows);

    WaylandDesktop(Private, std::shared_ptr<Impl> impl);
    ~WaylandDesktop() override;
    WaylandDesktop(const WaylandDesktop&) = delete;
    WaylandDesktop& operator=(const WaylandDesktop&) = delete;

    // The output the frame covers (see setFrameOutput) in the compositor's
    // logical layout; the last one known once the compositor is gone; all
    // zero while the compositor has announced no output.
    Rect mainScreenFrame() const override;
    std::string mainOutputName() const override;
    // The outputs in the order the compositor announced them; the first
    // counts as the primary one (Wayland has none).
    std::vector<Output> outputs() const override;
    Rect desktopBounds() const override;
    // The output named, else the primary. A name that is not there (or goes
    // away) is logged once; the primary serves until it is back.
    void setFrameOutput(const std::string& name) override;
    // Called from the loop when the main screen's frame or the desktop's
    // bounds have changed since the observers were last told.
    Observation observeScreenChanges(ScreenCallback cb) override;
    SystemVersion systemVersion() const override { return SystemVersion{}; }

    // Where the agent's own events put the pointer, relative to the main
    // screen's top-left corner; (0, 0) until the first one.
    Point pointerLocation() const override;
    void setPointerLocation(Point p) override;
    // Handed to the windows' desktop; without one no application ever
    // becomes active (and the observation is empty).
    Observation observeApplicationActivation(ActivationCallback cb) override;

    // The compositor's socket, as WAYLAND_DISPLAY names it ("wayland-0").
    const std::string& socketName() const;
    // False once the compositor has closed the connection.
    bool connected() const;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform
