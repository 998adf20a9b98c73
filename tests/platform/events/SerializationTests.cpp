// The serialised form: round trips, the gesture-field tail the encoders trim
// and append again, and hostile bytes.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "platform/events/Events.hpp"

using namespace platform::events;
using Bytes = std::vector<std::uint8_t>;

namespace {

CGEventRef roundTrip(const CGEventRef& e) {
    auto data = CGEventCreateData(e);
    return CGEventCreateFromData(data);
}

void expectSame(const CGEventRef& a, const CGEventRef& b) {
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    EXPECT_EQ(a->type, b->type);
    EXPECT_EQ(a->flags, b->flags);
    EXPECT_EQ(a->timestamp, b->timestamp);
    EXPECT_EQ(a->location, b->location);
    EXPECT_EQ(a->scrollUnits, b->scrollUnits);
    EXPECT_EQ(a->fields, b->fields);
    EXPECT_EQ(a->gestureData, b->gestureData);
}

// Records as the gesture encoders append them.
void intRecord(Bytes& out, std::uint8_t tag, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    out.insert(out.end(), {0x00, 0x01, 0x40, tag, static_cast<std::uint8_t>(u >> 24),
                           static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 8),
                           static_cast<std::uint8_t>(u)});
}
void floatRecord(Bytes& out, std::uint8_t tag, float f) {
    const auto u = std::bit_cast<std::uint32_t>(f);
    out.insert(out.end(), {0x00, 0x01, 0xC0, tag, static_cast<std::uint8_t>(u >> 24),
                           static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 8),
                           static_cast<std::uint8_t>(u)});
}

// A gesture event as the short-form encoder starts it.
CGEventRef gestureBase(std::optional<std::int64_t> subtype) {
    auto e = CGEventCreate(nullptr);
    CGEventSetType(e, kCGEventGesture);
    CGEventSetFlags(e, 0x100);
    CGEventSetTimestamp(e, 123456789);
    CGEventSetIntegerValueField(e, 106, 402);
    CGEventSetIntegerValueField(e, 107, 1050);
    CGEventSetIntegerValueField(e, 51, 0);
    CGEventSetIntegerValueField(e, 53, 3);
    if (subtype)
        CGEventSetIntegerValueField(e, 110, *subtype);
    return e;
}

Bytes trimmed(Bytes data, std::size_t n) {
    data.resize(data.size() - n);
    return data;
}

bool hasAny(const CGEvent& e, std::initializer_list<CGEventField> tags) {
    for (auto t : tags) {
        if (e.fields.count(t))
            return true;
    }
    return false;
}

}  // namespace

TEST(EventSerialisationTest, EveryKindOfEventRoundTrips) {
    std::vector<CGEventRef> events;
    events.push_back(CGEventCreate(nullptr));
    for (CGEventType t : {kCGEventLeftMouseDown, kCGEventLeftMouseUp, kCGEventRightMouseDown,
                          kCGEventRightMouseUp, kCGEventMouseMoved, kCGEventLeftMouseDragged}) {
        auto m = CGEventCreateMouseEvent(nullptr, t, CGPoint{959.75, -0.5}, 1);
        CGEventSetIntegerValueField(m, kCGMouseEventClickState, 3);
        events.push_back(std::move(m));
    }
    auto pixel = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 2, -12, 40);
    CGEventSetIntegerValueField(pixel, kCGScrollWheelEventIsContinuous, 1);
    CGEventSetIntegerValueField(pixel, kCGScrollWheelEventMomentumPhase, 2);
    events.push_back(std::move(pixel));
    events.push_back(CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitLine, 1, 3, 0));
    auto key = CGEventCreateKeyboardEvent(nullptr, 126, true);
    CGEventSetFlags(key, 0x140109);
    events.push_back(std::move(key));
    events.push_back(CGEventCreateKeyboardEvent(nullptr, 0xFFFF, false));

    // Integers of every width, doubles that a float holds and ones it does not.
    auto wide = CGEventCreate(nullptr);
    CGEventSetFlags(wide, 0xFFFF'FFFF'FFFF'FFFFull);
    CGEventSetTimestamp(wide, 0x0123'4567'89AB'CDEFull);
    CGEventSetIntegerValueField(wide, 0, INT64_MIN);
    CGEventSetIntegerValueField(wide, 2, INT64_MAX);
    CGEventSetIntegerValueField(wide, 4, 0x1'0000'0000ll);
    CGEventSetIntegerValueField(wide, 5, INT32_MIN);
    CGEventSetIntegerValueField(wide, 6, -1);
    CGEventSetDoubleValueField(wide, 7, 0.1);
    CGEventSetDoubleValueField(wide, 8, 0.5);
    CGEventSetDoubleValueField(wide, 12, -1e300);
    CGEventSetDoubleValueField(wide, 13, INFINITY);
    CGEventSetIntegerValueField(wide, 255, 7);
    events.push_back(std::move(wide));

    // A gesture with every tail field set and its data.
    auto gesture = gestureBase(8);
    for (CGEventField f : {111, 112, 132, 133})
        CGEventSetIntegerValueField(gesture, f, f);
    for (CGEventField f : {113, 139, 140})
        CGEventSetDoubleValueField(gesture, f, -0.125 * f);
    gesture->gestureData = Bytes{1, 2, 3};
    events.push_back(std::move(gesture));

    // No location at all.
    auto bare = std::make_unique<CGEvent>();
    bare->type = 77;
    bare->flags = 0;
    events.push_back(std::move(bare));

    for (const auto& e : events) {
        SCOPED_TRACE(e->type);
        auto back = roundTrip(e);
        expectSame(e, back);
        // Integers stay integers and doubles doubles.
        for (const auto& [tag, v] : e->fields)
            EXPECT_EQ(v.index(), back->fields.at(tag).index()) << tag;
    }
}

TEST(EventSerialisationTest, HeaderLayoutAndRecordEncodings) {
    auto e = std::make_unique<CGEvent>();
    e->type = 29;
    e->flags = 0x180;
    e->timestamp = 0x0102030405060708ull;
    e->location = CGPoint{1.0, -2.0};
    CGEventSetType(e, kCGEventKeyDown);
    CGEventSetIntegerValueField(e, 9, 0x7F);
    CGEventSetIntegerValueField(e, 10, -0x1'0000'0002ll);
    CGEventSetDoubleValueField(e, 11, 0.5);
    CGEventSetDoubleValueField(e, 12, 0.1);
    auto data = CGEventCreateData(e);
    const Bytes expected = {
        'T',  'E',  'V',  '1',  0x00, 0x01,              // magic, version
        0x00, 0x00, 0x00, 0x0A,                          // type
        0,    0,    0,    0,    0,    0,    0x01, 0x80,  // flags
        1,    2,    3,    4,    5,    6,    7,    8,     // timestamp
        0x01,                                            // location present
        0x3F, 0xF0, 0,    0,    0,    0,    0,    0,     // x = 1.0
        0xC0, 0x00, 0,    0,    0,    0,    0,    0,     // y = -2.0
        0,    0,    0,    0,                             // no scroll units
        0x00, 0x01, 0x40, 0x09, 0,    0,    0,    0x7F,  // 9: 32-bit integer
        0x00, 0x01, 0x00, 0x0A, 0xFF, 0xFF, 0xFF,        // 10: 64-bit, low word first
        0xFE, 0xFF, 0xFF, 0xFF, 0xFE,                    //     then high word
        0x00, 0x01, 0xC0, 0x0B, 0x3F, 0,    0,    0,     // 11: float 0.5
        0x00, 0x01, 0x80, 0x0C, 0x3F, 0xB9, 0x99,        // 12: double 0.1
        0x99, 0x99, 0x99, 0x99, 0x9A,
    };
    EXPECT_EQ(data, expected);
}

TEST(EventSerialisationTest, FieldsAboveTagRangeAreLeftOut) {
    auto e = CGEventCreate(nullptr);
    CGEventSetIntegerValueField(e, 256, 1);
    CGEventSetIntegerValueField(e, 1000, 1);
    CGEventSetIntegerValueField(e, 3, 1);
    auto back = roundTrip(e);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->fields.size(), 1u);
    EXPECT_EQ(back->fields.count(3), 1u);
}

TEST(EventSerialisationTest, GestureDataComesBeforeTheTailAmongTheOtherFields) {
    auto e = gestureBase(5);
    e->gestureData = Bytes{0xDE, 0xAD, 0xBE, 0xEF};
    CGEventSetIntegerValueField(e, 117, 6);  // a field past 109, not in this tail
    auto data = CGEventCreateData(e);
    // The last 48 bytes are the tail; before them 117, before that the data.
    const Bytes record109 = {0x00, 0x04, 0x10, 0x6D, 0xDE, 0xAD, 0xBE, 0xEF};
    const std::size_t dataAt = data.size() - 48 - 8 - record109.size();
    EXPECT_EQ(Bytes(data.begin() + dataAt, data.begin() + dataAt + 8), record109);
    auto back = CGEventCreateFromData(data);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->gestureData, e->gestureData);
    EXPECT_EQ(back->fields.count(109), 0u);
    EXPECT_EQ(std::get<std::int64_t>(back->fields.at(117)), 6);
}

TEST(EventSerialisationTest, RotateTailIs48Bytes) {
    auto e = gestureBase(5);
    CGEventSetIntegerValueField(e, 132, 1);
    CGEventSetDoubleValueField(e, 114, 0.25);
    CGEventSetDoubleValueField(e, 113, 9.5);  // not part of a rotate tail
    auto data = CGEventCreateData(e);

    Bytes tail;
    intRecord(tail, 110, 5);
    intRecord(tail, 111, 0);
    intRecord(tail, 112, 0);
    intRecord(tail, 132, 1);
    intRecord(tail, 133, 0);
    floatRecord(tail, 114, 0.25f);
    ASSERT_EQ(tail.size(), 48u);
    ASSERT_GE(data.size(), 48u);
    EXPECT_EQ(Bytes(data.end() - 48, data.end()), tail);

    auto head = trimmed(data, 48);
    auto cut = CGEventCreateFromData(head);
    ASSERT_TRUE(cut);
    EXPECT_FALSE(hasAny(*cut, {110, 111, 112, 132, 133, 114}));
    for (CGEventField f : {106, 107, 51, 53, 113})
        EXPECT_EQ(cut->fields.count(f), 1u) << f;

    Bytes again = head;
    again.insert(again.end(), tail.begin(), tail.end());
    EXPECT_EQ(again, data);
    auto whole = CGEventCreateFromData(again);
    ASSERT_TRUE(whole);
    EXPECT_EQ(std::get<double>(whole->fields.at(114)), 0.25);
    EXPECT_EQ(CGEventCreateData(whole), data);
}

TEST(EventSerialisationTest, MagnifyTailIs64Bytes) {
    auto e = gestureBase(8);
    CGEventSetDoubleValueField(e, 113, 0.5);
    auto data = CGEventCreateData(e);

    Bytes tail;
    intRecord(tail, 110, 8);
    intRecord(tail, 111, 0);
    intRecord(tail, 112, 0);
    intRecord(tail, 132, 0);
    intRecord(tail, 133, 0);
    floatRecord(tail, 113, 0.5f);
    floatRecord(tail, 139, 0.0f);
    floatRecord(tail, 140, 0.0f);
    ASSERT_EQ(tail.size(), 64u);
    EXPECT_EQ(Bytes(data.end() - 64, data.end()), tail);

    auto head = trimmed(data, 64);
    auto cut = CGEventCreateFromData(head);
    ASSERT_TRUE(cut);
    EXPECT_FALSE(hasAny(*cut, {110, 111, 112, 132, 133, 113, 139, 140}));
    EXPECT_EQ(cut->fields.size(), 4u);  // 51, 53, 106, 107

    // The encoder's magnify: the data blob, then its records.
    Bytes appended = head;
    appended.insert(appended.end(), {0x00, 0x02, 0x10, 0x6D, 0xAA, 0xBB});
    intRecord(appended, 110, 8);
    intRecord(appended, 111, 0);
    intRecord(appended, 112, 0);
    intRecord(appended, 132, 1);
    intRecord(appended, 133, 0);
    floatRecord(appended, 113, 0.5f);
    floatRecord(appended, 139, 0.0f);
    floatRecord(appended, 140, 0.0f);
    auto magnify = CGEventCreateFromData(appended);
    ASSERT_TRUE(magnify);
    EXPECT_EQ(magnify->gestureData, (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(std::get<std::int64_t>(magnify->fields.at(132)), 1);
    EXPECT_EQ(std::get<double>(magnify->fields.at(113)), 0.5);
    // Serialised again it ends with the same tail, the blob before it.
    auto again = CGEventCreateData(magnify);
    EXPECT_EQ(Bytes(again.end() - 64, again.end()), Bytes(appended.end() - 64, appended.end()));
    EXPECT_EQ(again, appended);
}

TEST(EventSerialisationTest, OtherSubtypesHaveA24ByteTail) {
    for (std::optional<std::int64_t> subtype :
         {std::optional<std::int64_t>{}, std::optional<std::int64_t>{62},
          std::optional<std::int64_t>{61}, std::optional<std::int64_t>{6}}) {
        SCOPED_TRACE(subtype.value_or(-1));
        auto e = gestureBase(subtype);
        CGEventSetIntegerValueField(e, 117, 6);
        CGEventSetIntegerValueField(e, 132, 4);   // outside the tail here
        CGEventSetDoubleValueField(e, 114, 1.5);  // likewise
        CGEventSetIntegerValueField(e, 111, 2);
        auto data = CGEventCreateData(e);

        Bytes tail;
        intRecord(tail, 110, static_cast<std::int32_t>(subtype.value_or(0)));
        intRecord(tail, 111, 2);
        intRecord(tail, 112, 0);
        EXPECT_EQ(Bytes(data.end() - 24, data.end()), tail);

        auto cut = CGEventCreateFromData(trimmed(data, 24));
        ASSERT_TRUE(cut);
        EXPECT_FALSE(hasAny(*cut, {110, 111, 112}));
        for (CGEventField f : {106, 107, 51, 53, 117, 132, 114})
            EXPECT_EQ(cut->fields.count(f), 1u) << f;
    }
}

TEST(EventSerialisationTest, EncoderRecordsParseAsAppended) {
    // A full-form style event: base without subtype, trimmed 24, blob and
    // records appended, as the next stage builds it.
    auto base = gestureBase(std::nullopt);
    CGEventSetFlags(base, 0x180);
    auto data = trimmed(CGEventCreateData(base), 24);
    const Bytes appended = {0x00, 0x01, 0x40, 0x6E, 0x00, 0x00, 0x00, 0x05};
    data.insert(data.end(), appended.begin(), appended.end());
    floatRecord(data, 114, -0.75f);
    auto e = CGEventCreateFromData(data);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->flags, 0x180u);
    EXPECT_EQ(CGEventGetIntegerValueField(e, 110), 5);
    EXPECT_EQ(CGEventGetDoubleValueField(e, 114), -0.75);
}

TEST(EventSerialisationTest, LaterRecordOfATagWins) {
    auto data = CGEventCreateData(CGEventCreate(nullptr));
    intRecord(data, 50, 1);
    floatRecord(data, 50, 2.5f);
    intRecord(data, 51, 1);
    intRecord(data, 51, -3);
    data.insert(data.end(), {0x00, 0x01, 0x10, 0x6D, 0x01});
    data.insert(data.end(), {0x00, 0x02, 0x10, 0x6D, 0x02, 0x03});
    // A 64-bit record: low word, then high word.
    data.insert(data.end(),
                {0x00, 0x01, 0x00, 0x34, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01});
    auto e = CGEventCreateFromData(data);
    ASSERT_TRUE(e);
    EXPECT_EQ(std::get<double>(e->fields.at(50)), 2.5);
    EXPECT_EQ(std::get<std::int64_t>(e->fields.at(51)), -3);
    EXPECT_EQ(std::get<std::int64_t>(e->fields.at(52)), 0x1'0000'0002ll);
    EXPECT_EQ(e->gestureData, (Bytes{0x02, 0x03}));
}

TEST(EventSerialisationTest, UnparseableBytesGiveNothing) {
    const auto good = CGEventCreateData(gestureBase(8));
    ASSERT_TRUE(CGEventCreateFromData(good));

    EXPECT_FALSE(CGEventCreateFromData({}));
    Bytes magic = good;
    magic[3] = '2';
    EXPECT_FALSE(CGEventCreateFromData(magic));
    Bytes version = good;
    version[5] = 2;
    EXPECT_FALSE(CGEventCreateFromData(version));
    Bytes presence = good;
    presence[26] = 0x80;
    EXPECT_FALSE(CGEventCreateFromData(presence));

    // Every cut inside a record fails; every cut between records parses.
    std::size_t boundaries = 0;
    for (std::size_t n = 0; n < good.size(); ++n) {
        auto e = CGEventCreateFromData(std::span(good).first(n));
        if (n < 47) {
            EXPECT_FALSE(e) << n;
        } else if ((n - 47) % 8 == 0) {
            EXPECT_TRUE(e) << n;  // every record of this event is 8 bytes long
            ++boundaries;
        } else {
            EXPECT_FALSE(e) << n;
        }
    }
    EXPECT_EQ(boundaries, (good.size() - 47) / 8);

    // Unknown element type.
    Bytes unknown = CGEventCreateData(CGEventCreate(nullptr));
    unknown.insert(unknown.end(), {0x00, 0x01, 0x20, 0x05, 0, 0, 0, 0});
    EXPECT_FALSE(CGEventCreateFromData(unknown));

    // A byte record claiming more than there is.
    Bytes longBlob = CGEventCreateData(CGEventCreate(nullptr));
    longBlob.insert(longBlob.end(), {0xFF, 0xFF, 0x10, 0x6D, 1, 2, 3});
    EXPECT_FALSE(CGEventCreateFromData(longBlob));
}

TEST(EventSerialisationTest, HostileBytesNeverCrash) {
    std::mt19937 rng(20240611);
    std::vector<Bytes> seeds;
    auto g = gestureBase(8);
    g->gestureData = Bytes(56, 0x5A);
    seeds.push_back(CGEventCreateData(g));
    seeds.push_back(CGEventCreateData(gestureBase(5)));
    seeds.push_back(CGEventCreateData(
        CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 2, 1, 2)));
    seeds.push_back(CGEventCreateData(CGEventCreateKeyboardEvent(nullptr, 4, true)));

    std::uniform_int_distribution<int> byte(0, 255);
    int parsed = 0;
    for (int i = 0; i < 20000; ++i) {
        Bytes data = seeds[i % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 6);
        for (int k = 0; k < edits && !data.empty(); ++k) {
            const std::size_t at = rng() % data.size();
            switch (rng() % 4) {
                case 0:
                    data[at] = static_cast<std::uint8_t>(byte(rng));
                    break;
                case 1:
                    data.resize(at);
                    break;
                case 2:
                    data.insert(data.begin() + at, static_cast<std::uint8_t>(byte(rng)));
                    break;
                case 3:
                    data.erase(data.begin() + at);
                    break;
            }
        }
        if (auto e = CGEventCreateFromData(data)) {
            ++parsed;
            // Whatever parses serialises and parses again.
            EXPECT_TRUE(roundTrip(e));
        }
    }
    EXPECT_GT(parsed, 0);

    for (int i = 0; i < 5000; ++i) {
        Bytes noise(rng() % 128);
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(byte(rng));
        if (i % 2 == 0 && noise.size() >= 6) {
            std::copy_n("TEV1\0\1", 6, noise.begin());
        }
        (void)CGEventCreateFromData(noise);
    }
}
