// Three, four and five fingers: swipes, pinches and the actions they carry out.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "agent/hotkeys/HotkeyEvents.hpp"
#include "tests/agent/GestureFixture.hpp"
#include "tests/support/PostedEvents.hpp"

using namespace tact;
using namespace tact::test;
using namespace platform::events;

namespace {

// n fingers in a row at (x + 2000 i, y), ids from base.
std::vector<Contact> fingers(int n, int x, int y, std::uint8_t base = 1, bool lifted = false) {
    std::vector<Contact> out;
    for (int i = 0; i < n; ++i) {
        Contact k =
            lifted ? up(static_cast<std::uint8_t>(base + i),
                        static_cast<std::uint16_t>(x + 2000 * i), static_cast<std::uint16_t>(y))
                   : down(static_cast<std::uint8_t>(base + i),
                          static_cast<std::uint16_t>(x + 2000 * i), static_cast<std::uint16_t>(y));
        out.push_back(k);
    }
    return out;
}

// n fingers on a circle of the given radius (device units) about the middle.
std::vector<Contact> ring(int n, double radius) {
    std::vector<Contact> out;
    for (int i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * i / n;
        out.push_back(down(static_cast<std::uint8_t>(i + 1),
                           static_cast<std::uint16_t>(16384 + radius * std::cos(a)),
                           static_cast<std::uint16_t>(16384 + radius * std::sin(a))));
    }
    return out;
}

}  // namespace

class MultiFingerTest : public GestureFixture {
  protected:
    // The swipe and pinch records queued so far, as type/direction pairs.
    std::vector<std::pair<std::int64_t, std::int64_t>> records;
    void collect() {
        for (const auto& r : c->actions) {
            if (r.ZyvGestureType >= kGestureSwipe3 && r.ZyvGestureType <= kGestureSwipe5) {
                records.emplace_back(r.ZyvGestureType, r.stateInfoSwipeDirection
                                                           ? *r.stateInfoSwipeDirection
                                                           : *r.stateInfoPinchDirection);
            }
        }
    }
    void move(double t, std::vector<Contact> contacts) {
        report(t, std::move(contacts));
        collect();
    }
    PostedEvents queue{sink.events};
};

TEST_F(MultiFingerTest, ThreeFingersOneRecordPerContactAndPerReversal) {
    double t = 0;
    int x = 4000;
    move(t, fingers(3, x, 10000));
    for (int i = 0; i < 10; ++i)
        move(t += 0.01, fingers(3, x += 600, 10000));  // right
    EXPECT_EQ(state(), "state3FingersG3");
    for (int i = 0; i < 10; ++i)
        move(t += 0.01, fingers(3, x -= 600, 10000));  // back left
    for (int i = 0; i < 10; ++i)
        move(t += 0.01, fingers(3, x, 10000 - 600 * (i + 1)));  // up
    EXPECT_EQ(records, (std::vector<std::pair<std::int64_t, std::int64_t>>{{10, 8}, {10, 4}}));

    // Fewer fingers do not end the gesture; all lifted does.
    move(t += 0.01, {down(1, 5000, 5000), up(2, 5000, 5000), up(3, 5000, 5000)});
    EXPECT_EQ(state(), "state3FingersG3");
    move(t += 0.01, {up(1, 5000, 5000)});
    EXPECT_EQ(state(), "stateIdle");
}

TEST_F(MultiFingerTest, DirectionRule) {
    EXPECT_EQ(ZyvTouchConverter::swipeDirection(0.05, -0.11), 1u);
    EXPECT_EQ(ZyvTouchConverter::swipeDirection(0.05, 0.10), 8u);  // exactly twice as tall
    EXPECT_EQ(ZyvTouchConverter::swipeDirection(-0.05, 0.10), 4u);
    EXPECT_EQ(ZyvTouchConverter::swipeDirection(0.0, 0.01), 2u);
}

TEST_F(MultiFingerTest, SubtypeClassification) {
    EXPECT_EQ(ZyvTouchConverter::classifyBasedOnSwipe(0, 0, 1.0, 0), 11u);
    EXPECT_EQ(ZyvTouchConverter::classifyBasedOnSwipe(0.05, 0, 1.0, 0), 6u);
    EXPECT_EQ(ZyvTouchConverter::classifyBasedOnSwipe(0, 0, 1.2, 0.2), 8u);
    EXPECT_EQ(ZyvTouchConverter::classifyBasedOnSwipe(0, 0, 1.1, 0.2), 5u);
}

TEST_F(MultiFingerTest, FourFingersChoosingSwipeModeEmitNothingYet) {
    double t = 0;
    int y = 10000;
    move(t, fingers(4, 4000, y));
    bool chosen = false;
    while (!chosen && t < 1) {
        move(t += 0.01, fingers(4, 4000, y += 300));
        if (state() == "state4FingersG4") {
            chosen = true;
            EXPECT_TRUE(records.empty());  // the choosing frame emits nothing
        }
    }
    ASSERT_TRUE(chosen);
    for (int i = 0; i < 5; ++i)
        move(t += 0.01, fingers(4, 4000, y += 400));
    EXPECT_EQ(records, (std::vector<std::pair<std::int64_t, std::int64_t>>{{11, 2}}));
}

TEST_F(MultiFingerTest, FiveFingersPinchAndSwipePrecedence) {
    auto& ctx = c->dictZyvStateContext;
    // Spreading fast: one accepted radius step of twice the zoom threshold.
    double t = 0;
    move(t, ring(5, 3000));
    move(t += 0.01, ring(5, 3100));  // the first check only takes the baselines
    EXPECT_EQ(state(), "state5Fingers0");
    move(t += 0.01, ring(5, 3400));  // +300/32768 = 0.0092 of the screen in one step
    EXPECT_EQ(state(), "state5FingersG5");
    EXPECT_TRUE(ctx.contains(kStateInfo4FingersInPinchMode));
    move(t += 0.01, ring(5, 3600));  // spreading on: direction 1
    move(t += 0.01, ring(5, 3300));  // closing: direction 2
    move(t += 0.01, ring(5, 3000));  // closing on: nothing more
    EXPECT_EQ(records, (std::vector<std::pair<std::int64_t, std::int64_t>>{{12, 1}, {12, 2}}));

    // Sums past the move limit choose swiping even when the radius step passes too.
    c->resetToStateIdle();
    c->state5FingersG5GestureCheckPrepare();
    c->touchesDelta.sumDeltaX = 0.1;
    c->gestureZoomThreshold = 0;  // any radius step passes
    EXPECT_TRUE(c->state5FingersG5GestureCheck(ctx));
    EXPECT_TRUE(ctx.contains(kStateInfo4FingersInSwipeMode));
    EXPECT_FALSE(ctx.contains(kStateInfo4FingersInPinchMode));
}

TEST_F(MultiFingerTest, SwipeMappings) {
    struct Case {
        const char* app;  // "" for none
        std::uint32_t dir;
        std::string_view three, four, five;
    };
    const Case cases[] = {
        {"", 1, "32", "---", "160"},
        {"", 2, "33", "---", "160"},
        {"", 4, "81", "---", "36"},
        {"", 8, "79", "---", "36"},
        {"com.apple.Safari", 4, "81", "KeyCommandRightbracket", "36"},
        {"com.apple.Safari", 8, "79", "KeyCommandLeftbracket", "36"},
        {"com.apple.Safari", 1, "32", "---", "160"},
        {"com.apple.Preview", 1, "32", "KeyDownArrow", "160"},
        {"com.apple.Preview", 2, "33", "KeyUpArrow", "160"},
        {"com.apple.Preview", 4, "81", "KeyRightArrow", "36"},
        {"com.apple.Preview", 8, "79", "KeyLeftArrow", "36"},
        {"com.example.Other", 4, "81", "---", "36"},
        {"", 3, "", "---", "---"},
    };
    for (const auto& k : cases) {
        c->_activeApplicationBundleId = *k.app ? std::optional<std::string>(k.app) : std::nullopt;
        EXPECT_EQ(c->actionForSwipe(k.dir), k.three) << k.app << k.dir;
        EXPECT_EQ(c->actionFor4FingersSwipe(k.dir), k.four) << k.app << k.dir;
        EXPECT_EQ(c->actionFor5FingersSwipe(k.dir), k.five) << k.app << k.dir;
    }
    EXPECT_EQ(ZyvTouchConverter::actionWithName("Expos\xC3\xA9"), "32");
    EXPECT_EQ(ZyvTouchConverter::actionWithName("App Expos\xC3\xA9"), "33");
    EXPECT_EQ(ZyvTouchConverter::actionWithName("Mission"), "");
}

TEST_F(MultiFingerTest, UnmappedThreeFingerSwipeFillsTheSwipeGesture) {
    c->actionWithSwipe(3);
    EXPECT_EQ(c->gestureInfo.integer(platform::String("gestureSubtype")), 16);
    EXPECT_EQ(c->gestureInfo.integer(platform::String("swipeDirection")), 3);
}

TEST_F(MultiFingerTest, PinchToggle) {
    // 10.8 and later, from a spread (as after start-up): close, close, spread
    // -> "177", "160", "Escape".
    c->systemVersion.minor = 15;
    c->actionWithPinch(1);
    queue.drain();
    for (std::int64_t d : {2, 2, 1})
        c->actionWithPinch(d);
    queue.expectKeyStrokes({103, 131, 53});
    queue.expectNoMoreEvents();
    // Before 10.8: closing is Launchpad, spreading shows the desktop (which
    // has no built-in key: nothing), and the toggle is left alone.
    c->systemVersion.minor = 7;
    c->actionWithPinch(2);
    c->actionWithPinch(1);
    queue.expectKeyStrokes({131});
    queue.expectNoMoreEvents();
    c->systemVersion.minor = 15;
    c->actionWithPinch(2);  // the toggle still says a spread was last
    queue.expectKeyStrokes({103});
    queue.expectNoMoreEvents();
}
