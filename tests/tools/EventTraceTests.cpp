// Posted events as trace lines, read back as JSON.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>

#include "platform/events/Events.hpp"
#include "platform/values/Json.hpp"
#include "tools/tactreplay/EventTrace.hpp"

using namespace platform::events;
using platform::Dictionary;
using tact::replay::TraceEventSink;
using tact::replay::TraceWriter;

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Posts events through a trace sink into a temporary file and reads the lines back.
class EventTraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        file.reset(std::tmpfile());
        ASSERT_TRUE(file);
        writer = std::make_unique<TraceWriter>(file.get(), false);
        sink = std::make_unique<TraceEventSink>(*writer, [this] { return now; });
        setEventSink(sink.get());
        setPointerLocation(CGPoint{0, 0});
    }
    void TearDown() override { setEventSink(nullptr); }

    std::vector<std::string> lines() {
        EXPECT_TRUE(writer->finish());
        std::rewind(file.get());
        std::string text;
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file.get())) > 0;)
            text.append(buf, n);
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

    std::vector<Dictionary> parsed() {
        std::vector<Dictionary> out;
        for (const auto& line : lines()) {
            auto v = platform::json::parse(line);
            EXPECT_TRUE(v && v->isDictionary()) << line << ": " << (v ? "" : v.error().detail);
            if (v && v->isDictionary())
                out.push_back(*v->asDictionary());
        }
        return out;
    }

    std::unique_ptr<std::FILE, FileCloser> file;
    std::unique_ptr<TraceWriter> writer;
    std::unique_ptr<TraceEventSink> sink;
    double now = 0;
};

std::vector<std::string> keys(const Dictionary& d) {
    std::vector<std::string> out;
    for (const auto& [k, v] : d)
        out.push_back(k.toUtf8Lossy());
    return out;
}

std::string text(const platform::Value& v) {
    return platform::json::toText(v);
}

}  // namespace

TEST_F(EventTraceTest, ClickLinesCarryPositionButtonFieldsAndFlags) {
    now = 0.05;
    auto click = CGEventCreateMouseEvent(nullptr, kCGEventLeftMouseDown, CGPoint{960, 540}, 0);
    CGEventSetIntegerValueField(click, kCGMouseEventClickState, 1);
    CGEventPost(kCGHIDEventTap, click);
    CGEventSetType(click, kCGEventLeftMouseUp);
    CGEventPost(kCGHIDEventTap, click);

    auto raw = lines();
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw[0], R"({"t":0.05,"event":1,"flags":256,"x":960.0,"y":540.0,"button":0,)"
                      R"("fields":{"1":1,"3":0}})");
    auto l = parsed();
    EXPECT_EQ(l[1].integer("event"), 2);
    EXPECT_EQ(l[1].integer("flags"), 256);
    EXPECT_EQ(l[1].find("x")->asReal(), 960.0);  // reals stay reals
    EXPECT_EQ(text(*l[1].find("fields")), R"({"1":1,"3":0})");
}

TEST_F(EventTraceTest, ScrollAndKeyLinesCarryTheirOwnKeys) {
    now = 1.5;
    auto scroll = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 2, -12, 5);
    CGEventSetIntegerValueField(scroll, kCGScrollWheelEventIsContinuous, 1);
    CGEventSetLocation(scroll, CGPoint{10.25, 20});
    CGEventPost(kCGHIDEventTap, scroll);
    auto momentum = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 2, 3, 0);
    CGEventSetIntegerValueField(momentum, kCGScrollWheelEventMomentumPhase, 2);
    CGEventPost(kCGHIDEventTap, momentum);
    auto lineScroll = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitLine, 1, -1, 0);
    CGEventPost(kCGHIDEventTap, lineScroll);
    auto key = CGEventCreateKeyboardEvent(nullptr, 33, true);
    CGEventSetFlags(key, 0x100108);
    CGEventPost(kCGHIDEventTap, key);
    auto degrees = CGEventCreate(nullptr);  // a null event with a double field
    CGEventSetDoubleValueField(degrees, 40, 2.0);
    CGEventPost(kCGHIDEventTap, degrees);

    auto l = parsed();
    ASSERT_EQ(l.size(), 5u);
    EXPECT_EQ(keys(l[0]), (std::vector<std::string>{"t", "event", "flags", "x", "y", "units",
                                                    "wheel1", "wheel2", "fields"}));
    EXPECT_EQ(l[0].number("t"), 1.5);
    EXPECT_EQ(l[0].integer("event"), 22);
    EXPECT_EQ(l[0].integer("units"), 0);
    EXPECT_EQ(l[0].integer("wheel1"), -12);
    EXPECT_EQ(l[0].integer("wheel2"), 5);
    EXPECT_EQ(l[0].find("x")->asReal(), 10.25);
    EXPECT_EQ(text(*l[0].find("fields")), R"({"88":1,"96":-12,"97":5})");

    // No location: no "x"/"y".
    EXPECT_EQ(keys(l[1]), (std::vector<std::string>{"t", "event", "flags", "units", "wheel1",
                                                    "wheel2", "fields"}));
    EXPECT_EQ(text(*l[1].find("fields")), R"({"96":3,"97":0,"123":2})");
    EXPECT_EQ(l[2].integer("units"), 1);
    EXPECT_EQ(l[2].integer("wheel1"), -1);
    EXPECT_EQ(l[2].integer("wheel2"), 0);

    EXPECT_EQ(keys(l[3]), (std::vector<std::string>{"t", "event", "flags", "keycode", "fields"}));
    EXPECT_EQ(l[3].integer("event"), 10);
    EXPECT_EQ(l[3].integer("keycode"), 33);
    EXPECT_EQ(l[3].integer("flags"), 0x100108);

    EXPECT_EQ(keys(l[4]), (std::vector<std::string>{"t", "event", "flags", "x", "y", "fields"}));
    EXPECT_EQ(text(*l[4].find("fields")), R"({"40":2.0})");
}

TEST_F(EventTraceTest, GestureLinesCarryParsedFieldsAndTheirBytes) {
    now = 2;
    auto base = CGEventCreate(nullptr);
    CGEventSetType(base, kCGEventGesture);
    CGEventSetFlags(base, 0x100);
    CGEventSetTimestamp(base, 99);
    CGEventSetIntegerValueField(base, 106, 402);
    CGEventSetIntegerValueField(base, 110, 5);
    auto bytes = CGEventCreateData(base);
    bytes.resize(bytes.size() - 48);
    // The rotate records as an encoder appends them.
    const std::vector<std::uint8_t> records = {
        0x00, 0x02, 0x10, 0x6D, 0xAB, 0xCD,              // gesture data
        0x00, 0x01, 0x40, 0x6E, 0x00, 0x00, 0x00, 0x05,  // 110 = 5
        0x00, 0x01, 0x40, 0x6F, 0x00, 0x00, 0x00, 0x00,  // 111
        0x00, 0x01, 0x40, 0x70, 0x00, 0x00, 0x00, 0x00,  // 112
        0x00, 0x01, 0x40, 0x84, 0x00, 0x00, 0x00, 0x01,  // 132 = 1
        0x00, 0x01, 0x40, 0x85, 0x00, 0x00, 0x00, 0x00,  // 133
        0x00, 0x01, 0xC0, 0x72, 0x3E, 0x80, 0x00, 0x00,  // 114 = 0.25
    };
    bytes.insert(bytes.end(), records.begin(), records.end());
    auto gesture = CGEventCreateFromData(bytes);
    ASSERT_TRUE(gesture);
    CGEventPost(kCGHIDEventTap, gesture);

    // A gesture event posted as built, without its tail fields set: the
    // trace shows them as its bytes carry them.
    auto bare = std::make_unique<CGEvent>();
    bare->type = kCGEventGesture;
    CGEventPost(kCGHIDEventTap, bare);

    auto l = parsed();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(keys(l[0]),
              (std::vector<std::string>{"t", "event", "flags", "x", "y", "fields", "data"}));
    EXPECT_EQ(l[0].integer("event"), 29);
    EXPECT_EQ(text(*l[0].find("fields")),
              R"({"106":402,"110":5,"111":0,"112":0,"114":0.25,"132":1,"133":0})");
    std::string hex;
    for (std::uint8_t b : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    ASSERT_TRUE(l[0].string("data"));
    EXPECT_EQ(l[0].string("data")->toUtf8Lossy(), hex);

    EXPECT_EQ(keys(l[1]), (std::vector<std::string>{"t", "event", "flags", "fields", "data"}));
    EXPECT_EQ(text(*l[1].find("fields")), R"({"110":0,"111":0,"112":0})");
}

TEST_F(EventTraceTest, NoTraceStreamWritesNothing) {
    TraceWriter off(nullptr, false);
    TraceEventSink quiet(off, [] { return 0.0; });
    setEventSink(&quiet);
    CGEventPost(kCGHIDEventTap, CGEventCreateKeyboardEvent(nullptr, 1, true));
    EXPECT_TRUE(lines().empty());
}
