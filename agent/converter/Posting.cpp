// The posting pass: once per report cycle the gesture queue becomes events.
#include "agent/converter/ZyvTouchConverter.hpp"
#include "agent/touchevents/TouchEvents.hpp"
#include "platform/events/Events.hpp"

namespace tact {

using namespace platform::events;

void ZyvTouchConverter::postGestures() {
    // An empty payload stands for {"gestureSubtype": 0}: it is written out only
    // when a system gesture record of this pass needs it, so a plain pointer
    // cycle builds no dictionary. (The only other writer in a pass, a swipe
    // action, sets "gestureSubtype" first, replacing the 0 in place.)
    bool defaultPayload = false;
    if (gestureInfo.empty()) {
        defaultPayload = true;
        queue(GestureRecord{});
    }
    CGEventSourceRef source = CGEventSourceCreate(kCGEventSourceStateHIDSystemState);
    auto postMouse = [this, &source](CGEventType type, CGPoint at) {
        CGEventRef event = CGEventCreateMouseEvent(source, type, at, kCGMouseButtonLeft);
        CGEventPost(kCGHIDEventTap, event);
    };
    std::optional<std::vector<platform::Dictionary>> touchList;

    for (const GestureRecord& r : actions) {
        const CGPoint at{r.positionX.value_or(0.0f), r.positionY.value_or(0.0f)};
        switch (r.ZyvGestureType) {
            case kGesturePointerMove:
                _logger.logf(kLogGestures, "actionCursorMove:%f,%f", at.x, at.y);
                postMouse(kCGEventMouseMoved, at);
                break;
            case kGestureClick: {
                const std::int64_t clicks = r.zyvGesture1FingerTapPhase.value_or(0);
                _logger.logf(kLogGestures, "actionLeftClick:%f,%f, clickState:%i", at.x, at.y,
                             static_cast<int>(clicks));
                CGEventRef event =
                    CGEventCreateMouseEvent(source, kCGEventLeftMouseDown, at, kCGMouseButtonLeft);
                CGEventSetIntegerValueField(event, kCGMouseEventClickState, clicks);
                CGEventPost(kCGHIDEventTap, event);
                CGEventSetType(event, kCGEventLeftMouseUp);
                CGEventPost(kCGHIDEventTap, event);
                break;
            }
            case kGestureDrag: {
                const std::uint32_t phase = r.zyvGesture1FingerDragPhase.value_or(0);
                _logger.logf(kLogGestures, "actionCursorDra\xEF\xBC\x8Cg:%f,%f, phase:%d", at.x,
                             at.y, static_cast<int>(phase));
                const CGEventType type = phase == kDragPress     ? kCGEventLeftMouseDown
                                         : phase == kDragRelease ? kCGEventLeftMouseUp
                                                                 : kCGEventLeftMouseDragged;
                postMouse(type, at);
                break;
            }
            case kGestureRightClickUnused:
            case kGestureRightClick: {
                CGEventRef event = CGEventCreateMouseEvent(nullptr, kCGEventRightMouseDown, at,
                                                           kCGMouseButtonRight);
                CGEventPost(kCGHIDEventTap, event);
                CGEventSetType(event, kCGEventRightMouseUp);
                CGEventPost(kCGHIDEventTap, event);
                _logger.logf(kLogGestures, "actionRightClick:%f,%f", at.x, at.y);
                break;
            }
            case kGestureScroll: {
                if (_bTouchTestMode)
                    break;
                const auto dx = static_cast<std::int32_t>(r.deltaX.value_or(0));
                const auto dy = static_cast<std::int32_t>(r.deltaY.value_or(0));
                const auto phase = static_cast<int>(r.zyvGesture2FingersSwipePhase.value_or(0));
                CGEventRef event =
                    CGEventCreateScrollWheelEvent(source, kCGScrollEventUnitPixel, 2, dy, dx);
                if (!event)
                    break;
                const platform::Point pointer = pointerLocation();
                CGEventSetLocation(event, CGPoint{pointer.x, pointer.y});
                CGEventSetIntegerValueField(event, kCGScrollWheelEventIsContinuous, 1);
                _logger.logf(kLogGestures, "scroll, phase:%i, deltax:%i, deltay:%i", phase, dx, dy);
                CGEventPost(kCGHIDEventTap, event);
                break;
            }
            case kGestureMomentum: {
                if (_bTouchTestMode)
                    break;
                const auto dx = static_cast<std::int32_t>(r.deltaX.value_or(0));
                const auto dy = static_cast<std::int32_t>(r.deltaY.value_or(0));
                const auto phase =
                    static_cast<std::uint32_t>(r.zyvGesture2FingersSwipePhase.value_or(0));
                postMomentumScroll(dx, dy, phase);
                _logger.logf(kLogGestures, "momentum scroll, phase:%i, deltax:%i, deltay:%i",
                             static_cast<int>(phase), dx, dy);
                break;
            }
            case kGestureMagnify:
            case kGestureRotate:
            case kGestureBegin:
            case kGestureEnd: {
                if (_bTouchTestMode)
                    break;
                if (!touchList) {
                    // The cycle's touches: arriving, moving, staying, leaving.
                    touchList.emplace();
                    for (const auto* list :
                         {&arrivingTouches, &movingTouches, &stayingTouches, &leavingTouches}) {
                        for (const Touch& t : *list)
                            touchList->push_back(t.toDictionary());
                    }
                }
                if (defaultPayload && gestureInfo.empty()) {
                    gestureInfo.set(platform::String(kTLInfoKeyGestureSubtype), std::int64_t{0});
                }
                defaultPayload = false;
                gestureInfo.set(platform::String(kTLInfoKeyDeviceID),
                                static_cast<std::int64_t>(deviceID));
                CGEventRef event = systemVersion.minor >= 9
                                       ? tl_CGEventCreateFromGesture1(&gestureInfo, &*touchList,
                                                                      environment.events)
                                       : tl_CGEventCreateFromGesture2(&gestureInfo, &*touchList,
                                                                      environment.events);
                if (event)
                    CGEventPost(kCGHIDEventTap, event);
                gestureInfo.clear();
                break;
            }
            case kGestureSwipe3:
            case kGestureSwipe4:
            case kGestureSwipe5: {
                if (_bTouchTestMode)
                    break;
                const auto dir = static_cast<std::uint32_t>(r.stateInfoSwipeDirection.value_or(0));
                if (r.ZyvGestureType == kGestureSwipe3) {
                    actionWithSwipe(dir);
                    _logger.logf(kLogGestures, "3Fingers swipe, direction:%i",
                                 static_cast<int>(dir));
                } else if (r.ZyvGestureType == kGestureSwipe4) {
                    actionWith4FingersSwipe(dir);
                    _logger.logf(kLogGestures, "4Fingers swipe, direction:%i",
                                 static_cast<int>(dir));
                } else {
                    actionWith5FingersSwipe(dir);
                    _logger.logf(kLogGestures, "5Fingers swipe, direction:%i",
                                 static_cast<int>(dir));
                }
                break;
            }
            case kGesturePinch5:
                if (_bTouchTestMode)
                    break;
                actionWithPinch(r.stateInfoPinchDirection.value_or(0));
                break;
            default:
                _logger.logf(kLogOutOfRange, "Unrecognized gesture:%i",
                             static_cast<int>(r.ZyvGestureType));
                break;
        }
    }

    if (!gestureInfo.empty()) {
        if (_logger.isEnabled(kLogOutOfRange)) {
            _logger.logf(kLogOutOfRange, "discarded gesture %s",
                         platform::describe(platform::Value(gestureInfo)).c_str());
        }
        gestureInfo.clear();
    } else if (defaultPayload) {
        _logger.logf(kLogOutOfRange, "discarded gesture {%s = 0}", kTLInfoKeyGestureSubtype.data());
    }
}

}  // namespace tact
