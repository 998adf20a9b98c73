// The state context of the gesture machine: named entries (the state table,
// the current state, the cycle time stamp, durations, deadlines, and the
// "stateInfo" entries that gestures keep between reports). Whether an entry
// is present matters, so it is a keyed store rather than a struct. Lookups
// take a name and never allocate; entries keep the order in which they were
// first set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tact {

// One row of the state table: the names of its operations (empty: none).
struct StateRecord {
    std::string_view selectorAction;
    std::string_view selectorEntry;
    std::string_view selectorExit;
    friend bool operator==(const StateRecord&, const StateRecord&) = default;
};

// State names and operation names are constants of the program, so an entry
// holds a view of them.
using StateValue = std::variant<bool, std::int64_t, double, std::string_view, StateRecord>;

// Pointers that find() and record() return are invalidated by set() and
// erase(): copy what you need before running anything that may add entries.
class StateContext {
  public:
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    const StateValue* find(std::string_view key) const;
    StateValue* find(std::string_view key);

    void set(std::string_view key, StateValue value);
    bool erase(std::string_view key);
    void clear() { entries_.clear(); }
    std::size_t size() const { return entries_.size(); }
    std::size_t capacity() const { return entries_.capacity(); }

    // A number entry (integer or real) as a double; nullopt when absent or
    // not a number.
    std::optional<double> number(std::string_view key) const;
    // A name entry; empty when absent or not a name.
    std::string_view name(std::string_view key) const;
    std::string string(std::string_view key) const { return std::string(name(key)); }
    const StateRecord* record(std::string_view key) const;
    // A boolean entry that is present and YES.
    bool isYes(std::string_view key) const;
    // A number entry as a signed 32-bit integer (truncated); 0 when absent.
    std::int32_t int32(std::string_view key) const;

    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

  private:
    std::vector<std::pair<std::string, StateValue>> entries_;
};

// Names of the entries.
inline constexpr std::string_view kStateCurrent = "state_current";
inline constexpr std::string_view kStateTimestamp = "state_timestamp";

inline constexpr std::string_view kTimerClickDuration = "timerClickDuration";
inline constexpr std::string_view kTimerDragDuration = "timerDragDuration";
inline constexpr std::string_view kTimerSecondClickPendingDuration =
    "timerSecondClickPendingDuration";
inline constexpr std::string_view kTimerThirdClickPendingDuration =
    "timerThirdClickPendingDuration";
inline constexpr std::string_view kTimerMomentumPendingDuration = "timerMomentumPendingDuration";

inline constexpr std::string_view kTimerClickExpiration = "timerClickExpiration";
inline constexpr std::string_view kTimerDragExpiration = "timerDragExpiration";
inline constexpr std::string_view kTimerSecondClickPending = "timerSecondClickPending";
inline constexpr std::string_view kTimerThirdClickPending = "timerThirdClickPending";
inline constexpr std::string_view kTimerMomentumPending = "timerMomentumPending";

inline constexpr std::string_view kStateInfoFingerForCursor = "stateInfoFingerForCursor";

// The states.
inline constexpr std::string_view kStateIdle = "stateIdle";
inline constexpr std::string_view kStatePreIdle = "statePreIdle";
inline constexpr std::string_view kState1Finger0 = "state1Finger0";
inline constexpr std::string_view kState1FingerMove = "state1FingerMove";
inline constexpr std::string_view kState1FingerDrag = "state1FingerDrag";
inline constexpr std::string_view kState2Fingers0 = "state2Fingers0";
inline constexpr std::string_view kState2FingersRotate = "state2FingersRotate";
inline constexpr std::string_view kState2FingersMagnify = "state2FingersMagnify";
inline constexpr std::string_view kState2FingersScroll = "state2FingersScroll";
inline constexpr std::string_view kState2FingersMomentumScroll = "state2FingersMomentumScroll";
inline constexpr std::string_view kState3Fingers0 = "state3Fingers0";
inline constexpr std::string_view kState3FingersG3 = "state3FingersG3";
inline constexpr std::string_view kState4Fingers0 = "state4Fingers0";
inline constexpr std::string_view kState4FingersG4 = "state4FingersG4";
inline constexpr std::string_view kState5Fingers0 = "state5Fingers0";
inline constexpr std::string_view kState5FingersG5 = "state5FingersG5";

// Where a contact goes when its active finger count changes: the base state
// of that many fingers. A single finger moves the pointer unless the caller
// names another state for it (from idle, a landing finger may be a tap).
// Five or more fingers are one case; a negative count is no finger.
constexpr std::string_view stateForFingerCount(int n,
                                               std::string_view oneFinger = kState1FingerMove) {
    switch (n) {
        case 1:
            return oneFinger;
        case 2:
            return kState2Fingers0;
        case 3:
            return kState3Fingers0;
        case 4:
            return kState4Fingers0;
        default:
            return n <= 0 ? kStateIdle : kState5Fingers0;
    }
}

}  // namespace tact

namespace tact {

// Entries the two- and multi-finger gestures keep between reports.
inline constexpr std::string_view kStateInfoGestureMode = "stateInfoGestureMode";
inline constexpr std::string_view kStateInfoScrollBegan = "stateInfoScrollBegan";
inline constexpr std::string_view kStateInfoScrollHasMomentum = "stateInfoScrollHasMomentum";
inline constexpr std::string_view kStateInfoScrollMomentumDeltaX = "stateInfoScrollMomentumDeltaX";
inline constexpr std::string_view kStateInfoScrollMomentumDeltaY = "stateInfoScrollMomentumDeltaY";
inline constexpr std::string_view kStateInfoScrollMomentumTargetDeltaX =
    "stateInfoScrollMomentumTargetDeltaX";
inline constexpr std::string_view kStateInfoScrollMomentumTargetDeltaY =
    "stateInfoScrollMomentumTargetDeltaY";
inline constexpr std::string_view kStateInfoScrollMomentumTimer = "stateInfoScrollMomentumTimer";
inline constexpr std::string_view kStateInfoCenterDeltaX = "stateInfoCenterDeltaX";
inline constexpr std::string_view kStateInfoCenterDeltaY = "stateInfoCenterDeltaY";
inline constexpr std::string_view kStateInfoSwipeDirection = "stateInfoSwipeDirection";
inline constexpr std::string_view kStateInfoPinchDirection = "stateInfoPinchDirection";
inline constexpr std::string_view kStateInfo4FingersInRotateMode = "stateInfo4FingersInRotateMode";
inline constexpr std::string_view kStateInfo4FingersInPinchMode = "stateInfo4FingersInPinchMode";
inline constexpr std::string_view kStateInfo4FingersInSwipeMode = "stateInfo4FingersInSwipeMode";

}  // namespace tact
