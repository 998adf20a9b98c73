// The benchmarks of the agent's hot paths:
//  - ReportCycle/<layout>/<fingers>: one touch sample from report bytes to
//    posted events (decoding, tracking, the state machine, posting) into a
//    sink that drops them, with every finger moving a little every sample;
//  - Encoder/<form>/<subtype>: the gesture event encoders with two touches.
// Every benchmark reports "allocs", the heap allocations of one iteration
// (counted by the replaced operator new of this program); the report cycles
// also report "loop_allocs", those of the virtual run loop's clock step,
// "events", the events posted per iteration, and the state the converter is
// in as their label. An iteration of a report cycle is one touch sample: one
// report, or two when a newer frame splits more than six contacts.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "agent/touchevents/TouchEvents.hpp"
#include "bench/BenchSupport.hpp"
#include "bench/CountingAllocator.hpp"
#include "platform/log/SystemLog.hpp"

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
