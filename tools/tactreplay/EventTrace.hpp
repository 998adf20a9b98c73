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
    TraceEventSink(TraceWriter& trace, std::function<double()> sessionTime);

    void post(const platform::events::CGEvent& event) override;

  private:
    TraceWriter& trace_;
    std::function<double()> sessionTime_;
};

// The trace line of one event at session time t (without its line break).
std::string eventTraceLine(double t, const platform::events::CGEvent& event);

}  // namespace tact::replay
