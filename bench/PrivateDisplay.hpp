// A private X server (Xvfb) for the benchmarks, and a client of it that
// makes a window the active one, the way a window manager says so.
#pragma once

#include <sys/types.h>

#include <string>

namespace tact::bench {

class PrivateDisplay {
  public:
    // Starts Xvfb with one screen of width x height; display() is empty
    // when it could not be started (error() says why).
    PrivateDisplay(int width, int height);
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    const std::string& display() const { return display_; }
    const std::string& error() const { return error_; }

    // Maps a window of that WM_CLASS ("instance\0class\0") and names it in
    // the root window's _NET_ACTIVE_WINDOW. False when the server refused.
    bool activateWindowOfClass(const std::string& wmClass);

  private:
    pid_t pid_ = -1;
    std::string display_;
    std::string error_;
};

}  // namespace tact::bench
