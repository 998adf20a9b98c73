// Two fingers: a quick tap right-clicks; once classified, the fingers rotate,
// magnify or scroll, and a scroll still moving when they lift carries on as
// momentum on a 10 ms run-loop timer.
#include <cmath>
#include <cstdio>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "agent/touchevents/TouchEvents.hpp"
#include "platform/events/Events.hpp"
#include "platform/log/SystemLog.hpp"

namespace tact {

using namespace platform::events;

namespace {

constexpr double kMomentumTick = 0.01;

GestureRecord momentumRecord(std::int32_t dx, std::int32_t dy, std::int64_t phase) {
    GestureRecord r;
    r.ZyvGestureType = kGestureMomentum;
    r.deltaX = dx;
    r.deltaY = dy;
    r.zyvGesture2FingersSwipePhase = phase;
    return r;
}

}  // namespace

void ZyvTouchConverter::state2Fingers0Entry() {
    state2FingersGestureCheckPrepare();
    if (const Touch* t = touchForCursor()) {
        actionCursorMove(static_cast<float>(t->positionX), static_cast<float>(t->positionY));
    }
}

std::string_view ZyvTouchConverter::state2Fingers0Action() {
    const int n = activeFingerCount();
    if (n <= 0) {
        if (!timerExpired(kTimerClickExpiration)) {
            actionRightClick();
            timerStop(kTimerClickExpiration);
        }
        return kStateIdle;
    }
    if (n == 1) {
        // One finger lifted first: no right click.
        if (!timerExpired(kTimerClickExpiration))
            timerStop(kTimerClickExpiration);
        return kStateIdle;
    }
    if (n >= 3)
        return stateForFingerCount(n);

    if (!timerExpired(kTimerClickExpiration) && movingTouchesIndexMask != 0) {
        const float t = static_cast<float>(cursorMoveThreshold);
        for (const Touch& touch : movingTouches) {
            if (platform::systemLogEnabled(platform::LogLevel::Debug)) {
                char line[96];
                std::snprintf(line, sizeof line, "%f %f %f %f", touch.deltaX, t, touch.deltaY, t);
                platform::systemLog(platform::LogLevel::Debug, line);
            }
            if (std::fabs(touch.deltaX) >= t || std::fabs(touch.deltaY) >= t) {
                timerStop(kTimerClickExpiration);  // moved too far for a right click
                break;
            }
        }
    }
    if ((arrivingTouchesIndexMask | movingTouchesIndexMask) != 0) {
        const std::string_view next = state2Fingers0GestureCheck2(dictZyvStateContext);
        if (!next.empty()) {
            GestureRecord begin;
            begin.ZyvGestureType = kGestureBegin;
            queue(begin);
            const std::int64_t subtype =
                gestureInfo.integer(platform::String(kTLInfoKeyGestureSubtype)).value_or(0);
            dictZyvStateContext.set(kStateInfoGestureMode, subtype);
            gestureInfo.set(platform::String(kTLInfoKeyNextSubtype), subtype);
            gestureInfo.set(platform::String(kTLInfoKeyGestureSubtype),
                            std::int64_t{kTLGestureSubtypeBegin});
            timerStop(kTimerClickExpiration);
            return next;
        }
    }
    return kState2Fingers0;
}

std::string_view ZyvTouchConverter::state2FingersRotateAction() {
    const int n = activeFingerCount();
    if (n == 1)
        return kState1FingerMove;
    if (n <= 0)
        return kStateIdle;
    if (state2FingersRotateCheck(dictZyvStateContext)) {
        GestureRecord r;
        r.ZyvGestureType = kGestureRotate;
        queue(r);
    }
    return kState2FingersRotate;
}

std::string_view ZyvTouchConverter::state2FingersMagnifyAction() {
    if (activeFingerCount() <= 1)
        return kStateIdle;
    if (state2FingersMagnifyCheck(dictZyvStateContext)) {
        GestureRecord r;
        r.ZyvGestureType = kGestureMagnify;
        queue(r);
    }
    return kState2FingersMagnify;
}

void ZyvTouchConverter::endTwoFingerGesture() {
    auto mode = dictZyvStateContext.number(kStateInfoGestureMode);
    if (!mode)
        return;
    gestureInfo.set(platform::String(kTLInfoKeyGestureSubtype), std::int64_t{kTLGestureSubtypeEnd});
    gestureInfo.set(platform::String(kTLInfoKeyNextSubtype), static_cast<std::int64_t>(*mode));
    dictZyvStateContext.erase(kStateInfoGestureMode);
    GestureRecord end;
    end.ZyvGestureType = kGestureEnd;
    queue(end);
}

void ZyvTouchConverter::state2FingersRotateExit() {
    endTwoFingerGesture();
}

void ZyvTouchConverter::state2FingersMagnifyExit() {
    endTwoFingerGesture();
}

void ZyvTouchConverter::state2FingersScrollEntry() {
    dictZyvStateContext.set(kStateInfoScrollBegan, false);
    dictZyvStateContext.set(kStateInfoScrollHasMomentum, false);
    dictZyvStateContext.set(kStateInfoScrollMomentumDeltaX, std::int64_t{0});
    dictZyvStateContext.set(kStateInfoScrollMomentumDeltaY, std::int64_t{0});
}

std::string_view ZyvTouchConverter::state2FingersScrollAction() {
    const int n = activeFingerCount();
    if (n == 2) {
        if (!dictZyvStateContext.isYes(kStateInfoScrollBegan)) {
            dictZyvStateContext.set(kStateInfoScrollBegan, true);
            state2FingersScrollCheck(dictZyvStateContext, 1);
        } else {
            dictZyvStateContext.set(kStateInfoScrollHasMomentum,
                                    state2FingersScrollCheck(dictZyvStateContext, 2));
        }
        return kState2FingersScroll;
    }
    if (n <= 1) {
        const bool still = dictZyvStateContext.int32(kStateInfoScrollMomentumDeltaX) == 0 &&
                           dictZyvStateContext.int32(kStateInfoScrollMomentumDeltaY) == 0;
        if (!dictZyvStateContext.isYes(kStateInfoScrollHasMomentum) || still)
            return kStateIdle;
        return kState2FingersMomentumScroll;
    }
    return kStateIdle;
}

void ZyvTouchConverter::state2FingersScrollExit() {
    if (!dictZyvStateContext.isYes(kStateInfoScrollHasMomentum))
        return;
    if (dictZyvStateContext.isYes(kStateInfoScrollBegan)) {
        state2FingersScrollCheck(dictZyvStateContext, 4);
    }
    endTwoFingerGesture();
}

void ZyvTouchConverter::initMomentumScrollDeltaX(std::int32_t dx, std::int32_t dy) {
    auto target = [](std::int32_t d) {
        const double t = 2.5 * d;  // |d| is far below the 32-bit limit / 2.5 in practice
        if (t >= 2147483647.0)
            return std::int64_t{INT32_MAX};
        if (t <= -2147483648.0)
            return std::int64_t{INT32_MIN};
        return static_cast<std::int64_t>(static_cast<std::int32_t>(t));
    };
    dictZyvStateContext.set(kStateInfoScrollMomentumTargetDeltaX, target(dx));
    dictZyvStateContext.set(kStateInfoScrollMomentumTargetDeltaY, target(dy));
}

namespace {

// One tick of an axis towards its target: up to it, hold once, then down to 0.
std::int32_t nextMomentum(StateContext& context, std::string_view targetKey, std::int32_t c) {
    const std::int32_t target = context.int32(targetKey);
    if (target != c)
        return target < c ? c - 1 : c + 1;
    if (target != 0) {
        context.set(targetKey, std::int64_t{0});
        return c;
    }
    return 0;
}

}  // namespace

std::int32_t ZyvTouchConverter::nextMomentumScrollDeltaX(std::int32_t c) {
    return nextMomentum(dictZyvStateContext, kStateInfoScrollMomentumTargetDeltaX, c);
}

std::int32_t ZyvTouchConverter::nextMomentumScrollDeltaY(std::int32_t c) {
    return nextMomentum(dictZyvStateContext, kStateInfoScrollMomentumTargetDeltaY, c);
}

void ZyvTouchConverter::postMomentumScroll(std::int32_t dx, std::int32_t dy, std::uint32_t phase) {
    CGEventSourceRef source = CGEventSourceCreate(kCGEventSourceStateHIDSystemState);
    CGEventRef event = CGEventCreateScrollWheelEvent(source, kCGScrollEventUnitPixel, 2, dy, dx);
    if (!event)
        return;
    CGEventSetIntegerValueField(event, kCGScrollWheelEventMomentumPhase, phase);
    _logger.logf(kLogGestures, "momentum scroll, phase:%i, deltax:%i, deltay:%i",
                 static_cast<int>(phase), dx, dy);
    CGEventPost(kCGHIDEventTap, event);
}

void ZyvTouchConverter::state2FingersMomentumScrollEntry() {
    dictZyvStateContext.set(kStateInfoScrollHasMomentum, false);
    const std::int32_t dx = dictZyvStateContext.int32(kStateInfoScrollMomentumDeltaX);
    const std::int32_t dy = dictZyvStateContext.int32(kStateInfoScrollMomentumDeltaY);
    if (dx == 0 && dy == 0)
        return;
    queue(momentumRecord(dx, dy, 1));
    initMomentumScrollDeltaX(dx, dy);
    dictZyvStateContext.set(kStateInfoScrollMomentumDeltaX,
                            std::int64_t{nextMomentumScrollDeltaX(dx)});
    dictZyvStateContext.set(kStateInfoScrollMomentumDeltaY,
                            std::int64_t{nextMomentumScrollDeltaY(dy)});
    momentumTimer_ = environment.loop.addTimer(
        kMomentumTick, kMomentumTick, [this](platform::Timer& timer) { doMomentumScroll(timer); });
    dictZyvStateContext.set(kStateInfoScrollMomentumTimer, true);
    _logger.logf(kLogStates, "Momentum Timer Start ..");
}

void ZyvTouchConverter::doMomentumScroll(platform::Timer& timer) {
    submitTimestamp(CFAbsoluteTimeGetCurrent());
    const std::int32_t dx = dictZyvStateContext.int32(kStateInfoScrollMomentumDeltaX);
    const std::int32_t dy = dictZyvStateContext.int32(kStateInfoScrollMomentumDeltaY);
    if (dx == 0 && dy == 0) {
        _logger.logf(kLogStates, "Momentum Timer stoped by itself");
        dictZyvStateContext.erase(kStateInfoScrollMomentumTimer);
        timer.invalidate();
        postMomentumScroll(0, 0, 3);
        // The last report's records were posted in their own cycle: this
        // final pass runs on an emptied queue, so nothing is posted twice.
        actions.clear();
        postGestures();
        return;
    }
    postMomentumScroll(dx, dy, 2);
    dictZyvStateContext.set(kStateInfoScrollMomentumDeltaX,
                            std::int64_t{nextMomentumScrollDeltaX(dx)});
    dictZyvStateContext.set(kStateInfoScrollMomentumDeltaY,
                            std::int64_t{nextMomentumScrollDeltaY(dy)});
}

void ZyvTouchConverter::stopMomentum() {
    _logger.logf(kLogStates, "momentum timer is stopped by user");
    momentumTimer_.invalidate();
    dictZyvStateContext.erase(kStateInfoScrollMomentumTimer);
    queue(momentumRecord(0, 0, 3));
    dictZyvStateContext.set(kStateInfoScrollHasMomentum, false);
}

std::string_view ZyvTouchConverter::state2FingersMomentumScrollAction() {
    if (!dictZyvStateContext.contains(kStateInfoScrollMomentumTimer))
        return stateIdleAction();
    const int n = activeFingerCount();
    if (n == 1) {
        if (!dictZyvStateContext.isYes(kStateInfoScrollHasMomentum)) {
            dictZyvStateContext.set(kStateInfoScrollHasMomentum, true);
            timerRestart(kTimerMomentumPending, kTimerMomentumPendingDuration);
            return kState2FingersMomentumScroll;
        }
        if (timerExpired(kTimerMomentumPending)) {
            stopMomentum();  // a finger has rested 0.1 s
            return kState1FingerMove;
        }
        return kState2FingersMomentumScroll;
    }
    if (n >= 2) {
        stopMomentum();
        return kState2Fingers0;
    }
    // A finger touched and left again quickly: the momentum speeds up.
    timerStop(kTimerMomentumPending);
    dictZyvStateContext.set(kStateInfoScrollHasMomentum, false);
    initMomentumScrollDeltaX(dictZyvStateContext.int32(kStateInfoScrollMomentumDeltaX),
                             dictZyvStateContext.int32(kStateInfoScrollMomentumDeltaY));
    return kState2FingersMomentumScroll;
}

}  // namespace tact
