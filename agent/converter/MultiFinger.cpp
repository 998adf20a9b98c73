// Three, four and five fingers: swipes in four directions and, with five
// fingers, pinches. A contact emits one swipe when it is first recognised and
// one more for each reversal.
#include <algorithm>
#include <cmath>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "agent/touchevents/TouchEvents.hpp"
#include "platform/log/SystemLog.hpp"

namespace tact {
namespace {

constexpr double kThresholdRating = static_cast<double>(0.3f);

}  // namespace

SwipeDirection ZyvTouchConverter::swipeDirection(double w, double h) {
    if (std::fabs(h) > 2 * std::fabs(w))
        return h > 0 ? kSwipeDown : kSwipeUp;
    return w > 0 ? kSwipeRight : kSwipeLeft;
}

std::uint32_t ZyvTouchConverter::classifyBasedOnSwipe(double w, double h, double m, double rho) {
    const double s = 10 * std::hypot(w, h);
    const double g = 2 * std::fabs(m - 1);
    const double t = 1.7188733853924696 * std::fabs(rho);
    if (std::max({s, g, t}) < kThresholdRating)
        return kTLGestureSubtypeNone;
    if (s > std::max(g, t))
        return kTLGestureSubtypeScroll;
    return g > t ? kTLGestureSubtypeMagnify : kTLGestureSubtypeRotate;
}

void ZyvTouchConverter::state5FingersG5GestureCheckPrepare() {
    resetTouchesDelta();
    dictZyvStateContext.set(kStateInfoCenterDeltaX, 0.0);
    dictZyvStateContext.set(kStateInfoCenterDeltaY, 0.0);
    for (auto key : {kStateInfoPinchDirection, kStateInfo4FingersInPinchMode,
                     kStateInfo4FingersInSwipeMode, kStateInfoSwipeDirection}) {
        dictZyvStateContext.erase(key);
    }
}

void ZyvTouchConverter::state3Fingers0Entry() {
    state5FingersG5GestureCheckPrepare();
}
void ZyvTouchConverter::state4Fingers0Entry() {
    state5FingersG5GestureCheckPrepare();
}
void ZyvTouchConverter::state5Fingers0Entry() {
    state5FingersG5GestureCheckPrepare();
}

void ZyvTouchConverter::swipeDirectionStep(StateContext& context, double accX, double accY,
                                           std::int64_t type, const char* label) {
    context.set(kStateInfoCenterDeltaX, 0.0);
    context.set(kStateInfoCenterDeltaY, 0.0);
    const SwipeDirection dir = swipeDirection(accX, accY);
    _logger.logf(kLogGestures, "%s dx,dy,dir: %f,%f,%d", label, accX, accY, static_cast<int>(dir));
    if (context.contains(kStateInfoSwipeDirection) &&
        !areOppositeSwipes(static_cast<std::uint32_t>(context.int32(kStateInfoSwipeDirection)),
                           dir)) {
        return;  // same way on, or a turn sideways
    }
    GestureRecord r;
    r.ZyvGestureType = type;
    r.stateInfoSwipeDirection = dir;
    queue(r);
    context.set(kStateInfoSwipeDirection, std::int64_t{dir});
}

bool ZyvTouchConverter::accumulateMotion(StateContext& context, double limit, double* accX,
                                         double* accY, const char* label) {
    double dx = 0, dy = 0;
    calcDeltas(gestureTouchMask(), &dx, &dy, nullptr, nullptr);
    if (label) {
        _logger.logf(kLogGestures, "%s calcDeltas dx,dy, centerX,Y: %f,%f, %f,%f", label, dx, dy,
                     touchesDelta.centerX, touchesDelta.centerY);
    }
    *accX = dx + context.number(kStateInfoCenterDeltaX).value_or(0.0);
    *accY = dy + context.number(kStateInfoCenterDeltaY).value_or(0.0);
    context.set(kStateInfoCenterDeltaX, *accX);
    context.set(kStateInfoCenterDeltaY, *accY);
    return std::fabs(*accX) >= limit || std::fabs(*accY) >= limit;
}

bool ZyvTouchConverter::state3FingersG3GestureCheck(StateContext& context) {
    double accX = 0, accY = 0;
    if (!accumulateMotion(context, 4 * gestureMoveThreshold, &accX, &accY, "G3"))
        return false;
    _logger.logf(kLogGestures, "Detect Gesture: 3 Fingers Move");
    swipeDirectionStep(context, accX, accY, kGestureSwipe3, "G3");
    return true;
}

bool ZyvTouchConverter::state4FingersG4GestureCheck(StateContext& context) {
    if (!context.contains(kStateInfo4FingersInSwipeMode)) {
        double dx = 0, dy = 0;
        calcDeltas(gestureTouchMask(), &dx, &dy, nullptr, nullptr);
        const double limit = 4 * gestureMoveThreshold;
        if (std::fabs(touchesDelta.sumDeltaX) >= limit ||
            std::fabs(touchesDelta.sumDeltaY) >= limit) {
            _logger.logf(kLogGestures, "Detect Gesture: 4 Fingers Move");
            context.set(kStateInfo4FingersInSwipeMode, true);
            return true;
        }
        return false;
    }
    double accX = 0, accY = 0;
    if (accumulateMotion(context, gestureMoveThreshold, &accX, &accY, "G4")) {
        swipeDirectionStep(context, accX, accY, kGestureSwipe4, "G4");
    }
    return true;
}

bool ZyvTouchConverter::state5FingersG5GestureCheck(StateContext& context) {
    if (context.contains(kStateInfo4FingersInSwipeMode)) {
        double accX = 0, accY = 0;
        if (accumulateMotion(context, gestureMoveThreshold, &accX, &accY, nullptr)) {
            swipeDirectionStep(context, accX, accY, kGestureSwipe5, "G5");
        }
        return true;
    }
    if (context.contains(kStateInfo4FingersInPinchMode)) {
        double r = 0;
        calcDeltas(gestureTouchMask(), nullptr, nullptr, nullptr, &r);
        const double acc = r + context.number(kStateInfoCenterDeltaX).value_or(0.0);
        context.set(kStateInfoCenterDeltaX, acc);
        if (std::fabs(acc) >= gestureZoomThreshold) {
            context.set(kStateInfoCenterDeltaX, 0.0);
            const PinchDirection dir = acc > 0 ? kPinchSpread : kPinchClose;
            _logger.logf(kLogGestures, "G5 deltaRadius,dir: %f,%d", acc, static_cast<int>(dir));
            if (context.contains(kStateInfoPinchDirection) &&
                !areOppositePinches(context.int32(kStateInfoPinchDirection), dir)) {
                return true;
            }
            GestureRecord record;
            record.ZyvGestureType = kGesturePinch5;
            record.stateInfoPinchDirection = dir;
            queue(record);
            context.set(kStateInfoPinchDirection, std::int64_t{dir});
        }
        return true;
    }
    double dx = 0, dy = 0, r = 0;
    calcDeltas(gestureTouchMask(), &dx, &dy, nullptr, &r);
    const double limit = 4 * gestureMoveThreshold;
    if (std::fabs(touchesDelta.sumDeltaX) >= limit || std::fabs(touchesDelta.sumDeltaY) >= limit) {
        _logger.logf(kLogGestures, "Detect Gesture: 5 Fingers Move");
        context.set(kStateInfo4FingersInSwipeMode, true);
        return true;
    }
    if (std::fabs(r) >= 2 * gestureZoomThreshold) {
        _logger.logf(kLogGestures, "Detect Gesture: 5 Fingers Zoom");
        context.set(kStateInfo4FingersInPinchMode, true);
        return true;
    }
    return false;
}

std::string_view ZyvTouchConverter::state3Fingers0Action() {
    const int n = activeFingerCount();
    if (n != 3)
        return stateForFingerCount(n);
    if (movingTouchesIndexMask == 0)
        return kState3Fingers0;
    platform::systemLog(platform::LogLevel::Debug, "three fingers move");
    return state3FingersG3GestureCheck(dictZyvStateContext) ? kState3FingersG3 : kState3Fingers0;
}

std::string_view ZyvTouchConverter::state4Fingers0Action() {
    const int n = activeFingerCount();
    if (n != 4)
        return stateForFingerCount(n);
    if (movingTouchesIndexMask == 0)
        return kState4Fingers0;
    return state4FingersG4GestureCheck(dictZyvStateContext) ? kState4FingersG4 : kState4Fingers0;
}

std::string_view ZyvTouchConverter::state5Fingers0Action() {
    const int n = activeFingerCount();
    if (n < 5)
        return stateForFingerCount(n);
    if (movingTouchesIndexMask == 0)
        return kState5Fingers0;
    return state5FingersG5GestureCheck(dictZyvStateContext) ? kState5FingersG5 : kState5Fingers0;
}

// Once recognised, a gesture keeps its state until every finger has lifted.
std::string_view ZyvTouchConverter::state3FingersG3Action() {
    if (activeFingerCount() <= 0)
        return kStateIdle;
    state3FingersG3GestureCheck(dictZyvStateContext);
    return kState3FingersG3;
}

std::string_view ZyvTouchConverter::state4FingersG4Action() {
    if (activeFingerCount() <= 0)
        return kStateIdle;
    if (movingTouchesIndexMask != 0)
        state4FingersG4GestureCheck(dictZyvStateContext);
    return kState4FingersG4;
}

std::string_view ZyvTouchConverter::state5FingersG5Action() {
    if (activeFingerCount() <= 0)
        return kStateIdle;
    if (movingTouchesIndexMask != 0)
        state5FingersG5GestureCheck(dictZyvStateContext);
    return kState5FingersG5;
}

}  // namespace tact
