// The gesture event encoders: field records, the full form's HID collection,
// the short form's blob and end events, and the diagnostic dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "agent/logger/ZyvtouchLogger.hpp"
#include "agent/touchevents/TouchEvents.hpp"
#include "platform/events/Events.hpp"
#include "tests/agent/ScopedLogLevel.hpp"

namespace tact {
namespace {

using namespace platform::events;
using Bytes = std::vector<std::uint8_t>;

// --- helpers --------------------------------------------------------------------

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return std::uint32_t{b.at(at)} | (std::uint32_t{b.at(at + 1)} << 8) |
           (std::uint32_t{b.at(at + 2)} << 16) | (std::uint32_t{b.at(at + 3)} << 24);
}
std::int32_t sle32(const Bytes& b, std::size_t at) {
    return static_cast<std::int32_t>(le32(b, at));
}
std::uint16_t le16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
std::uint64_t le64(const Bytes& b, std::size_t at) {
    return std::uint64_t{le32(b, at)} | (std::uint64_t{le32(b, at + 4)} << 32);
}
Bytes slice(const Bytes& b, std::size_t at, std::size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at),
                 b.begin() + static_cast<std::ptrdiff_t>(at + n));
}
Bytes tail(const Bytes& b, std::size_t n) {
    return slice(b, b.size() - n, n);
}
Bytes intRecord(std::uint8_t tag, std::int32_t v) {
    Bytes out;
    appendIntegerField(out, tag, v);
    return out;
}
Bytes floatRecord(std::uint8_t tag, float v) {
    Bytes out;
    appendFloatField(out, tag, v);
    return out;
}
Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

platform::Dictionary touch(std::int64_t options, double x, double y = 0.0,
                           std::int64_t identity = 1, std::int64_t eventMask = 0) {
    return platform::Dictionary{
        {"type", 11},
        {"options", options},
        {"position.x", x},
        {"position.y", y},
        {"identity", identity},
        {"transducerType", 2},
        {"transducerIndex", 40},
        {"eventMask", eventMask},
    };
}

constexpr std::int64_t kTouching = 0x20000 | 0x10000 | 1;
constexpr std::int64_t kInRange = 0x10000 | 1;

// One encoder call with standard output captured: the event, the bytes the
// encoder built (read back from its dump) and everything it printed.
struct Encoded {
    CGEventRef event;
    Bytes bytes;
    std::string out;
};

// Reads the bytes back from a dump, checking its line layout on the way.
Bytes parseDump(const std::string& out) {
    const std::string marker = "gestureData Lenth = ";
    const std::size_t start = out.find(marker);
    if (start == std::string::npos) {
        ADD_FAILURE() << "no dump in: " << out;
        return {};
    }
    std::istringstream in(out.substr(start + marker.size()));
    long length = 0;
    std::string rest;
    in >> length;
    std::getline(in, rest);
    EXPECT_EQ(rest, " !!!!!!!!!!");
    Bytes bytes;
    std::string line;
    while (static_cast<long>(bytes.size()) < length && std::getline(in, line)) {
        const long left = length - static_cast<long>(bytes.size());
        const std::size_t expected = static_cast<std::size_t>(std::min(left, 64L));
        EXPECT_EQ(line.size(), expected * 3) << "line: " << line;
        for (std::size_t i = 0; i + 3 <= line.size(); i += 3) {
            EXPECT_EQ(line[i + 2], ' ');
            EXPECT_TRUE(std::isupper(line[i]) || std::isdigit(line[i])) << line;
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
        }
    }
    EXPECT_EQ(static_cast<long>(bytes.size()), length);
    return bytes;
}

Encoded full(const platform::Dictionary& info, const std::vector<platform::Dictionary>& touches) {
    testing::internal::CaptureStdout();
    CGEventRef event = tl_CGEventCreateFromGesture2(&info, &touches);
    std::string out = testing::internal::GetCapturedStdout();
    Bytes bytes = parseDump(out);
    return {std::move(event), std::move(bytes), std::move(out)};
}

Encoded shortForm(const platform::Dictionary& info) {
    const std::vector<platform::Dictionary> touches;
    testing::internal::CaptureStdout();
    CGEventRef event = tl_CGEventCreateFromGesture1(&info, &touches);
    std::string out = testing::internal::GetCapturedStdout();
    Bytes bytes;
    if (out.find("gestureData Lenth") != std::string::npos)
        bytes = parseDump(out);
    return {std::move(event), std::move(bytes), std::move(out)};
}

const Bytes& blobOf(const CGEventRef& event) {
    static const Bytes none;
    if (!event || !event->gestureData) {
        ADD_FAILURE() << "event has no gesture data";
        return none;
    }
    return *event->gestureData;
}

// Offsets in the full form's gesture data.
constexpr std::size_t kPreamble = 36;
constexpr std::size_t kCollection = kPreamble;
constexpr std::size_t kFirstTouch = kPreamble + 88;

class TouchEventsTest : public testing::Test {
  protected:
    void SetUp() override {
        tl_resetGestureEncoderState();
        setEventSink(&sink);
    }
    void TearDown() override {
        setEventSink(nullptr);
        tl_resetGestureEncoderState();
    }
    RecordingSink sink;
    // The dumps these tests read back are developer traces: debug level only.
    test::ScopedLogLevel traces{platform::LogLevel::Debug};
};

// --- field records and fixed point ------------------------------------------------

TEST(FieldRecords, IntegerFloatAndHeaderBytes) {
    EXPECT_EQ(intRecord(110, 5), (Bytes{0x00, 0x01, 0x40, 0x6E, 0x00, 0x00, 0x00, 0x05}));
    EXPECT_EQ(intRecord(117, -2), (Bytes{0x00, 0x01, 0x40, 0x75, 0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(floatRecord(113, 0.5f), (Bytes{0x00, 0x01, 0xC0, 0x71, 0x3F, 0x00, 0x00, 0x00}));
    EXPECT_EQ(floatRecord(114, -2.0f), (Bytes{0x00, 0x01, 0xC0, 0x72, 0xC0, 0x00, 0x00, 0x00}));

    Bytes header;
    appendHeader(header, 109, kTLElementByte, 56);
    EXPECT_EQ(header, (Bytes{0x00, 0x38, 0x10, 0x6D}));
    Bytes big;
    appendHeader(big, 109, kTLElementByte, 0x1234);
    EXPECT_EQ(big, (Bytes{0x12, 0x34, 0x10, 0x6D}));

    Bytes word;
    appendBytes(word, 0x11223344);
    EXPECT_EQ(word, (Bytes{0x11, 0x22, 0x33, 0x44}));
}

TEST(FieldRecords, AnyElementTypeFromMemory) {
    const std::uint64_t wide = 0x0102030405060708;
    Bytes out;
    appendField(out, 7, kTLElementInt64, 1,
                std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&wide), 8));
    // Low 32 bits big-endian, then the high 32 bits.
    EXPECT_EQ(out, (Bytes{0x00, 0x01, 0x00, 0x07, 0x05, 0x06, 0x07, 0x08, 0x01, 0x02, 0x03, 0x04}));

    const std::uint32_t words[] = {1, 0xAABBCCDD};
    out.clear();
    appendField(out, 9, kTLElementInt32, 2,
                std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(words), 8));
    EXPECT_EQ(out, (Bytes{0x00, 0x02, 0x40, 0x09, 0, 0, 0, 1, 0xAA, 0xBB, 0xCC, 0xDD}));

    const float f = 1.0f;
    out.clear();
    appendField(out, 113, kTLElementFloat, 1,
                std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&f), 4));
    EXPECT_EQ(out, floatRecord(113, 1.0f));

    const Bytes raw{9, 8, 7};
    out.clear();
    appendField(out, 109, kTLElementByte, 3, raw);
    EXPECT_EQ(out, (Bytes{0x00, 0x03, 0x10, 0x6D, 9, 8, 7}));
}

TEST(FixedPoint, TruncatesTowardZeroAndClamps) {
    EXPECT_EQ(tl_float2fixed(1.0), 65536);
    EXPECT_EQ(tl_float2fixed(-1.5), -98304);
    EXPECT_EQ(tl_float2fixed(0.00001), 0);   // 0.655 truncated
    EXPECT_EQ(tl_float2fixed(-0.00001), 0);  // toward zero, not down
    EXPECT_EQ(tl_float2fixed(-2.5 / 65536.0), -2);
    EXPECT_EQ(tl_float2fixed(32767.0), 32767 * 65536);
    EXPECT_EQ(tl_float2fixed(-32768.0), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(tl_float2fixed(1e10), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(tl_float2fixed(-1e10), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(tl_float2fixed(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(tl_float2fixed(std::numeric_limits<double>::infinity()),
              std::numeric_limits<std::int32_t>::max());
}

TEST(Records, VendorDataCopiesThePayloadLength) {
    HIDVendorRecord record;
    const Bytes payload(50, 0xAB);
    setVendorData(record, payload);
    const auto bytes = record.bytes();
    EXPECT_EQ(bytes[28 + 39], 0xAB);
    record = HIDVendorRecord{};
    record.payloadLength = 3;
    setVendorData(record, payload);
    EXPECT_EQ(record.payload[2], 0xAB);
    EXPECT_EQ(record.payload[3], 0x00);
}

// --- the full form ------------------------------------------------------------------

TEST_F(TouchEventsTest, FullFormEmptyTouchArray) {
    const platform::Dictionary info{{"timestamp", std::int64_t{0x0102030405060708}},
                                    {"deviceID", std::int64_t{0x1122334455667788}}};
    const Encoded e = full(info, {});
    ASSERT_TRUE(e.event);
    EXPECT_EQ(e.event->type, kCGEventGesture);
    EXPECT_EQ(e.event->flags, 0x180u);
    EXPECT_EQ(e.event->timestamp, 0x0102030405060708u);
    EXPECT_EQ(CGEventGetIntegerValueField(e.event, 110), 11);  // default subtype

    const Bytes& blob = blobOf(e.event);
    ASSERT_EQ(blob.size(), 192u);
    // Preamble: timestamp, 16 zero bytes, collection options, 0, event count.
    EXPECT_EQ(le64(blob, 0), 0x0102030405060708u);
    EXPECT_EQ(slice(blob, 8, 16), Bytes(16, 0));
    EXPECT_EQ(le32(blob, 24), 2u);
    EXPECT_EQ(le32(blob, 28), 0u);
    EXPECT_EQ(le32(blob, 32), 2u);
    // Collection record.
    const std::size_t c = kCollection;
    EXPECT_EQ(le32(blob, c + 0), 88u);
    EXPECT_EQ(le32(blob, c + 4), 11u);
    EXPECT_EQ(le32(blob, c + 8), 2u);
    EXPECT_EQ(sle32(blob, c + 16), 0);
    EXPECT_EQ(sle32(blob, c + 20), 0);
    EXPECT_EQ(sle32(blob, c + 24), 0);
    EXPECT_EQ(le32(blob, c + 28), 0x400000u);
    EXPECT_EQ(le32(blob, c + 32), 3u);
    EXPECT_EQ(le32(blob, c + 36), 1u);
    EXPECT_EQ(slice(blob, c + 40, 48), Bytes(48, 0));
    // Vendor record right after the collection.
    const std::size_t v = kCollection + 88;
    EXPECT_EQ(le32(blob, v + 0), 68u);
    EXPECT_EQ(le32(blob, v + 4), 1u);
    EXPECT_EQ(le32(blob, v + 8), 0u);
    EXPECT_EQ(le32(blob, v + 12), 0u);
    EXPECT_EQ(le16(blob, v + 16), 0xFF00u);
    EXPECT_EQ(le16(blob, v + 18), 0x1777u);
    EXPECT_EQ(le32(blob, v + 20), 1u);
    EXPECT_EQ(le32(blob, v + 24), 40u);
    EXPECT_EQ(le64(blob, v + 28), 0x1122334455667788u);
    EXPECT_EQ(slice(blob, v + 36, 32), Bytes(32, 0));

    // The raw bytes: the serialised base event less its 24-byte tail, the
    // blob record (00 C0 10 6D), then 110 = 11, 111 = 0, 112 = 0.
    const Bytes& raw = e.bytes;
    ASSERT_GE(raw.size(), 4u + 192 + 24);
    EXPECT_EQ(slice(raw, 0, 4), (Bytes{'T', 'E', 'V', '1'}));
    EXPECT_EQ(tail(raw, 24), concat({intRecord(110, 11), intRecord(111, 0), intRecord(112, 0)}));
    EXPECT_EQ(slice(raw, raw.size() - 24 - 192 - 4, 4), (Bytes{0x00, 0xC0, 0x10, 0x6D}));
    EXPECT_EQ(slice(raw, raw.size() - 24 - 192, 192), blob);
    CGEventRef base = CGEventCreate(nullptr);
    CGEventSetType(base, kCGEventGesture);
    CGEventSetFlags(base, 0x180);
    CGEventSetTimestamp(base, 0x0102030405060708);
    EXPECT_EQ(raw.size(), CGEventCreateData(base).size() - 24 + 4 + 192 + 24);
}

TEST_F(TouchEventsTest, FullFormTouchRecordLayout) {
    platform::Dictionary t{{"type", 11},
                           {"options", std::int64_t{0x30001}},
                           {"position.x", 1.5},
                           {"position.y", -0.25},
                           {"position.z", 2.0},
                           {"tipPressure", 0.5},
                           {"barrelPressure", 0.25},
                           {"twist", 3.0},
                           {"quality", 4},
                           {"density", 5.0},
                           {"irregularity", 6.0},
                           {"majorRadius", 7.0},
                           {"minorRadius", 8.0},
                           {"identity", 9},
                           {"transducerIndex", 33},
                           {"transducerType", 2},
                           {"eventMask", 0x23},
                           {"buttonMask", 1}};
    const Encoded e = full(platform::Dictionary{}, {t});
    const Bytes& blob = blobOf(e.event);
    ASSERT_EQ(blob.size(), 36u + 88 + 88 + 68);
    const std::size_t r = kFirstTouch;
    const std::vector<std::uint32_t> expected{88,
                                              11,
                                              0x30001,
                                              0,
                                              static_cast<std::uint32_t>(98304),
                                              static_cast<std::uint32_t>(-16384),
                                              131072,
                                              9,  // index slot: the identity, not "transducerIndex"
                                              2,
                                              9,
                                              0x23,
                                              0,
                                              1,
                                              32768,
                                              16384,
                                              3 * 65536,
                                              2,
                                              4 * 65536,
                                              5 * 65536,
                                              6 * 65536,
                                              7 * 65536,
                                              8 * 65536};
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(le32(blob, r + 4 * i), expected[i]) << "offset " << 4 * i;
    // The collection takes the touch's options (identity is non-zero), its
    // event mask as child and own mask, bit 1 for touch 0, and its position.
    EXPECT_EQ(le32(blob, kCollection + 8), 0x30003u);
    EXPECT_EQ(le32(blob, kCollection + 40), 0x23u);
    EXPECT_EQ(le32(blob, kCollection + 44), 0x23u);
    EXPECT_EQ(le32(blob, kCollection + 28), 0x400002u);
    EXPECT_EQ(sle32(blob, kCollection + 16), 98304);
    EXPECT_EQ(sle32(blob, kCollection + 20), -16384);
    EXPECT_EQ(sle32(blob, kCollection + 24), 131072);
    EXPECT_EQ(le32(blob, 24), 0x30003u);  // the preamble carries the final options
    EXPECT_EQ(le32(blob, 32), 3u);
}

TEST_F(TouchEventsTest, FullFormCollectionPositionPrefersTouchingFingers) {
    // Touching at fixed x -3 and 0 average to -1 (truncated toward zero); the
    // in-range finger is ignored.
    {
        const Encoded e = full(platform::Dictionary{},
                               {touch(kTouching, -3.0 / 65536.0, 1.0), touch(kTouching, 0.0, 2.0),
                                touch(kInRange, 100.0, 50.0)});
        const Bytes& blob = blobOf(e.event);
        EXPECT_EQ(sle32(blob, kCollection + 16), -1);
        EXPECT_EQ(sle32(blob, kCollection + 20), 98304);
    }
    // No touching finger: the in-range fingers are averaged, others ignored.
    {
        const Encoded e = full(platform::Dictionary{},
                               {touch(0, 500.0), touch(kInRange, 1.0), touch(kInRange, 2.0)});
        EXPECT_EQ(sle32(blobOf(e.event), kCollection + 16), 98304);
    }
    // Neither: the remaining fingers are averaged.
    {
        const Encoded e = full(platform::Dictionary{}, {touch(0, -1.0), touch(0, -2.0)});
        EXPECT_EQ(sle32(blobOf(e.event), kCollection + 16), -98304);
    }
}

TEST_F(TouchEventsTest, FullFormCollectionMasksAndIndexSlots) {
    std::vector<platform::Dictionary> touches{touch(0x20001, 0, 0, 0, 0x04),
                                              touch(0x10001, 0, 0, 5, 0x01),
                                              touch(0x00008, 0, 0, 6, 0x20)};
    const Encoded e = full(platform::Dictionary{}, touches);
    const Bytes& blob = blobOf(e.event);
    // Bits i + 1 and 0x400000.
    EXPECT_EQ(le32(blob, kCollection + 28), 0x400000u | 0b1110u);
    // Options of touches with a non-zero identity only.
    EXPECT_EQ(le32(blob, kCollection + 8), 2u | 0x10001u | 0x8u);
    EXPECT_EQ(le32(blob, kCollection + 44), 0x25u);
    EXPECT_EQ(le32(blob, kCollection + 40), 0x25u);

    // Slots wrap at 32: touch 31 sets bit 0.
    std::vector<platform::Dictionary> many(32, touch(kTouching, 0.0));
    const Encoded wide = full(platform::Dictionary{}, many);
    EXPECT_EQ(le32(blobOf(wide.event), kCollection + 28), 0xFFFFFFFFu);
    EXPECT_EQ(le32(blobOf(wide.event), 32), 34u);
}

TEST_F(TouchEventsTest, FullFormBlobLengthFormula) {
    for (std::size_t n : {0u, 1u, 2u, 5u}) {
        for (int subtype : {11, 6}) {
            const std::vector<platform::Dictionary> touches(n, touch(kTouching, 1.0));
            const Encoded e = full(platform::Dictionary{{"gestureSubtype", subtype}}, touches);
            const std::size_t scroll = subtype == 6 ? 1 : 0;
            const std::size_t length = (n + 1) * 88 + 104 + scroll * 28;
            EXPECT_EQ(blobOf(e.event).size(), length) << n << " touches, subtype " << subtype;
            EXPECT_EQ(le32(blobOf(e.event), 32), n + 2);
        }
    }
}

TEST_F(TouchEventsTest, FullFormEndWithScrollNextAddsScrollRecord) {
    const platform::Dictionary info{{"gestureSubtype", 62}, {"nextSubtype", 6}, {"scrollPhase", 2},
                                    {"scrollx", 1.5},       {"scrolly", -2.0},  {"scrollz", 0.5}};
    const Encoded e = full(info, {touch(kTouching, 1.0), touch(kTouching, 2.0)});
    const Bytes& blob = blobOf(e.event);
    ASSERT_EQ(blob.size(), 3u * 88 + 104 + 28);
    EXPECT_EQ(le32(blob, 32), 4u);  // the scroll record is not an event of the count
    const std::size_t s = kFirstTouch + 2 * 88;
    EXPECT_EQ(le32(blob, s + 0), 28u);
    EXPECT_EQ(le32(blob, s + 4), 6u);
    // Options: the byte-reversal of phase << 4 (0x20 -> 0x20000000).
    EXPECT_EQ(slice(blob, s + 8, 4), (Bytes{0x00, 0x00, 0x00, 0x20}));
    EXPECT_EQ(le32(blob, s + 12), 0u);
    EXPECT_EQ(sle32(blob, s + 16), -98304);  // x and y negated
    EXPECT_EQ(sle32(blob, s + 20), 131072);
    EXPECT_EQ(sle32(blob, s + 24), 32768);  // z not negated
    EXPECT_EQ(le32(blob, s + 28), 68u);     // the vendor record follows

    EXPECT_EQ(CGEventGetIntegerValueField(e.event, 110), 62);
    EXPECT_EQ(CGEventGetIntegerValueField(e.event, 117), 6);
    EXPECT_EQ(tail(e.bytes, 32), concat({intRecord(110, 62), intRecord(111, 0), intRecord(112, 0),
                                         intRecord(117, 6)}));

    // A begin followed by something other than a scroll has no scroll record.
    const Encoded begin = full(platform::Dictionary{{"gestureSubtype", 61}, {"nextSubtype", 8}},
                               {touch(kTouching, 1.0)});
    EXPECT_EQ(blobOf(begin.event).size(), 2u * 88 + 104);
    EXPECT_EQ(CGEventGetIntegerValueField(begin.event, 117), 8);
}

TEST_F(TouchEventsTest, FullFormScrollRecordsAndFields) {
    const platform::Dictionary info{{"gestureSubtype", 6},
                                    {"scrollx", -3.0},
                                    {"scrolly", 4.0},
                                    {"scrollz", -1.0},
                                    {"scrollPhase", 0x10}};
    const Encoded e = full(info, {});
    const Bytes& blob = blobOf(e.event);
    const std::size_t s = kCollection + 88;
    EXPECT_EQ(slice(blob, s + 8, 4), (Bytes{0x00, 0x00, 0x01, 0x00}));  // 0x100 reversed
    EXPECT_EQ(sle32(blob, s + 16), 3 * 65536);
    EXPECT_EQ(sle32(blob, s + 20), -4 * 65536);
    EXPECT_EQ(sle32(blob, s + 24), -65536);
    // Fields 118-120 keep their signs.
    EXPECT_EQ(CGEventGetDoubleValueField(e.event, 118), -3.0);
    EXPECT_EQ(CGEventGetDoubleValueField(e.event, 119), 4.0);
    EXPECT_EQ(CGEventGetDoubleValueField(e.event, 120), -1.0);
    EXPECT_EQ(tail(e.bytes, 24),
              concat({floatRecord(118, -3.0f), floatRecord(119, 4.0f), floatRecord(120, -1.0f)}));
}

TEST_F(TouchEventsTest, FullFormMagnifyRotateAndSwipeRecords) {
    {
        const Encoded e = full(platform::Dictionary{{"gestureSubtype", 8}, {"magnification", 0.05}},
                               {touch(kTouching, 1.0)});
        EXPECT_EQ(CGEventGetIntegerValueField(e.event, 110), 8);
        EXPECT_EQ(CGEventGetDoubleValueField(e.event, 113), 0.5);
        EXPECT_EQ(tail(e.bytes, 8), (Bytes{0x00, 0x01, 0xC0, 0x71, 0x3F, 0x00, 0x00, 0x00}));
        EXPECT_EQ(e.out.find("Gesture      Magnify!!!!!!!!!!!!!!!\n"), 0u) << e.out;
    }
    {
        const Encoded e = full(platform::Dictionary{{"gestureSubtype", 5}, {"rotation", -1.25}},
                               {touch(kTouching, 1.0)});
        EXPECT_EQ(CGEventGetIntegerValueField(e.event, 110), 5);
        EXPECT_EQ(CGEventGetDoubleValueField(e.event, 114), -1.25);
        EXPECT_EQ(tail(e.bytes, 8), floatRecord(114, -1.25f));
        EXPECT_EQ(e.out.find("Gesture      Rotate!!!!!!!!!!!!!!!!\n"), 0u) << e.out;
    }
    {
        const Encoded e =
            full(platform::Dictionary{{"gestureSubtype", 16}, {"swipeDirection", 4}}, {});
        EXPECT_EQ(CGEventGetIntegerValueField(e.event, 115), 4);
        EXPECT_EQ(tail(e.bytes, 8), intRecord(115, 4));
        EXPECT_EQ(e.out.find("Gesture "), std::string::npos);
    }
    {
        const Encoded e = full(platform::Dictionary{{"gestureSubtype", 23},
                                                    {"swipeProgress", 0.25},
                                                    {"swipePositionx", -2.0},
                                                    {"swipePositiony", 3.0}},
                               {});
        // Progress and position are negated.
        EXPECT_EQ(tail(e.bytes, 24), concat({floatRecord(124, -0.25f), floatRecord(125, 2.0f),
                                             floatRecord(126, -3.0f)}));
        EXPECT_EQ(CGEventGetDoubleValueField(e.event, 124), -0.25);
    }
    {
        // Any other subtype adds nothing after 110-112.
        const Encoded e = full(platform::Dictionary{{"gestureSubtype", 7}}, {});
        EXPECT_EQ(tail(e.bytes, 24),
                  concat({intRecord(110, 7), intRecord(111, 0), intRecord(112, 0)}));
    }
}

TEST_F(TouchEventsTest, FullFormTimestampDefaultsToUptime) {
    const std::uint64_t before = tl_uptime();
    const Encoded e = full(platform::Dictionary{}, {});
    const std::uint64_t after = tl_uptime();
    ASSERT_TRUE(e.event);
    EXPECT_GE(e.event->timestamp, before);
    EXPECT_LE(e.event->timestamp, after);
    EXPECT_EQ(le64(blobOf(e.event), 0), e.event->timestamp);
}

TEST_F(TouchEventsTest, FullFormSkipsTouchWithoutTypeAndStaysReadable) {
    platform::Dictionary untyped = touch(kTouching, 9.0);
    untyped.erase("type");
    const Encoded e = full(platform::Dictionary{}, {untyped, touch(kTouching, 1.0)});
    ASSERT_TRUE(e.event);
    const Bytes& blob = blobOf(e.event);
    EXPECT_EQ(blob.size(), 2u * 88 + 104);
    EXPECT_EQ(le32(blob, 32), 3u);
    EXPECT_EQ(le32(blob, kCollection + 28), 0x400004u);  // slot of array index 1
    EXPECT_EQ(sle32(blob, kCollection + 16), 65536);
}

TEST(TouchEventsDeath, ProgrammingErrorsStopTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const platform::Dictionary info;
    const std::vector<platform::Dictionary> touches;
    EXPECT_DEATH(tl_CGEventCreateFromGesture2(nullptr, &touches), "info != NULL");
    EXPECT_DEATH(tl_CGEventCreateFromGesture2(&info, nullptr), "touches != NULL");
    EXPECT_DEATH(tl_CGEventCreateFromGesture1(nullptr, &touches), "info != NULL");
    EXPECT_DEATH(tl_CGEventCreateFromGesture1(&info, nullptr), "touches != NULL");
    platform::Dictionary wrong = touch(kTouching, 1.0);
    wrong.set("type", 6);
    const std::vector<platform::Dictionary> bad{wrong};
    EXPECT_DEATH(tl_CGEventCreateFromGesture2(&info, &bad), "type == kIOHIDEventTypeDigitizer");
}

TEST_F(TouchEventsTest, DumpLayout) {
    const Encoded e = full(platform::Dictionary{{"gestureSubtype", 8}, {"magnification", 0.1}},
                           {touch(kTouching, 1.0)});
    const std::string header = "Gesture      Magnify!!!!!!!!!!!!!!!\ngestureData Lenth = " +
                               std::to_string(e.bytes.size()) + " !!!!!!!!!!\n";
    ASSERT_EQ(e.out.substr(0, header.size()), header);
    // 64 bytes a line, each "XX ", and a break after the last byte.
    const std::string body = e.out.substr(header.size());
    const std::size_t lines = (e.bytes.size() + 63) / 64;
    EXPECT_EQ(static_cast<std::size_t>(std::count(body.begin(), body.end(), '\n')), lines);
    EXPECT_EQ(body.substr(0, 12), "54 45 56 31 ");  // the serialised form's magic
    EXPECT_EQ(body.find('\n'), 64u * 3);
    EXPECT_EQ(body.back(), '\n');
    EXPECT_NE(e.bytes.size() % 64, 0u);
}

// --- the short form -----------------------------------------------------------------

Bytes expectedShortBlob(const Bytes& timestamp, const Bytes& kind, const Bytes& family,
                        std::uint8_t phase) {
    return concat({{0x00, 0x38, 0x10, 0x6D},
                   timestamp,
                   kind,
                   {0x01, 0, 0, 0},
                   {0, 0, 0, phase},
                   {0, 0, 0, 0},
                   {0x01, 0, 0, 0},
                   {0x1C, 0, 0, 0},
                   family,
                   {0, 0, 0, phase},
                   Bytes(12, 0),
                   {0x7D, 0xFF, 0xFF, 0xFF}});
}

const Bytes kLiveTimestamp{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
const Bytes kEndTimestamp{0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
const Bytes kKindMagnify{0x24, 0x09, 0x00, 0x00};
const Bytes kKindRotate{0x0F, 0x03, 0x00, 0x00};
const Bytes kFamilyRotate{0x05, 0x00, 0x00, 0x00};
const Bytes kFamilyMagnify{0x07, 0x00, 0x00, 0x00};
constexpr std::int64_t kTimestamp = 0x0102030405060708;

platform::Dictionary gesture(int subtype) {
    return platform::Dictionary{{"timestamp", kTimestamp}, {"gestureSubtype", subtype}};
}

platform::Dictionary magnify(double m) {
    platform::Dictionary d = gesture(8);
    d.set("magnification", m);
    return d;
}

platform::Dictionary rotate(double r) {
    platform::Dictionary d = gesture(5);
    d.set("rotation", r);
    return d;
}

void expectShortBase(const CGEventRef& event) {
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, kCGEventGesture);
    EXPECT_EQ(event->flags, 0x100u);
    EXPECT_EQ(CGEventGetIntegerValueField(event, 106), 402);
    EXPECT_EQ(CGEventGetIntegerValueField(event, 107), 1050);
    EXPECT_EQ(CGEventGetIntegerValueField(event, 51), 0);
    EXPECT_EQ(CGEventGetIntegerValueField(event, 53), 3);
}

TEST_F(TouchEventsTest, ShortFormMagnifyBytes) {
    shortForm(gesture(61));
    const Encoded e = shortForm(magnify(0.05));
    expectShortBase(e.event);
    EXPECT_EQ(e.event->timestamp, static_cast<std::uint64_t>(kTimestamp));
    EXPECT_EQ(tail(e.bytes, 60 + 64),
              concat({expectedShortBlob(kLiveTimestamp, kKindMagnify, kFamilyMagnify, 1),
                      intRecord(110, 8), intRecord(111, 0), intRecord(112, 0), intRecord(132, 1),
                      intRecord(133, 0), floatRecord(113, 0.5f), floatRecord(139, 0.0f),
                      floatRecord(140, 0.0f)}));
    EXPECT_EQ(CGEventGetIntegerValueField(e.event, 110), 8);
    EXPECT_EQ(CGEventGetIntegerValueField(e.event, 132), 1);
    EXPECT_EQ(CGEventGetDoubleValueField(e.event, 113), 0.5);
    EXPECT_EQ(blobOf(e.event),
              slice(expectedShortBlob(kLiveTimestamp, kKindMagnify, kFamilyMagnify, 1), 4, 56));
    EXPECT_EQ(e.out.rfind("GesutureSubtype     Magnify！！！！！！\n"
                          "magnification : 0.500000 !!!!!!\n"
                          "gestureData Lenth = ",
                          0),
              0u)
        << e.out;
    // The serialised base event less its 64-byte tail, then the blob and records.
    CGEventRef base = CGEventCreate(nullptr);
    CGEventSetType(base, kCGEventGesture);
    CGEventSetTimestamp(base, kTimestamp);
    CGEventSetIntegerValueField(base, 106, 402);
    CGEventSetIntegerValueField(base, 107, 1050);
    CGEventSetIntegerValueField(base, 51, 0);
    CGEventSetIntegerValueField(base, 53, 3);
    CGEventSetIntegerValueField(base, 110, 8);
    const Bytes plain = CGEventCreateData(base);
    EXPECT_EQ(slice(e.bytes, 0, plain.size() - 64), slice(plain, 0, plain.size() - 64));
    EXPECT_EQ(e.bytes.size(), plain.size() - 64 + 60 + 64);
}

TEST_F(TouchEventsTest, ShortFormRotateBytes) {
    shortForm(gesture(61));
    const Encoded first = shortForm(rotate(0.75));
    expectShortBase(first.event);
    EXPECT_EQ(tail(first.bytes, 60 + 48),
              concat({expectedShortBlob(kLiveTimestamp, kKindRotate, kFamilyRotate, 1),
                      intRecord(110, 5), intRecord(111, 0), intRecord(112, 0), intRecord(132, 1),
                      intRecord(133, 0), floatRecord(114, 0.75f)}));
    EXPECT_EQ(CGEventGetDoubleValueField(first.event, 114), 0.75);
    EXPECT_EQ(first.out.find("GesutureSubtype     Rotate！！！！！！\ngestureData Lenth = "), 0u);

    const Encoded second = shortForm(rotate(-0.5));
    EXPECT_EQ(CGEventGetIntegerValueField(second.event, 132), 2);
    EXPECT_EQ(slice(blobOf(second.event), 16, 4), (Bytes{0, 0, 0, 2}));
    EXPECT_EQ(slice(blobOf(second.event), 36, 4), (Bytes{0, 0, 0, 2}));
}

TEST_F(TouchEventsTest, ShortFormBeginMagnifyMagnifyEnd) {
    const Encoded begin = shortForm(platform::Dictionary{
        {"timestamp", kTimestamp}, {"gestureSubtype", 61}, {"nextSubtype", 8}});
    expectShortBase(begin.event);
    EXPECT_EQ(CGEventGetIntegerValueField(begin.event, 110), 61);
    EXPECT_EQ(CGEventGetIntegerValueField(begin.event, 117), 8);
    EXPECT_FALSE(begin.event->gestureData);
    EXPECT_EQ(begin.out.find("GesutureSubtype     Begin and End！！！！！！\n"), 0u);
    EXPECT_TRUE(tl_gestureEncoderState().isBegan);

    const Encoded m1 = shortForm(magnify(0.1));
    const Encoded m2 = shortForm(magnify(0.2));
    EXPECT_EQ(CGEventGetIntegerValueField(m1.event, 132), 1);
    EXPECT_EQ(CGEventGetIntegerValueField(m2.event, 132), 2);
    EXPECT_EQ(blobOf(m2.event)[19], 2);
    EXPECT_EQ(blobOf(m2.event)[39], 2);
    EXPECT_TRUE(sink.events.empty());

    const Encoded end = shortForm(platform::Dictionary{
        {"timestamp", kTimestamp}, {"gestureSubtype", 62}, {"nextSubtype", 8}});
    // The magnify end event was posted before the end event came back.
    ASSERT_EQ(sink.events.size(), 1u);
    const CGEvent& posted = sink.events[0];
    EXPECT_EQ(posted.type, kCGEventGesture);
    EXPECT_EQ(posted.flags, 0x100u);
    EXPECT_EQ(std::get<std::int64_t>(posted.fields.at(110)), 8);
    EXPECT_EQ(std::get<std::int64_t>(posted.fields.at(132)), 4);
    EXPECT_EQ(std::get<std::int64_t>(posted.fields.at(133)), 0);
    EXPECT_EQ(std::get<std::int64_t>(posted.fields.at(106)), 402);
    EXPECT_EQ(std::get<double>(posted.fields.at(113)), 0.0);
    EXPECT_EQ(std::get<double>(posted.fields.at(139)), 0.0);
    EXPECT_EQ(std::get<double>(posted.fields.at(140)), 0.0);
    ASSERT_TRUE(posted.gestureData);
    EXPECT_EQ(*posted.gestureData,
              slice(expectedShortBlob(kEndTimestamp, kKindMagnify, kFamilyMagnify, 4), 4, 56));
    EXPECT_EQ(end.out.find("was magnify is true~~~\nGesutureSubtype     Begin and End"), 0u)
        << end.out;
    expectShortBase(end.event);
    EXPECT_EQ(CGEventGetIntegerValueField(end.event, 110), 62);
    EXPECT_EQ(CGEventGetIntegerValueField(end.event, 117), 8);

    // A second end without a begin posts the magnify end event again.
    shortForm(gesture(62));
    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_EQ(sink.events[1], sink.events[0]);

    // A begin clears the flags: the next end posts nothing.
    shortForm(gesture(61));
    shortForm(gesture(62));
    EXPECT_EQ(sink.events.size(), 2u);
}

TEST_F(TouchEventsTest, ShortFormEndAfterRotateAndMagnifyPostsBothInOrder) {
    shortForm(gesture(61));
    shortForm(rotate(0.5));
    const Encoded m = shortForm(magnify(0.3));
    EXPECT_EQ(CGEventGetIntegerValueField(m.event, 132), 2);  // the rotate took phase 1

    const Encoded end = shortForm(gesture(62));
    ASSERT_EQ(sink.events.size(), 2u);
    const CGEvent& rotateEnd = sink.events[0];
    EXPECT_EQ(std::get<std::int64_t>(rotateEnd.fields.at(110)), 5);
    EXPECT_EQ(std::get<std::int64_t>(rotateEnd.fields.at(132)), 4);
    EXPECT_EQ(std::get<double>(rotateEnd.fields.at(114)), 0.0);
    ASSERT_TRUE(rotateEnd.gestureData);
    // The rotate end event carries the magnify kind word.
    EXPECT_EQ(*rotateEnd.gestureData,
              slice(expectedShortBlob(kEndTimestamp, kKindMagnify, kFamilyRotate, 4), 4, 56));
    EXPECT_EQ(std::get<std::int64_t>(sink.events[1].fields.at(110)), 8);
    EXPECT_EQ(end.out.find("was rotate is true~~~\nwas magnify is true~~~\n"), 0u) << end.out;
}

TEST_F(TouchEventsTest, ShortFormMagnifyWithoutBeginIsChanged) {
    const Encoded e = shortForm(magnify(0.05));
    EXPECT_EQ(CGEventGetIntegerValueField(e.event, 132), 2);
    EXPECT_EQ(CGEventGetDoubleValueField(e.event, 113), 0.5);
    EXPECT_TRUE(tl_gestureEncoderState().wasMagnify);
    EXPECT_FALSE(tl_gestureEncoderState().wasRotate);
}

TEST_F(TouchEventsTest, ShortFormOtherSubtypesArePlainEvents) {
    const Encoded scroll = shortForm(gesture(6));
    expectShortBase(scroll.event);
    EXPECT_FALSE(scroll.event->gestureData);
    EXPECT_EQ(CGEventGetIntegerValueField(scroll.event, 110), 0);
    EXPECT_NE(scroll.out.find("gestureData Lenth = "), std::string::npos);
    EXPECT_EQ(scroll.bytes.size(), CGEventCreateData(scroll.event).size());

    // Subtype 0: no dump at all.
    const Encoded none = shortForm(gesture(0));
    expectShortBase(none.event);
    EXPECT_EQ(none.out, "");
    EXPECT_TRUE(sink.events.empty());
    const GestureEncoderState state = tl_gestureEncoderState();
    EXPECT_FALSE(state.wasMagnify || state.wasRotate || state.isBegan);
}

}  // namespace
}  // namespace tact
