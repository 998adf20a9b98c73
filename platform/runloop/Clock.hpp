// The clocks of the program: the wall clock in absolute time and the
// monotonic tick counter. They read the system clocks, unless a virtual run
// loop is running the show, in which case they read its virtual clock.
//
// The wall clock steps when the system's time is set (NTP, a resume, a
// person). What measures intervals reads a run loop's absoluteTime() instead,
// which is a SteadyAbsoluteClock: it never steps.
#pragma once

#include <cstdint>

namespace platform {

// Seconds since 2001-01-01 00:00 UTC, as the wall clock says now.
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

// Absolute time that never steps: the system's wall clock read once, when
// made, plus the monotonic time elapsed since. Its values keep their meaning
// (seconds since 2001) and share the monotonic clock's base with timers.
class SteadyAbsoluteClock {
  public:
    SteadyAbsoluteClock();
    double now() const;

  private:
    double wallAtStart_;
    std::uint64_t monotonicAtStart_;
};

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
