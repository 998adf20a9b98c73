// The agent as it runs for a user, for the benchmarks: the real run loop
// (sd-event), the converter as the agent makes it (its start-up log mask
// on), the desktop session on a private X server (the X11 desktop, its
// pointer following and desktop actions), the session bus when there is one,
// a symbolic hot-key file of 200 entries, and the real sinks: the uinput
// translation writing into /dev/null, or XTest on the private server.
//
// Reports reach the agent as a frame's do: read from a descriptor (one end
// of a packet socket) by the run loop's watch, then handed to the device
// layer's input report callback. Each report's handling is one cycle; so is
// each firing of a timer the converter started (the momentum tick). A cycle
// is timed from the report's read (the timer's firing) to the last write of
// the sink (the end of its handling when it wrote nothing).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/values/Value.hpp"

namespace tact::bench {

// One report and how long after the previous one the frame sends it.
struct Step {
    std::vector<std::uint8_t> report;
    double gap = 0.008;
};

// What one path measured.
struct PathFigures {
    std::uint64_t cycles = 0;          // reports, or timer firings
    std::uint64_t events = 0;          // events posted to the sink
    std::uint64_t notifications = 0;   // notifications posted
    double cpuMicroseconds = 0;        // the process's CPU per cycle
    double allocations = 0;            // per cycle
    std::uint64_t maxAllocations = 0;  // the most in one cycle
    double otherAllocations = 0;       // per cycle, outside cycles (loop, display, bus)
    double p50 = 0, p99 = 0, max = 0;  // latency, microseconds
    std::string state;                 // the converter's state at the end
};

class ShippedAgent {
  public:
    enum class Sink { Uinput, XTest };

    // Starts the private X server, the loop, the desktop session and the
    // converter. nullptr with the reason in *error.
    static std::unique_ptr<ShippedAgent> start(std::string* error);
    ~ShippedAgent();

    // Where posted events go from now on.
    void useSink(Sink sink);
    // Whether notifications go over the session bus (else in process).
    bool onSessionBus() const;
    const std::string& display() const;

    // A control notification ("TouchTestMode", "calibrateInProgress", ...),
    // handled before this returns.
    void control(const platform::Dictionary& userInfo);
    // Makes a browser the active application.
    bool activateBrowser();

    // Plays warmup, then loop over and over until `reports` reports were
    // measured.
    PathFigures playReports(const std::vector<Step>& warmup, const std::vector<Step>& loop,
                            std::uint64_t reports);
    // Plays warmup, then the episode over and over, each time waiting until the timers
    // it set off have run down, and measures the timer firings: until
    // `firings` were measured or `seconds` have passed.
    PathFigures playTimers(const std::vector<Step>& warmup, const std::vector<Step>& episode,
                           std::uint64_t firings, double seconds);

    struct Impl;

  private:
    explicit ShippedAgent(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace tact::bench
