// Translation of posted events into the fake-input requests of the X server's
// XTEST extension (see docs/desktop.md). Like the uinput translation it is a
// pure function over a small state, so every rule is testable without a
// display.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/events/Events.hpp"
#include "platform/events/FixedBuffer.hpp"

namespace platform::events {

// The X protocol's event codes a fake-input request names.
inline constexpr std::uint8_t kXKeyPress = 2;
inline constexpr std::uint8_t kXKeyRelease = 3;
inline constexpr std::uint8_t kXButtonPress = 4;
inline constexpr std::uint8_t kXButtonRelease = 5;
inline constexpr std::uint8_t kXMotionNotify = 6;

// The core pointer's buttons: 1 left, 3 right, and the wheel as buttons,
// 4 up, 5 down, 6 left, 7 right.
inline constexpr std::uint8_t kXButtonLeft = 1;
inline constexpr std::uint8_t kXButtonRight = 3;
inline constexpr std::uint8_t kXButtonWheelUp = 4;
inline constexpr std::uint8_t kXButtonWheelDown = 5;
inline constexpr std::uint8_t kXButtonWheelLeft = 6;
inline constexpr std::uint8_t kXButtonWheelRight = 7;

// Left control, for zooming: evdev's KEY_LEFTCTRL plus 8, as for every key.
inline constexpr std::uint8_t kXKeyLeftControl = 37;

// One wheel step (a press and release of a wheel button) is 40 pixels, the
// uinput device's notch.
inline constexpr std::int64_t kPixelsPerWheelStep = 40;
// At most this many steps per wheel and event; more are dropped, so that a
// nonsense step cannot flood the server.
inline constexpr std::int64_t kMaxWheelStepsPerEvent = 100;

// One fake-input request: the event code, its detail (button or key code,
// 0 for a motion) and, for a motion, the absolute position on the root
// window.
struct FakeInput {
    std::uint8_t type = 0;
    std::uint8_t detail = 0;
    std::int16_t x = 0;
    std::int16_t y = 0;
    friend bool operator==(const FakeInput&, const FakeInput&) = default;
};

// What the translation keeps between events.
struct XTestTranslationState {
    // The main screen on the root window (one point is one pixel); the
    // desktop's box plays no part, the root window being the whole desktop.
    explicit XTestTranslationState(const ScreenGeometry& g) : geometry(g) {}

    // Where positions go: the root window's position is placeOnDesktop's,
    // held to X's 16 bits. Setting it keeps the remainders.
    ScreenGeometry geometry;
    // Pixels not yet given out as whole wheel steps.
    std::int64_t verticalRemainder = 0;
    std::int64_t horizontalRemainder = 0;
    // The part of a zoom step not yet given out (see zoomSteps).
    double zoomRemainder = 0;
};

// The fake-input requests for one posted event, in order; empty for events
// with no X form (null events, gestures other than magnify, a magnify that
// completes no zoom step, keys without an X key code). A zoom is left control
// pressed, a click of button 4 (in) or 5 (out) per step, control released:
// control is never left held between events.
std::vector<FakeInput> translateForXTest(const CGEvent& event, XTestTranslationState& state);

// The most requests one posted event gives: a motion and a button, or both
// wheels at their most.
inline constexpr std::size_t kMaxFakeInputsPerEvent =
    2 + 4 * static_cast<std::size_t>(kMaxWheelStepsPerEvent);
using FakeInputs = FixedBuffer<FakeInput, kMaxFakeInputsPerEvent>;
// The same into out (emptied first), without touching the heap: what the
// sink posts with.
void translateForXTest(const CGEvent& event, XTestTranslationState& state, FakeInputs& out);

// The X key code for a virtual key code: the evdev key of the uinput table
// plus 8, which is how every X server reading evdev devices (Xorg with
// libinput or evdev, Xwayland, Xvfb with its default keymap) numbers its
// keys. Nothing when the key has no evdev key or its code is beyond 255, the
// largest X key code.
std::optional<std::uint8_t> xKeyCode(CGKeyCode key);

}  // namespace platform::events
