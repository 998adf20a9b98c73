// The benchmarks of the agent's hot paths:
//  - ReportCycle/<layout>/<fingers>: one touch sample from report bytes to
//    posted events (decoding, tracking, the state machine, posting) into a
//    sink that drops them, with every finger moving a little every sample;
//  - Encoder/<form>/<subtype>: the gesture event encoders with two touches;
//  - ControlNotification/<keys>: a control notification with that many keys
//    read from its bus message, then every key looked up.
// Every benchmark reports "allocs", the heap allocations of one iteration
// (counted by the replaced operator new of this program); the report cycles
// also report "loop_allocs", those of the virtual run loop's clock step,
// "events", the events posted per iteration, and the state the converter is
// in as their label. An iteration of a report cycle is one touch sample: one
// report, or two when a newer frame splits more than six contacts.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/touchevents/TouchEvents.hpp"
#include "bench/BenchSupport.hpp"
#include "bench/CountingAllocator.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/notify/BusCodec.hpp"

namespace tact::bench {
namespace {

using platform::hid::VirtualFrame;
using Layout = VirtualFrame::RecordLayout;

void reportCycle(benchmark::State& state, Layout layout, int fingers) {
    QuietStdout quiet;
    const auto frame = frameConfig(layout);
    const Script script = makeScript(frame, fingers);
    ConverterRig rig(frame);
    for (const Sample& s : script.warmup)
        rig.play(s);
    for (int round = 0; round < 4; ++round) {
        for (const Sample& s : script.loop)
            rig.play(s);
    }

    // Timed: the clock step and the report cycle. Counted apart: the
    // allocations of the converter's cycle ("allocs") and those of the
    // virtual run loop's step ("loop_allocs", a cost of the virtual loop that
    // the agent's real loop does not have).
    rig.sink().count = 0;
    std::size_t next = 0;
    std::uint64_t loopAllocations = 0;
    armAllocationCount();
    for (auto _ : state) {
        const std::uint64_t before = allocationCount();
        rig.advanceClock();
        loopAllocations += allocationCount() - before;
        rig.submit(script.loop[next]);
        if (++next == script.loop.size())
            next = 0;
    }
    const auto allocations = disarmAllocationCount() - loopAllocations;
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    state.counters["loop_allocs"] = benchmark::Counter(static_cast<double>(loopAllocations),
                                                       benchmark::Counter::kAvgIterations);
    state.counters["events"] = benchmark::Counter(static_cast<double>(rig.sink().count),
                                                  benchmark::Counter::kAvgIterations);
    state.SetLabel(rig.state());
}

platform::Dictionary touch(std::int64_t identity, double x, double y) {
    constexpr std::int64_t kTouching = kTLTouchOptionTouching | kTLTouchOptionInRange | 1;
    return platform::Dictionary{
        {"type", std::int64_t{kIOHIDEventTypeDigitizer}},
        {"options", kTouching},
        {"position.x", x},
        {"position.y", y},
        {"identity", identity},
        {"transducerType", std::int64_t{2}},
        {"transducerIndex", identity - 1},
        {"eventMask", std::int64_t{2}},
        {"quality", std::int64_t{1}},
    };
}

void encoder(benchmark::State& state, bool fullForm, std::int32_t subtype) {
    QuietStdout quiet;
    const platform::Dictionary info{
        {std::string(kTLInfoKeyGestureSubtype), std::int64_t{subtype}},
        {std::string(kTLInfoKeyMagnification), 0.012},
        {std::string(kTLInfoKeyRotation), 1.5},
        {std::string(kTLInfoKeyDeviceID), std::int64_t{22118}},
    };
    const std::vector<platform::Dictionary> touches{touch(1, 0.40, 0.50), touch(2, 0.55, 0.52)};
    tl_resetGestureEncoderState();

    armAllocationCount();
    for (auto _ : state) {
        platform::events::CGEventRef event = fullForm
                                                 ? tl_CGEventCreateFromGesture2(&info, &touches)
                                                 : tl_CGEventCreateFromGesture1(&info, &touches);
        benchmark::DoNotOptimize(event.get());
    }
    const auto allocations = disarmAllocationCount();
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

struct BusDeleter {
    void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};
struct MessageDeleter {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};

// A control notification with `keys` integer entries ("Key0" = 0, ...) in a
// sealed Notification signal, as the agent's bus connection receives it.
// Each iteration reads the message (readNotification rewinds it) and looks up
// every key in the user information. A sender may put any number of keys in
// one message; past the codec's limit the message is refused, and the row
// then measures the refusal.
void controlNotification(benchmark::State& state, int keys) {
    // sd-bus makes messages only for a bus object; one in its opening state
    // on a socket pair is enough, nothing is sent.
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    sd_bus* rawBus = nullptr;
    const bool started = sd_bus_new(&rawBus) >= 0 && sd_bus_set_fd(rawBus, fds[0], fds[0]) >= 0 &&
                         sd_bus_start(rawBus) >= 0;
    std::unique_ptr<sd_bus, BusDeleter> bus(rawBus);
    sd_bus_message* rawMessage = nullptr;
    if (!started || sd_bus_message_new_signal(bus.get(), &rawMessage, platform::buscodec::kPath,
                                              platform::buscodec::kInterface,
                                              platform::buscodec::kMember) < 0) {
        close(fds[1]);
        state.SkipWithError("no sd-bus message");
        return;
    }
    std::unique_ptr<sd_bus_message, MessageDeleter> message(rawMessage);

    // Written with sd-bus directly, so that the sender is not bound by the
    // limits the codec applies when it posts.
    std::vector<platform::String> names;
    bool built =
        sd_bus_message_append(message.get(), "ss", "QuenralMultiTouch Preference Notification",
                              "com.quenraltouch.multiTouchPrefsPaneTarget") >= 0 &&
        sd_bus_message_open_container(message.get(), 'a', "{sv}") >= 0;
    for (int i = 0; built && i < keys; ++i) {
        const std::string key = "Key" + std::to_string(i);
        names.emplace_back(key);
        built = sd_bus_message_append(message.get(), "{sv}", key.c_str(), "x",
                                      static_cast<std::int64_t>(i)) >= 0;
    }
    built = built && sd_bus_message_close_container(message.get()) >= 0 &&
            sd_bus_message_seal(message.get(), 1, 0) >= 0;
    close(fds[1]);
    if (!built) {
        state.SkipWithError("cannot build the message");
        return;
    }

    const platform::LogLevel level = platform::systemLogLevel();
    platform::setSystemLogLevel(platform::LogLevel::Error);  // the refusal's warning
    std::int64_t found = 0;
    armAllocationCount();
    for (auto _ : state) {
        auto n = platform::buscodec::readNotification(message.get());
        if (n && n->userInfo) {
            for (const platform::String& name : names) {
                found += n->userInfo->integer(name).has_value() ? 1 : 0;
            }
        }
        benchmark::DoNotOptimize(found);
    }
    const auto allocations = disarmAllocationCount();
    platform::setSystemLogLevel(level);
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    state.counters["found"] =
        benchmark::Counter(static_cast<double>(found), benchmark::Counter::kAvgIterations);
}

void registerAll() {
    struct Case {
        Layout layout;
        std::vector<int> fingers;
    };
    const Case cases[] = {
        {Layout::TenByteSplit, {1, 2, 5, 10}},
        {Layout::TenByte, {1, 2, 5, 6}},
        {Layout::SixByte, {1, 2, 5, 10}},
    };
    for (const Case& c : cases) {
        for (int n : c.fingers) {
            const std::string name =
                std::string("ReportCycle/") + layoutName(c.layout) + "/" + std::to_string(n);
            benchmark::RegisterBenchmark(name.c_str(), reportCycle, c.layout, n);
        }
    }
    const struct {
        const char* name;
        std::int32_t subtype;
    } subtypes[] = {{"Magnify", kTLGestureSubtypeMagnify}, {"Rotate", kTLGestureSubtypeRotate}};
    for (const auto& s : subtypes) {
        benchmark::RegisterBenchmark((std::string("Encoder/Gesture2/") + s.name).c_str(), encoder,
                                     true, s.subtype);
        benchmark::RegisterBenchmark((std::string("Encoder/Gesture1/") + s.name).c_str(), encoder,
                                     false, s.subtype);
    }
    for (int keys : {10000, 100000}) {
        benchmark::RegisterBenchmark(("ControlNotification/" + std::to_string(keys)).c_str(),
                                     controlNotification, keys)
            ->Unit(benchmark::kMicrosecond);
    }
}

}  // namespace
}  // namespace tact::bench

int main(int argc, char** argv) {
    // The converter reports its thresholds at Info each time one is made.
    platform::setSystemLogLevel(platform::LogLevel::Warning);
    tact::bench::registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
