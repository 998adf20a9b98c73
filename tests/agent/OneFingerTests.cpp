// One finger through the whole cycle: reports in, mouse events out.
#include <gtest/gtest.h>

#include "tests/agent/GestureFixture.hpp"
#include "tests/support/PostedEvents.hpp"

using namespace tact;
using namespace tact::test;

class OneFingerTest : public GestureFixture {
  protected:
    // A finger coming down moves the pointer to it twice: the idle state's
    // action, then the entry of the one-finger state.
    void expectTouchDownAt(double x, double y,
                           std::source_location where = std::source_location::current()) {
        queue.expectMoveTo(x, y, where);
        queue.expectMoveTo(x, y, where);
    }
    PostedEvents queue{sink.events};
};

// Raw 16384 is the middle of the screen: (960, 540) on 1920x1080.
constexpr std::uint16_t kMid = 16384;

TEST_F(OneFingerTest, TapMovesThePointerTwiceThenClicks) {
    report(0.00, {down(1, kMid, kMid)});
    queue.expectMoveTo(960, 540);
    queue.expectMoveTo(960, 540);
    queue.expectNoMoreEvents();
    EXPECT_EQ(state(), "state1Finger0");
    report(0.05, {up(1, kMid, kMid)});
    queue.expectLeftClickAt(960, 540);
    queue.expectNoMoreEvents();
    EXPECT_EQ(state(), "stateIdle");
    for (const auto& e : sink.events)
        EXPECT_EQ(e.flags, 0x100u);
}

TEST_F(OneFingerTest, DoubleAndTripleTapsNearThePointer) {
    report(0.00, {down(1, kMid, kMid)});
    report(0.05, {up(1, kMid, kMid)});
    report(0.20, {down(2, kMid + 100, kMid)});  // within 2 % of the pointer: no move
    report(0.25, {up(2, kMid + 100, kMid)});
    report(0.40, {down(3, kMid, kMid + 100)});
    report(0.45, {up(3, kMid, kMid + 100)});
    expectTouchDownAt(960, 540);
    queue.expectLeftClickAt(960, 540, 1);
    queue.expectLeftClickAt(960, 540, 2);
    queue.expectLeftClickAt(960, 540, 3);
    queue.expectNoMoreEvents();
}

TEST_F(OneFingerTest, FarTapStartsAgainWithOneClick) {
    report(0.00, {down(1, kMid, kMid)});
    report(0.05, {up(1, kMid, kMid)});
    report(0.20, {down(2, 30000, 30000)});  // far away: moves and ends the sequence
    report(0.25, {up(2, 30000, 30000)});
    expectTouchDownAt(960, 540);
    queue.expectLeftClickAt(960, 540);
    queue.expectMoveTo(1757.81, 988.77);
    queue.expectLeftClickAt(1757.81, 988.77);
    queue.expectNoMoreEvents();
}

TEST_F(OneFingerTest, MultiClickWindowStaysOpenWhileTheFingerRests) {
    report(0.00, {down(1, kMid, kMid)});
    report(0.05, {up(1, kMid, kMid)});  // click; the second-click window ends at 0.35
    report(0.30, {down(2, kMid, kMid)});
    report(0.33, {down(2, kMid, kMid)});  // each report while resting extends the window
    report(0.38, {down(2, kMid, kMid)});
    report(0.43, {down(2, kMid, kMid)});
    report(0.45, {up(2, kMid, kMid)});  // held 0.15 s: still a double click
    expectTouchDownAt(960, 540);
    queue.expectLeftClickAt(960, 540, 1);
    queue.expectLeftClickAt(960, 540, 2);
    queue.expectNoMoreEvents();
}

TEST_F(OneFingerTest, LiftAfterTheClickDeadlineDoesNotClick) {
    // Held past 0.2 s, but no report came between touch and lift to press.
    report(0.00, {down(1, kMid, kMid)});
    report(0.25, {up(1, kMid, kMid)});
    expectTouchDownAt(960, 540);
    queue.expectNoMoreEvents();
}

TEST_F(OneFingerTest, HeldFingerPressesDragsAndReleasesAtThePointer) {
    report(0.00, {down(1, kMid, kMid)});
    report(0.10, {down(1, kMid, kMid)});
    report(0.20, {down(1, kMid, kMid)});  // drag deadline reached: press at the pointer
    EXPECT_EQ(state(), "state1FingerDrag");
    report(0.25, {down(1, kMid + 3277, kMid)});  // moves: a dragged event to the finger
    report(0.30, {down(1, kMid + 3277, kMid)});  // rests: nothing
    report(0.35, {up(1, kMid + 3277, kMid)});    // release where the pointer is
    expectTouchDownAt(960, 540);
    queue.expectLeftDownAt(960, 540);
    queue.expectDragTo(1152.01, 540);
    queue.expectLeftUpAt(1152.01, 540);
    queue.expectNoMoreEvents();
}

TEST_F(OneFingerTest, MovingBeforeTheDeadlineMovesThenPressesInOneCycle) {
    report(0.00, {down(1, kMid, kMid)});
    report(0.05, {down(1, kMid + 3000, kMid)});  // more than 2 % of the width
    EXPECT_EQ(state(), "state1FingerDrag");
    expectTouchDownAt(960, 540);
    queue.expectMoveTo(1135.78, 540);
    queue.expectLeftDownAt(960, 540);  // pressed where the pointer was before this cycle
    queue.expectNoMoreEvents();
}

TEST_F(OneFingerTest, EveryWayOutOfADragReleasesFirst) {
    report(0.00, {down(1, kMid, kMid)});
    report(0.20, {down(1, kMid, kMid)});
    ASSERT_EQ(state(), "state1FingerDrag");
    report(0.25, {down(1, kMid, kMid), down(2, 20000, 20000)});
    EXPECT_EQ(events().back(), "2@960,540");
    EXPECT_EQ(state(), "state2Fingers0");
}

TEST_F(OneFingerTest, RightClickHasButtonOneAndNoSource) {
    report(0.00, {down(1, kMid, kMid)});
    queue.drain();
    c->actions.clear();
    c->actionRightClick();
    c->postGestures();
    queue.expectRightClickAt(960, 540);
    queue.expectNoMoreEvents();
}

TEST_F(OneFingerTest, DragReleasesOnEveryWayOut) {
    struct Case {
        int fingers;
        const char* next;
    };
    for (auto k : {Case{0, "stateIdle"}, Case{2, "state2Fingers0"}, Case{3, "state3Fingers0"},
                   Case{4, "state4Fingers0"}, Case{5, "state5Fingers0"}}) {
        c->resetToStateIdle();
        sink.events.clear();
        const double t0 = 10.0 * (k.fingers + 1);
        report(t0, {down(1, kMid, kMid)});
        report(t0 + 0.2, {down(1, kMid, kMid)});
        ASSERT_EQ(state(), "state1FingerDrag") << k.fingers;
        std::vector<Contact> next;
        if (k.fingers == 0) {
            next.push_back(up(1, kMid, kMid));
        } else {
            for (int i = 0; i < k.fingers; ++i) {
                next.push_back(down(static_cast<std::uint8_t>(1 + i),
                                    static_cast<std::uint16_t>(kMid + 1000 * i), kMid));
            }
        }
        report(t0 + 0.25, next);
        EXPECT_EQ(state(), k.next) << k.fingers;
        ASSERT_FALSE(events().empty());
        // The release comes before anything the next state posts.
        std::size_t release = 0;
        for (std::size_t i = 0; i < sink.events.size(); ++i) {
            if (sink.events[i].type == platform::events::kCGEventLeftMouseUp)
                release = i;
        }
        EXPECT_GT(release, 0u) << k.fingers;
        EXPECT_EQ(sink.events[release - 1].type, platform::events::kCGEventLeftMouseDown)
            << k.fingers;
    }
}
