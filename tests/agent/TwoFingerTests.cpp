// Two fingers: right click, classification, scrolling and momentum.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/agent/GestureFixture.hpp"
#include "tests/support/PostedEvents.hpp"

using namespace tact;
using namespace tact::test;
using namespace platform::events;

class TwoFingerTest : public GestureFixture {
  protected:
    std::vector<const CGEvent*> ofType(CGEventType type) const {
        std::vector<const CGEvent*> out;
        for (const auto& e : sink.events) {
            if (e.type == type)
                out.push_back(&e);
        }
        return out;
    }
    static std::int64_t field(const CGEvent& e, CGEventField f) {
        auto it = e.fields.find(f);
        return it == e.fields.end() ? 0 : std::get<std::int64_t>(it->second);
    }
    PostedEvents queue{sink.events};
};

TEST_F(TwoFingerTest, QuickTwoFingerTapRightClicks) {
    report(0.00, {down(1, 10000, 10000), down(2, 12000, 10000)});
    report(0.05, {down(1, 10000, 10000), down(2, 12000, 10000)});
    report(0.10, {up(1, 10000, 10000), up(2, 12000, 10000)});
    queue.expectMoveTo(585.938, 329.59);  // the pointer follows the first finger
    queue.expectRightClickAt(585.938, 329.59);
    queue.expectNoMoreEvents();
    EXPECT_EQ(state(), "stateIdle");
}

TEST_F(TwoFingerTest, NoRightClickWhenOneFingerLiftsFirstOrTooLate) {
    report(0.00, {down(1, 10000, 10000), down(2, 12000, 10000)});
    report(0.05, {up(1, 10000, 10000), down(2, 12000, 10000)});
    report(0.10, {up(2, 12000, 10000)});
    EXPECT_TRUE(ofType(kCGEventRightMouseDown).empty());

    report(1.00, {down(3, 10000, 10000), down(4, 12000, 10000)});
    report(1.30, {up(3, 10000, 10000), up(4, 12000, 10000)});  // after the click duration
    EXPECT_TRUE(ofType(kCGEventRightMouseDown).empty());
}

TEST_F(TwoFingerTest, FlickScrollsThenRunsOnWithMomentum) {
    // Two fingers moving down together, then lifting while still moving.
    std::uint16_t y = 8000;
    report(0.00, {down(1, 10000, y), down(2, 14000, y)});
    for (int i = 1; i <= 8; ++i) {
        y += 1200;
        report(0.01 * i, {down(1, 10000, y), down(2, 14000, y)});
    }
    EXPECT_EQ(state(), "state2FingersScroll");
    report(0.09, {up(1, 10000, y), up(2, 14000, y)});
    EXPECT_EQ(state(), "state2FingersMomentumScroll");
    loop.run();  // the momentum runs down on the virtual clock

    auto scrolls = ofType(kCGEventScrollWheel);
    ASSERT_FALSE(scrolls.empty());
    std::vector<std::int64_t> continuous, momentum;
    for (const CGEvent* e : scrolls) {
        if (field(*e, kCGScrollWheelEventIsContinuous) == 1)
            continuous.push_back(0);
        if (e->fields.count(kCGScrollWheelEventMomentumPhase)) {
            momentum.push_back(field(*e, kCGScrollWheelEventMomentumPhase));
        }
    }
    EXPECT_GE(continuous.size(), 2u);
    ASSERT_GE(momentum.size(), 3u);
    EXPECT_EQ(momentum.front(), 1);
    EXPECT_EQ(momentum.back(), 3);
    EXPECT_EQ(std::count(momentum.begin(), momentum.end(), 1), 1);
    EXPECT_EQ(std::count(momentum.begin(), momentum.end(), 3), 1);
    EXPECT_FALSE(c->momentumRunning());
    // Scrolling downwards on the frame: the content follows, wheel values positive.
    EXPECT_GT(scrollDeltas(*scrolls.front()).wheel1, 0);
}

TEST_F(TwoFingerTest, MomentumRampsUpHoldsAndRunsDown) {
    c->dictZyvStateContext.set(kStateInfoScrollMomentumDeltaX, std::int64_t{0});
    c->dictZyvStateContext.set(kStateInfoScrollMomentumDeltaY, std::int64_t{4});
    c->actions.clear();
    c->state2FingersMomentumScrollEntry();
    c->postGestures();
    loop.run();
    std::vector<std::int32_t> ys;
    for (const CGEvent* e : ofType(kCGEventScrollWheel))
        ys.push_back(scrollDeltas(*e).wheel1);
    const std::vector<std::int32_t> expected = {4, 5, 6, 7, 8, 9, 10, 10, 9,
                                                8, 7, 6, 5, 4, 3, 2,  1,  0};
    EXPECT_EQ(ys, expected);

    // A negative step ramps towards a negative target.
    c->initMomentumScrollDeltaX(-3, 0);
    std::vector<std::int32_t> xs;
    for (std::int32_t x = -3; x != 0 || xs.empty();) {
        xs.push_back(x);
        x = c->nextMomentumScrollDeltaX(x);
    }
    EXPECT_EQ(xs, (std::vector<std::int32_t>{-3, -4, -5, -6, -7, -7, -6, -5, -4, -3, -2, -1}));
}

TEST_F(TwoFingerTest, RestingFingerStopsMomentumAfterATenthOfASecond) {
    c->dictZyvStateContext.set(kStateCurrent, kState2FingersMomentumScroll);
    c->dictZyvStateContext.set(kStateInfoScrollMomentumDeltaY, std::int64_t{8});
    c->state2FingersMomentumScrollEntry();
    ASSERT_TRUE(c->momentumRunning());
    report(0.00, {down(1, 5000, 5000)});
    EXPECT_TRUE(c->momentumRunning());
    report(0.05, {down(1, 5000, 5000)});
    EXPECT_TRUE(c->momentumRunning());
    report(0.10, {down(1, 5000, 5000)});  // the deadline reached: stopped
    EXPECT_FALSE(c->momentumRunning());
    EXPECT_EQ(state(), "state1FingerMove");
}

TEST_F(TwoFingerTest, ClassificationPrecedenceAndArrowKeys) {
    struct Case {
        double angle, radius, x, y;
        const char* state;
        int arrowKey;  // 0: none
    };
    const Case cases[] = {
        {0.5, 0.1, 0.2, 0.0, "state2FingersRotate", 0},      // rotate wins over zoom and scroll
        {0.0, 0.05, 0.2, 0.0, "state2FingersMagnify", 0},    // zoom over scroll
        {0.0, 0.0, -0.09, 0.0, "state2FingersScroll", 124},  // leftward: right arrow
        {0.0, 0.0, 0.09, 0.0, "state2FingersScroll", 123},   // rightward: left arrow
        {0.0, 0.0, 0.0, 0.09, "state2FingersScroll", 0},     // vertical: no key
        {0.3, 0.03, 0.05, 0.05, "", 0},                      // nothing yet
    };
    storePreference(kZyvTouchScrollArrowKey, true);
    control({{"PreferenceReload", true}});
    for (const auto& k : cases) {
        sink.events.clear();
        c->state2FingersGestureCheckPrepare();
        c->touchesDelta.sumDeltaAngle = k.angle;
        c->touchesDelta.sumDeltaRadius = k.radius;
        c->touchesDelta.sumDeltaX = k.x;
        c->touchesDelta.sumDeltaY = k.y;
        EXPECT_EQ(std::string(c->state2Fingers0GestureCheck2(c->dictZyvStateContext)), k.state);
        auto keys = ofType(kCGEventKeyDown);
        if (k.arrowKey) {
            ASSERT_EQ(keys.size(), 1u) << k.x;
            EXPECT_EQ(field(*keys[0], kCGKeyboardEventKeycode), k.arrowKey);
        } else {
            EXPECT_TRUE(keys.empty());
        }
        c->gestureInfo.clear();
    }
}

// The arrow key at the start of a scroll is opt-in: only a stored YES gives it.
TEST_F(TwoFingerTest, ScrollArrowKeyPreference) {
    struct Case {
        std::optional<platform::Value> stored;
        bool arrowKey;
        const char* warning;
    };
    const Case cases[] = {
        {std::nullopt, false, nullptr},
        {platform::Value(false), false, nullptr},
        {platform::Value(true), true, nullptr},
        {platform::Value(std::int64_t{1}), false,
         "preference ScrollArrowKey ignored: a boolean was expected, not integer"},
    };
    double t = 0;
    for (const auto& k : cases) {
        const std::string label = k.stored ? platform::describe(*k.stored) : "absent";
        if (k.stored)
            storePreference(kZyvTouchScrollArrowKey, *k.stored);
        testing::internal::CaptureStderr();
        control({{"PreferenceReload", true}});
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(log.find("ScrollArrowKey") != std::string::npos, k.warning != nullptr) << log;
        if (k.warning) {
            EXPECT_NE(log.find(k.warning), std::string::npos) << log;
        }

        // Two fingers drifting leftwards, then lifted at rest.
        sink.events.clear();
        std::uint16_t x = 20000;
        for (int i = 0; i <= 6; ++i, x -= 1200, t += 0.01)
            report(t, {down(1, x, 10000), down(2, x + 4000, 10000)});
        EXPECT_EQ(state(), "state2FingersScroll") << label;
        report(t += 0.5, {up(1, x, 10000), up(2, x + 4000, 10000)});
        loop.run();
        t += 1;

        EXPECT_FALSE(ofType(kCGEventScrollWheel).empty()) << label;
        auto keys = ofType(kCGEventKeyDown);
        if (k.arrowKey) {
            ASSERT_EQ(keys.size(), 1u) << label;
            EXPECT_EQ(field(*keys[0], kCGKeyboardEventKeycode), 124) << label;  // right arrow
        } else {
            EXPECT_TRUE(keys.empty()) << label;
        }
    }
}

TEST_F(TwoFingerTest, ScrollStepsInPixelsAndSmoothing) {
    c->screenRect = {0, 0, 1440, 900};
    auto& ctx = c->dictZyvStateContext;
    c->state2FingersGestureCheckPrepare();
    for (double acc : {0.0251, -0.0251}) {
        c->actions.clear();
        ctx.set(kStateInfoCenterDeltaX, acc);
        ctx.set(kStateInfoScrollMomentumDeltaX, std::int64_t{10});
        ASSERT_TRUE(c->state2FingersScrollCheck(ctx, 2));
        ASSERT_EQ(c->actions.size(), 1u);
        EXPECT_EQ(c->actions[0].deltaX, acc > 0 ? 36 : -36);
        EXPECT_EQ(ctx.int32(kStateInfoScrollMomentumDeltaX), acc > 0 ? 23 : -13);
    }
    // Below the threshold nothing happens and the accumulator keeps growing.
    c->actions.clear();
    ctx.set(kStateInfoCenterDeltaX, 0.001);
    EXPECT_FALSE(c->state2FingersScrollCheck(ctx, 2));
    EXPECT_TRUE(c->actions.empty());
    EXPECT_EQ(ctx.number(kStateInfoCenterDeltaX), 0.001);
}

TEST_F(TwoFingerTest, MomentumSmoothingRoundsTowardZero) {
    auto& ctx = c->dictZyvStateContext;
    c->screenRect = {0, 0, 100, 100};  // a step of 0.03 is 3 pixels
    c->gestureMoveThreshold = 0.001;
    struct Case {
        std::int64_t stored;
        double acc;
        std::int32_t smoothed;
    };
    for (auto k : {Case{10, 0.03, 6}, Case{-3, 0.0, -1}}) {
        c->state2FingersGestureCheckPrepare();
        ctx.set(kStateInfoCenterDeltaX, k.acc);
        ctx.set(kStateInfoCenterDeltaY, 0.002);  // passes the threshold on y
        ctx.set(kStateInfoScrollMomentumDeltaX, k.stored);
        c->state2FingersScrollCheck(ctx, 1);
        EXPECT_EQ(ctx.int32(kStateInfoScrollMomentumDeltaX), k.smoothed) << k.stored;
    }
}

TEST_F(TwoFingerTest, QuickTapDuringMomentumSpeedsItUp) {
    c->dictZyvStateContext.set(kStateCurrent, kState2FingersMomentumScroll);
    c->dictZyvStateContext.set(kStateInfoScrollMomentumDeltaY, std::int64_t{8});
    c->state2FingersMomentumScrollEntry();
    report(0.100, {down(1, 5000, 5000)});
    report(0.105, {up(1, 5000, 5000)});  // lifted within 0.1 s
    EXPECT_TRUE(c->momentumRunning());
    EXPECT_EQ(state(), "state2FingersMomentumScroll");
    // New targets at 2.5 times the current step.
    const std::int32_t current = c->dictZyvStateContext.int32(kStateInfoScrollMomentumDeltaY);
    EXPECT_EQ(c->dictZyvStateContext.int32(kStateInfoScrollMomentumTargetDeltaY),
              static_cast<std::int32_t>(2.5 * current));
    EXPECT_GT(current, 8);
}

TEST_F(TwoFingerTest, TwoFingersDuringMomentumEndItAndStartOver) {
    c->dictZyvStateContext.set(kStateCurrent, kState2FingersMomentumScroll);
    c->dictZyvStateContext.set(kStateInfoScrollMomentumDeltaY, std::int64_t{8});
    c->state2FingersMomentumScrollEntry();
    report(0.05, {down(1, 5000, 5000), down(2, 9000, 5000)});
    EXPECT_FALSE(c->momentumRunning());
    EXPECT_EQ(state(), "state2Fingers0");
    auto scrolls = ofType(kCGEventScrollWheel);
    ASSERT_FALSE(scrolls.empty());
    EXPECT_EQ(field(*scrolls.back(), kCGScrollWheelEventMomentumPhase), 3);
}

TEST_F(TwoFingerTest, ResetDuringMomentumEndsItOnTheNextTick) {
    c->dictZyvStateContext.set(kStateInfoScrollMomentumDeltaY, std::int64_t{8});
    c->state2FingersMomentumScrollEntry();
    loop.runUntil(800000000.0 + 0.015);  // one tick
    queue.drain();
    c->resetToStateIdle();  // the deltas vanish; the timer runs on
    EXPECT_TRUE(c->momentumRunning());
    loop.run();
    queue.expectMomentumEnd();  // only the end: the final pass posts nothing more
    queue.expectNoMoreEvents();
    EXPECT_FALSE(c->momentumRunning());
}
