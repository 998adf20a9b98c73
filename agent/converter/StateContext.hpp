// The state context of the gesture machine: named entries (current state,
// cycle time stamp, durations, deadlines, and the "stateInfo" entries that
// gestures keep between reports). Whether an entry is present matters, so it
// is a keyed store rather than a struct. Lookups take a name and never
// allocate; entries keep the order in which they were first set.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/values/Value.hpp"

namespace tact {

class StateContext {
  public:
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    const platform::Value* find(std::string_view key) const;
    platform::Value* find(std::string_view key);

    void set(std::string_view key, platform::Value value);
    bool erase(std::string_view key);
    void clear() { entries_.clear(); }
    std::size_t size() const { return entries_.size(); }

    // A number entry as a double (integer or real); nullopt when absent or not a number.
    std::optional<double> number(std::string_view key) const;
    // A string entry as UTF-8; empty when absent.
    std::string string(std::string_view key) const;

    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

  private:
    std::vector<std::pair<std::string, platform::Value>> entries_;
};

// Names of the entries.
inline constexpr std::string_view kStateCurrent = "state_current";
inline constexpr std::string_view kStateTimestamp = "state_timestamp";
inline constexpr std::string_view kStateIdle = "stateIdle";

inline constexpr std::string_view kTimerClickDuration = "timerClickDuration";
inline constexpr std::string_view kTimerDragDuration = "timerDragDuration";
inline constexpr std::string_view kTimerSecondClickPendingDuration =
    "timerSecondClickPendingDuration";
inline constexpr std::string_view kTimerThirdClickPendingDuration =
    "timerThirdClickPendingDuration";
inline constexpr std::string_view kTimerMomentumPendingDuration = "timerMomentumPendingDuration";

}  // namespace tact
