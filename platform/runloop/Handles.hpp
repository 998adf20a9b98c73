// What the two run loops share behind the Timer and FdSource handles: the
// callback bookkeeping that makes it safe for a callback to invalidate or
// destroy its own handle (an exception from a callback ends the program: see
// CallbackFailure.hpp).
// Internal to platform/runloop.
#pragma once

#include "platform/runloop/Clock.hpp"
#include "platform/runloop/RunLoop.hpp"

#include <cstdint>
#include <memory>

namespace platform {

class Timer::Impl {
  public:
    virtual ~Impl() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

class FdSource::Impl {
  public:
    virtual ~Impl() = default;
    virtual void remove() = 0;
    virtual bool isActive() const = 0;
};

namespace runloop_detail {

class CallbackHandle;

// A timer of either loop. The loop calls fire() when it is due (a repeating
// timer is re-armed by the loop before that). The callback gets a handle it may
// invalidate; the callback object itself stays alive until the call returns,
// even when the handle the program holds is destroyed inside it. Firing
// allocates nothing: the handle is made at the first firing and lent to every
// later one (a new one is made only when a callback kept the last one).
class TimerCore : public Timer::Impl, public std::enable_shared_from_this<TimerCore> {
  public:
    TimerCore(RunLoop::TimerCallback cb, bool repeating)
        : cb_(std::move(cb)), repeating_(repeating) {}

    void invalidate() final;
    bool isValid() const final { return valid_; }
    bool repeating() const { return repeating_; }

    void fire();

  protected:
    // Takes the timer off its loop. Called once, when it becomes invalid.
    virtual void disarm() = 0;

  private:
    RunLoop::TimerCallback cb_;
    std::shared_ptr<CallbackHandle> handle_;  // what the callback receives
    bool repeating_;
    bool valid_ = true;
    int firing_ = 0;
};

// A descriptor watch of either loop, with the same guarantees as TimerCore.
class FdCore : public FdSource::Impl, public std::enable_shared_from_this<FdCore> {
  public:
    explicit FdCore(RunLoop::FdCallback cb) : cb_(std::move(cb)) {}

    void remove() final;
    bool isActive() const final { return active_; }

    void fire(std::uint32_t revents);

  protected:
    virtual void disarm() = 0;

  private:
    RunLoop::FdCallback cb_;
    bool active_ = true;
    int firing_ = 0;
};

// Handles that are already invalid: what addTimer/addFd return when the
// system refused the source (the failure is logged).
Timer inertTimer();
FdSource inertFdSource();

// The clock installed with setClockOverride(), or nullptr.
const Clock* clockOverride();

}  // namespace runloop_detail
}  // namespace platform
