// One finger: the pointer jumps to the finger, a short tap clicks, two or
// three quick taps make a double or triple click, and a finger that is held
// or moved presses the left button and drags.
#include <cmath>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "platform/events/Events.hpp"

namespace tact {

using namespace platform::events;

platform::Point ZyvTouchConverter::pointerLocation() const {
    CGEventSourceRef source = CGEventSourceCreate(kCGEventSourceStateHIDSystemState);
    CGEventRef event = CGEventCreate(source);
    CGPoint p = CGEventGetLocation(event);
    return {p.x, p.y};
}

bool ZyvTouchConverter::actionCursorMove(float x, float y) {
    const double targetX = x * screenRect.width;
    const double targetY = y * screenRect.height;
    const platform::Point pointer = pointerLocation();
    const float tx = static_cast<float>(cursorMoveThreshold * screenRect.width);
    const float ty = static_cast<float>(cursorMoveThreshold * screenRect.height);
    const bool move = timerExpired(kTimerClickExpiration) || std::fabs(targetX - pointer.x) >= tx ||
                      std::fabs(targetY - pointer.y) >= ty;
    if (!move)
        return false;
    GestureRecord r;
    r.ZyvGestureType = kGesturePointerMove;
    r.positionX = static_cast<float>(targetX);
    r.positionY = static_cast<float>(targetY);
    queue(r);
    return true;
}

void ZyvTouchConverter::actionCursorDrag(float x, float y, std::uint32_t phase) {
    GestureRecord r;
    r.ZyvGestureType = kGestureDrag;
    r.zyvGesture1FingerDragPhase = phase;
    if (phase == kDragPress || phase == kDragRelease) {
        const platform::Point pointer = pointerLocation();
        r.positionX = static_cast<float>(pointer.x);
        r.positionY = static_cast<float>(pointer.y);
    } else {
        r.positionX = static_cast<float>(x * screenRect.width);
        r.positionY = static_cast<float>(y * screenRect.height);
    }
    queue(r);
}

namespace {

GestureRecord atPointer(std::int64_t type, platform::Point pointer) {
    GestureRecord r;
    r.ZyvGestureType = type;
    r.positionX = static_cast<float>(pointer.x);
    r.positionY = static_cast<float>(pointer.y);
    return r;
}

}  // namespace

void ZyvTouchConverter::actionLeftClick() {
    GestureRecord r = atPointer(kGestureClick, pointerLocation());
    r.zyvGesture1FingerTapPhase = 1;
    queue(r);
}

void ZyvTouchConverter::actionSecondClick() {
    GestureRecord r = atPointer(kGestureClick, pointerLocation());
    r.zyvGesture1FingerTapPhase = 2;
    queue(r);
}

void ZyvTouchConverter::actionThirdClick() {
    GestureRecord r = atPointer(kGestureClick, pointerLocation());
    r.zyvGesture1FingerTapPhase = 3;
    queue(r);
}

void ZyvTouchConverter::actionRightClick() {
    queue(atPointer(kGestureRightClick, pointerLocation()));
}

void ZyvTouchConverter::state1Finger0Entry() {
    if (const Touch* t = touchForCursor()) {
        if (actionCursorMove(static_cast<float>(t->positionX), static_cast<float>(t->positionY))) {
            // A finger that lands away from the pointer ends any multi-click sequence.
            timerStop(kTimerSecondClickPending);
            timerStop(kTimerThirdClickPending);
        }
    }
}

std::string_view ZyvTouchConverter::state1Finger0Action() {
    const int n = activeFingerCount();
    if (n <= 0) {
        if (timerExpired(kTimerClickExpiration))
            return kStateIdle;  // held too long: no click
        if (!timerExpired(kTimerSecondClickPending)) {
            actionSecondClick();
            timerStop(kTimerSecondClickPending);
            timerRestart(kTimerThirdClickPending, kTimerThirdClickPendingDuration);
        } else if (timerExpired(kTimerThirdClickPending)) {
            actionLeftClick();
            timerRestart(kTimerSecondClickPending, kTimerSecondClickPendingDuration);
        } else {
            actionThirdClick();
            timerStop(kTimerThirdClickPending);
        }
        return kStateIdle;
    }
    if (n == 1) {
        // An open multi-click window stays open while the finger is down.
        if (!timerExpired(kTimerSecondClickPending)) {
            timerRestart(kTimerSecondClickPending, kTimerClickDuration);
        } else if (!timerExpired(kTimerThirdClickPending)) {
            timerRestart(kTimerThirdClickPending, kTimerClickDuration);
        }
        const Touch* cursor = touchForCursor();
        if (timerExpired(kTimerDragExpiration) && cursor) {
            actionCursorDrag(static_cast<float>(cursor->positionX),
                             static_cast<float>(cursor->positionY), kDragPress);
            return kState1FingerDrag;
        }
        if (movingTouches.size() == 1 && cursor) {
            const float x = static_cast<float>(cursor->positionX);
            const float y = static_cast<float>(cursor->positionY);
            if (actionCursorMove(x, y)) {
                timerStop(kTimerClickExpiration);
                timerStop(kTimerSecondClickPending);
                timerStop(kTimerThirdClickPending);
                actionCursorDrag(x, y, kDragPress);
                return kState1FingerDrag;
            }
        }
        return kState1Finger0;
    }
    if (n == 2) {
        timerRestart(kTimerClickExpiration, kTimerClickDuration);
        return kState2Fingers0;
    }
    return stateForFingerCount(n);
}

std::string_view ZyvTouchConverter::state1FingerMoveAction() {
    const int n = activeFingerCount();
    if (n <= 0)
        return kStateIdle;
    if (n == 1) {
        if (!stayingTouches.empty())
            return kState1FingerDrag;
        if (const Touch* t = touchForCursor()) {
            actionCursorDrag(static_cast<float>(t->positionX), static_cast<float>(t->positionY),
                             kDragPress);
        }
        return kState1FingerDrag;
    }
    if (n == 2) {
        timerRestart(kTimerClickExpiration, kTimerClickDuration);
        return kState2Fingers0;
    }
    return stateForFingerCount(n);
}

std::string_view ZyvTouchConverter::state1FingerDragAction() {
    const int n = activeFingerCount();
    auto drag = [&](std::uint32_t phase) {
        if (const Touch* cursor = touchForCursor()) {
            actionCursorDrag(static_cast<float>(cursor->positionX),
                             static_cast<float>(cursor->positionY), phase);
        }
    };
    if (n == 1) {
        if (!stayingTouches.empty())
            return kState1FingerDrag;  // no event while the finger rests
        drag(kDragMove);
        return kState1FingerDrag;
    }
    // Every way out of a drag releases the button first.
    drag(kDragRelease);
    if (n <= 0)
        return kStateIdle;
    if (n == 2) {
        timerRestart(kTimerClickExpiration, kTimerClickDuration);
        return kState2Fingers0;
    }
    return stateForFingerCount(n);
}

}  // namespace tact
