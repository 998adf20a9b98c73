// Translation of posted events into the evdev events of the virtual input
// device (see docs/events.md). A pure function over a small state, so that
// every rule is testable without a device.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/events/Events.hpp"
#include "platform/events/FixedBuffer.hpp"

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

// A whole position in desktop coordinates.
struct DesktopPosition {
    std::int32_t x = 0;
    std::int32_t y = 0;
    friend bool operator==(const DesktopPosition&, const DesktopPosition&) = default;
};

// Where a posted position (relative to the main screen's top-left corner)
// lands on the desktop: the main screen's origin plus the position rounded
// to a whole point and held to the main screen, so that a position beyond
// its edge stays on that edge and never reaches a neighbouring monitor. Both
// sinks place their positions through this. Not a number counts as 0;
// origins and sizes are held to +-2^30 points.
DesktopPosition placeOnDesktop(const ScreenGeometry& geometry, CGPoint p);

// What the translation keeps between events.
struct TranslationState {
    explicit TranslationState(const ScreenGeometry& geometry);

    // Takes on a new main screen or desktop, keeping the wheel and zoom
    // remainders.
    void setGeometry(const ScreenGeometry& geometry);

    // Where positions go.
    ScreenGeometry geometry;
    // The absolute axes span the desktop's bounding box (grown to hold the
    // main screen; the main screen alone when the desktop has no box): they
    // start at its top-left corner and run from 0 to its size in points less
    // one (at least 1).
    std::int32_t originX = 0;
    std::int32_t originY = 0;
    std::int32_t maxX = 1;
    std::int32_t maxY = 1;
    // High-resolution wheel units not yet given out as whole notches.
    std::int64_t verticalRemainder = 0;
    std::int64_t horizontalRemainder = 0;
    // The part of a zoom step not yet given out.
    double zoomRemainder = 0;
};

// What taking on a new geometry asks of the virtual device: nothing (the
// same geometry); new placement only (the axes keep their ranges: the main
// screen moved, or the desktop's box moved without changing size); or a new
// device, since a device's axis ranges are fixed when it is made.
enum class GeometryChange { None, Placement, Device };
GeometryChange geometryChange(const TranslationState& current, const ScreenGeometry& next);

// The evdev events for one posted event, each frame closed by SYN_REPORT;
// empty for events with no evdev form (null events, gestures other than
// magnify, a magnify that completes no zoom step, keys without an evdev
// code). A zoom is KEY_LEFTCTRL down, the wheel notches, KEY_LEFTCTRL up:
// control is never left held between events.
std::vector<InputEvent> translate(const CGEvent& event, TranslationState& state);

// The most evdev events one posted event gives (a zoom gives seven).
inline constexpr std::size_t kMaxInputEventsPerEvent = 16;
using InputEvents = FixedBuffer<InputEvent, kMaxInputEventsPerEvent>;
// The same into out (emptied first), without touching the heap: what the
// sink posts with.
void translate(const CGEvent& event, TranslationState& state, InputEvents& out);

// The evdev key code for a virtual key code (the ANSI layout's codes), or
// nothing when the key has none.
std::optional<std::uint16_t> evdevKeyCode(CGKeyCode key);

// Every evdev key code the table above gives, for enabling them on the device.
std::span<const std::uint16_t> evdevKeyCodes();

}  // namespace platform::events
