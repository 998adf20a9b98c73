// The gesture event encoders: serialised gesture events with field records and
// HID records of our own appended.
#include "agent/touchevents/TouchEvents.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>

#include "agent/logger/ZyvtouchLogger.hpp"

namespace tact {

using namespace platform::events;

namespace {

// Fields of the base gesture event.
constexpr CGEventField kFieldWindowServer106 = 106;
constexpr CGEventField kFieldWindowServer107 = 107;
constexpr CGEventField kField51 = 51;
constexpr CGEventField kField53 = 53;
constexpr std::int64_t kValue106 = 402;
constexpr std::int64_t kValue107 = 1050;
constexpr std::int64_t kValue53 = 3;

// Tags of the records appended after the gesture data.
constexpr std::uint8_t kTagGestureData = 109;
constexpr std::uint8_t kTagSubtype = 110;
constexpr std::uint8_t kTag111 = 111;
constexpr std::uint8_t kTag112 = 112;
constexpr std::uint8_t kTagMagnification = 113;
constexpr std::uint8_t kTagRotation = 114;
constexpr std::uint8_t kTagSwipeDirection = 115;
constexpr std::uint8_t kTagNextSubtype = 117;
constexpr std::uint8_t kTagScrollX = 118;
constexpr std::uint8_t kTagScrollY = 119;
constexpr std::uint8_t kTagScrollZ = 120;
constexpr std::uint8_t kTagSwipeProgress = 124;
constexpr std::uint8_t kTagSwipePositionX = 125;
constexpr std::uint8_t kTagSwipePositionY = 126;
constexpr std::uint8_t kTagPhase = 132;
constexpr std::uint8_t kTag133 = 133;
constexpr std::uint8_t kTag139 = 139;
constexpr std::uint8_t kTag140 = 140;

// The serialised gesture fields the encoders cut off and write again.
constexpr std::size_t kTailPlain = 24;
constexpr std::size_t kTailRotate = 48;
constexpr std::size_t kTailMagnify = 64;

// A field record's header, and room for the records after the gesture
// data (at most five of 8 bytes).
constexpr std::size_t kRecordHeaderSize = 4;
constexpr std::size_t kTrailingRecordsRoom = 5 * 8;

constexpr CGEventFlags kFlagsShort = 0x100;
constexpr CGEventFlags kFlagsFull = 0x180;

// Fixed sizes of the full form's gesture data.
constexpr std::size_t kPreambleSize = 36;
constexpr std::uint32_t kIndexSlotCollection = 0x400000;

// The short blob.
constexpr std::size_t kShortBlobSize = 56;
constexpr std::array<std::uint8_t, 4> kKindMagnify{0x24, 0x09, 0x00, 0x00};
constexpr std::array<std::uint8_t, 4> kKindRotate{0x0F, 0x03, 0x00, 0x00};
constexpr std::array<std::uint8_t, 4> kFamilyRotate{0x05, 0x00, 0x00, 0x00};
constexpr std::array<std::uint8_t, 4> kFamilyMagnify{0x07, 0x00, 0x00, 0x00};
constexpr std::array<std::uint8_t, 8> kEndTimestamp{0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
constexpr std::uint32_t kPhaseBegan = 1;
constexpr std::uint32_t kPhaseChanged = 2;
constexpr std::uint32_t kPhaseEnded = 4;

GestureEncoderState gState;

[[noreturn]] void assertionFailed(const char* text) {
    std::fflush(stdout);
    std::fprintf(stderr, "TouchEvents: assertion failed: %s\n", text);
    std::fflush(stderr);
    std::abort();
}

void require(bool condition, const char* text) {
    if (!condition)
        assertionFailed(text);
}

// --- reading the dictionaries -------------------------------------------------

// Every key the encoders read. Each becomes a String once, so that reading
// a dictionary allocates nothing.
constexpr std::string_view kKeysRead[] = {
    kTLInfoKeyTimestamp,
    kTLInfoKeyGestureSubtype,
    kTLInfoKeyNextSubtype,
    kTLInfoKeyMagnification,
    kTLInfoKeyRotation,
    kTLInfoKeySwipeDirection,
    kTLInfoScrollX,
    kTLInfoScrollY,
    kTLInfoScrollZ,
    kTLInfoScrollPhase,
    kTLInfoSwipeProgress,
    kTLInfoSwipePositionX,
    kTLInfoSwipePositionY,
    kTLInfoKeyDeviceID,
    kTLEventKeyType,
    kTLEventKeyOptions,
    kTLEventKeyPositionX,
    kTLEventKeyPositionY,
    kTLEventKeyPositionZ,
    kTLEventKeyTipPressure,
    kTLEventKeyBarrelPressure,
    kTLEventKeyTwist,
    kTLEventKeyQuality,
    kTLEventKeyDensity,
    kTLEventKeyIrregularity,
    kTLEventKeyMajorRadius,
    kTLEventKeyMinorRadius,
    kTLEventKeyIdentity,
    kTLEventKeyTransducerType,
    kTLEventKeyTransducerIndex,
    kTLEventKeyEventMask,
    kTLEventKeyButtonMask,
};

const platform::Value* lookup(const platform::Dictionary& d, std::string_view key) {
    static const auto strings = [] {
        std::array<platform::String, std::size(kKeysRead)> made;
        for (std::size_t i = 0; i < made.size(); ++i)
            made[i] = platform::String(kKeysRead[i]);
        return made;
    }();
    for (std::size_t i = 0; i < strings.size(); ++i) {
        if (kKeysRead[i] == key)
            return d.find(strings[i]);
    }
    return d.find(platform::String(key));
}

std::int64_t truncateToInt64(double v) {
    if (std::isnan(v))
        return 0;
    if (v >= 9223372036854775808.0)
        return std::numeric_limits<std::int64_t>::max();
    if (v < -9223372036854775808.0)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

float narrowToFloat(double v) {
    if (std::isnan(v) || std::isinf(v))
        return static_cast<float>(v);
    constexpr double kMax = std::numeric_limits<float>::max();
    if (v > kMax)
        return std::numeric_limits<float>::infinity();
    if (v < -kMax)
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

std::optional<std::int64_t> readInteger(const platform::Dictionary& d, std::string_view key) {
    const platform::Value* v = lookup(d, key);
    if (!v)
        return std::nullopt;
    if (auto i = v->asInteger())
        return *i;
    if (auto n = v->asNumber())
        return truncateToInt64(*n);
    return std::nullopt;
}

std::int64_t readInt64(const platform::Dictionary& d, std::string_view key,
                       std::int64_t fallback = 0) {
    return readInteger(d, key).value_or(fallback);
}

// 32-bit reads keep the low 32 bits, as a 32-bit number conversion does.
std::int32_t readInt32(const platform::Dictionary& d, std::string_view key,
                       std::int32_t fallback = 0) {
    return static_cast<std::int32_t>(readInt64(d, key, fallback));
}

std::uint32_t readUInt32(const platform::Dictionary& d, std::string_view key) {
    return static_cast<std::uint32_t>(readInt64(d, key));
}

double readDouble(const platform::Dictionary& d, std::string_view key) {
    const platform::Value* v = lookup(d, key);
    if (!v)
        return 0.0;
    return v->asNumber().value_or(0.0);
}

float readFloat(const platform::Dictionary& d, std::string_view key) {
    return narrowToFloat(readDouble(d, key));
}

std::int64_t readTimestamp(const platform::Dictionary& info) {
    if (auto t = readInteger(info, kTLInfoKeyTimestamp))
        return *t;
    return static_cast<std::int64_t>(tl_uptime());
}

// --- bytes ----------------------------------------------------------------------

template <std::size_t N>
void putLE16(std::array<std::uint8_t, N>& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

template <std::size_t N>
void putLE32(std::array<std::uint8_t, N>& out, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

template <std::size_t N>
void putLE64(std::array<std::uint8_t, N>& out, std::size_t at, std::uint64_t v) {
    for (std::size_t i = 0; i < 8; ++i)
        out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

template <std::size_t N>
void putBE32(std::array<std::uint8_t, N>& out, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        out[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

template <std::size_t N, std::size_t M>
void putBytes(std::array<std::uint8_t, N>& out, std::size_t at,
              const std::array<std::uint8_t, M>& bytes) {
    std::memcpy(out.data() + at, bytes.data(), M);
}

std::uint32_t byteReversed(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

template <std::size_t N>
void appendArray(std::vector<std::uint8_t>& data, const std::array<std::uint8_t, N>& bytes) {
    data.insert(data.end(), bytes.begin(), bytes.end());
}

void trim(std::vector<std::uint8_t>& data, std::size_t n) {
    if (data.size() >= n)
        data.resize(data.size() - n);
}

// The developer dump of an event's bytes (debug level only). A length that is
// a multiple of 64 ends with an empty line: the last byte's break follows the
// 64th byte's.
void dump(const std::vector<std::uint8_t>& data) {
    if (!developerTracesEnabled())
        return;
    std::printf("gestureData Lenth = %ld !!!!!!!!!!\n", static_cast<long>(data.size()));
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::printf("%02hhX ", data[i]);
        if ((i + 1) % 64 == 0)
            std::printf("\n");
    }
    std::printf("\n");
    std::fflush(stdout);
}

// --- events ---------------------------------------------------------------------

CGEventRef baseEvent(EventService& events, std::int64_t timestamp, CGEventFlags flags) {
    CGEventRef event = events.create();
    CGEventSetType(event, kCGEventGesture);
    CGEventSetFlags(event, flags);
    CGEventSetTimestamp(event, static_cast<std::uint64_t>(timestamp));
    return event;
}

// The base event of the short form, with its fixed fields.
CGEventRef shortBaseEvent(EventService& events, std::int64_t timestamp) {
    CGEventRef event = baseEvent(events, timestamp, kFlagsShort);
    CGEventSetIntegerValueField(event, kFieldWindowServer106, kValue106);
    CGEventSetIntegerValueField(event, kFieldWindowServer107, kValue107);
    CGEventSetIntegerValueField(event, kField51, 0);
    CGEventSetIntegerValueField(event, kField53, kValue53);
    return event;
}

std::array<std::uint8_t, kShortBlobSize> shortBlob(const std::array<std::uint8_t, 8>& timestamp,
                                                   const std::array<std::uint8_t, 4>& kind,
                                                   const std::array<std::uint8_t, 4>& family,
                                                   std::uint32_t phase) {
    std::array<std::uint8_t, kShortBlobSize> blob{};
    putBytes(blob, 0, timestamp);
    putBytes(blob, 8, kind);
    putLE32(blob, 12, 1);
    putBE32(blob, 16, phase);
    putLE32(blob, 24, 1);
    putLE32(blob, 28, 0x1C);
    putBytes(blob, 32, family);
    putBE32(blob, 36, phase);
    putLE32(blob, 52, 0xFFFFFF7D);
    return blob;
}

std::array<std::uint8_t, 8> liveTimestamp(std::int64_t timestamp) {
    std::array<std::uint8_t, 8> bytes{};
    putLE64(bytes, 0, static_cast<std::uint64_t>(timestamp));
    return bytes;
}

void appendShortBlob(std::vector<std::uint8_t>& data,
                     const std::array<std::uint8_t, kShortBlobSize>& blob) {
    appendField(data, kTagGestureData, kTLElementByte, kShortBlobSize, blob);
}

void appendPhaseRecords(std::vector<std::uint8_t>& data, std::int32_t subtype,
                        std::uint32_t phase) {
    appendIntegerField(data, kTagSubtype, subtype);
    appendIntegerField(data, kTag111, 0);
    appendIntegerField(data, kTag112, 0);
    appendIntegerField(data, kTagPhase, static_cast<std::int32_t>(phase));
    appendIntegerField(data, kTag133, 0);
}

// The event that ends a rotate or magnify of the short form, posted at the
// HID event tap.
void postEndEvent(EventService& events, std::int64_t timestamp, std::int32_t subtype) {
    const bool magnify = subtype == kTLGestureSubtypeMagnify;
    CGEventRef event = shortBaseEvent(events, timestamp);
    CGEventSetIntegerValueField(event, kTagSubtype, subtype);
    std::vector<std::uint8_t> data = CGEventCreateData(event);
    event.reset();
    trim(data, magnify ? kTailMagnify : kTailRotate);
    appendShortBlob(data, shortBlob(kEndTimestamp, kKindMagnify,
                                    magnify ? kFamilyMagnify : kFamilyRotate, kPhaseEnded));
    appendPhaseRecords(data, subtype, kPhaseEnded);
    if (magnify) {
        appendFloatField(data, kTagMagnification, 0.0f);
        appendFloatField(data, kTag139, 0.0f);
        appendFloatField(data, kTag140, 0.0f);
    } else {
        appendFloatField(data, kTagRotation, 0.0f);
    }
    CGEventRef end = CGEventCreateFromData(data);
    if (end)
        events.post(end);
}

// The phase of the next short-form magnify or rotate record.
std::uint32_t takePhase() {
    if (gState.isBegan) {
        gState.isBegan = false;
        return kPhaseBegan;
    }
    return kPhaseChanged;
}

struct Accumulator {
    std::uint32_t count = 0;
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t z = 0;
};

}  // namespace

// --- records --------------------------------------------------------------------

std::array<std::uint8_t, HIDDigitizerRecord::kSize> HIDDigitizerRecord::bytes() const {
    std::array<std::uint8_t, kSize> out{};
    const std::uint32_t words[] = {length,
                                   type,
                                   options,
                                   reserved,
                                   static_cast<std::uint32_t>(x),
                                   static_cast<std::uint32_t>(y),
                                   static_cast<std::uint32_t>(z),
                                   transducerIndex,
                                   transducerType,
                                   identity,
                                   eventMask,
                                   childEventMask,
                                   buttonMask,
                                   static_cast<std::uint32_t>(tipPressure),
                                   static_cast<std::uint32_t>(barrelPressure),
                                   static_cast<std::uint32_t>(twist),
                                   orientationType,
                                   static_cast<std::uint32_t>(quality),
                                   static_cast<std::uint32_t>(density),
                                   static_cast<std::uint32_t>(irregularity),
                                   static_cast<std::uint32_t>(majorRadius),
                                   static_cast<std::uint32_t>(minorRadius)};
    static_assert(sizeof(words) == kSize);
    for (std::size_t i = 0; i < std::size(words); ++i)
        putLE32(out, 4 * i, words[i]);
    return out;
}

std::array<std::uint8_t, HIDScrollRecord::kSize> HIDScrollRecord::bytes() const {
    std::array<std::uint8_t, kSize> out{};
    const std::uint32_t words[] = {length,
                                   type,
                                   options,
                                   reserved,
                                   static_cast<std::uint32_t>(x),
                                   static_cast<std::uint32_t>(y),
                                   static_cast<std::uint32_t>(z)};
    static_assert(sizeof(words) == kSize);
    for (std::size_t i = 0; i < std::size(words); ++i)
        putLE32(out, 4 * i, words[i]);
    return out;
}

std::array<std::uint8_t, HIDVendorRecord::kSize> HIDVendorRecord::bytes() const {
    std::array<std::uint8_t, kSize> out{};
    putLE32(out, 0, length);
    putLE32(out, 4, type);
    putLE32(out, 8, options);
    putLE32(out, 12, reserved);
    putLE16(out, 16, usagePage);
    putLE16(out, 18, usage);
    putLE32(out, 20, version);
    putLE32(out, 24, payloadLength);
    putBytes(out, 28, payload);
    return out;
}

std::int32_t tl_float2fixed(double v) {
    const double fixed = v * 65536.0;
    if (std::isnan(fixed))
        return 0;
    if (fixed >= 2147483648.0)
        return std::numeric_limits<std::int32_t>::max();
    if (fixed <= -2147483649.0)
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(fixed);
}

// --- field records --------------------------------------------------------------

void appendBytes(std::vector<std::uint8_t>& data, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        data.push_back(static_cast<std::uint8_t>(value >> shift));
}

void appendHeader(std::vector<std::uint8_t>& data, std::uint8_t tag, std::uint8_t elementType,
                  std::uint16_t count) {
    data.push_back(static_cast<std::uint8_t>(count >> 8));
    data.push_back(static_cast<std::uint8_t>(count));
    data.push_back(elementType);
    data.push_back(tag);
}

void appendIntegerField(std::vector<std::uint8_t>& data, std::uint8_t tag, std::int32_t value) {
    appendHeader(data, tag, kTLElementInt32, 1);
    appendBytes(data, static_cast<std::uint32_t>(value));
}

void appendFloatField(std::vector<std::uint8_t>& data, std::uint8_t tag, float value) {
    appendHeader(data, tag, kTLElementFloat, 1);
    appendBytes(data, std::bit_cast<std::uint32_t>(value));
}

void appendField(std::vector<std::uint8_t>& data, std::uint8_t tag, std::uint8_t elementType,
                 std::uint16_t count, std::span<const std::uint8_t> elements) {
    appendHeader(data, tag, elementType, count);
    const std::size_t size = elementType == kTLElementByte    ? 1
                             : elementType == kTLElementInt64 ? 8
                                                              : 4;
    // One element as it lies in memory; bytes beyond the array count as 0.
    auto element = [&](std::size_t index, auto zero) {
        decltype(zero) value = 0;
        const std::size_t at = index * sizeof(value);
        if (at < elements.size())
            std::memcpy(&value, elements.data() + at,
                        std::min(sizeof(value), elements.size() - at));
        return value;
    };
    for (std::size_t i = 0; i < count; ++i) {
        if (size == 1) {
            data.push_back(i < elements.size() ? elements[i] : 0);
        } else if (size == 8) {
            const std::uint64_t v = element(i, std::uint64_t{0});
            appendBytes(data, static_cast<std::uint32_t>(v));
            appendBytes(data, static_cast<std::uint32_t>(v >> 32));
        } else {
            appendBytes(data, element(i, std::uint32_t{0}));
        }
    }
}

// --- touch records --------------------------------------------------------------

void fillOutBase(const platform::Dictionary& touch, HIDDigitizerRecord& record) {
    record.options = readUInt32(touch, kTLEventKeyOptions);
}

void fillOutDigitizer(const platform::Dictionary& touch, HIDDigitizerRecord& record) {
    record.length = HIDDigitizerRecord::kSize;
    record.type = kIOHIDEventTypeDigitizer;
    record.reserved = 0;
    record.x = tl_float2fixed(readDouble(touch, kTLEventKeyPositionX));
    record.y = tl_float2fixed(readDouble(touch, kTLEventKeyPositionY));
    record.z = tl_float2fixed(readDouble(touch, kTLEventKeyPositionZ));
    // The index slot holds the identity, not the transducer index.
    record.transducerIndex = readUInt32(touch, kTLEventKeyIdentity);
    record.transducerType = readUInt32(touch, kTLEventKeyTransducerType);
    record.identity = readUInt32(touch, kTLEventKeyIdentity);
    record.eventMask = readUInt32(touch, kTLEventKeyEventMask);
    record.childEventMask = 0;
    record.buttonMask = readUInt32(touch, kTLEventKeyButtonMask);
    record.tipPressure = tl_float2fixed(readDouble(touch, kTLEventKeyTipPressure));
    record.barrelPressure = tl_float2fixed(readDouble(touch, kTLEventKeyBarrelPressure));
    record.twist = tl_float2fixed(readDouble(touch, kTLEventKeyTwist));
    record.orientationType = 2;
    record.quality = tl_float2fixed(readDouble(touch, kTLEventKeyQuality));
    record.density = tl_float2fixed(readDouble(touch, kTLEventKeyDensity));
    record.irregularity = tl_float2fixed(readDouble(touch, kTLEventKeyIrregularity));
    record.majorRadius = tl_float2fixed(readDouble(touch, kTLEventKeyMajorRadius));
    record.minorRadius = tl_float2fixed(readDouble(touch, kTLEventKeyMinorRadius));
}

void setVendorData(HIDVendorRecord& record, std::span<const std::uint8_t> payload) {
    const std::size_t n = std::min(
        {static_cast<std::size_t>(record.payloadLength), record.payload.size(), payload.size()});
    std::memcpy(record.payload.data(), payload.data(), n);
}

// --- the full form ----------------------------------------------------------------

CGEventRef tl_CGEventCreateFromGesture2(const platform::Dictionary* info,
                                        const std::vector<platform::Dictionary>* touches,
                                        EventService& events) {
    require(info != nullptr, "info != NULL");
    require(touches != nullptr, "touches != NULL");

    const std::int64_t timestamp = readTimestamp(*info);
    const std::int32_t subtype = readInt32(*info, kTLInfoKeyGestureSubtype, kTLGestureSubtypeNone);

    int scrollCount = 0;
    if (subtype == kTLGestureSubtypeScroll)
        scrollCount = 1;
    else if (subtype == kTLGestureSubtypeBegin || subtype == kTLGestureSubtypeEnd)
        scrollCount = readInt32(*info, kTLInfoKeyNextSubtype) == kTLGestureSubtypeScroll ? 1 : 0;

    HIDDigitizerRecord collection;
    collection.options = 2;
    collection.transducerType = 3;
    collection.transducerIndex = 0;
    std::vector<std::uint8_t> touchBuffer;
    touchBuffer.reserve(touches->size() * HIDDigitizerRecord::kSize + HIDScrollRecord::kSize);
    Accumulator touching, inRange, other;

    // A dictionary without "type" has no record; the length and the event
    // count below count the records written, so the data stays readable.
    std::uint32_t recordCount = 0;
    for (std::size_t i = 0; i < touches->size(); ++i) {
        const platform::Dictionary& touch = (*touches)[i];
        if (!lookup(touch, kTLEventKeyType))
            continue;
        require(readInt32(touch, kTLEventKeyType) ==
                    static_cast<std::int32_t>(kIOHIDEventTypeDigitizer),
                "type == kIOHIDEventTypeDigitizer");
        HIDDigitizerRecord record;
        fillOutBase(touch, record);
        fillOutDigitizer(touch, record);
        appendArray(touchBuffer, record.bytes());
        ++recordCount;

        if (record.identity != 0)
            collection.options |= record.options;
        collection.childEventMask |= record.eventMask;
        collection.transducerIndex |= std::uint32_t{1} << ((i + 1) % 32);

        Accumulator& sum = (record.options & kTLTouchOptionTouching)  ? touching
                           : (record.options & kTLTouchOptionInRange) ? inRange
                                                                      : other;
        ++sum.count;
        sum.x += record.x;
        sum.y += record.y;
        sum.z += record.z;
    }
    for (const Accumulator* sum : {&touching, &inRange, &other}) {
        if (sum->count == 0)
            continue;
        const std::int64_t n = sum->count;
        collection.x = static_cast<std::int32_t>(sum->x / n);
        collection.y = static_cast<std::int32_t>(sum->y / n);
        collection.z = static_cast<std::int32_t>(sum->z / n);
        break;
    }
    collection.eventMask = collection.childEventMask;
    collection.identity = 1;
    collection.transducerIndex |= kIndexSlotCollection;

    if (scrollCount == 1) {
        HIDScrollRecord scroll;
        const auto phase = static_cast<std::uint32_t>(readInt32(*info, kTLInfoScrollPhase));
        scroll.options = byteReversed(phase << 4);
        scroll.x = tl_float2fixed(-double{readFloat(*info, kTLInfoScrollX)});
        scroll.y = tl_float2fixed(-double{readFloat(*info, kTLInfoScrollY)});
        scroll.z = tl_float2fixed(double{readFloat(*info, kTLInfoScrollZ)});
        appendArray(touchBuffer, scroll.bytes());
    }

    HIDVendorRecord vendor;
    std::array<std::uint8_t, 40> payload{};
    putLE64(payload, 0, static_cast<std::uint64_t>(readInt64(*info, kTLInfoKeyDeviceID)));
    setVendorData(vendor, payload);

    std::vector<std::uint8_t> data;
    {
        CGEventRef event = baseEvent(events, timestamp, kFlagsFull);
        data = CGEventCreateData(event);
    }
    trim(data, kTailPlain);

    const std::size_t blobLength = (recordCount + 1) * HIDDigitizerRecord::kSize + kPreambleSize +
                                   HIDVendorRecord::kSize + scrollCount * HIDScrollRecord::kSize;
    data.reserve(data.size() + kRecordHeaderSize + blobLength + kTrailingRecordsRoom);
    appendHeader(data, kTagGestureData, kTLElementByte, static_cast<std::uint16_t>(blobLength));

    std::array<std::uint8_t, kPreambleSize> preamble{};
    putLE64(preamble, 0, static_cast<std::uint64_t>(timestamp));
    putLE32(preamble, 24, collection.options);
    putLE32(preamble, 32, recordCount + 2);
    appendArray(data, preamble);
    appendArray(data, collection.bytes());
    data.insert(data.end(), touchBuffer.begin(), touchBuffer.end());
    appendArray(data, vendor.bytes());

    appendIntegerField(data, kTagSubtype, subtype);
    appendIntegerField(data, kTag111, 0);
    appendIntegerField(data, kTag112, 0);

    switch (subtype) {
        case kTLGestureSubtypeMagnify: {
            developerTrace("Gesture      Magnify!!!!!!!!!!!!!!!\n");
            const double magnification = readFloat(*info, kTLInfoKeyMagnification);
            appendFloatField(data, kTagMagnification, narrowToFloat(magnification * 10.0));
            break;
        }
        case kTLGestureSubtypeRotate:
            developerTrace("Gesture      Rotate!!!!!!!!!!!!!!!!\n");
            appendFloatField(data, kTagRotation, readFloat(*info, kTLInfoKeyRotation));
            break;
        case kTLGestureSubtypeSwipe:
            appendIntegerField(data, kTagSwipeDirection,
                               readInt32(*info, kTLInfoKeySwipeDirection));
            break;
        case kTLGestureSubtypeSwipeProgress:
            appendFloatField(data, kTagSwipeProgress, -readFloat(*info, kTLInfoSwipeProgress));
            appendFloatField(data, kTagSwipePositionX, -readFloat(*info, kTLInfoSwipePositionX));
            appendFloatField(data, kTagSwipePositionY, -readFloat(*info, kTLInfoSwipePositionY));
            break;
        case kTLGestureSubtypeBegin:
        case kTLGestureSubtypeEnd:
            appendIntegerField(data, kTagNextSubtype, readInt32(*info, kTLInfoKeyNextSubtype));
            break;
        case kTLGestureSubtypeScroll:
            appendFloatField(data, kTagScrollX, readFloat(*info, kTLInfoScrollX));
            appendFloatField(data, kTagScrollY, readFloat(*info, kTLInfoScrollY));
            appendFloatField(data, kTagScrollZ, readFloat(*info, kTLInfoScrollZ));
            break;
        default:
            break;
    }

    dump(data);
    return CGEventCreateFromData(data);
}

// --- the short form ---------------------------------------------------------------

CGEventRef tl_CGEventCreateFromGesture1(const platform::Dictionary* info,
                                        const std::vector<platform::Dictionary>* touches,
                                        EventService& events) {
    require(info != nullptr, "info != NULL");
    require(touches != nullptr, "touches != NULL");

    const std::int64_t timestamp = readTimestamp(*info);
    const std::int32_t subtype = readInt32(*info, kTLInfoKeyGestureSubtype, kTLGestureSubtypeNone);

    // The end of a gesture first ends its rotate and magnify; the flags stay
    // set until the next begin.
    if (subtype == kTLGestureSubtypeEnd && gState.wasRotate) {
        developerTrace("was rotate is true~~~\n");
        postEndEvent(events, timestamp, kTLGestureSubtypeRotate);
    }
    if (subtype == kTLGestureSubtypeEnd && gState.wasMagnify) {
        developerTrace("was magnify is true~~~\n");
        postEndEvent(events, timestamp, kTLGestureSubtypeMagnify);
    }

    CGEventRef event = shortBaseEvent(events, timestamp);
    float magnification = 0.0f;
    float rotation = 0.0f;
    switch (subtype) {
        case kTLGestureSubtypeEnd:
            developerTrace("GesutureSubtype     Begin and End！！！！！！\n");
            CGEventSetIntegerValueField(event, kTagSubtype, kTLGestureSubtypeEnd);
            CGEventSetIntegerValueField(event, kTagNextSubtype,
                                        readInt32(*info, kTLInfoKeyNextSubtype));
            break;
        case kTLGestureSubtypeBegin:
            developerTrace("GesutureSubtype     Begin and End！！！！！！\n");
            gState.wasRotate = false;
            gState.wasMagnify = false;
            CGEventSetIntegerValueField(event, kTagSubtype, kTLGestureSubtypeBegin);
            CGEventSetIntegerValueField(event, kTagNextSubtype,
                                        readInt32(*info, kTLInfoKeyNextSubtype));
            gState.isBegan = true;
            break;
        case kTLGestureSubtypeMagnify:
            developerTrace("GesutureSubtype     Magnify！！！！！！\n");
            CGEventSetIntegerValueField(event, kTagSubtype, kTLGestureSubtypeMagnify);
            magnification = narrowToFloat(double{readFloat(*info, kTLInfoKeyMagnification)} * 10.0);
            break;
        case kTLGestureSubtypeRotate:
            developerTrace("GesutureSubtype     Rotate！！！！！！\n");
            CGEventSetIntegerValueField(event, kTagSubtype, kTLGestureSubtypeRotate);
            rotation = readFloat(*info, kTLInfoKeyRotation);
            break;
        default:
            break;
    }
    std::vector<std::uint8_t> data = CGEventCreateData(event);
    event.reset();

    if (subtype == kTLGestureSubtypeMagnify) {
        gState.wasMagnify = true;
        trim(data, kTailMagnify);
        const std::uint32_t phase = takePhase();
        appendShortBlob(data,
                        shortBlob(liveTimestamp(timestamp), kKindMagnify, kFamilyMagnify, phase));
        appendPhaseRecords(data, kTLGestureSubtypeMagnify, phase);
        appendFloatField(data, kTagMagnification, magnification);
        developerTrace("magnification : %f !!!!!!\n", static_cast<double>(magnification));
        appendFloatField(data, kTag139, 0.0f);
        appendFloatField(data, kTag140, 0.0f);
    } else if (subtype == kTLGestureSubtypeRotate) {
        gState.wasRotate = true;
        trim(data, kTailRotate);
        const std::uint32_t phase = takePhase();
        appendShortBlob(data,
                        shortBlob(liveTimestamp(timestamp), kKindRotate, kFamilyRotate, phase));
        appendPhaseRecords(data, kTLGestureSubtypeRotate, phase);
        appendFloatField(data, kTagRotation, rotation);
    }

    if (subtype != 0)
        dump(data);
    return CGEventCreateFromData(data);
}

GestureEncoderState tl_gestureEncoderState() {
    return gState;
}

void tl_resetGestureEncoderState() {
    gState = GestureEncoderState{};
}

}  // namespace tact
