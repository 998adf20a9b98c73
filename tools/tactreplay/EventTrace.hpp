// The trace sink: every posted event becomes one JSON line of the replay
// trace (see docs/replay.md and docs/events.md).
#pragma once

#include <functional>
#include <string>

#include "platform/events/Events.hpp"
#include "tools/tactreplay/Trace.hpp"

namespace tact::replay {

class TraceEventSink : public platform::events::EventSink {
  public:
    // sessionTime gives the session time in seconds of each posted event.
    // Each event is also handed on to forward when there is one (a real
    // sink, replaying onto a desktop).
    TraceEventSink(TraceWriter& trace, std::function<double()> sessionTime,
                   platform::events::EventSink* forward = nullptr);

    void post(const platform::events::CGEvent& event) override;
    // What the real sink kept back for a batch goes out with it.
    void flush() override;
    void setScreenGeometry(const platform::events::ScreenGeometry& geometry) override;

  private:
    TraceWriter& trace_;
    std::function<double()> sessionTime_;
    platform::events::EventSink* forward_;
};

// The trace line of one event at session time t (without its line break).
std::string eventTraceLine(double t, const platform::events::CGEvent& event);

}  // namespace tact::replay
