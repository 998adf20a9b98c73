// Two-finger classification: while two fingers rest, their summed motion
// decides between rotate, magnify and scroll (in that order of precedence);
// once one is chosen, the per-frame checks accumulate its steps.
#include <cmath>
#include <cstdio>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "agent/hotkeys/HotkeyEvents.hpp"
#include "agent/touchevents/TouchEvents.hpp"
#include "platform/log/SystemLog.hpp"

namespace tact {
namespace {

constexpr double kDegreesPerRadian = 57.29577951308232;

void setInfo(platform::Dictionary& info, std::string_view key, platform::Value value) {
    info.set(platform::String(key), std::move(value));
}

void setSubtype(platform::Dictionary& info, std::int32_t subtype) {
    setInfo(info, kTLInfoKeyGestureSubtype, std::int64_t{subtype});
}

}  // namespace

void ZyvTouchConverter::state2FingersGestureCheckPrepare() {
    resetTouchesDelta();
    dictZyvStateContext.set(kStateInfoCenterDeltaX, 0.0);
    dictZyvStateContext.set(kStateInfoCenterDeltaY, 0.0);
    for (auto key :
         {kStateInfoPinchDirection, kStateInfo4FingersInPinchMode, kStateInfo4FingersInSwipeMode,
          kStateInfoSwipeDirection, kStateInfo4FingersInRotateMode}) {
        dictZyvStateContext.erase(key);
    }
}

std::string_view ZyvTouchConverter::state2Fingers0GestureCheck2(StateContext& context) {
    double dx = 0, dy = 0, dAngle = 0, dRadius = 0;
    calcDeltas(gestureTouchMask(), &dx, &dy, &dAngle, &dRadius);
    auto& d = touchesDelta;
    _logger.logf(kLogGestures, "Sum %f,%f,%f,%f", d.sumDeltaX, d.sumDeltaY, d.sumDeltaAngle,
                 d.sumDeltaRadius);
    if (platform::systemLogEnabled(platform::LogLevel::Debug)) {
        char line[160];
        std::snprintf(line, sizeof line, "two fingers: sums %f %f %f, limits %f %f %f",
                      d.sumDeltaAngle, d.sumDeltaRadius, d.sumDeltaX, 10 * gestureRotateThreshold,
                      10 * gestureZoomThreshold, 4 * gestureMoveThreshold);
        platform::systemLog(platform::LogLevel::Debug, line);
    }

    if (std::fabs(d.sumDeltaAngle) >= 10 * gestureRotateThreshold) {
        _logger.logf(kLogGestures, "Detect Gesture: Rotate");
        context.set(kStateInfo4FingersInRotateMode, true);
        setSubtype(gestureInfo, kTLGestureSubtypeRotate);
        return kState2FingersRotate;
    }
    if (std::fabs(d.sumDeltaRadius) >= 10 * gestureZoomThreshold) {
        _logger.logf(kLogGestures, "Detect Gesture: Zoom");
        context.set(kStateInfo4FingersInPinchMode, true);
        setSubtype(gestureInfo, kTLGestureSubtypeMagnify);
        return kState2FingersMagnify;
    }
    if (std::fabs(d.sumDeltaX) >= 4 * gestureMoveThreshold ||
        std::fabs(d.sumDeltaY) >= 4 * gestureMoveThreshold) {
        _logger.logf(kLogGestures, "Detect Gesture: Scroll");
        context.set(kStateInfo4FingersInSwipeMode, true);
        setSubtype(gestureInfo, kTLGestureSubtypeScroll);
        // Only when asked for ("ScrollArrowKey"): one arrow keystroke against
        // the horizontal direction of travel.
        if (scrollArrowKey) {
            if (d.sumDeltaX < 0) {
                tl_PostActionSequence(kTLEventActionRightArrow, environment.events);
            } else if (d.sumDeltaX > 0) {
                tl_PostActionSequence(kTLEventActionLeftArrow, environment.events);
            }
        }
        return kState2FingersScroll;
    }
    return {};
}

bool ZyvTouchConverter::state2FingersRotateCheck(StateContext& context) {
    double d = 0;
    calcDeltas(gestureTouchMask(), nullptr, nullptr, &d, nullptr);
    if (context.contains(kStateInfo4FingersInRotateMode)) {
        _logger.logf(kLogGestures, "G2 rotate calcDeltas deltaAngle: %f", d);
        const double acc = d + context.number(kStateInfoCenterDeltaX).value_or(0.0);
        context.set(kStateInfoCenterDeltaX, acc);
        if (std::fabs(acc) >= gestureRotateThreshold) {
            context.set(kStateInfoCenterDeltaX, 0.0);
            setInfo(gestureInfo, kTLInfoKeyRotation, acc * kDegreesPerRadian);
            setSubtype(gestureInfo, kTLGestureSubtypeRotate);
        }
        return true;
    }
    if (std::fabs(d) >= 10 * gestureRotateThreshold) {
        context.set(kStateInfo4FingersInRotateMode, true);
        return true;
    }
    return false;
}

bool ZyvTouchConverter::state2FingersMagnifyCheck(StateContext& context) {
    double r = 0;
    calcDeltas(gestureTouchMask(), nullptr, nullptr, nullptr, &r);
    if (context.contains(kStateInfo4FingersInPinchMode)) {
        const double acc = r + context.number(kStateInfoCenterDeltaX).value_or(0.0);
        context.set(kStateInfoCenterDeltaX, acc);
        if (std::fabs(acc) >= gestureZoomThreshold) {
            context.set(kStateInfoCenterDeltaX, 0.0);
            setInfo(gestureInfo, kTLInfoKeyMagnification, acc);
            setSubtype(gestureInfo, kTLGestureSubtypeMagnify);
        }
        return true;
    }
    if (std::fabs(r) >= gestureZoomThreshold) {
        context.set(kStateInfo4FingersInPinchMode, true);
        return true;
    }
    return false;
}

namespace {

// Truncation toward zero into 32 bits; values beyond the range are held at it.
std::int32_t pixels(double v) {
    if (!(v > -2147483648.0))
        return v != v ? 0 : INT32_MIN;
    if (!(v < 2147483647.0))
        return INT32_MAX;
    return static_cast<std::int32_t>(v);
}

}  // namespace

bool ZyvTouchConverter::state2FingersScrollCheck(StateContext& context, std::uint32_t phase) {
    double dx = 0, dy = 0;
    calcDeltas(gestureTouchMask(), &dx, &dy, nullptr, nullptr);
    double accX = dx + context.number(kStateInfoCenterDeltaX).value_or(0.0);
    double accY = dy + context.number(kStateInfoCenterDeltaY).value_or(0.0);
    context.set(kStateInfoCenterDeltaX, accX);
    context.set(kStateInfoCenterDeltaY, accY);
    if (std::fabs(accX) < gestureMoveThreshold && std::fabs(accY) < gestureMoveThreshold) {
        return false;
    }
    context.set(kStateInfoCenterDeltaX, 0.0);
    context.set(kStateInfoCenterDeltaY, 0.0);
    const std::int32_t ix = pixels(accX * screenRect.width);
    const std::int32_t iy = pixels(accY * screenRect.height);
    // A running average of the steps, for the momentum after the lift.
    context.set(
        kStateInfoScrollMomentumDeltaX,
        std::int64_t{
            (static_cast<std::int64_t>(context.int32(kStateInfoScrollMomentumDeltaX)) + ix) / 2});
    context.set(
        kStateInfoScrollMomentumDeltaY,
        std::int64_t{
            (static_cast<std::int64_t>(context.int32(kStateInfoScrollMomentumDeltaY)) + iy) / 2});
    if (phase != 2 || ix != 0 || iy != 0) {
        GestureRecord record;
        record.ZyvGestureType = kGestureScroll;
        record.deltaX = ix;
        record.deltaY = iy;
        record.zyvGesture2FingersSwipePhase = phase;
        queue(record);
        return true;
    }
    return false;
}

}  // namespace tact
