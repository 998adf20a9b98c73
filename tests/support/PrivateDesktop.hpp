// A desktop of a test's own: a private X server (Xvfb) with a real EWMH
// window manager (openbox) on it, configured by the test: the number of
// desktops and the key bindings. It reads what the window manager publishes
// on the root window (the current desktop, whether the desktop is shown, the
// active window) and makes windows for it to manage (TestWindow).
//
//     PrivateDesktop desktop({.keys = {goToDesktop("C-A-Right", "right")}});
//     TACT_REQUIRE_DESKTOP(desktop);
//     ... xdotool key ctrl+alt+Right on desktop.display() ...
//     EXPECT_TRUE(waitUntil([&] { return desktop.currentDesktop() == 1u; }));
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/PrivateXServer.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/XClient.hpp"

namespace tact::test {

// One key binding of the window manager: an openbox key spec ("W-Next",
// "C-A-Right", "W-d") and what it does, as openbox action elements
// ("<action name=\"ToggleShowDesktop\"/>").
struct KeyBinding {
    std::string key;
    std::string actions;
};

// Goes to the desktop `to` ("right", "left", "next", "previous" or a number
// from 1), without wrapping around at the ends unless `wrap`.
KeyBinding goToDesktop(const std::string& key, const std::string& to, bool wrap = false);
// Shows the desktop (every window hidden) or brings the windows back.
KeyBinding toggleShowDesktop(const std::string& key);

struct DesktopOptions {
    int desktops = 4;
    std::vector<KeyBinding> keys;
};

// Both strings of a window's WM_CLASS.
struct WmClass {
    std::string instance;  // "Navigator"
    std::string cls;       // "firefox"
    bool operator==(const WmClass&) const = default;
};
// For test failure messages: {"Navigator", "firefox"}.
void PrintTo(const WmClass& wmClass, std::ostream* out);

class PrivateDesktop {
  public:
    // Starts Xvfb and openbox and returns once openbox manages the screen
    // with exactly the configuration given (or has failed: see ok()).
    explicit PrivateDesktop(DesktopOptions options = {});
    ~PrivateDesktop();
    PrivateDesktop(const PrivateDesktop&) = delete;
    PrivateDesktop& operator=(const PrivateDesktop&) = delete;

    // What is not installed ("Xvfb", "openbox"): the test skips. Empty when
    // both are.
    const std::string& missing() const { return missing_; }
    // The window manager runs on the server with our configuration: its
    // desktops are ours, and it said nothing on standard error (it complains
    // there about a configuration it cannot read, an unknown action or key,
    // and then runs on with defaults).
    bool ok() const { return missing_.empty() && error_.empty(); }
    // Why it is not ok, with what the window manager said.
    const std::string& error() const { return error_; }

    const std::string& display() const { return server_.display(); }
    // "DISPLAY=:N", for the environment of a program run on this desktop.
    std::string environment() const { return "DISPLAY=" + display(); }
    // Everything the window manager wrote on standard output and error.
    std::string windowManagerOutput() const;
    // The configuration file the window manager was given.
    const std::string& configFile() const { return configFile_; }

    // What the window manager publishes on the root window now; nothing when
    // it does not say.
    std::optional<std::uint32_t> currentDesktop();
    std::optional<std::uint32_t> numberOfDesktops();
    std::optional<bool> showingDesktop();
    // The active window, XCB_NONE when there is none.
    xcb_window_t activeWindow();
    std::optional<WmClass> wmClass(xcb_window_t window);
    std::optional<WmClass> activeWmClass();

    // The desktop's own connection, for anything else a test wants to read
    // (only when the server runs: missing() is empty).
    XClient& client() { return *client_; }

  private:
    void start(const DesktopOptions& options, const std::string& openbox);

    PrivateXServer server_;
    TempDir dir_;
    std::string configFile_;
    std::string logFile_;
    std::unique_ptr<BackgroundProcess> windowManager_;
    std::unique_ptr<XClient> client_;
    std::string missing_;
    std::string error_;
};

// Skips the test when Xvfb or openbox is missing, fails it when the desktop
// did not come up as configured.
#define TACT_REQUIRE_DESKTOP(desktop)                                   \
    do {                                                                \
        if (!(desktop).missing().empty())                               \
            GTEST_SKIP() << (desktop).missing() << " is not installed"; \
        ASSERT_TRUE((desktop).ok()) << (desktop).error();               \
    } while (0)

// A top-level window with a WM_CLASS of the test's choice, mapped and
// managed by the window manager; on its own connection, so it is gone when
// the object is.
class TestWindow {
  public:
    // Maps the window and waits (a few seconds at most) until the window
    // manager has made it the active window.
    TestWindow(PrivateDesktop& desktop, WmClass wmClass,
               std::optional<std::string> gtkApplicationId = std::nullopt);
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    xcb_window_t id() const { return window_; }
    // It was the active window when the constructor (or activate()) returned.
    bool active() const { return active_; }
    // Asks the window manager to activate it, as a task bar does, and waits
    // until it is active; true when it is.
    bool activate();

  private:
    bool waitActive(std::chrono::milliseconds limit);

    XClient client_;
    xcb_window_t window_ = XCB_NONE;
    bool active_ = false;
};

}  // namespace tact::test
