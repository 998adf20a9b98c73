// The state machine core: deadlines, the order of one cycle, the cursor
// touch, calibration taps, and the posting pass's bookkeeping.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/agent/GestureFixture.hpp"
#include "tests/support/LoggedLines.hpp"

using namespace tact;
using namespace tact::test;

using StateMachineTest = GestureFixture;

TEST_F(StateMachineTest, Deadlines) {
    auto& ctx = c->dictZyvStateContext;
    ctx.set(kStateTimestamp, 10.0);
    EXPECT_TRUE(c->timerExpired(kTimerClickExpiration));  // never started
    c->timerRestart(kTimerClickExpiration, "noSuchDuration");
    EXPECT_EQ(ctx.number(kTimerClickExpiration), 10.0);
    EXPECT_TRUE(c->timerExpired(kTimerClickExpiration));  // equal to the time stamp
    c->timerRestart(kTimerClickExpiration, kTimerClickDuration);
    EXPECT_FALSE(c->timerExpired(kTimerClickExpiration));
    ctx.set(kStateTimestamp, 10.2);
    EXPECT_TRUE(c->timerExpired(kTimerClickExpiration));
    ctx.set(kStateTimestamp, std::nextafter(10.2, 0.0));
    EXPECT_FALSE(c->timerExpired(kTimerClickExpiration));
    c->timerStop(kTimerClickExpiration);
    EXPECT_EQ(ctx.number(kTimerClickExpiration), 0.0);
    EXPECT_TRUE(c->timerExpired(kTimerClickExpiration));
}

TEST_F(StateMachineTest, TableHasSixteenStatesAndResetsToIdle) {
    int states = 0;
    for (const auto& [key, value] : c->dictZyvStateContext) {
        if (std::holds_alternative<StateRecord>(value))
            ++states;
    }
    EXPECT_EQ(states, 16);
    const StateRecord* r = c->dictZyvStateContext.record(kState1Finger0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->selectorEntry, "state1Finger0Entry");
    report(0.0, {down(1, 100, 100)});
    EXPECT_EQ(state(), "state1Finger0");
    c->resetToStateIdle();
    EXPECT_EQ(state(), "stateIdle");
    EXPECT_EQ(c->dictZyvStateContext.number(kStateTimestamp), 0.0);
    EXPECT_TRUE(c->timerExpired(kTimerClickExpiration));
    EXPECT_FALSE(c->dictZyvStateContext.contains(kStateInfoFingerForCursor));
}

TEST_F(StateMachineTest, ActionThenExitThenEntryThenPosting) {
    c->_logger.setLogTypeMask(kLogStates | kLogGestures);
    ScopedLogLevel debug(platform::LogLevel::Debug);
    LoggedLines lines(c->_logger);
    report(0.0, {down(1, 16384, 16384)});
    const std::string log = lines.text();
    // The idle action's move, the state change, the entry's move, then posting.
    auto exitAt = log.find("exit stateIdle @ 1 ");
    auto enterAt = log.find("enter state1Finger0");
    auto postAt = log.find("actionCursorMove:960.000000,540.000000");
    ASSERT_NE(exitAt, std::string::npos) << log;
    ASSERT_NE(enterAt, std::string::npos) << log;
    ASSERT_NE(postAt, std::string::npos) << log;
    EXPECT_LT(exitAt, enterAt);
    EXPECT_LT(enterAt, postAt);
    // The queue stays as posted until the next cycle: both moves, and the
    // empty record the pass adds when no gesture information was filled.
    ASSERT_EQ(c->actions.size(), 3u);
    EXPECT_EQ(c->actions[0].ZyvGestureType, kGesturePointerMove);
    EXPECT_EQ(c->actions[1].ZyvGestureType, kGesturePointerMove);
    EXPECT_EQ(c->actions[2].ZyvGestureType, kGestureNone);
}

TEST_F(StateMachineTest, RepeatCountCountsCyclesInAState) {
    report(0.00, {down(1, 100, 100)});
    report(0.01, {down(1, 100, 100)});
    report(0.02, {down(1, 100, 100)});
    EXPECT_EQ(c->stateRepeatTimes, 2u);  // two cycles in state1Finger0 so far
    c->_logger.setLogTypeMask(kLogStates);
    ScopedLogLevel debug(platform::LogLevel::Debug);
    LoggedLines log(c->_logger);
    report(0.03, {up(1, 100, 100)});
    EXPECT_TRUE(log.contains("exit state1Finger0 @ 3 ")) << log.text();
    EXPECT_EQ(c->stateRepeatTimes, 0u);
}

TEST_F(StateMachineTest, CursorTouchStaysWithTheFirstFinger) {
    report(0.00, {down(1, 1000, 1000)});
    ASSERT_NE(c->touchForCursor(), nullptr);
    const auto first = c->touchForCursor()->transducerIndex;
    report(0.01, {down(1, 1000, 1000), down(2, 20000, 20000)});
    report(0.02, {down(1, 1000, 1000), down(2, 21000, 20000), down(3, 30000, 100)});
    ASSERT_NE(c->touchForCursor(), nullptr);
    EXPECT_EQ(c->touchForCursor()->transducerIndex, first);
    // The first finger lifts and is forgotten; the next choice, made within
    // a cycle, takes a staying finger over a moving one.
    report(0.03, {up(1, 1000, 1000), down(2, 22000, 20000), down(3, 30000, 100)});
    ReportBuilder r;
    r.add10(7, 2, 23000, 20000).add10(7, 3, 30000, 100).count(2);
    c->submitMTTouches6Points(r.span());
    ASSERT_TRUE(c->updateTouchSets());
    const Touch* picked = c->touchForCursor();
    ASSERT_NE(picked, nullptr);
    EXPECT_EQ(picked->identity, 3);
    c->cleanupTouchSets();
}

TEST_F(StateMachineTest, CalibrationTapsFollowTheCursorTouch) {
    c->calibrateInProgress = true;
    report(0.00, {down(1, 16384, 8192)});
    report(0.01, {down(1, 16384, 8192)});
    report(0.02, {up(1, 16384, 8192)});
    report(0.03, {});  // nothing at all: no tap report
    ASSERT_EQ(posted.size(), 3u);
    const auto* tap = posted[0].userInfo->dictionary(platform::String("TapLocation"));
    ASSERT_NE(tap, nullptr);
    EXPECT_EQ(tap->integer(platform::String("touchX")), 16384);
    EXPECT_EQ(tap->integer(platform::String("touchY")), 8192);
    EXPECT_EQ(posted[0].userInfo->integer(platform::String("ActiveTouchCount")), 1);
    EXPECT_TRUE(posted[1].userInfo.has_value());
    EXPECT_FALSE(posted[2].userInfo.has_value());  // the finger lifted
}

TEST_F(StateMachineTest, EmptyPassLogsUnrecognizedAndDiscarded) {
    c->_logger.setLogTypeMask(kLogOutOfRange);
    ScopedLogLevel debug(platform::LogLevel::Debug);
    report(0.00, {down(1, 100, 100)});
    report(0.01, {down(1, 100, 100)});  // nothing queued in this cycle
    LoggedLines log(c->_logger);
    c->actions.clear();
    c->postGestures();
    EXPECT_TRUE(log.contains("Unrecognized gesture:0")) << log.text();
    EXPECT_TRUE(log.contains("discarded gesture {gestureSubtype = 0}")) << log.text();
    EXPECT_TRUE(c->gestureInfo.empty());
}

TEST_F(StateMachineTest, MoreFingersFollowTheCountAlone) {
    report(0.00, {down(1, 100, 100), down(2, 5000, 5000), down(3, 9000, 9000)});
    EXPECT_EQ(state(), "state3Fingers0");
    report(0.01, {down(1, 100, 100), down(2, 5000, 5000), up(3, 9000, 9000)});
    EXPECT_EQ(state(), "state2Fingers0");
    report(0.02, {up(1, 100, 100), down(2, 5000, 5000)});
    EXPECT_EQ(state(), "stateIdle");  // from two fingers, one left means idle
    report(0.03, {up(2, 5000, 5000)});
    EXPECT_EQ(state(), "stateIdle");
}

TEST_F(StateMachineTest, ContextGrowingDuringAnActionIsSafe) {
    // Fill the context to its capacity, so that the next new entry (the idle
    // action's choice of the cursor touch) moves every entry. A sanitizer
    // build catches any pointer into the context held across the action.
    auto& ctx = c->dictZyvStateContext;
    for (int i = 0; ctx.size() < ctx.capacity(); ++i)
        ctx.set("padding" + std::to_string(i), 0.0);
    ASSERT_FALSE(ctx.contains(kStateInfoFingerForCursor));
    report(0.0, {down(1, 16384, 16384)});  // stateIdle -> state1Finger0, its entry runs
    EXPECT_EQ(state(), "state1Finger0");
    EXPECT_EQ(events().size(), 2u);
}
