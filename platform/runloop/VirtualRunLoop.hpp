// The virtual run loop: a clock in nanoseconds that jumps straight to the next
// due timer, so nothing ever sleeps. At one instant, posted work runs first (in
// posting order), then due timers in order of due time and, at equal times, of
// creation. Descriptor sources are polled without waiting at every step; they
// deliver data but do not keep run() going.
//
// While it exists, the loop is the clock of CFAbsoluteTimeGetCurrent() (the
// wall clock, which stepWallClock() can set as a system's time is set) and
// hostTicks(). Its tick counter starts at one second (never zero).
#pragma once

#include "platform/runloop/RunLoop.hpp"

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class VirtualRunLoop : public RunLoop {
  public:
    explicit VirtualRunLoop(double startAbsoluteTime);
    ~VirtualRunLoop() override;
    VirtualRunLoop(const VirtualRunLoop&) = delete;
    VirtualRunLoop& operator=(const VirtualRunLoop&) = delete;

    double absoluteTime() const override;
    std::uint64_t monotonicNanoseconds() const override;

    [[nodiscard]] Timer addTimer(double delay, double interval, TimerCallback cb) override;
    [[nodiscard]] FdSource addFd(int fd, std::uint32_t events, FdCallback cb) override;
    void post(std::function<void()> fn) override;

    // Runs until no valid timer and no posted work is left, or until stop().
    // Returns the code given to stop(), 0 when the work ran out.
    int run() override;
    // Ends the current run() or runUntil(); when neither is running, the next
    // run() returns at once (and the next runUntil() does nothing).
    void stop(int code = 0) override;

    // Handles everything due up to absoluteTime (inclusive), then sets the
    // clock to it (never backwards). Returns early, with the clock where the
    // last handled work left it, when stop() is called.
    void runUntil(double absoluteTime);
    // A valid timer or posted work is waiting.
    bool hasPendingWork() const;
    // stop() was called and no run() has consumed it yet.
    bool stopRequested() const;

    // Seconds of virtual time since the loop was created.
    double elapsed() const;

    // Sets the wall clock `seconds` later (earlier when negative), as NTP or
    // a person setting the time would. The loop's own absolute time, its
    // tick counter and its timers do not move.
    void stepWallClock(double seconds);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace platform
