// The run loop that delivers every callback of a program on its main thread:
// file-descriptor sources, one-shot and repeating timers, and work posted to
// run soon. Two implementations share this interface:
//  - the real loop (sd-event), which sleeps until something is due;
//  - the virtual loop, whose clock jumps straight to the next due timer, so
//    replay and tests run exactly and without sleeping.
//
// Handles are RAII: destroying a Timer or FdSource removes it from the loop.
// A timer may invalidate or destroy its own handle from its callback.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class RunLoop;

class Timer {
  public:
    class Impl;
    Timer() = default;
    explicit Timer(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    Timer(Timer&&) noexcept = default;
    Timer& operator=(Timer&& other) noexcept;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer() { invalidate(); }

    // Stops the timer; it never fires again. Safe from its own callback and
    // on an already invalid timer.
    void invalidate();
    bool isValid() const;

  private:
    std::shared_ptr<Impl> impl_;
};

class FdSource {
  public:
    class Impl;
    FdSource() = default;
    explicit FdSource(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    FdSource(FdSource&&) noexcept = default;
    FdSource& operator=(FdSource&& other) noexcept;
    FdSource(const FdSource&) = delete;
    FdSource& operator=(const FdSource&) = delete;
    ~FdSource() { remove(); }

    // Stops watching the descriptor (it is not closed). Safe from its callback.
    void remove();
    bool isActive() const;

  private:
    std::shared_ptr<Impl> impl_;
};

class RunLoop {
  public:
    using TimerCallback = std::function<void(Timer&)>;
    using FdCallback = std::function<void(std::uint32_t revents)>;

    virtual ~RunLoop() = default;

    // Absolute time: seconds since 2001-01-01 00:00 UTC, read from the wall
    // clock when the loop starts and carried on by the monotonic clock, so it
    // never steps and agrees with the timers.
    virtual double absoluteTime() const = 0;
    // Monotonic time in nanoseconds from an arbitrary origin.
    virtual std::uint64_t monotonicNanoseconds() const = 0;

    // A timer that first fires `delay` seconds from now, then every `interval`
    // seconds when interval > 0 (one-shot otherwise). The callback receives the
    // handle, so it can invalidate the timer from inside.
    [[nodiscard]] virtual Timer addTimer(double delay, double interval, TimerCallback cb) = 0;

    // Watches fd for the poll(2) events given (POLLIN, POLLOUT, ...).
    [[nodiscard]] virtual FdSource addFd(int fd, std::uint32_t events, FdCallback cb) = 0;

    // Runs fn from the loop soon, after what is already posted (FIFO).
    virtual void post(std::function<void()> fn) = 0;

    // Runs until stop() (real loop), or until nothing is left to do (virtual
    // loop: no timer and no posted work). Returns the code given to stop().
    virtual int run() = 0;
    virtual void stop(int code = 0) = 0;
};

// The real loop on sd-event. With stopOnSignals, SIGTERM and SIGINT stop it.
std::unique_ptr<RunLoop> makeRealRunLoop(bool stopOnSignals = true);

// The virtual loop. Its absolute clock starts at startAbsoluteTime; while it
// exists it is also the wall clock of CFAbsoluteTimeGetCurrent and the tick
// counter.
std::unique_ptr<RunLoop> makeVirtualRunLoop(double startAbsoluteTime);

// The loop the program's callbacks run on. A program installs its loop once at
// start (setMainRunLoop); until then there is none and mainRunLoop() aborts.
RunLoop& mainRunLoop();
bool hasMainRunLoop();
void setMainRunLoop(RunLoop* loop);

}  // namespace platform
