// The records the tracker works with: one contact record of a report, and the
// touch dictionary it becomes.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "platform/values/Value.hpp"

namespace tact {

// One contact of a touch report in its 10-byte form (6-byte records are
// widened to this form before use).
struct ContactRecord {
    std::uint8_t flags = 0;
    std::uint8_t contactID = 0;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;

    static constexpr std::uint8_t kTouching = 0x01;
    static constexpr std::uint8_t kInRange = 0x02;
    static constexpr std::uint8_t kValid = 0x04;

    bool touching() const { return flags & kTouching; }
    bool inRange() const { return flags & kInRange; }
    bool valid() const { return flags & kValid; }

    // Reads a record of 10 (or, with width and height given, 6) bytes.
    static ContactRecord read10(std::span<const std::uint8_t, 10> bytes) {
        return ContactRecord{bytes[0],       bytes[1],       le16(bytes, 2),
                             le16(bytes, 4), le16(bytes, 6), le16(bytes, 8)};
    }
    // Reads a 6-byte record and widens it to the 10-byte form: a contact of
    // (32 / inches) x 200 by (32 / inches) x 400 device units, in single
    // precision, truncated.
    static ContactRecord widen6(std::span<const std::uint8_t, 6> bytes, std::int32_t inches) {
        const float scale = 32.0f / static_cast<float>(inches);
        return ContactRecord{bytes[0],
                             bytes[1],
                             le16(bytes, 2),
                             le16(bytes, 4),
                             static_cast<std::uint16_t>(scale * 200.0f),
                             static_cast<std::uint16_t>(scale * 400.0f)};
    }

  private:
    // Both readers are defined here so that they inline into the report
    // loop: a record returned from another file costs a trip through memory
    // that the processor cannot forward.
    template <std::size_t N>
    static std::uint16_t le16(std::span<const std::uint8_t, N> b, std::size_t at) {
        return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
    }
};

// Option bits of a touch.
inline constexpr std::int64_t kTouchOptionBase = 0x1;
inline constexpr std::int64_t kTouchOptionTouching = 0x20000;
inline constexpr std::int64_t kTouchOptionInRange = 0x10000;

// Change bits of a touch's event mask.
inline constexpr std::int64_t kTouchChangedRange = 0x01;
inline constexpr std::int64_t kTouchChangedTouch = 0x02;
inline constexpr std::int64_t kTouchChangedPosition = 0x04;
inline constexpr std::int64_t kTouchChangedIdentity = 0x20;
inline constexpr std::int64_t kTouchNewMask = 0x23;

// The touch dictionary of one transducer in one cycle.
struct Touch {
    std::int64_t type = 11;  // digitizer event type
    std::int64_t options = 0;
    std::int64_t touchX = 0;
    std::int64_t touchY = 0;
    std::int64_t transducerIndex = 0;
    std::int64_t transducerType = 2;  // a finger
    std::int64_t identity = 0;
    std::int64_t quality = 0;
    float deltaX = 0;
    float deltaY = 0;
    double positionX = 0;
    double positionY = 0;
    std::int64_t eventMask = 0;
    std::int64_t pendingCount = 0;

    // The dictionary form other programs receive ("TapLocation").
    platform::Dictionary toDictionary() const;
};

using TouchMask = std::uint64_t;
inline constexpr int kTransducerCount = 64;
inline constexpr TouchMask bitOf(std::int64_t index) {
    return TouchMask{1} << (index & 63);
}

}  // namespace tact
