#include "bench/ShippedAgent.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>

#include "agent/converter/StateContext.hpp"
#include "agent/converter/ZyvTouchConverter.hpp"
#include "agent/device/DeviceLayer.hpp"
#include "agent/hotkeys/HotkeyEvents.hpp"
#include "agent/session/DesktopSession.hpp"
#include "bench/BenchSupport.hpp"
#include "bench/CountingAllocator.hpp"
#include "bench/PrivateDisplay.hpp"
#include "common/Notifications.hpp"
#include "platform/events/UinputSink.hpp"
#include "platform/events/XTestSink.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/Clock.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace tact::bench {
namespace {

namespace ev = platform::events;

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;
constexpr int kHotKeys = 200;
// XTest: the server is waited for every so many reports, outside the
// timing, so that it never falls behind by more than a frame would send in
// two seconds.
constexpr std::uint64_t kXTestSyncEvery = 256;

std::uint64_t nowNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The agent's clocks moved on by hand before each report, so that reports
// fed back to back are as far apart as a frame sends them: the tick counter
// (event timestamps) through this clock, the converter's absolute time
// through TimedLoop. Timers still fire on the system's time, which both follow.
class SteppedClock : public platform::Clock {
  public:
    double absoluteTime() const override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<double>(ts.tv_sec) - platform::kAbsoluteTimeIntervalSince1970 +
               static_cast<double>(ts.tv_nsec) * 1e-9 + offsetSeconds();
    }
    std::uint64_t monotonicNanoseconds() const override { return nowNanoseconds() + offset_; }
    void step(double seconds) { offset_ += static_cast<std::uint64_t>(seconds * 1e9); }
    double offsetSeconds() const { return static_cast<double>(offset_) * 1e-9; }

  private:
    std::uint64_t offset_ = 0;
};

// The cycles of one kind (reports, or timer firings): their latencies and
// allocations while measuring.
class CycleRecorder {
  public:
    void startMeasuring(std::uint64_t expected) {
        latencies_.clear();
        latencies_.reserve(expected + 4096);
        cycles_ = allocations_ = maxAllocations_ = 0;
        measuring_ = true;
    }
    void stopMeasuring() { measuring_ = false; }
    void begin() {
        open_ = true;
        wrote_ = 0;
        allocationsBefore_ = allocationCount();
        t0_ = nowNanoseconds();
    }
    void wrote() {
        if (open_)
            wrote_ = nowNanoseconds();
    }
    void end() {
        if (!open_)
            return;
        const std::uint64_t t1 = wrote_ ? wrote_ : nowNanoseconds();
        open_ = false;
        if (!measuring_)
            return;
        const std::uint64_t allocations = allocationCount() - allocationsBefore_;
        ++cycles_;
        allocations_ += allocations;
        maxAllocations_ = std::max(maxAllocations_, allocations);
        if (latencies_.size() < latencies_.capacity())
            latencies_.push_back(std::min<std::uint64_t>(t1 - t0_, 0xFFFFFFFFu));
    }

    std::uint64_t cycles() const { return cycles_; }
    std::uint64_t allocations() const { return allocations_; }
    std::uint64_t maxAllocations() const { return maxAllocations_; }
    std::vector<std::uint32_t> latencies() const { return latencies_; }

  private:
    std::vector<std::uint32_t> latencies_;
    std::uint64_t cycles_ = 0, allocations_ = 0, maxAllocations_ = 0;
    std::uint64_t allocationsBefore_ = 0, t0_ = 0, wrote_ = 0;
    bool open_ = false, measuring_ = false;
};

// Hands posted events to the real sink and notes when it wrote.
class TimingSink : public ev::EventSink {
  public:
    TimingSink(CycleRecorder& reports, CycleRecorder& timers)
        : reports_(reports), timers_(timers) {}
    void use(ev::EventSink* inner, bool writesOnFlush) {
        inner_ = inner;
        writesOnFlush_ = writesOnFlush;
    }
    void post(const ev::CGEvent& event) override {
        ++events;
        inner_->post(event);
        wrote();
        unflushed_ = true;
    }
    void flush() override {
        inner_->flush();
        if (writesOnFlush_ && unflushed_)
            wrote();
        unflushed_ = false;
    }
    void setScreenGeometry(const ev::ScreenGeometry& geometry) override {
        inner_->setScreenGeometry(geometry);
    }
    std::uint64_t events = 0;

  private:
    void wrote() {
        reports_.wrote();
        timers_.wrote();
    }
    CycleRecorder& reports_;
    CycleRecorder& timers_;
    ev::EventSink* inner_ = nullptr;
    bool writesOnFlush_ = false;
    bool unflushed_ = false;
};

// The real loop, with the timers started through it timed as cycles, and
// its absolute time moved on with the stepped clock.
class TimedLoop : public platform::RunLoop {
  public:
    TimedLoop(platform::RunLoop& real, CycleRecorder& timers, const SteppedClock& clock)
        : real_(real), timers_(timers), clock_(clock) {}
    double absoluteTime() const override { return real_.absoluteTime() + clock_.offsetSeconds(); }
    std::uint64_t monotonicNanoseconds() const override { return real_.monotonicNanoseconds(); }
    platform::Timer addTimer(double delay, double interval, TimerCallback cb) override {
        CycleRecorder* recorder = &timers_;
        return real_.addTimer(delay, interval,
                              [recorder, cb = std::move(cb)](platform::Timer& timer) {
                                  CycleRecorder* r = recorder;
                                  r->begin();
                                  cb(timer);
                                  r->end();
                              });
    }
    platform::FdSource addFd(int fd, std::uint32_t events, FdCallback cb) override {
        return real_.addFd(fd, events, std::move(cb));
    }
    void post(std::function<void()> fn) override { real_.post(std::move(fn)); }
    int run() override { return real_.run(); }
    void stop(int code) override { real_.stop(code); }

  private:
    platform::RunLoop& real_;
    CycleRecorder& timers_;
    const SteppedClock& clock_;
};

// Counts the notifications the agent posts.
class CountingCentre : public platform::NotificationCenter {
  public:
    explicit CountingCentre(platform::NotificationCenter& real) : real_(real) {}
    bool post(const platform::String& name, const platform::String& object,
              const std::optional<platform::Dictionary>& userInfo) override {
        ++posted;
        return real_.post(name, object, userInfo);
    }
    platform::Observation addObserver(const platform::String& name, const platform::String& object,
                                      Callback callback) override {
        return real_.addObserver(name, object, std::move(callback));
    }
    std::uint64_t posted = 0;

  private:
    platform::NotificationCenter& real_;
};

// The user's own keys for symbolic hot keys 0 to 199, every one enabled:
// control and an arrow key.
void writeHotKeys() {
    platform::Dictionary keys;
    for (int n = 0; n < kHotKeys; ++n) {
        platform::Dictionary value{
            {"parameters", platform::Array{65535, 123 + n % 4, 0x40000}},
            {"type", "standard"},
        };
        keys.set(platform::String(std::to_string(n)),
                 platform::Dictionary{{"enabled", true}, {"value", std::move(value)}});
    }
    const platform::String domain(kTLSymbolicHotKeysDomain);
    platform::CFPreferencesSetAppValue(platform::String(kTLSymbolicHotKeysKey), std::move(keys),
                                       domain);
    platform::CFPreferencesAppSynchronize(domain);
}

void fillLatencies(PathFigures& f, std::vector<std::uint32_t> ns) {
    if (ns.empty())
        return;
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) {
        const auto i = std::min(ns.size() - 1, static_cast<std::size_t>(q * ns.size()));
        return ns[i] / 1000.0;
    };
    f.p50 = at(0.5);
    f.p99 = at(0.99);
    f.max = ns.back() / 1000.0;
}

}  // namespace

struct ShippedAgent::Impl {
    ~Impl() {
        source.remove();
        for (int fd : {feed, agentEnd}) {
            if (fd >= 0)
                ::close(fd);
        }
    }

    TempFolder home;
    std::unique_ptr<PrivateDisplay> display;
    std::unique_ptr<platform::RunLoop> loop;
    SteppedClock clock;
    CycleRecorder reports, timers;
    std::unique_ptr<TimedLoop> timed;
    std::unique_ptr<platform::NotificationCenter> centre;
    bool bus = false;
    std::unique_ptr<CountingCentre> counting;
    std::unique_ptr<DesktopSession> session;
    std::unique_ptr<AgentEnvironment> environment;
    std::unique_ptr<ev::UinputSink> uinput;
    ev::XTestSink* xtest = nullptr;
    Sink sink = Sink::Uinput;
    std::unique_ptr<TimingSink> timing;
    // The frame's end of the report socket, and the agent's.
    int feed = -1, agentEnd = -1;
    platform::FdSource source;
    std::array<std::uint8_t, 4096> buffer{};

    // What is being played.
    const std::vector<Step>* warmup = nullptr;
    const std::vector<Step>* steps = nullptr;
    std::size_t next = 0;
    bool warming = false;
    bool episodes = false;  // playTimers: steps is an episode
    std::uint64_t fed = 0, target = 0;
    double deadline = 0;
    std::uint64_t lastFirings = 0;
    platform::Timer idleCheck;
    double cpuStart = 0;
    std::uint64_t eventsStart = 0, notificationsStart = 0;

    void onReport() {
        const ssize_t n = ::read(agentEnd, buffer.data(), buffer.size());
        if (n <= 0)
            return;
        reports.begin();
        myTouchInputReportCallback(nullptr, platform::hid::kIOReturnSuccess, nullptr,
                                   platform::hid::kIOHIDReportTypeInput, buffer[0], buffer.data(),
                                   static_cast<long>(n));
        reports.end();
        feedNext();
    }

    void send(const Step& step) {
        clock.step(step.gap);
        if (::write(feed, step.report.data(), step.report.size()) < 0)
            loop->stop(1);
    }

    void feedNext() {
        if (warming && next == warmup->size()) {
            warming = false;
            next = 0;
            startMeasuring();
        }
        if (warming) {
            send((*warmup)[next++]);
            return;
        }
        if (episodes) {
            if (next == steps->size())
                return;  // the idle check starts the next episode
            send((*steps)[next++]);
            return;
        }
        if (fed == target) {
            loop->stop(0);
            return;
        }
        if (sink == Sink::XTest && fed % kXTestSyncEvery == 0)
            xtest->sync();
        if (next == steps->size())
            next = 0;
        ++fed;
        send((*steps)[next++]);
    }

    // playTimers: once the timers have run down, the next episode, or the end.
    void checkIdle() {
        const std::uint64_t firings = timers.cycles();
        if (next != steps->size() || firings != lastFirings) {
            lastFirings = firings;
            return;
        }
        if (firings >= target || nowSeconds() > deadline) {
            loop->stop(0);
            return;
        }
        next = 0;
        feedNext();
    }

    static double nowSeconds() { return static_cast<double>(nowNanoseconds()) * 1e-9; }

    void startMeasuring() {
        reports.startMeasuring(target);
        timers.startMeasuring(target);
        eventsStart = timing->events;
        notificationsStart = counting->posted;
        cpuStart = processCpuSeconds();
        armAllocationCount();
    }

    PathFigures finish(const CycleRecorder& measured) {
        const std::uint64_t all = disarmAllocationCount();
        const double cpu = processCpuSeconds() - cpuStart;
        reports.stopMeasuring();
        timers.stopMeasuring();
        PathFigures f;
        f.cycles = measured.cycles();
        const double n = f.cycles ? static_cast<double>(f.cycles) : 1.0;
        f.events = timing->events - eventsStart;
        f.notifications = counting->posted - notificationsStart;
        f.cpuMicroseconds = cpu * 1e6 / n;
        f.allocations = static_cast<double>(measured.allocations()) / n;
        f.maxAllocations = measured.maxAllocations();
        f.otherAllocations =
            static_cast<double>(all - reports.allocations() - timers.allocations()) / n;
        fillLatencies(f, measured.latencies());
        f.state = ZyvTouchConverter::sharedConverter().dictZyvStateContext.string(kStateCurrent);
        return f;
    }

    // Runs the loop for a while, so that what was posted arrives.
    void settle(double seconds) {
        platform::Timer end =
            loop->addTimer(seconds, 0, [this](platform::Timer&) { loop->stop(0); });
        loop->run();
    }
};

ShippedAgent::ShippedAgent(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ShippedAgent::~ShippedAgent() {
    ev::setEventSink(nullptr);
    platform::setClockOverride(nullptr);
}

std::unique_ptr<ShippedAgent> ShippedAgent::start(std::string* error) {
    auto impl = std::make_unique<Impl>();
    Impl& s = *impl;
    // A user of the benchmark's own: preferences, the hot-key file.
    const std::string config = s.home.path() + "/config";
    ::setenv("HOME", s.home.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    for (const char* name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "WAYLAND_DISPLAY"})
        ::unsetenv(name);
    platform::setPreferencesDirectory(config);
    writeHotKeys();

    s.display = std::make_unique<PrivateDisplay>(kScreenWidth, kScreenHeight);
    if (s.display->display().empty()) {
        *error = s.display->error();
        return nullptr;
    }
    ::setenv("DISPLAY", s.display->display().c_str(), 1);

    s.loop = platform::makeRealRunLoop(false);
    platform::setMainRunLoop(s.loop.get());
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
        if (auto centre = platform::makeBusNotificationCenter(*s.loop))
            s.centre = std::move(*centre);
    }
    s.bus = s.centre != nullptr;
    if (!s.centre)
        s.centre = platform::makeLocalNotificationCenter(*s.loop);
    s.counting = std::make_unique<CountingCentre>(*s.centre);

    auto session =
        DesktopSession::open(*s.loop, SinkChoice::XTest, "", kScreenWidth, kScreenHeight);
    if (!session) {
        *error = "no desktop session: " + session.error().detail;
        return nullptr;
    }
    s.session = std::move(*session);
    s.xtest = static_cast<ev::XTestSink*>(s.session->sink());
    s.timed = std::make_unique<TimedLoop>(*s.loop, s.timers, s.clock);
    s.environment = std::make_unique<AgentEnvironment>(
        AgentEnvironment{*s.timed, *s.counting, s.session->desktop()});

    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    s.uinput = ev::UinputSink::writingTo(devNull, platform::screenGeometry(s.session->desktop()));
    s.timing = std::make_unique<TimingSink>(s.reports, s.timers);

    platform::setClockOverride(&s.clock);
    ZyvTouchConverter::setSharedEnvironment(s.environment.get());
    ZyvTouchConverter& converter = ZyvTouchConverter::sharedConverter();
    std::array<std::uint8_t, BootParam_::kSize> bootparam =
        platform::hid::VirtualFrameConfig{}.bootparam;
    converter.set_bootparam(BootParam_::fromBytes(bootparam));
    deviceLayer().bReady = true;

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) {
        *error = "no socket pair";
        return nullptr;
    }
    s.feed = fds[0];
    s.agentEnd = fds[1];
    Impl* self = &s;
    s.source = s.loop->addFd(s.agentEnd, POLLIN, [self](std::uint32_t) { self->onReport(); });

    auto agent = std::unique_ptr<ShippedAgent>(new ShippedAgent(std::move(impl)));
    agent->useSink(Sink::Uinput);
    agent->impl_->settle(0.2);
    return agent;
}

void ShippedAgent::useSink(Sink sink) {
    impl_->sink = sink;
    if (sink == Sink::Uinput)
        impl_->timing->use(impl_->uinput.get(), false);
    else
        impl_->timing->use(impl_->xtest, true);
    ev::setEventSink(impl_->timing.get());
}

bool ShippedAgent::onSessionBus() const {
    return impl_->bus;
}

const std::string& ShippedAgent::display() const {
    return impl_->display->display();
}

void ShippedAgent::control(const platform::Dictionary& userInfo) {
    impl_->counting->post(platform::String(kControlNotification), platform::String(kControlObject),
                          userInfo);
    impl_->settle(0.1);
}

bool ShippedAgent::activateBrowser() {
    const bool ok = impl_->display->activateWindowOfClass(std::string("Navigator\0firefox\0", 18));
    impl_->settle(0.2);
    return ok;
}

PathFigures ShippedAgent::playReports(const std::vector<Step>& warmup,
                                      const std::vector<Step>& loop, std::uint64_t reports) {
    Impl& s = *impl_;
    s.warmup = &warmup;
    s.steps = &loop;
    s.episodes = false;
    s.next = 0;
    s.fed = 0;
    s.target = reports;
    s.warming = true;
    s.feedNext();
    s.loop->run();
    return s.finish(s.reports);
}

PathFigures ShippedAgent::playTimers(const std::vector<Step>& warmup,
                                     const std::vector<Step>& episode, std::uint64_t firings,
                                     double seconds) {
    Impl& s = *impl_;
    s.warmup = &warmup;
    s.steps = &episode;
    s.episodes = true;
    s.next = 0;
    s.target = firings;
    s.deadline = Impl::nowSeconds() + seconds;
    s.lastFirings = 0;
    s.warming = true;
    Impl* self = &s;
    s.idleCheck = s.loop->addTimer(0.05, 0.05, [self](platform::Timer&) { self->checkIdle(); });
    s.feedNext();
    s.loop->run();
    s.idleCheck.invalidate();
    return s.finish(s.timers);
}

}  // namespace tact::bench
