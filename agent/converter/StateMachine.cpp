// The gesture state machine: the state table with its operations resolved by
// name, the deadline timers, the cursor touch and the idle states.
#include <array>

#include "agent/converter/ZyvTouchConverter.hpp"

namespace tact {
namespace {

using Action = std::string_view (ZyvTouchConverter::*)();
using Operation = void (ZyvTouchConverter::*)();

// Every operation a state record may name, by name. The name and the member
// are written once, so that the one cannot drift from the other.
#define SELECTOR(member) \
    { #member, &ZyvTouchConverter::member }

constexpr std::pair<std::string_view, Action> kActions[] = {
    SELECTOR(stateIdleAction),           SELECTOR(statePreIdleAction),
    SELECTOR(state1Finger0Action),       SELECTOR(state1FingerMoveAction),
    SELECTOR(state1FingerDragAction),    SELECTOR(state2Fingers0Action),
    SELECTOR(state2FingersRotateAction), SELECTOR(state2FingersMagnifyAction),
    SELECTOR(state2FingersScrollAction), SELECTOR(state2FingersMomentumScrollAction),
    SELECTOR(state3Fingers0Action),      SELECTOR(state3FingersG3Action),
    SELECTOR(state4Fingers0Action),      SELECTOR(state4FingersG4Action),
    SELECTOR(state5Fingers0Action),      SELECTOR(state5FingersG5Action),
};

constexpr std::pair<std::string_view, Operation> kOperations[] = {
    SELECTOR(state1Finger0Entry),
    SELECTOR(state2Fingers0Entry),
    SELECTOR(state2FingersRotateExit),
    SELECTOR(state2FingersMagnifyExit),
    SELECTOR(state2FingersScrollEntry),
    SELECTOR(state2FingersScrollExit),
    SELECTOR(state2FingersMomentumScrollEntry),
    SELECTOR(state3Fingers0Entry),
    SELECTOR(state3FingersG3Exit),
    SELECTOR(state4Fingers0Entry),
    SELECTOR(state4FingersG4Exit),
    SELECTOR(state5Fingers0Entry),
    SELECTOR(state5FingersG5Exit),
};

#undef SELECTOR

// The state table, in registration order.
constexpr std::pair<std::string_view, StateRecord> kStateTable[] = {
    {kStateIdle, {"stateIdleAction", {}, {}}},
    {kStatePreIdle, {"statePreIdleAction", {}, {}}},
    {kState1Finger0, {"state1Finger0Action", "state1Finger0Entry", {}}},
    {kState1FingerMove, {"state1FingerMoveAction", {}, {}}},
    {kState1FingerDrag, {"state1FingerDragAction", {}, {}}},
    {kState2Fingers0, {"state2Fingers0Action", "state2Fingers0Entry", {}}},
    {kState2FingersRotate, {"state2FingersRotateAction", {}, "state2FingersRotateExit"}},
    {kState2FingersMagnify, {"state2FingersMagnifyAction", {}, "state2FingersMagnifyExit"}},
    {kState2FingersScroll,
     {"state2FingersScrollAction", "state2FingersScrollEntry", "state2FingersScrollExit"}},
    {kState2FingersMomentumScroll,
     {"state2FingersMomentumScrollAction", "state2FingersMomentumScrollEntry", {}}},
    {kState3Fingers0, {"state3Fingers0Action", "state3Fingers0Entry", {}}},
    {kState3FingersG3, {"state3FingersG3Action", {}, "state3FingersG3Exit"}},
    {kState4Fingers0, {"state4Fingers0Action", "state4Fingers0Entry", {}}},
    {kState4FingersG4, {"state4FingersG4Action", {}, "state4FingersG4Exit"}},
    {kState5Fingers0, {"state5Fingers0Action", "state5Fingers0Entry", {}}},
    {kState5FingersG5, {"state5FingersG5Action", {}, "state5FingersG5Exit"}},
};

// The selector of that name, or nullptr.
template <typename Selector, std::size_t N>
constexpr const Selector* lookup(const std::pair<std::string_view, Selector> (&selectors)[N],
                                 std::string_view name) {
    for (const auto& [selectorName, selector] : selectors) {
        if (selectorName == name)
            return &selector;
    }
    return nullptr;
}

// The names stay strings, looked up when a state runs; the build checks that
// each one the table gives is there to be found.
constexpr bool everySelectorResolves() {
    for (const auto& [state, record] : kStateTable) {
        if (!lookup(kActions, record.selectorAction))
            return false;
        if (!record.selectorEntry.empty() && !lookup(kOperations, record.selectorEntry))
            return false;
        if (!record.selectorExit.empty() && !lookup(kOperations, record.selectorExit))
            return false;
    }
    return true;
}
static_assert(everySelectorResolves(),
              "the state table names an action or operation that is not in kActions or "
              "kOperations");

}  // namespace

void ZyvTouchConverter::registerStates() {
    for (const auto& [name, record] : kStateTable)
        dictZyvStateContext.set(name, record);
}

std::string_view ZyvTouchConverter::runAction(std::string_view operation) {
    const Action* action = lookup(kActions, operation);
    return action ? (this->**action)() : std::string_view();
}

void ZyvTouchConverter::runOperation(std::string_view operation) {
    if (const Operation* op = operation.empty() ? nullptr : lookup(kOperations, operation))
        (this->**op)();
}

void ZyvTouchConverter::timerSetDuration(double seconds, std::string_view durationName) {
    dictZyvStateContext.set(durationName, seconds);
}

void ZyvTouchConverter::timerRestart(std::string_view deadline, std::string_view durationName) {
    const double duration = dictZyvStateContext.number(durationName).value_or(0.0);
    const double now = dictZyvStateContext.number(kStateTimestamp).value_or(0.0);
    dictZyvStateContext.set(deadline, duration + now);
}

bool ZyvTouchConverter::timerExpired(std::string_view deadline) const {
    auto at = dictZyvStateContext.number(deadline);
    const double now = dictZyvStateContext.number(kStateTimestamp).value_or(0.0);
    return !(at && *at > now);
}

void ZyvTouchConverter::timerStop(std::string_view deadline) {
    dictZyvStateContext.set(deadline, 0.0);
}

const Touch* ZyvTouchConverter::touchForCursor() {
    if (auto remembered = dictZyvStateContext.number(kStateInfoFingerForCursor)) {
        const auto index = static_cast<std::int64_t>(*remembered);
        if (index >= 0 && index < kTransducerCount &&
            transducerTouches[static_cast<std::size_t>(index)]) {
            return &*transducerTouches[static_cast<std::size_t>(index)];
        }
        dictZyvStateContext.erase(kStateInfoFingerForCursor);
    }
    // The first finger chosen keeps the pointer; a new choice prefers one
    // that stays, then one that moves, one that leaves, one that arrives.
    const Touch* picked = nullptr;
    if (stayingTouchesIndexMask != 0 && !stayingTouches.empty()) {
        picked = &stayingTouches.front();
    } else if (movingTouchesIndexMask != 0 && !movingTouches.empty()) {
        picked = &movingTouches.front();
    } else if (leavingTouchesIndexMask != 0 && !leavingTouches.empty()) {
        picked = &leavingTouches.front();
    } else if (arrivingTouchesIndexMask != 0 && !arrivingTouches.empty()) {
        picked = &arrivingTouches.front();
    }
    if (!picked)
        return nullptr;
    dictZyvStateContext.set(kStateInfoFingerForCursor, picked->transducerIndex);
    const auto& stored = transducerTouches[static_cast<std::size_t>(picked->transducerIndex & 63)];
    return stored ? &*stored : picked;
}

std::string_view ZyvTouchConverter::stateIdleAction() {
    touchForCursor();  // fixes the cursor touch for the states that follow
    const int n = activeFingerCount();
    if (n == 1) {
        if (timerExpired(kTimerSecondClickPending) && timerExpired(kTimerThirdClickPending)) {
            timerStop(kTimerClickExpiration);
            if (const Touch* t = touchForCursor()) {
                actionCursorMove(static_cast<float>(t->positionX),
                                 static_cast<float>(t->positionY));
            }
        }
        timerRestart(kTimerClickExpiration, kTimerClickDuration);
        timerRestart(kTimerDragExpiration, kTimerDragDuration);
    } else if (n == 2) {
        timerRestart(kTimerClickExpiration, kTimerClickDuration);
    }
    return stateForFingerCount(n, kState1Finger0);
}

std::string_view ZyvTouchConverter::statePreIdleAction() {
    return activeFingerCount() == 0 ? kStateIdle : kStatePreIdle;
}

}  // namespace tact
