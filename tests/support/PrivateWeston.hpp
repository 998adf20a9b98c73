// A Wayland compositor of a test's own: weston with its X11 backend, drawing
// its outputs as windows on a private Xvfb, side by side from the left, and
// (when asked) Xwayland for X clients. Its socket and runtime folder are the
// test's own, so tests running in parallel never share a compositor.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/PrivateXServer.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace tact::test {

struct WestonOptions {
    int outputs = 2;
    int width = 800;
    int height = 600;
    // Each output's scale: its mode is width x height times this, its
    // logical size width x height.
    int scale = 1;
    bool xwayland = true;
};

class PrivateWeston {
  public:
    // Starts Xvfb and weston, and waits (at most ten seconds) until weston
    // serves its socket and, with Xwayland, the X display. On failure ok()
    // is false and error() says why, with the end of weston's log.
    explicit PrivateWeston(const WestonOptions& options = {});
    // Ends weston politely, so that it removes its sockets and lock files.
    ~PrivateWeston();
    PrivateWeston(const PrivateWeston&) = delete;
    PrivateWeston& operator=(const PrivateWeston&) = delete;

    // False when weston, Xvfb or (when asked for) Xwayland is not installed;
    // the test then skips.
    bool installed() const { return installed_; }
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

    // The Wayland socket's name (WAYLAND_DISPLAY), in runtimeDir().
    const std::string& waylandSocket() const { return socket_; }
    const std::string& runtimeDir() const { return dir_.path(); }
    // "XDG_RUNTIME_DIR=...", "WAYLAND_DISPLAY=...": a Wayland client's
    // environment.
    std::vector<std::string> environment() const;
    // Xwayland's display (":N"); empty without Xwayland. Xwayland itself
    // starts with the first client that connects there.
    const std::string& xwaylandDisplay() const { return xwayland_; }
    // The Xvfb weston draws on.
    const std::string& hostDisplay() const { return host_.display(); }

    const std::string& logPath() const { return logPath_; }
    // weston's log so far.
    std::string log() const;
    // Ends weston at once, as a crash does: every client's connection breaks.
    void stop() { weston_.reset(); }

  private:
    bool start(const WestonOptions& options, std::chrono::steady_clock::time_point deadline);

    PrivateXServer host_;
    TempDir dir_;
    std::string socket_ = "wayland-tact";
    std::string logPath_;
    std::string xwayland_;
    std::unique_ptr<BackgroundProcess> weston_;
    bool installed_ = false;
    bool ok_ = false;
    std::string error_;
};

}  // namespace tact::test
