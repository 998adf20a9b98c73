// What the benchmarks share: a converter on virtual parts with a null event
// sink, scripted touch samples in each record layout, and a guard that sends
// standard output to /dev/null while a benchmark runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "agent/simulator/VirtualFrame.hpp"
#include "platform/desktop/Desktop.hpp"
#include "platform/events/Events.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/VirtualRunLoop.hpp"

namespace tact::bench {

// A fresh temporary folder, removed with its content.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// While it lives, standard output (the descriptor and the C stream) goes to
// /dev/null. The gesture encoders print a dump of every event they build;
// the benchmark's own report is written after a benchmark returns, so it
// still reaches the terminal.
class QuietStdout {
  public:
    QuietStdout();
    ~QuietStdout();
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int saved_ = -1;
};

// An event sink that drops everything and counts what it was given.
class NullSink : public platform::events::EventSink {
  public:
    void post(const platform::events::CGEvent&) override { ++count; }
    std::uint64_t count = 0;
};

// The reports of one touch sample: one report, or two when a newer frame
// splits more than six contacts.
using Sample = std::vector<std::vector<std::uint8_t>>;

// A frame identity for each record layout.
platform::hid::VirtualFrameConfig frameConfig(platform::hid::VirtualFrame::RecordLayout layout);
const char* layoutName(platform::hid::VirtualFrame::RecordLayout layout);

// Touch samples of `fingers` fingers: `warmup` brings the state machine to
// where the fingers stay (two fingers: a flick that starts a scroll), `loop`
// moves every finger a little with every sample and ends where it began, so
// it can be played over and over.
struct Script {
    std::vector<Sample> warmup;
    std::vector<Sample> loop;
};
Script makeScript(const platform::hid::VirtualFrameConfig& frame, int fingers);

// The converter on a virtual run loop, the in-process notification centre, a
// virtual desktop and a fresh preferences folder, posting into a NullSink,
// logging off.
class ConverterRig {
  public:
    static constexpr double kEpoch = 800000000.0;
    static constexpr double kReportInterval = 0.008;  // 125 samples per second

    explicit ConverterRig(const platform::hid::VirtualFrameConfig& frame);
    ~ConverterRig();
    ConverterRig(const ConverterRig&) = delete;
    ConverterRig& operator=(const ConverterRig&) = delete;

    // One report interval passes on the virtual clock (whatever is due runs).
    void advanceClock() {
        now_ += kReportInterval;
        loop_.runUntil(now_);
    }
    // The report cycle of one sample: its reports go to the converter.
    void submit(const Sample& sample) {
        for (const auto& report : sample)
            converter_->submitMTReport(report);
    }
    void play(const Sample& sample) {
        advanceClock();
        submit(sample);
    }

    ZyvTouchConverter& converter() { return *converter_; }
    NullSink& sink() { return sink_; }
    std::string state() const;

  private:
    TempFolder prefs_;
    platform::VirtualRunLoop loop_;
    std::unique_ptr<platform::NotificationCenter> notifications_;
    platform::VirtualDesktop desktop_;
    AgentEnvironment environment_;
    NullSink sink_;
    std::unique_ptr<ZyvTouchConverter> converter_;
    double now_ = kEpoch;
};

}  // namespace tact::bench
