// The replay trace: one JSON line per event the agent posts and per
// notification it sends, in posting order (see docs/replay.md).
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "platform/notify/NotificationCenter.hpp"

namespace tact::replay {

class TraceWriter {
  public:
    // Writes to the stream (not owned); nullptr writes nothing. With
    // flushEachLine every line leaves at once (someone may be watching).
    TraceWriter(std::FILE* out, bool flushEachLine);

    bool enabled() const { return out_ != nullptr; }
    void notification(double t, const platform::String& name, const platform::String& object,
                      const std::optional<platform::Dictionary>& userInfo);
    // Writes one prepared JSON line (without its line break).
    void writeLine(const std::string& json);
    // Flushes what is buffered; false when any write failed (a full disk, a
    // closed pipe).
    bool finish();

  private:
    std::FILE* out_;
    bool flushEachLine_;
    bool ok_ = true;
};

// A notification centre that writes every posted notification into the trace
// and passes it on.
class TracingNotificationCenter : public platform::NotificationCenter {
  public:
    TracingNotificationCenter(platform::NotificationCenter& inner, TraceWriter& trace,
                              std::function<double()> sessionTime);

    bool post(const platform::String& name, const platform::String& object,
              const std::optional<platform::Dictionary>& userInfo) override;
    platform::Observation addObserver(const platform::String& name, const platform::String& object,
                                      Callback callback) override;

  private:
    platform::NotificationCenter& inner_;
    TraceWriter& trace_;
    std::function<double()> sessionTime_;
};

}  // namespace tact::replay
