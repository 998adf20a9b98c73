// The gesture state machine: the state table with its operations resolved by
// name, the deadline timers, the cursor touch and the idle states.
#include <array>

#include "agent/converter/ZyvTouchConverter.hpp"

namespace tact {
namespace {

using Action = std::string_view (ZyvTouchConverter::*)();
using Operation = void (ZyvTouchConverter::*)();

// Every operation a state record may name, by name.
constexpr std::pair<std::string_view, Action> kActions[] = {
    {"stateIdleAction", &ZyvTouchConverter::stateIdleAction},
    {"statePreIdleAction", &ZyvTouchConverter::statePreIdleAction},
    {"state1Finger0Action", &ZyvTouchConverter::state1Finger0Action},
    {"state1FingerMoveAction", &ZyvTouchConverter::state1FingerMoveAction},
    {"state1FingerDragAction", &ZyvTouchConverter::state1FingerDragAction},
    {"state2Fingers0Action", &ZyvTouchConverter::state2Fingers0Action},
    {"state2FingersRotateAction", &ZyvTouchConverter::state2FingersRotateAction},
    {"state2FingersMagnifyAction", &ZyvTouchConverter::state2FingersMagnifyAction},
    {"state2FingersScrollAction", &ZyvTouchConverter::state2FingersScrollAction},
    {"state2FingersMomentumScrollAction", &ZyvTouchConverter::state2FingersMomentumScrollAction},
    {"state3Fingers0Action", &ZyvTouchConverter::state3Fingers0Action},
    {"state3FingersG3Action", &ZyvTouchConverter::state3FingersG3Action},
    {"state4Fingers0Action", &ZyvTouchConverter::state4Fingers0Action},
    {"state4FingersG4Action", &ZyvTouchConverter::state4FingersG4Action},
    {"state5Fingers0Action", &ZyvTouchConverter::state5Fingers0Action},
    {"state5FingersG5Action", &ZyvTouchConverter::state5FingersG5Action},
};

constexpr std::pair<std::string_view, Operation> kOperations[] = {
    {"state1Finger0Entry", &ZyvTouchConverter::state1Finger0Entry},
    {"state2Fingers0Entry", &ZyvTouchConverter::state2Fingers0Entry},
    {"state2FingersRotateExit", &ZyvTouchConverter::state2FingersRotateExit},
    {"state2FingersMagnifyExit", &ZyvTouchConverter::state2FingersMagnifyExit},
    {"state2FingersScrollEntry", &ZyvTouchConverter::state2FingersScrollEntry},
    {"state2FingersScrollExit", &ZyvTouchConverter::state2FingersScrollExit},
    {"state2FingersMomentumScrollEntry", &ZyvTouchConverter::state2FingersMomentumScrollEntry},
    {"state3Fingers0Entry", &ZyvTouchConverter::state3Fingers0Entry},
    {"state3FingersG3Exit", &ZyvTouchConverter::state3FingersG3Exit},
    {"state4Fingers0Entry", &ZyvTouchConverter::state4Fingers0Entry},
    {"state4FingersG4Exit", &ZyvTouchConverter::state4FingersG4Exit},
    {"state5Fingers0Entry", &ZyvTouchConverter::state5Fingers0Entry},
    {"state5FingersG5Exit", &ZyvTouchConverter::state5FingersG5Exit},
};

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

}  // namespace

void ZyvTouchConverter::registerStates() {
    for (const auto& [name, record] : kStateTable)
        dictZyvStateContext.set(name, record);
}

std::string_view ZyvTouchConverter::runAction(std::string_view operation) {
    for (const auto& [name, action] : kActions) {
        if (name == operation)
            return (this->*action)();
    }
    return {};
}

void ZyvTouchConverter::runOperation(std::string_view operation) {
    if (operation.empty())
        return;
    for (const auto& [name, op] : kOperations) {
        if (name == operation) {
            (this->*op)();
            return;
        }
    }
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
    switch (activeFingerCount()) {
        case 0:
            return kStateIdle;
        case 1:
            if (timerExpired(kTimerSecondClickPending) && timerExpired(kTimerThirdClickPending)) {
                timerStop(kTimerClickExpiration);
                if (const Touch* t = touchForCursor()) {
                    actionCursorMove(static_cast<float>(t->positionX),
                                     static_cast<float>(t->positionY));
                }
            }
            timerRestart(kTimerClickExpiration, kTimerClickDuration);
            timerRestart(kTimerDragExpiration, kTimerDragDuration);
            return kState1Finger0;
        case 2:
            timerRestart(kTimerClickExpiration, kTimerClickDuration);
            return kState2Fingers0;
        case 3:
            return kState3Fingers0;
        case 4:
            return kState4Fingers0;
        default:
            return activeFingerCount() < 0 ? kStateIdle : kState5Fingers0;
    }
}

std::string_view ZyvTouchConverter::statePreIdleAction() {
    return activeFingerCount() == 0 ? kStateIdle : kStatePreIdle;
}

}  // namespace tact
