#include "platform/runloop/Clock.hpp"

#include "platform/runloop/Handles.hpp"

#include <time.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<const Clock*> gOverride{nullptr};

std::uint64_t nanosecondsOf(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

double systemAbsoluteTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<double>(ts.tv_sec) - kAbsoluteTimeIntervalSince1970) +
           static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

double CFAbsoluteTimeGetCurrent() {
    if (const Clock* clock = gOverride.load(std::memory_order_acquire))
        return clock->absoluteTime();
    return systemAbsoluteTime();
}

SteadyAbsoluteClock::SteadyAbsoluteClock()
    : wallAtStart_(systemAbsoluteTime()), monotonicAtStart_(nanosecondsOf(CLOCK_MONOTONIC)) {}

double SteadyAbsoluteClock::now() const {
    const std::uint64_t elapsed = nanosecondsOf(CLOCK_MONOTONIC) - monotonicAtStart_;
    return wallAtStart_ + static_cast<double>(elapsed) * 1e-9;
}

std::uint64_t hostTicks() {
    if (const Clock* clock = gOverride.load(std::memory_order_acquire))
        return clock->monotonicNanoseconds();
    return nanosecondsOf(CLOCK_MONOTONIC);
}

Timebase hostTimebase() {
    return Timebase{1, 1};
}

void setClockOverride(const Clock* clock) {
    gOverride.store(clock, std::memory_order_release);
}

namespace runloop_detail {
const Clock* clockOverride() {
    return gOverride.load(std::memory_order_acquire);
}
}  // namespace runloop_detail

}  // namespace platform
