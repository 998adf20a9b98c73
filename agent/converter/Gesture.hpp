// Gesture records: what the state operations queue during a report cycle and
// the posting pass turns into events afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tact {

// "ZyvGestureType" codes.
enum ZyvGestureType : std::int64_t {
    kGestureNone = 0,
    kGesturePointerMove = 1,
    kGestureClick = 2,
    kGestureDrag = 3,
    kGestureRightClickUnused = 4,
    kGestureRightClick = 5,
    kGestureScroll = 6,
    kGestureMomentum = 7,
    kGestureMagnify = 8,
    kGestureRotate = 9,
    kGestureSwipe3 = 10,
    kGestureSwipe4 = 11,
    kGesturePinch5 = 12,
    kGestureSwipe5 = 13,
    kGestureBegin = 14,
    kGestureEnd = 15,
};

// Swipe direction codes ("stateInfoSwipeDirection"). The numbers are what
// the state context, the gesture records, the logs and the traces carry.
enum SwipeDirection : std::uint32_t {
    kSwipeUp = 1,
    kSwipeDown = 2,
    kSwipeLeft = 4,
    kSwipeRight = 8,
};

// Up and down, or left and right. A turn sideways is not a reversal. The
// codes may come back from the state context, so they are taken as numbers.
constexpr bool areOppositeSwipes(std::uint32_t a, std::uint32_t b) {
    const std::uint32_t both = a | b;
    return both == (kSwipeUp | kSwipeDown) || both == (kSwipeLeft | kSwipeRight);
}

// Pinch direction codes ("stateInfoPinchDirection").
enum PinchDirection : std::int64_t {
    kPinchSpread = 1,  // the fingers moved apart
    kPinchClose = 2,   // the fingers moved together
};

constexpr bool areOppositePinches(std::int64_t a, std::int64_t b) {
    return (a | b) == (kPinchSpread | kPinchClose);
}

// Drag phases ("zyvGesture1FingerDragPhase").
inline constexpr std::uint32_t kDragPress = 1;
inline constexpr std::uint32_t kDragMove = 2;
inline constexpr std::uint32_t kDragRelease = 4;

// One queued gesture. Which keys a record carries depends on its type; the
// optional members are the keys that may be absent.
struct GestureRecord {
    std::int64_t ZyvGestureType = kGestureNone;
    std::optional<float> positionX;                           // "position.x", display points
    std::optional<float> positionY;                           // "position.y"
    std::optional<std::int64_t> zyvGesture1FingerTapPhase;    // click count 1..3
    std::optional<std::uint32_t> zyvGesture1FingerDragPhase;  // 1 press, 2 move, 4 release
    std::optional<double> deltaX;                             // "delta.x"
    std::optional<double> deltaY;                             // "delta.y"
    std::optional<std::int64_t> zyvGesture2FingersSwipePhase;
    std::optional<std::int64_t> stateInfoSwipeDirection;
    std::optional<std::int64_t> stateInfoPinchDirection;
};

}  // namespace tact
