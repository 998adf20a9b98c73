// Translation of posted events into the evdev events of the virtual input
// device (see docs/events.md). A pure function over a small state, so that
// every rule is testable without a device.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/events/Events.hpp"

namespace platform::events {

// One evdev event: type (EV_*), code and value.
struct InputEvent {
    std::uint16_t type = 0;
    std::uint16_t code = 0;
    std::int32_t value = 0;
    friend bool operator==(const InputEvent&, const InputEvent&) = default;
};

// Pixel scrolling: one pixel is kHiResPerPixel high-resolution wheel units,
// and kHiResPerNotch of them (40 pixels) make one wheel notch.
inline constexpr std::int32_t kHiResPerNotch = 120;
inline constexpr std::int32_t kHiResPerPixel = 3;

// Magnify gestures zoom, the way a person zooms with a mouse: control held
// around wheel steps up (zoom in, fingers spreading) or down (zoom out).
// Field 113 of a magnify is ten times the growth of the fingers' mean
// distance from their centre, in fractions of the screen; one step per 0.1
// is one step each time the distance between the fingers grows or shrinks by
// 2 % of the screen. Recognising the gesture uses up the first part of the
// motion, so doubling the distance zooms about five steps from 20 % of the
// screen apart, two or three from 15 %, seven from 25 %: about what doubles
// the zoom of a browser. Part steps are kept until a whole one is due; at
// most kMaxZoomStepsPerEvent steps come of one event.
inline constexpr double kZoomStepsPerMagnification = 10;
inline constexpr std::int32_t kMaxZoomStepsPerEvent = 10;

// A magnify gesture event (type 29, subtype 8), the one gesture with a Linux
// form. Every other gesture, rotation included, is dropped by the sinks.
bool isMagnifyGesture(const CGEvent& event);

// The whole zoom steps an event gives (positive zooms in), its part step
// kept in *remainder. Only a magnify under way zooms; the end of a magnify
// (phase ended), and every other event, clears the remainder, so each zoom
// starts afresh. Nonsense magnifications (NaN, infinite, huge) give at most
// the cap.
std::int32_t zoomSteps(const CGEvent& event, double& remainder);

// What the translation keeps between events.
struct TranslationState {
    TranslationState(double screenWidth, double screenHeight);

    // The absolute axes run from 0 to these (the screen in points, less one).
    std::int32_t maxX;
    std::int32_t maxY;
    // High-resolution wheel units not yet given out as whole notches.
    std::int64_t verticalRemainder = 0;
    std::int64_t horizontalRemainder = 0;
    // The part of a zoom step not yet given out.
    double zoomRemainder = 0;
};

// The evdev events for one posted event, each frame closed by SYN_REPORT;
// empty for events with no evdev form (null events, gestures other than
// magnify, a magnify that completes no zoom step, keys without an evdev
// code). A zoom is KEY_LEFTCTRL down, the wheel notches, KEY_LEFTCTRL up:
// control is never left held between events.
std::vector<InputEvent> translate(const CGEvent& event, TranslationState& state);

// The evdev key code for a virtual key code (the ANSI layout's codes), or
// nothing when the key has none.
std::optional<std::uint16_t> evdevKeyCode(CGKeyCode key);

// Every evdev key code the table above gives, for enabling them on the device.
std::span<const std::uint16_t> evdevKeyCodes();

}  // namespace platform::events
