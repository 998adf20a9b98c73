#include "platform/events/XTestTranslate.hpp"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <limits>

#include "platform/events/Translate.hpp"

namespace platform::events {
namespace {

static_assert(kXKeyLeftControl == KEY_LEFTCTRL + 8);

// X keeps positions in 16 bits.
constexpr std::int32_t kCoordinateMin = std::numeric_limits<std::int16_t>::min();
constexpr std::int32_t kCoordinateMax = std::numeric_limits<std::int16_t>::max();

std::int16_t onRoot(std::int32_t v) {
    return static_cast<std::int16_t>(std::clamp(v, kCoordinateMin, kCoordinateMax));
}

void position(const CGEvent& event, const XTestTranslationState& state, FakeInputs& out) {
    if (!event.location)
        return;
    const DesktopPosition at = placeOnDesktop(state.geometry, *event.location);
    out.push_back({kXMotionNotify, 0, onRoot(at.x), onRoot(at.y)});
}

// Whole steps as clicks of one of two buttons by their sign.
void steps(std::int64_t count, std::uint8_t positive, std::uint8_t negative, FakeInputs& out) {
    const std::uint8_t button = count > 0 ? positive : negative;
    const std::int64_t n =
        std::min(count > 0 ? count : -count, kMaxWheelStepsPerEvent);  // |count| <= 2^31
    for (std::int64_t i = 0; i < n; ++i) {
        out.push_back({kXButtonPress, button, 0, 0});
        out.push_back({kXButtonRelease, button, 0, 0});
    }
}

// Pixels added to the remainder; the whole steps it completes are given out
// and taken off it.
std::int64_t wholeSteps(std::int64_t pixels, std::int64_t& remainder) {
    remainder += pixels;
    const std::int64_t n = remainder / kPixelsPerWheelStep;
    remainder -= n * kPixelsPerWheelStep;
    return n;
}

void scroll(const CGEvent& event, XTestTranslationState& state, FakeInputs& out) {
    const ScrollDeltas d = scrollDeltas(event);
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
    // Both of ours are positive up and to the left: buttons 4 and 6.
    const std::int64_t vertical = std::clamp<std::int64_t>(d.wheel1, -kLimit, kLimit);
    const std::int64_t horizontal = std::clamp<std::int64_t>(d.wheel2, -kLimit, kLimit);
    std::int64_t up = vertical;
    std::int64_t left = horizontal;
    if (d.units != kCGScrollEventUnitLine) {
        // Pixels; a line step is one wheel step and leaves the remainders alone.
        up = wholeSteps(vertical, state.verticalRemainder);
        left = wholeSteps(horizontal, state.horizontalRemainder);
    }
    steps(up, kXButtonWheelUp, kXButtonWheelDown, out);
    steps(left, kXButtonWheelLeft, kXButtonWheelRight, out);
}

// Control held around clicks of the wheel: up zooms in, down out.
void zoom(std::int32_t count, FakeInputs& out) {
    if (count == 0)
        return;
    out.push_back({kXKeyPress, kXKeyLeftControl, 0, 0});
    steps(count, kXButtonWheelUp, kXButtonWheelDown, out);
    out.push_back({kXKeyRelease, kXKeyLeftControl, 0, 0});
}

}  // namespace

std::optional<std::uint8_t> xKeyCode(CGKeyCode key) {
    const auto evdev = evdevKeyCode(key);
    if (!evdev || *evdev + 8 > 255)
        return std::nullopt;
    return static_cast<std::uint8_t>(*evdev + 8);
}

std::vector<FakeInput> translateForXTest(const CGEvent& event, XTestTranslationState& state) {
    FakeInputs out;
    translateForXTest(event, state, out);
    return std::vector<FakeInput>(out.begin(), out.end());
}

void translateForXTest(const CGEvent& event, XTestTranslationState& state, FakeInputs& out) {
    out.clear();
    // Every event passes here: any but a magnify ends a zoom's part step.
    const std::int32_t zoomBy = zoomSteps(event, state.zoomRemainder);
    switch (event.type) {
        case kCGEventMouseMoved:
        case kCGEventLeftMouseDragged:
            position(event, state, out);
            break;
        case kCGEventLeftMouseDown:
        case kCGEventLeftMouseUp:
        case kCGEventRightMouseDown:
        case kCGEventRightMouseUp: {
            const bool left =
                event.type == kCGEventLeftMouseDown || event.type == kCGEventLeftMouseUp;
            const bool down =
                event.type == kCGEventLeftMouseDown || event.type == kCGEventRightMouseDown;
            position(event, state, out);
            out.push_back({down ? kXButtonPress : kXButtonRelease,
                           left ? kXButtonLeft : kXButtonRight, 0, 0});
            break;
        }
        case kCGEventKeyDown:
        case kCGEventKeyUp: {
            auto it = event.fields.find(kCGKeyboardEventKeycode);
            if (it == event.fields.end())
                break;
            const auto* code = std::get_if<std::int64_t>(&it->second);
            if (!code || *code < 0 || *code > std::numeric_limits<CGKeyCode>::max())
                break;
            if (auto key = xKeyCode(static_cast<CGKeyCode>(*code)))
                out.push_back(
                    {event.type == kCGEventKeyDown ? kXKeyPress : kXKeyRelease, *key, 0, 0});
            break;
        }
        case kCGEventScrollWheel:
            scroll(event, state, out);
            break;
        case kCGEventGesture:
            zoom(zoomBy, out);  // other gestures than magnify give no steps
            break;
        default:
            break;  // null events have no X form
    }
}

}  // namespace platform::events
