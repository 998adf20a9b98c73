// Creating, changing and posting events; the pointer the service reports.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/events/Events.hpp"
#include "platform/runloop/Clock.hpp"

using namespace platform::events;

namespace {

class FixedClock : public platform::Clock {
  public:
    double absoluteTime() const override { return 800000000.0; }
    std::uint64_t monotonicNanoseconds() const override { return ns; }
    std::uint64_t ns = 0;
};

class EventServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock.ns = 5'000'000'123;
        platform::setClockOverride(&clock);
        setEventSink(&sink);
        setPointerReader(nullptr);
        setPointerLocation(CGPoint{0, 0});
    }
    void TearDown() override {
        setEventSink(nullptr);
        setPointerReader(nullptr);
        setPointerLocation(CGPoint{0, 0});
        platform::setClockOverride(nullptr);
    }
    FixedClock clock;
    RecordingSink sink;
};

CGPoint pointer() {
    return CGEventGetLocation(
        CGEventCreate(CGEventSourceCreate(kCGEventSourceStateHIDSystemState)));
}

}  // namespace

TEST_F(EventServiceTest, MouseEventsCarryLocationButtonClickStateAndFlags) {
    auto source = CGEventSourceCreate(kCGEventSourceStateHIDSystemState);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->state, kCGEventSourceStateHIDSystemState);

    auto e = CGEventCreateMouseEvent(source, kCGEventRightMouseDown, CGPoint{12.5, 7}, 1);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->type, kCGEventRightMouseDown);
    EXPECT_EQ(e->flags, 0x100u);
    EXPECT_EQ(e->timestamp, 5'000'000'123u);
    EXPECT_EQ(CGEventGetLocation(e), (CGPoint{12.5, 7}));
    EXPECT_EQ(CGEventGetIntegerValueField(e, kCGMouseEventButtonNumber), 1);
    EXPECT_EQ(CGEventGetIntegerValueField(e, kCGMouseEventClickState), 0);
    EXPECT_EQ(e->fields.size(), 2u);

    // No source works the same.
    auto moved = CGEventCreateMouseEvent(nullptr, kCGEventMouseMoved, CGPoint{1, 2}, 0);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->type, kCGEventMouseMoved);
    EXPECT_EQ(CGEventGetIntegerValueField(moved, kCGMouseEventButtonNumber), 0);
}

TEST_F(EventServiceTest, ScrollEventsKeepUnitsAndTheirDeltaFields) {
    auto pixels = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 2, -7, 3);
    ASSERT_TRUE(pixels);
    EXPECT_EQ(pixels->type, kCGEventScrollWheel);
    EXPECT_EQ(pixels->scrollUnits, kCGScrollEventUnitPixel);
    EXPECT_FALSE(pixels->location);
    EXPECT_EQ(CGEventGetIntegerValueField(pixels, kCGScrollWheelEventPointDeltaAxis1), -7);
    EXPECT_EQ(CGEventGetIntegerValueField(pixels, kCGScrollWheelEventPointDeltaAxis2), 3);
    EXPECT_EQ(pixels->fields.count(kCGScrollWheelEventDeltaAxis1), 0u);
    auto d = scrollDeltas(*pixels);
    EXPECT_EQ(d.units, kCGScrollEventUnitPixel);
    EXPECT_EQ(d.wheel1, -7);
    EXPECT_EQ(d.wheel2, 3);

    auto lines = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitLine, 1, 2, 99);
    ASSERT_TRUE(lines);
    EXPECT_EQ(CGEventGetIntegerValueField(lines, kCGScrollWheelEventDeltaAxis1), 2);
    EXPECT_EQ(lines->fields.count(kCGScrollWheelEventDeltaAxis2), 0u);  // one wheel only
    EXPECT_EQ(lines->fields.count(kCGScrollWheelEventPointDeltaAxis1), 0u);
    d = scrollDeltas(*lines);
    EXPECT_EQ(d.units, kCGScrollEventUnitLine);
    EXPECT_EQ(d.wheel1, 2);
    EXPECT_EQ(d.wheel2, 0);

    EXPECT_FALSE(CGEventCreateScrollWheelEvent(nullptr, 2, 2, 1, 1));
    EXPECT_FALSE(CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 0, 1, 1));
    EXPECT_FALSE(CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 3, 1, 1));

    // An event made a scroll event by hand: its units follow its fields.
    CGEvent byHand;
    byHand.type = kCGEventScrollWheel;
    byHand.fields[kCGScrollWheelEventDeltaAxis2] = std::int64_t{-4};
    d = scrollDeltas(byHand);
    EXPECT_EQ(d.units, kCGScrollEventUnitLine);
    EXPECT_EQ(d.wheel2, -4);
}

TEST_F(EventServiceTest, KeyboardEvents) {
    auto down = CGEventCreateKeyboardEvent(nullptr, 123, true);
    auto up = CGEventCreateKeyboardEvent(nullptr, 123, false);
    ASSERT_TRUE(down && up);
    EXPECT_EQ(down->type, kCGEventKeyDown);
    EXPECT_EQ(up->type, kCGEventKeyUp);
    EXPECT_EQ(CGEventGetIntegerValueField(down, kCGKeyboardEventKeycode), 123);
    EXPECT_EQ(down->flags, 0x100u);
    EXPECT_FALSE(down->location);
}

TEST_F(EventServiceTest, SettersReplaceAndGettersConvert) {
    auto e = CGEventCreateKeyboardEvent(nullptr, 55, true);
    CGEventSetFlags(e, 0x100108);
    CGEventSetType(e, kCGEventKeyUp);
    CGEventSetTimestamp(e, 42);
    CGEventSetLocation(e, CGPoint{3, 4});
    EXPECT_EQ(e->flags, 0x100108u);
    EXPECT_EQ(e->type, kCGEventKeyUp);
    EXPECT_EQ(e->timestamp, 42u);
    EXPECT_EQ(CGEventGetLocation(e), (CGPoint{3, 4}));

    CGEventSetIntegerValueField(e, 88, 1);
    CGEventSetIntegerValueField(e, 88, 5);  // the later value wins
    EXPECT_EQ(CGEventGetIntegerValueField(e, 88), 5);
    EXPECT_EQ(CGEventGetDoubleValueField(e, 88), 5.0);
    CGEventSetDoubleValueField(e, 113, -2.75);
    EXPECT_EQ(CGEventGetDoubleValueField(e, 113), -2.75);
    EXPECT_EQ(CGEventGetIntegerValueField(e, 113), -2);  // truncated
    CGEventSetDoubleValueField(e, 114, 1e300);
    EXPECT_EQ(CGEventGetIntegerValueField(e, 114), INT64_MAX);
    CGEventSetDoubleValueField(e, 115, std::nan(""));
    EXPECT_EQ(CGEventGetIntegerValueField(e, 115), 0);
    EXPECT_EQ(CGEventGetIntegerValueField(e, 200), 0);  // unset
    EXPECT_EQ(CGEventGetDoubleValueField(e, 200), 0.0);

    // A null event reference is ignored by every call.
    CGEventRef none;
    CGEventSetIntegerValueField(none, 1, 1);
    CGEventSetFlags(none, 1);
    CGEventSetLocation(none, CGPoint{1, 1});
    EXPECT_EQ(CGEventGetIntegerValueField(none, 1), 0);
    EXPECT_EQ(CGEventGetLocation(none), (CGPoint{}));
    EXPECT_TRUE(CGEventCreateData(none).empty());
    const auto dropped = droppedEventCount();
    CGEventPost(kCGHIDEventTap, none);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_EQ(droppedEventCount(), dropped);
}

TEST_F(EventServiceTest, PointerFollowsPostedMouseEventsOnly) {
    EXPECT_EQ(pointer(), (CGPoint{0, 0}));
    auto null = CGEventCreate(nullptr);
    EXPECT_EQ(null->type, kCGEventNull);
    EXPECT_EQ(null->flags, 0x100u);
    EXPECT_EQ(null->timestamp, 5'000'000'123u);

    // Creating a mouse event does not move the pointer; posting it does.
    auto move = CGEventCreateMouseEvent(nullptr, kCGEventMouseMoved, CGPoint{960, 540}, 0);
    EXPECT_EQ(pointer(), (CGPoint{0, 0}));
    CGEventPost(kCGHIDEventTap, move);
    EXPECT_EQ(pointer(), (CGPoint{960, 540}));

    // Each mouse type moves it.
    CGEventType types[] = {kCGEventLeftMouseDown, kCGEventLeftMouseUp, kCGEventRightMouseDown,
                           kCGEventRightMouseUp, kCGEventLeftMouseDragged};
    double x = 1;
    for (CGEventType t : types) {
        CGEventPost(kCGHIDEventTap, CGEventCreateMouseEvent(nullptr, t, CGPoint{x, x}, 0));
        EXPECT_EQ(pointer(), (CGPoint{x, x})) << t;
        x += 1;
    }

    // Other events with a location do not.
    auto scroll = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 2, 1, 1);
    CGEventSetLocation(scroll, CGPoint{500, 500});
    CGEventPost(kCGHIDEventTap, scroll);
    auto key = CGEventCreateKeyboardEvent(nullptr, 0, true);
    CGEventSetLocation(key, CGPoint{600, 600});
    CGEventPost(kCGHIDEventTap, key);
    auto gesture = CGEventCreate(nullptr);
    CGEventSetType(gesture, kCGEventGesture);
    CGEventSetLocation(gesture, CGPoint{700, 700});
    CGEventPost(kCGHIDEventTap, gesture);
    EXPECT_EQ(pointer(), (CGPoint{5, 5}));

    // A mouse event with no location leaves it.
    auto bare = std::make_unique<CGEvent>();
    bare->type = kCGEventMouseMoved;
    CGEventPost(kCGHIDEventTap, bare);
    EXPECT_EQ(pointer(), (CGPoint{5, 5}));

    setPointerLocation(CGPoint{10, 20});
    EXPECT_EQ(pointer(), (CGPoint{10, 20}));
}

// The reader is asked only after news of the pointer, never per event; the
// newest of its news and the agent's own moves wins.
TEST_F(EventServiceTest, ThePointerIsTheNewestOfOwnMovesAndTheReadersNews) {
    int asked = 0;
    std::optional<CGPoint> real;
    setPointerReader([&] {
        ++asked;
        return real;
    });
    CGEventPost(kCGHIDEventTap,
                CGEventCreateMouseEvent(nullptr, kCGEventMouseMoved, CGPoint{30, 40}, 0));
    real = CGPoint{1, 2};
    EXPECT_EQ(pointer(), (CGPoint{30, 40}));
    notePointerMotion();
    EXPECT_EQ(pointer(), (CGPoint{1, 2}));
    EXPECT_EQ(pointer(), (CGPoint{1, 2}));
    EXPECT_EQ(asked, 1);
    // News without an answer keeps what was known.
    real.reset();
    notePointerMotion();
    EXPECT_EQ(pointer(), (CGPoint{1, 2}));
    setPointerReader(nullptr);
    notePointerMotion();
    EXPECT_EQ(pointer(), (CGPoint{1, 2}));
    EXPECT_EQ(asked, 2);
}

TEST_F(EventServiceTest, PostingDeliversInOrderAndTheCallerKeepsItsEvent) {
    // The click pattern: post, change the type, post the same event again.
    auto click = CGEventCreateMouseEvent(nullptr, kCGEventLeftMouseDown, CGPoint{960, 540}, 0);
    CGEventSetIntegerValueField(click, kCGMouseEventClickState, 2);
    CGEventPost(kCGHIDEventTap, click);
    CGEventSetType(click, kCGEventLeftMouseUp);
    CGEventPost(kCGHIDEventTap, click);
    ASSERT_TRUE(click);
    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_EQ(sink.events[0].type, kCGEventLeftMouseDown);
    EXPECT_EQ(sink.events[1].type, kCGEventLeftMouseUp);
    EXPECT_EQ(std::get<std::int64_t>(sink.events[1].fields.at(kCGMouseEventClickState)), 2);
    EXPECT_EQ(eventSink(), &sink);

    // Without a sink, events are counted as dropped.
    setEventSink(nullptr);
    const auto before = droppedEventCount();
    CGEventPost(kCGHIDEventTap, click);
    CGEventPost(kCGHIDEventTap, CGEventCreateKeyboardEvent(nullptr, 1, true));
    EXPECT_EQ(droppedEventCount(), before + 2);
    EXPECT_EQ(sink.events.size(), 2u);
    // Dropped mouse events still move the pointer.
    EXPECT_EQ(pointer(), (CGPoint{960, 540}));
}

TEST_F(EventServiceTest, TimestampsFollowTheInstalledClock) {
    auto a = CGEventCreateKeyboardEvent(nullptr, 0, true);
    clock.ns = 7'000'000'000;
    auto b = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 1, 1, 0);
    EXPECT_EQ(a->timestamp, 5'000'000'123u);
    EXPECT_EQ(b->timestamp, 7'000'000'000u);
}
