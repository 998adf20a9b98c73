// The real run loop inside Qt's event loop: its timers, posted work and
// bursts of ready callbacks run on the Qt main thread while Qt keeps running.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/runloop/RunLoop.hpp"
#include "qtsupport/QtRunLoopBridge.hpp"
#include "tests/support/QtTestSupport.hpp"

namespace tact {
namespace {

using namespace std::chrono_literals;
using test::spinUntil;

class QtRunLoopBridgeTest : public ::testing::Test {
  protected:
    test::OffscreenApp qt_;
    std::unique_ptr<platform::RunLoop> loop_ = platform::makeRealRunLoop(false);
    QtRunLoopBridge bridge_{*loop_};
};

TEST_F(QtRunLoopBridgeTest, TimersAndPostedWorkRunInsideQtsLoop) {
    ASSERT_TRUE(bridge_.isActive());
    const auto mainThread = std::this_thread::get_id();
    std::vector<std::string> timers;
    int ticks = 0;
    bool posted = false;
    bool offThread = false;

    platform::Timer later =
        loop_->addTimer(0.08, 0, [&](platform::Timer&) { timers.push_back("later"); });
    platform::Timer soon =
        loop_->addTimer(0.02, 0, [&](platform::Timer&) { timers.push_back("soon"); });
    platform::Timer repeating = loop_->addTimer(0.005, 0.005, [&](platform::Timer& t) {
        offThread |= std::this_thread::get_id() != mainThread;
        if (++ticks == 5)
            t.invalidate();
    });
    // Posting from another thread wakes the loop through its descriptor.
    std::thread poster([&] {
        std::this_thread::sleep_for(10ms);
        loop_->post([&] {
            offThread |= std::this_thread::get_id() != mainThread;
            posted = true;
        });
    });
    // The run loop's callbacks can end Qt's loop too.
    platform::Timer quit = loop_->addTimer(0.1, 0.01, [&](platform::Timer&) {
        if (posted && timers.size() == 2 && ticks == 5)
            QCoreApplication::quit();
    });
    QTimer::singleShot(10s, [] { QCoreApplication::exit(3); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    poster.join();

    EXPECT_EQ(timers, (std::vector<std::string>{"soon", "later"}));
    EXPECT_TRUE(posted);
    EXPECT_EQ(ticks, 5);
    EXPECT_FALSE(offThread);
    EXPECT_FALSE(repeating.isValid());
}

TEST_F(QtRunLoopBridgeTest, ABurstOfReadyCallbacksLetsQtEventsThrough) {
    // Far more callbacks are due at once than one round runs.
    constexpr int kCount = 500;
    std::vector<platform::Timer> timers;
    int fired = 0;
    int firedWhenQtRan = -1;
    for (int i = 0; i < kCount; ++i)
        timers.push_back(loop_->addTimer(0, 0, [&](platform::Timer&) { ++fired; }));
    QTimer::singleShot(0, [&] { firedWhenQtRan = fired; });
    ASSERT_TRUE(spinUntil([&] { return fired == kCount && firedWhenQtRan >= 0; }));
    EXPECT_LT(firedWhenQtRan, kCount);
}

TEST_F(QtRunLoopBridgeTest, ANestedQtLoopInsideACallbackDoesNotStallTheRunLoop) {
    bool nestedDone = false;
    bool afterNested = false;
    bool secondFired = false;
    bool qtRanInside = false;
    platform::Timer first = loop_->addTimer(0.01, 0, [&](platform::Timer&) {
        // A modal moment: Qt runs its own loop from inside our callback.
        QEventLoop nested;
        QTimer::singleShot(0, [&] { qtRanInside = true; });
        QTimer::singleShot(60ms, &nested, &QEventLoop::quit);
        nested.exec();
        nestedDone = true;
    });
    platform::Timer second = loop_->addTimer(0.02, 0, [&](platform::Timer&) {
        secondFired = true;
        afterNested = nestedDone;
    });
    ASSERT_TRUE(spinUntil([&] { return nestedDone && secondFired; }));
    EXPECT_TRUE(qtRanInside);
    EXPECT_TRUE(afterNested) << "the second timer ran inside the first one's callback";
}

// A stop of the embedded loop (what a stop signal does) ends Qt's loop with
// its code, once; Qt's loop then runs again undisturbed.
TEST_F(QtRunLoopBridgeTest, StoppingTheLoopEndsQtsLoop) {
    ASSERT_TRUE(bridge_.isActive());
    platform::Timer stop = loop_->addTimer(0.01, 0, [&](platform::Timer&) { loop_->stop(4); });
    QTimer::singleShot(10s, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QCoreApplication::exec(), 4);

    bool ran = false;
    platform::Timer later = loop_->addTimer(0.01, 0, [&](platform::Timer&) {
        ran = true;
        QCoreApplication::exit(5);
    });
    bridge_.schedule();  // a timer added from outside the loop's callbacks
    EXPECT_EQ(QCoreApplication::exec(), 5);
    EXPECT_TRUE(ran);
}

TEST(QtRunLoopBridgeVirtual, AVirtualLoopCannotBeEmbedded) {
    test::OffscreenApp qt;
    auto loop = platform::makeVirtualRunLoop(800000000.0);
    QtRunLoopBridge bridge(*loop);
    EXPECT_FALSE(bridge.isActive());
}

}  // namespace
}  // namespace tact
