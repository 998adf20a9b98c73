// An X server of a test's own (Xvfb, 1280x800, 24 bits) on a display number
// it picks itself, so tests running in parallel never share one.
#pragma once

#include <memory>
#include <string>

#include "tests/support/Subprocess.hpp"

namespace tact::test {

class PrivateXServer {
  public:
    PrivateXServer();
    // False when Xvfb is not installed (the test then skips).
    bool installed() const { return server_ != nullptr; }
    // ":N", or empty when the server did not report its display.
    const std::string& display() const { return display_; }
    // Ends the server; every client's connection breaks.
    void stop() { server_.reset(); }

  private:
    std::unique_ptr<BackgroundProcess> server_;
    std::string display_;
};

}  // namespace tact::test
