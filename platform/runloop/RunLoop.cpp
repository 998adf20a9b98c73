#include "platform/runloop/RunLoop.hpp"

#include "platform/log/SystemLog.hpp"
#include "platform/runloop/CallbackFailure.hpp"
#include "platform/runloop/Handles.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace platform {

// --- Handles ---------------------------------------------------------------

Timer& Timer::operator=(Timer&& other) noexcept {
    if (this != &other) {
        invalidate();
        impl_ = std::move(other.impl_);
    }
    return *this;
}

void Timer::invalidate() {
    // Let go of the reference first: invalidating may run code that touches
    // this handle again.
    if (auto impl = std::move(impl_))
        impl->invalidate();
}

bool Timer::isValid() const {
    return impl_ && impl_->isValid();
}

FdSource& FdSource::operator=(FdSource&& other) noexcept {
    if (this != &other) {
        remove();
        impl_ = std::move(other.impl_);
    }
    return *this;
}

void FdSource::remove() {
    if (auto impl = std::move(impl_))
        impl->remove();
}

bool FdSource::isActive() const {
    return impl_ && impl_->isActive();
}

namespace runloop_detail {

// The handle a timer callback receives. It acts on the timer while the
// callback runs; once the call returns it is cut loose, so that destroying it
// does not invalidate the timer the way destroying an owning handle would.
// It does not keep the timer alive: the timer owns it.
class CallbackHandle final : public Timer::Impl {
  public:
    explicit CallbackHandle(std::weak_ptr<TimerCore> target) : target_(std::move(target)) {}
    void invalidate() override {
        if (!attached_)
            return;
        if (auto target = target_.lock())
            target->invalidate();
    }
    bool isValid() const override {
        auto target = target_.lock();
        return target && target->isValid();
    }
    void attach() { attached_ = true; }
    void detach() { attached_ = false; }

  private:
    std::weak_ptr<TimerCore> target_;
    bool attached_ = false;
};

namespace {

class Inert final : public Timer::Impl, public FdSource::Impl {
  public:
    void invalidate() override {}
    bool isValid() const override { return false; }
    void remove() override {}
    bool isActive() const override { return false; }
};

}  // namespace

void TimerCore::invalidate() {
    if (!valid_)
        return;
    valid_ = false;
    disarm();
    // The callback may own the program's handle on this timer; dropping it
    // here breaks that cycle. During the call it is dropped when the call ends.
    if (firing_ == 0)
        cb_ = nullptr;
}

void TimerCore::fire() {
    if (!valid_ || !cb_)
        return;
    auto self = shared_from_this();
    // The handle of the last firing serves again unless somebody still holds
    // it: a callback that kept it, or a firing of this timer still under way.
    if (!handle_ || handle_.use_count() != 1)
        handle_ = std::make_shared<CallbackHandle>(self);
    const auto ref = handle_;
    ++firing_;
    {
        ref->attach();
        Timer handle(ref);
        runCallback("a timer callback", [&] { cb_(handle); });
        ref->detach();
    }
    --firing_;
    if (!valid_) {
        if (firing_ == 0)
            cb_ = nullptr;
    } else if (!repeating_) {
        invalidate();
    }
}

void FdCore::remove() {
    if (!active_)
        return;
    active_ = false;
    disarm();
    if (firing_ == 0)
        cb_ = nullptr;
}

void FdCore::fire(std::uint32_t revents) {
    if (!active_ || !cb_)
        return;
    auto self = shared_from_this();
    ++firing_;
    runCallback("a descriptor callback", [&] { cb_(revents); });
    --firing_;
    if (!active_ && firing_ == 0)
        cb_ = nullptr;
}

void endOnCallbackException(const char* kind) noexcept {
    std::string what = "unknown";
    try {
        throw;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    systemLog(LogLevel::Error, std::string("run loop: ") + kind + " threw an exception: " + what +
                                   "; the program ends");
    std::abort();
}

Timer inertTimer() {
    return Timer(std::make_shared<Inert>());
}
FdSource inertFdSource() {
    return FdSource(std::make_shared<Inert>());
}

}  // namespace runloop_detail

// --- The main loop ---------------------------------------------------------

namespace {
std::atomic<RunLoop*> gMainRunLoop{nullptr};
}

RunLoop& mainRunLoop() {
    RunLoop* loop = gMainRunLoop.load(std::memory_order_acquire);
    if (!loop) {
        std::fputs(
            "fatal: mainRunLoop() was called before a run loop was installed with "
            "setMainRunLoop()\n",
            stderr);
        std::fflush(stderr);
        std::abort();
    }
    return *loop;
}

bool hasMainRunLoop() {
    return gMainRunLoop.load(std::memory_order_acquire) != nullptr;
}

void setMainRunLoop(RunLoop* loop) {
    gMainRunLoop.store(loop, std::memory_order_release);
}

}  // namespace platform
