// System gesture events (type 29) built from serialised event data.
//
// An encoder creates an ordinary gesture event, serialises it, cuts the
// gesture fields off the end of the bytes, appends field records of its own
// (and, in the full form, a complete HID digitizer event collection as the
// gesture data, record 109) and turns the bytes back into an event.
//
// Field record: 16-bit big-endian element count, element type, field tag,
// elements. Element types: 0x00 64-bit integer (low 32 bits big-endian, then
// high 32 bits big-endian), 0x10 byte, 0x40 32-bit integer (big-endian), 0xC0
// IEEE single (big-endian). The HID records inside the gesture data are laid
// out as in memory: every multi-byte value there is little-endian.
//
// tl_CGEventCreateFromGesture2 is the full form (HID collection, one touch
// record per touch, scroll and vendor records); tl_CGEventCreateFromGesture1
// is the short form with a fixed 56-byte blob for magnify and rotate, which
// also posts the rotate/magnify end events itself when a gesture ends. Both
// print a dump of the bytes they built to standard output.
//
// Called from the agent's run-loop thread only.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/events/Events.hpp"
#include "platform/values/Value.hpp"

namespace tact {

// Keys of the gesture information dictionary (every key optional).
inline constexpr std::string_view kTLInfoKeyTimestamp = "timestamp";            // default uptime
inline constexpr std::string_view kTLInfoKeyGestureSubtype = "gestureSubtype";  // default 11
inline constexpr std::string_view kTLInfoKeyNextSubtype = "nextSubtype";
inline constexpr std::string_view kTLInfoKeyMagnification = "magnification";
inline constexpr std::string_view kTLInfoKeyRotation = "rotation";
inline constexpr std::string_view kTLInfoKeySwipeDirection = "swipeDirection";
inline constexpr std::string_view kTLInfoScrollX = "scrollx";
inline constexpr std::string_view kTLInfoScrollY = "scrolly";
inline constexpr std::string_view kTLInfoScrollZ = "scrollz";
inline constexpr std::string_view kTLInfoScrollPhase = "scrollPhase";
inline constexpr std::string_view kTLInfoSwipeProgress = "swipeProgress";
inline constexpr std::string_view kTLInfoSwipePositionX = "swipePositionx";
inline constexpr std::string_view kTLInfoSwipePositionY = "swipePositiony";
inline constexpr std::string_view kTLInfoKeyDeviceID = "deviceID";

// Keys of a touch dictionary read by the full form (absent keys read as 0).
inline constexpr std::string_view kTLEventKeyType = "type";
inline constexpr std::string_view kTLEventKeyOptions = "options";
inline constexpr std::string_view kTLEventKeyPositionX = "position.x";
inline constexpr std::string_view kTLEventKeyPositionY = "position.y";
inline constexpr std::string_view kTLEventKeyPositionZ = "position.z";
inline constexpr std::string_view kTLEventKeyTipPressure = "tipPressure";
inline constexpr std::string_view kTLEventKeyBarrelPressure = "barrelPressure";
inline constexpr std::string_view kTLEventKeyTwist = "twist";
inline constexpr std::string_view kTLEventKeyQuality = "quality";
inline constexpr std::string_view kTLEventKeyDensity = "density";
inline constexpr std::string_view kTLEventKeyIrregularity = "irregularity";
inline constexpr std::string_view kTLEventKeyMajorRadius = "majorRadius";
inline constexpr std::string_view kTLEventKeyMinorRadius = "minorRadius";
inline constexpr std::string_view kTLEventKeyIdentity = "identity";
inline constexpr std::string_view kTLEventKeyTransducerType = "transducerType";
inline constexpr std::string_view kTLEventKeyTransducerIndex = "transducerIndex";
inline constexpr std::string_view kTLEventKeyEventMask = "eventMask";
inline constexpr std::string_view kTLEventKeyButtonMask = "buttonMask";

// Gesture subtypes (event field 110).
inline constexpr std::int32_t kTLGestureSubtypeRotate = 5;
inline constexpr std::int32_t kTLGestureSubtypeScroll = 6;
inline constexpr std::int32_t kTLGestureSubtypeMagnify = 8;
inline constexpr std::int32_t kTLGestureSubtypeNone = 11;
inline constexpr std::int32_t kTLGestureSubtypeSwipe = 16;
inline constexpr std::int32_t kTLGestureSubtypeSwipeProgress = 23;
inline constexpr std::int32_t kTLGestureSubtypeBegin = 61;
inline constexpr std::int32_t kTLGestureSubtypeEnd = 62;

// Element types of a field record.
inline constexpr std::uint8_t kTLElementInt64 = 0x00;
inline constexpr std::uint8_t kTLElementByte = 0x10;
inline constexpr std::uint8_t kTLElementInt32 = 0x40;
inline constexpr std::uint8_t kTLElementFloat = 0xC0;

// HID event types and touch option bits used by the records.
inline constexpr std::uint32_t kIOHIDEventTypeVendorDefined = 1;
inline constexpr std::uint32_t kIOHIDEventTypeScroll = 6;
inline constexpr std::uint32_t kIOHIDEventTypeDigitizer = 11;
inline constexpr std::uint32_t kTLTouchOptionTouching = 0x20000;
inline constexpr std::uint32_t kTLTouchOptionInRange = 0x10000;

// A digitizer record: one touch, or the collection of all touches of an
// event. 88 bytes in its serialised form.
struct HIDDigitizerRecord {
    std::uint32_t length = 88;
    std::uint32_t type = kIOHIDEventTypeDigitizer;
    std::uint32_t options = 0;
    std::uint32_t reserved = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
    std::uint32_t transducerIndex = 0;  // the collection: one bit per touch, and 0x400000
    std::uint32_t transducerType = 0;
    std::uint32_t identity = 0;
    std::uint32_t eventMask = 0;
    std::uint32_t childEventMask = 0;
    std::uint32_t buttonMask = 0;
    std::int32_t tipPressure = 0;
    std::int32_t barrelPressure = 0;
    std::int32_t twist = 0;
    std::uint32_t orientationType = 0;
    std::int32_t quality = 0;
    std::int32_t density = 0;
    std::int32_t irregularity = 0;
    std::int32_t majorRadius = 0;
    std::int32_t minorRadius = 0;

    static constexpr std::size_t kSize = 88;
    std::array<std::uint8_t, kSize> bytes() const;  // little-endian
};

// A scroll record, 28 bytes.
struct HIDScrollRecord {
    std::uint32_t length = 28;
    std::uint32_t type = kIOHIDEventTypeScroll;
    std::uint32_t options = 0;
    std::uint32_t reserved = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;

    static constexpr std::size_t kSize = 28;
    std::array<std::uint8_t, kSize> bytes() const;  // little-endian
};

// A vendor-defined record carrying the device ID, 68 bytes.
struct HIDVendorRecord {
    std::uint32_t length = 68;
    std::uint32_t type = kIOHIDEventTypeVendorDefined;
    std::uint32_t options = 0;
    std::uint32_t reserved = 0;
    std::uint16_t usagePage = 0xFF00;
    std::uint16_t usage = 0x1777;
    std::uint32_t version = 1;
    std::uint32_t payloadLength = 40;
    std::array<std::uint8_t, 40> payload{};

    static constexpr std::size_t kSize = 68;
    std::array<std::uint8_t, kSize> bytes() const;  // little-endian
};

// v x 65536, truncated toward zero (16.16 fixed point). Values beyond the
// 32-bit range give the nearest end of the range and NaN gives 0, where a
// plain conversion would be undefined.
std::int32_t tl_float2fixed(double v);

// Field-record building blocks; each appends to data.
void appendBytes(std::vector<std::uint8_t>& data, std::uint32_t value);  // big-endian
void appendHeader(std::vector<std::uint8_t>& data, std::uint8_t tag, std::uint8_t elementType,
                  std::uint16_t count);
void appendIntegerField(std::vector<std::uint8_t>& data, std::uint8_t tag, std::int32_t value);
void appendFloatField(std::vector<std::uint8_t>& data, std::uint8_t tag, float value);
// A record of count elements of any element type. elements holds them as they
// lie in memory (count x element size bytes; missing bytes count as 0).
void appendField(std::vector<std::uint8_t>& data, std::uint8_t tag, std::uint8_t elementType,
                 std::uint16_t count, std::span<const std::uint8_t> elements);

// The options word of a touch record.
void fillOutBase(const platform::Dictionary& touch, HIDDigitizerRecord& record);
// The rest of a touch record.
void fillOutDigitizer(const platform::Dictionary& touch, HIDDigitizerRecord& record);
// Copies as many payload bytes as the record's payload length says (at most
// the payload's capacity and what is given).
void setVendorData(HIDVendorRecord& record, std::span<const std::uint8_t> payload);

// The full form. info and touches must not be null. The event is made at
// events' pointer.
platform::events::CGEventRef tl_CGEventCreateFromGesture2(
    const platform::Dictionary* info, const std::vector<platform::Dictionary>* touches,
    platform::events::EventService& events = platform::events::processEventService());
// The short form. info and touches must not be null. When a gesture ends
// (subtype 62) after a rotate or magnify, posts the matching end events at
// the HID event tap first (to events).
platform::events::CGEventRef tl_CGEventCreateFromGesture1(
    const platform::Dictionary* info, const std::vector<platform::Dictionary>* touches,
    platform::events::EventService& events = platform::events::processEventService());

// The short form's state between calls.
struct GestureEncoderState {
    bool wasRotate = false;   // a rotate was encoded since the last begin
    bool wasMagnify = false;  // a magnify was encoded since the last begin
    bool isBegan = false;     // the next magnify or rotate is the first of its gesture
};
GestureEncoderState tl_gestureEncoderState();
void tl_resetGestureEncoderState();

}  // namespace tact
