// Requests to the X window manager under the conventions every EWMH window
// manager follows (GNOME's, KDE's and Xfce's too): switch to another
// workspace (_NET_CURRENT_DESKTOP) and show or leave the desktop
// (_NET_SHOWING_DESKTOP). One connection of its own to the display.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/values/Error.hpp"

namespace platform::actions {

class WindowManager {
    struct Connection;
    struct Private {};

  public:
    // An error when the display cannot be reached.
    static Result<std::shared_ptr<WindowManager>> connect(const std::string& displayName);

    WindowManager(Private, std::unique_ptr<Connection> connection);
    ~WindowManager();
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

    // True when a window manager runs and lists the hint in _NET_SUPPORTED.
    bool supports(std::string_view hint);

    // Asks for the workspace step places away (-1 the one on the left, +1
    // the one on the right). False when the window manager does not switch
    // workspaces this way, or there is no workspace there (no wrapping).
    bool switchDesktop(int step);
    // Asks to show the desktop, or to leave it. False when the window
    // manager does not offer it.
    bool showDesktop(bool show);

    // The current workspace and the number of workspaces, when known.
    std::optional<int> currentDesktop();
    std::optional<int> desktopCount();

  private:
    std::unique_ptr<Connection> connection_;
};

}  // namespace platform::actions
