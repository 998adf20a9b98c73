#include "platform/runloop/VirtualRunLoop.hpp"

#include "platform/log/SystemLog.hpp"
#include "platform/runloop/CallbackFailure.hpp"
#include "platform/runloop/Clock.hpp"
#include "platform/runloop/Handles.hpp"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <queue>
#include <string>
#include <utility>
#include <vector>

namespace platform {
namespace {

using runloop_detail::FdCore;
using runloop_detail::TimerCore;

// The tick counter of a virtual loop starts here rather than at zero, so that
// a tick value of zero never occurs.
constexpr std::uint64_t kTickOrigin = 1'000'000'000;
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// Seconds to whole nanoseconds; negative and NaN become 0, and the result is
// capped at about 30 years so that sums of due times cannot overflow.
std::uint64_t toNanoseconds(double seconds) {
    if (!(seconds > 0))
        return 0;
    return static_cast<std::uint64_t>(std::llround(std::min(seconds, 1e9) * 1e9));
}

class VirtualTimer;
class VirtualFd;

}  // namespace

struct VirtualRunLoop::State final : public Clock {
    struct Entry {
        std::uint64_t due;
        std::uint64_t seq;
        std::shared_ptr<VirtualTimer> timer;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.due != b.due ? a.due > b.due : a.seq > b.seq;
        }
    };

    explicit State(double startTime) : start(startTime) {}

    // The loop's own absolute time: it never steps.
    double loopAbsoluteTime() const {
        return start + static_cast<double>(now.load(std::memory_order_relaxed)) / 1e9;
    }
    // The wall clock the program reads while the loop is its clock.
    double absoluteTime() const override {
        return loopAbsoluteTime() + wallClockStep.load(std::memory_order_relaxed);
    }
    std::uint64_t monotonicNanoseconds() const override {
        return kTickOrigin + now.load(std::memory_order_relaxed);
    }

    void advanceTo(std::uint64_t t) {
        if (t > now.load(std::memory_order_relaxed))
            now.store(t, std::memory_order_relaxed);
    }

    void timerGone();
    void fdGone(VirtualFd* fd);
    bool runPosted();
    void pollFds();
    bool step(std::uint64_t limit);
    bool hasPendingWork();

    const double start;
    std::atomic<std::uint64_t> now{0};     // nanoseconds since the loop was created
    std::atomic<double> wallClockStep{0};  // seconds the wall clock was set by
    const Clock* previousClock = nullptr;

    std::priority_queue<Entry, std::vector<Entry>, Later> timers;
    std::uint64_t nextSeq = 0;
    std::size_t validTimers = 0;

    std::vector<std::shared_ptr<VirtualFd>> fds;

    std::mutex postMutex;
    std::deque<std::function<void()>> posted;

    std::atomic<bool> stopRequested{false};
    std::atomic<int> stopCode{0};
};

namespace {

using State = VirtualRunLoop::State;

class VirtualTimer final : public TimerCore {
  public:
    VirtualTimer(State* state, RunLoop::TimerCallback cb, std::uint64_t interval)
        : TimerCore(std::move(cb), interval > 0), interval_(interval), state_(state) {}

    std::uint64_t interval() const { return interval_; }

    void loopGone() {
        state_ = nullptr;
        invalidate();
    }

  private:
    void disarm() override {
        if (State* s = std::exchange(state_, nullptr))
            s->timerGone();
    }

    std::uint64_t interval_;
    State* state_;
};

class VirtualFd final : public FdCore {
  public:
    VirtualFd(State* state, int fd, std::uint32_t events, RunLoop::FdCallback cb)
        : FdCore(std::move(cb)), fd_(fd), events_(events), state_(state) {}

    int fd() const { return fd_; }
    std::uint32_t events() const { return events_; }

    void loopGone() {
        state_ = nullptr;
        remove();
    }

  private:
    void disarm() override {
        if (State* s = std::exchange(state_, nullptr))
            s->fdGone(this);
    }

    int fd_;
    std::uint32_t events_;
    State* state_;
};

}  // namespace

void State::timerGone() {
    --validTimers;
    // Invalid timers leave their entry in the queue until it comes up; when
    // they are the bulk of it, clear them out.
    if (timers.size() > 64 && timers.size() > 2 * validTimers) {
        std::priority_queue<Entry, std::vector<Entry>, Later> kept;
        while (!timers.empty()) {
            if (timers.top().timer->isValid())
                kept.push(timers.top());
            timers.pop();
        }
        timers.swap(kept);
    }
}

void State::fdGone(VirtualFd* fd) {
    std::erase_if(fds, [fd](const std::shared_ptr<VirtualFd>& p) { return p.get() == fd; });
}

bool State::runPosted() {
    {
        std::lock_guard lock(postMutex);
        if (posted.empty())
            return false;  // most steps: no work, and no batch to make
    }
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(postMutex);
        batch.swap(posted);
    }
    if (batch.empty())
        return false;
    for (auto& fn : batch) {
        runloop_detail::runCallback("posted work", fn);
    }
    return true;
}

void State::pollFds() {
    if (fds.empty())
        return;
    // Callbacks may remove sources (their own or others): work on a copy.
    std::vector<std::shared_ptr<VirtualFd>> watched = fds;
    std::vector<pollfd> polls;
    polls.reserve(watched.size());
    for (auto& w : watched)
        polls.push_back(pollfd{w->fd(), static_cast<short>(w->events()), 0});
    if (::poll(polls.data(), polls.size(), 0) <= 0)
        return;
    for (std::size_t i = 0; i < watched.size(); ++i) {
        auto revents = static_cast<std::uint16_t>(polls[i].revents);
        // A closed descriptor drops out silently, as it does from epoll.
        if (revents == 0 || (revents & POLLNVAL))
            continue;
        if (watched[i]->isActive())
            watched[i]->fire(revents);
    }
}

// One step at the current instant or, when nothing is left there, at the next
// due timer not later than limit: the posted batch, or one timer. Returns
// false when nothing was left to do.
bool State::step(std::uint64_t limit) {
    pollFds();
    if (runPosted())
        return true;
    while (!timers.empty() && !timers.top().timer->isValid())
        timers.pop();
    if (timers.empty() || timers.top().due > limit)
        return false;
    Entry entry = timers.top();
    timers.pop();
    advanceTo(entry.due);
    if (entry.timer->repeating())
        timers.push(Entry{entry.due + entry.timer->interval(), entry.seq, entry.timer});
    entry.timer->fire();
    return true;
}

bool State::hasPendingWork() {
    if (validTimers > 0)
        return true;
    std::lock_guard lock(postMutex);
    return !posted.empty();
}

VirtualRunLoop::VirtualRunLoop(double startAbsoluteTime)
    : state_(std::make_shared<State>(startAbsoluteTime)) {
    state_->previousClock = runloop_detail::clockOverride();
    setClockOverride(state_.get());
}

VirtualRunLoop::~VirtualRunLoop() {
    State& s = *state_;
    // Posted work may own handles; let it go while the loop is whole.
    std::deque<std::function<void()>> posted;
    {
        std::lock_guard lock(s.postMutex);
        posted.swap(s.posted);
    }
    posted.clear();

    // Handles that outlive the loop become inert.
    std::vector<std::shared_ptr<VirtualTimer>> timers;
    while (!s.timers.empty()) {
        timers.push_back(s.timers.top().timer);
        s.timers.pop();
    }
    std::vector<std::shared_ptr<VirtualFd>> fds;
    fds.swap(s.fds);
    for (auto& t : timers)
        t->loopGone();
    for (auto& f : fds)
        f->loopGone();
    timers.clear();
    fds.clear();

    if (runloop_detail::clockOverride() == state_.get())
        setClockOverride(s.previousClock);
}

double VirtualRunLoop::absoluteTime() const {
    return state_->loopAbsoluteTime();
}

void VirtualRunLoop::stepWallClock(double seconds) {
    state_->wallClockStep.store(state_->wallClockStep.load(std::memory_order_relaxed) + seconds,
                                std::memory_order_relaxed);
}

std::uint64_t VirtualRunLoop::monotonicNanoseconds() const {
    return state_->monotonicNanoseconds();
}

double VirtualRunLoop::elapsed() const {
    return static_cast<double>(state_->now.load(std::memory_order_relaxed)) / 1e9;
}

Timer VirtualRunLoop::addTimer(double delay, double interval, TimerCallback cb) {
    if (!cb)
        return runloop_detail::inertTimer();
    State& s = *state_;
    std::uint64_t intervalNs =
        interval > 0 ? std::max<std::uint64_t>(1, toNanoseconds(interval)) : 0;
    auto timer = std::make_shared<VirtualTimer>(&s, std::move(cb), intervalNs);
    std::uint64_t due = s.now.load(std::memory_order_relaxed) + toNanoseconds(delay);
    s.timers.push(State::Entry{due, s.nextSeq++, timer});
    ++s.validTimers;
    return Timer(std::move(timer));
}

FdSource VirtualRunLoop::addFd(int fd, std::uint32_t events, FdCallback cb) {
    if (!cb || fd < 0)
        return runloop_detail::inertFdSource();
    auto source = std::make_shared<VirtualFd>(state_.get(), fd, events, std::move(cb));
    state_->fds.push_back(source);
    return FdSource(std::move(source));
}

void VirtualRunLoop::post(std::function<void()> fn) {
    if (!fn)
        return;
    std::lock_guard lock(state_->postMutex);
    state_->posted.push_back(std::move(fn));
}

int VirtualRunLoop::run() {
    State& s = *state_;
    for (;;) {
        if (s.stopRequested.exchange(false))
            return s.stopCode.load();
        if (!s.step(kNoLimit))
            return 0;
    }
}

void VirtualRunLoop::stop(int code) {
    state_->stopCode.store(code);
    state_->stopRequested.store(true);
}

void VirtualRunLoop::runUntil(double absoluteTime) {
    State& s = *state_;
    std::uint64_t target = s.now.load(std::memory_order_relaxed);
    double offset = absoluteTime - s.start;
    if (offset > 0) {
        std::uint64_t ns = toNanoseconds(offset);
        // An absolute time far from zero carries less than nanosecond
        // precision; snap to the whole microsecond when it is within that
        // error, so start + 0.17 means 170 000 000 ns and not 170 000 017.
        double ulpNs = (std::nextafter(absoluteTime, HUGE_VAL) - absoluteTime) * 1e9;
        std::uint64_t micros = (ns + 500) / 1000 * 1000;
        double diff = std::abs(static_cast<double>(ns) - static_cast<double>(micros));
        if (diff <= ulpNs)
            ns = micros;
        target = std::max(target, ns);
    }
    for (;;) {
        if (s.stopRequested.load())
            return;
        if (!s.step(target))
            break;
    }
    s.advanceTo(target);
}

bool VirtualRunLoop::hasPendingWork() const {
    return state_->hasPendingWork();
}

bool VirtualRunLoop::stopRequested() const {
    return state_->stopRequested.load();
}

std::unique_ptr<RunLoop> makeVirtualRunLoop(double startAbsoluteTime) {
    return std::make_unique<VirtualRunLoop>(startAbsoluteTime);
}

}  // namespace platform
