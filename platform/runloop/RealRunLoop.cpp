// The real run loop, on sd-event. Timers run on CLOCK_MONOTONIC with
// microsecond accuracy; work posted from any thread wakes the loop through an
// eventfd; SIGTERM and SIGINT arrive through signalfd sources.
#include "platform/log/SystemLog.hpp"
#include "platform/runloop/CallbackFailure.hpp"
#include "platform/runloop/Embedding.hpp"
#include "platform/runloop/Handles.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/runloop/SdEvent.hpp"

#include <signal.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

using runloop_detail::FdCore;
using runloop_detail::TimerCore;

struct EventUnref {
    void operator()(sd_event* e) const { sd_event_unref(e); }
};
using EventPtr = std::unique_ptr<sd_event, EventUnref>;

struct SourceUnref {
    void operator()(sd_event_source* s) const { sd_event_source_disable_unref(s); }
};
using SourcePtr = std::unique_ptr<sd_event_source, SourceUnref>;

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_ = -1;
};

std::uint64_t clockMicroseconds(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// Seconds to whole microseconds; negative and NaN become 0, and the result is
// capped at about 30 years so that later additions cannot overflow.
std::uint64_t toMicroseconds(double seconds) {
    if (!(seconds > 0))
        return 0;
    return static_cast<std::uint64_t>(std::llround(std::min(seconds, 1e9) * 1e6));
}

void logFailure(const char* what, int negativeErrno) {
    systemLog(LogLevel::Error,
              std::string("run loop: ") + what + " failed: " + std::strerror(-negativeErrno));
}

// SIGTERM and SIGINT reach the loop through signalfd, which needs them
// blocked. Loops that want them share one blocking, lifted with the last one.
class SignalBlock {
  public:
    static void acquire() {
        std::lock_guard lock(mutex());
        if (count()++ > 0)
            return;
        sigset_t wanted, previous;
        sigemptyset(&wanted);
        sigaddset(&wanted, SIGTERM);
        sigaddset(&wanted, SIGINT);
        pthread_sigmask(SIG_BLOCK, &wanted, &previous);
        sigemptyset(&ours());
        for (int sig : {SIGTERM, SIGINT})
            if (!sigismember(&previous, sig))
                sigaddset(&ours(), sig);
    }
    static void release() {
        std::lock_guard lock(mutex());
        if (--count() > 0)
            return;
        pthread_sigmask(SIG_UNBLOCK, &ours(), nullptr);
    }

  private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static int& count() {
        static int n = 0;
        return n;
    }
    static sigset_t& ours() {
        static sigset_t set;
        return set;
    }
};

class RealRunLoop;

class RealTimer final : public TimerCore {
  public:
    RealTimer(RealRunLoop* loop, RunLoop::TimerCallback cb, std::uint64_t dueUsec,
              std::uint64_t intervalUsec)
        : TimerCore(std::move(cb), intervalUsec > 0),
          loop_(loop),
          due_(dueUsec),
          interval_(intervalUsec) {}

    int attach(sd_event* event) {
        sd_event_source* s = nullptr;
        int r = sd_event_add_time(event, &s, CLOCK_MONOTONIC, due_, 1, &RealTimer::onTime, this);
        if (r >= 0)
            source_.reset(s);
        return r;
    }

    // The loop is going away: the timer never fires again.
    void loopGone() {
        loop_ = nullptr;
        invalidate();
    }

  private:
    void disarm() override;

    static int onTime(sd_event_source* s, std::uint64_t, void* userdata) {
        auto* timer = static_cast<RealTimer*>(userdata);
        if (timer->repeating()) {
            // Next due time counts from the previous one, not from now, so the
            // timer keeps its phase; periods missed while the loop was busy
            // are skipped rather than fired in a burst.
            std::uint64_t next = timer->due_ + timer->interval_;
            std::uint64_t now = clockMicroseconds(CLOCK_MONOTONIC);
            if (next <= now)
                next += ((now - next) / timer->interval_ + 1) * timer->interval_;
            timer->due_ = next;
            sd_event_source_set_time(s, next);
            sd_event_source_set_enabled(s, SD_EVENT_ONESHOT);
        }
        timer->fire();
        return 0;
    }

    RealRunLoop* loop_;
    SourcePtr source_;
    std::uint64_t due_;
    std::uint64_t interval_;
};

class RealFd final : public FdCore {
  public:
    RealFd(RealRunLoop* loop, RunLoop::FdCallback cb) : FdCore(std::move(cb)), loop_(loop) {}

    int attach(sd_event* event, int fd, std::uint32_t events) {
        sd_event_source* s = nullptr;
        int r = sd_event_add_io(event, &s, fd, events, &RealFd::onIo, this);
        if (r >= 0)
            source_.reset(s);
        return r;
    }

    void loopGone() {
        loop_ = nullptr;
        remove();
    }

  private:
    void disarm() override;

    static int onIo(sd_event_source*, int, std::uint32_t revents, void* userdata) {
        static_cast<RealFd*>(userdata)->fire(revents);
        return 0;
    }

    RealRunLoop* loop_;
    SourcePtr source_;
};

class RealRunLoop final : public RunLoop {
  public:
    explicit RealRunLoop(bool stopOnSignals) {
        sd_event* e = nullptr;
        int r = sd_event_new(&e);
        if (r < 0) {
            logFailure("creating the sd-event loop", r);
            return;
        }
        event_.reset(e);

        wakeFd_ = std::make_unique<UniqueFd>(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (wakeFd_->get() < 0) {
            logFailure("creating the wake-up eventfd", -errno);
        } else {
            sd_event_source* s = nullptr;
            r = sd_event_add_io(e, &s, wakeFd_->get(), EPOLLIN, &RealRunLoop::onWake, this);
            if (r < 0)
                logFailure("watching the wake-up eventfd", r);
            else
                wakeSource_.reset(s);
        }

        if (stopOnSignals) {
            SignalBlock::acquire();
            signalsBlocked_ = true;
            for (int sig : {SIGTERM, SIGINT}) {
                sd_event_source* s = nullptr;
                r = sd_event_add_signal(e, &s, sig, &RealRunLoop::onSignal, this);
                if (r < 0)
                    logFailure("watching a stop signal", r);
                else
                    signalSources_.emplace_back(s);
            }
        }
    }

    ~RealRunLoop() override {
        // Posted work may own handles; let it go while the loop is whole.
        std::deque<std::function<void()>> posted;
        {
            std::lock_guard lock(postMutex_);
            posted.swap(posted_);
        }
        posted.clear();

        // Handles that outlive the loop become inert. Keep every source alive
        // until all are cut loose: releasing one callback may drop others.
        std::vector<std::shared_ptr<RealTimer>> timers;
        std::vector<std::shared_ptr<RealFd>> fds;
        for (auto& [ptr, weak] : timers_)
            if (auto t = weak.lock())
                timers.push_back(std::move(t));
        for (auto& [ptr, weak] : fds_)
            if (auto f = weak.lock())
                fds.push_back(std::move(f));
        timers_.clear();
        fds_.clear();
        for (auto& t : timers)
            t->loopGone();
        for (auto& f : fds)
            f->loopGone();
        timers.clear();
        fds.clear();

        signalSources_.clear();
        if (signalsBlocked_)
            SignalBlock::release();
        wakeSource_.reset();
        wakeFd_.reset();
        event_.reset();
    }

    sd_event* event() const { return event_.get(); }

    // Read from the wall clock once and carried on by the monotonic clock, as
    // timers are: setting the system's time does not move it.
    double absoluteTime() const override { return absolute_.now(); }

    std::uint64_t monotonicNanoseconds() const override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
               static_cast<std::uint64_t>(ts.tv_nsec);
    }

    Timer addTimer(double delay, double interval, TimerCallback cb) override {
        if (!event_ || !cb)
            return runloop_detail::inertTimer();
        std::uint64_t intervalUsec =
            interval > 0 ? std::max<std::uint64_t>(1, toMicroseconds(interval)) : 0;
        std::uint64_t due = clockMicroseconds(CLOCK_MONOTONIC) + toMicroseconds(delay);
        auto timer = std::make_shared<RealTimer>(this, std::move(cb), due, intervalUsec);
        int r = timer->attach(event_.get());
        if (r < 0) {
            logFailure("adding a timer", r);
            return runloop_detail::inertTimer();
        }
        timers_.emplace(timer.get(), timer);
        return Timer(std::move(timer));
    }

    FdSource addFd(int fd, std::uint32_t events, FdCallback cb) override {
        if (!event_ || !cb)
            return runloop_detail::inertFdSource();
        auto source = std::make_shared<RealFd>(this, std::move(cb));
        int r = source->attach(event_.get(), fd, events);
        if (r < 0) {
            logFailure(("watching descriptor " + std::to_string(fd)).c_str(), r);
            return runloop_detail::inertFdSource();
        }
        fds_.emplace(source.get(), source);
        return FdSource(std::move(source));
    }

    void post(std::function<void()> fn) override {
        if (!fn)
            return;
        bool wasEmpty;
        {
            std::lock_guard lock(postMutex_);
            wasEmpty = posted_.empty();
            posted_.push_back(std::move(fn));
        }
        if (wasEmpty)
            wake();
    }

    int run() override {
        if (!event_)
            return 1;
        for (;;) {
            if (auto code = takeStopRequest())
                return *code;
            if (sd_event_get_state(event_.get()) == SD_EVENT_FINISHED) {
                int code = 0;
                sd_event_get_exit_code(event_.get(), &code);
                return code;
            }
            int r = sd_event_run(event_.get(), UINT64_MAX);
            if (r < 0) {
                logFailure("running the sd-event loop", r);
                return 1;
            }
        }
    }

    // A stop requested while the loop is not running ends the next run() at once.
    void stop(int code) override {
        stopCode_.store(code);
        stopRequested_.store(true);
        wake();
    }

    std::optional<int> takeStopRequest() {
        if (!stopRequested_.exchange(false))
            return std::nullopt;
        return stopCode_.load();
    }

    void forget(RealTimer* t) { timers_.erase(t); }
    void forget(RealFd* f) { fds_.erase(f); }

  private:
    SteadyAbsoluteClock absolute_;

    void wake() {
        if (!wakeFd_ || wakeFd_->get() < 0)
            return;
        std::uint64_t one = 1;
        ssize_t n = ::write(wakeFd_->get(), &one, sizeof one);
        (void)n;  // EAGAIN only when the counter is already huge: still awake.
    }

    static int onWake(sd_event_source*, int fd, std::uint32_t, void* userdata) {
        auto* self = static_cast<RealRunLoop*>(userdata);
        std::uint64_t count;
        ssize_t n = ::read(fd, &count, sizeof count);
        (void)n;
        // Run what is posted now; what these items post runs on the next turn.
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard lock(self->postMutex_);
            batch.swap(self->posted_);
        }
        for (auto& fn : batch) {
            runloop_detail::runCallback("posted work", fn);
        }
        return 0;
    }

    static int onSignal(sd_event_source*, const signalfd_siginfo* info, void* userdata) {
        systemLog(LogLevel::Info, std::string("run loop: stopping on signal ") +
                                      (info->ssi_signo == SIGINT ? "SIGINT" : "SIGTERM"));
        static_cast<RealRunLoop*>(userdata)->stop(0);
        return 0;
    }

    EventPtr event_;
    std::unique_ptr<UniqueFd> wakeFd_;
    SourcePtr wakeSource_;
    std::vector<SourcePtr> signalSources_;
    bool signalsBlocked_ = false;

    std::mutex postMutex_;
    std::deque<std::function<void()>> posted_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<int> stopCode_{0};

    std::unordered_map<RealTimer*, std::weak_ptr<RealTimer>> timers_;
    std::unordered_map<RealFd*, std::weak_ptr<RealFd>> fds_;
};

void RealTimer::disarm() {
    source_.reset();
    if (loop_) {
        loop_->forget(this);
        loop_ = nullptr;
    }
}

void RealFd::disarm() {
    source_.reset();
    if (loop_) {
        loop_->forget(this);
        loop_ = nullptr;
    }
}

}  // namespace

std::unique_ptr<RunLoop> makeRealRunLoop(bool stopOnSignals) {
    return std::make_unique<RealRunLoop>(stopOnSignals);
}

std::optional<int> takeStopRequest(RunLoop& loop) {
    auto* real = dynamic_cast<RealRunLoop*>(&loop);
    return real ? real->takeStopRequest() : std::nullopt;
}

sd_event* sdEventOf(RunLoop& loop) {
    auto* real = dynamic_cast<RealRunLoop*>(&loop);
    return real ? real->event() : nullptr;
}

}  // namespace platform
