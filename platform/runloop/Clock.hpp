// The clocks of the program: absolute time and the monotonic tick counter.
// They read the system clocks, unless a virtual run loop is running the show,
// in which case they read its virtual clock.
#pragma once

#include <cstdint>

namespace platform {

// Seconds since 2001-01-01 00:00 UTC.
double CFAbsoluteTimeGetCurrent();

// The monotonic tick counter and the ratio that turns ticks into nanoseconds
// (nanoseconds = ticks * numer / denom).
struct Timebase {
    std::uint32_t numer;
    std::uint32_t denom;
};
std::uint64_t hostTicks();
Timebase hostTimebase();

// Seconds between 1970-01-01 and 2001-01-01.
inline constexpr double kAbsoluteTimeIntervalSince1970 = 978307200.0;

// A clock that replaces the system clocks while installed.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual double absoluteTime() const = 0;
    virtual std::uint64_t monotonicNanoseconds() const = 0;
};

// Installs (or, with nullptr, removes) the clock that replaces the system clocks.
void setClockOverride(const Clock* clock);

}  // namespace platform
