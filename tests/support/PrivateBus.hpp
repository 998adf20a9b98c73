// A D-Bus daemon of a test's own: a session-type bus on a socket in a fresh
// temporary directory, open to everyone, gone when the object is destroyed.
// Every test that needs a bus starts one, so tests running in parallel never
// see each other's messages. A bus made with a socket path listens exactly
// there, so that a second daemon can take over the same address after the
// first one is gone (a restarted session bus).
#pragma once

#include <memory>
#include <string>

#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace tact::test {

class PrivateBus {
  public:
    // Starts dbus-daemon and waits for its address. On failure address() is
    // empty and error() says why.
    PrivateBus();
    // Listens on the unix socket at socketPath (a stale socket left there by a
    // daemon that was killed is replaced).
    explicit PrivateBus(const std::string& socketPath);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ok() const { return !address_.empty(); }
    const std::string& address() const { return address_; }
    const std::string& error() const { return error_; }

    // "DBUS_SESSION_BUS_ADDRESS=<address>", for the environment of a child.
    std::string environment() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }

  private:
    void start(const std::string& listen);

    TempDir dir_;
    std::unique_ptr<BackgroundProcess> daemon_;
    std::string address_;
    std::string error_;
};

// Full path of a program found on PATH; empty when there is none.
std::string findOnPath(const std::string& name);

}  // namespace tact::test
