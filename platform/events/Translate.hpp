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

// What the translation keeps between events.
struct TranslationState {
    TranslationState(double screenWidth, double screenHeight);

    // The absolute axes run from 0 to these (the screen in points, less one).
    std::int32_t maxX;
    std::int32_t maxY;
    // High-resolution wheel units not yet given out as whole notches.
    std::int64_t verticalRemainder = 0;
    std::int64_t horizontalRemainder = 0;
};

// The evdev events for one posted event, each frame closed by SYN_REPORT;
// empty for events with no evdev form (null events, gestures, keys without
// an evdev code).
std::vector<InputEvent> translate(const CGEvent& event, TranslationState& state);

// The evdev key code for a virtual key code (the ANSI layout's codes), or
// nothing when the key has none.
std::optional<std::uint16_t> evdevKeyCode(CGKeyCode key);

// Every evdev key code the table above gives, for enabling them on the device.
std::span<const std::uint16_t> evdevKeyCodes();

}  // namespace platform::events
