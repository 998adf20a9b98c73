#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/agent/ConverterFixture.hpp"
#include "tests/support/LoggedLines.hpp"

using namespace tact;
using tact::test::ConverterFixture;

namespace {

constexpr std::uint8_t kDown = 0x07;  // touching, in range, valid
constexpr std::uint8_t kUp = 0x06;    // in range, valid, not touching
constexpr std::uint8_t kGone = 0x04;  // valid, neither touching nor in range

ContactRecord rec(std::uint8_t flags, std::uint8_t id, std::uint16_t x, std::uint16_t y) {
    return ContactRecord{flags, id, x, y, 0, 0};
}

}  // namespace

class TrackingTest : public ConverterFixture {
  protected:
    void SetUp() override { c = &makeConverter(); }

    // Runs the three passes over the records and the touch-set update, so
    // the cycle's sets can be inspected; finish() ends the cycle.
    bool cycle(std::vector<ContactRecord> records) {
        for (auto& r : records)
            c->submitMatchedTouch(r);
        for (auto& r : records)
            c->submitUnmatchedTouch(r);
        for (auto& r : records)
            c->submitArrivingTouch(r);
        return c->updateTouchSets();
    }
    void finish() { c->cleanupTouchSets(); }

    ZyvTouchConverter* c = nullptr;
};

TEST_F(TrackingTest, UncalibratedPositionsAndClamping) {
    auto p = c->unitSquarePosition(16384, 8192);
    EXPECT_EQ(p.x, 0.5);
    EXPECT_EQ(p.y, 0.25);
    c->_logger.setLogTypeMask(kLogOutOfRange);
    test::ScopedLogLevel debug(platform::LogLevel::Debug);  // no log file: debug entries
    test::LoggedLines log(c->_logger);
    p = c->unitSquarePosition(32768, 0);
    EXPECT_EQ(p.x, 1.0);
    EXPECT_TRUE(log.contains("invalid coordinate x:1.000000, touchX:32768")) << log.text();
}

TEST_F(TrackingTest, IdentityCalibrationMatchesUncalibrated) {
    c->isCalibrated = true;
    c->KWIDTH = 1920;
    c->KHEIGHT = 1080;
    c->KX1 = c->KWIDTH / 32768;
    c->KY2 = c->KHEIGHT / 32768;
    for (auto [x, y] : {std::pair{16384, 8192}, {100, 32000}, {0, 0}}) {
        auto p = c->unitSquarePosition(x, y);
        EXPECT_EQ(p.x, static_cast<float>(x) / 32768.0f);
        EXPECT_EQ(p.y, static_cast<float>(y) / 32768.0f);
    }
}

TEST_F(TrackingTest, DegenerateCalibrationNeverYieldsNaN) {
    c->isCalibrated = true;
    c->KX1 = std::nan("");
    c->KY1 = std::numeric_limits<double>::infinity();
    c->KWIDTH = c->KHEIGHT = 1;
    auto p = c->unitSquarePosition(100, 100);
    EXPECT_EQ(p.x, 0.0);
    EXPECT_EQ(p.y, 1.0);
}

TEST_F(TrackingTest, ArriveStayMoveLeave) {
    ASSERT_TRUE(cycle({rec(kDown, 5, 16384, 8192)}));
    ASSERT_EQ(c->arrivingTouches.size(), 1u);
    const Touch t = c->arrivingTouches[0];
    EXPECT_EQ(t.eventMask, 0x23);
    EXPECT_EQ(t.pendingCount, 0);
    EXPECT_EQ(t.transducerIndex, 1);
    EXPECT_EQ(t.options, 0x30001);
    EXPECT_EQ(t.identity, 5);
    finish();

    ASSERT_TRUE(cycle({rec(kDown, 5, 16384, 8192)}));
    ASSERT_EQ(c->stayingTouches.size(), 1u);
    EXPECT_EQ(c->stayingTouches[0].eventMask, 0);
    finish();

    ASSERT_TRUE(cycle({rec(kDown, 5, 17384, 8192)}));
    ASSERT_EQ(c->movingTouches.size(), 1u);
    EXPECT_EQ(c->movingTouches[0].eventMask, 0x04);
    EXPECT_EQ(c->movingTouches[0].deltaX, 17384.0f / 32768.0f - 0.5f);
    EXPECT_EQ(c->movingTouches[0].deltaY, 0.0f);
    EXPECT_EQ(c->movingTouchesIndexMask, bitOf(1));
    finish();

    ASSERT_TRUE(cycle({rec(kUp, 5, 17384, 8192)}));
    ASSERT_EQ(c->leavingTouches.size(), 1u);
    EXPECT_EQ(c->leavingTouches[0].eventMask, 0x02);
    EXPECT_EQ(c->activeFingerCount(), 0);
    finish();
    EXPECT_FALSE(c->fingerToTransducerFind(5));
    EXPECT_EQ(c->frameTransducers, 0u);
    EXPECT_TRUE(c->transducerIndexPool & bitOf(1));
}

TEST_F(TrackingTest, LiftingOutOfRangeSetsBothChangeBits) {
    cycle({rec(kDown, 1, 100, 100)});
    finish();
    cycle({rec(kGone, 1, 100, 100)});
    ASSERT_EQ(c->leavingTouches.size(), 1u);
    EXPECT_EQ(c->leavingTouches[0].eventMask, 0x03);
}

TEST_F(TrackingTest, LiftedStrangerAllocatesNothing) {
    EXPECT_FALSE(cycle({rec(kUp, 9, 100, 100)}));
    EXPECT_FALSE(c->fingerToTransducerFind(9));
    EXPECT_EQ(c->transducerIndexPool, ~std::uint64_t{0});
}

TEST_F(TrackingTest, InvalidRecordsAreSkipped) {
    EXPECT_FALSE(cycle({rec(0x03, 1, 100, 100)}));
    EXPECT_EQ(c->frameTransducers, 0u);
}

TEST_F(TrackingTest, UnreportedFingerStaysTwiceThenLeaves) {
    cycle({rec(kDown, 1, 1000, 1000), rec(kDown, 2, 20000, 20000)});
    finish();
    const char* expected[] = {"staying", "staying", "leaving"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(cycle({rec(kDown, 1, 1000, 1000)}));  // finger 2 is not reported
        bool staying = c->stayingTouchesIndexMask & bitOf(2);
        bool leaving = c->leavingTouchesIndexMask & bitOf(2);
        EXPECT_EQ(staying ? "staying" : leaving ? "leaving" : "none", std::string(expected[i]));
        EXPECT_TRUE(c->pendingTouchesIndexMask & bitOf(2));
        finish();
    }
    EXPECT_FALSE(c->frameTransducers & bitOf(2));
    EXPECT_FALSE(c->fingerToTransducerFind(2));
}

TEST_F(TrackingTest, OnlyTouchUnreportedIsNotAged) {
    cycle({rec(kDown, 1, 1000, 1000)});
    finish();
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(cycle({}));
    EXPECT_TRUE(c->frameTransducers & bitOf(1));
    EXPECT_EQ(c->transducerTouches[1]->pendingCount, 0);
}

TEST_F(TrackingTest, ChangedContactIDKeepsItsTransducerNearby) {
    cycle({rec(kDown, 1, 1000, 1000), rec(kDown, 2, 20000, 20000)});
    finish();
    ASSERT_EQ(c->fingerToTransducerFind(2), 2);
    // Finger 2 comes back as contact 7, a little to the right.
    ASSERT_TRUE(cycle({rec(kDown, 1, 1000, 1000), rec(kDown, 7, 20100, 20000)}));
    ASSERT_EQ(c->fingerToTransducerFind(7), 2);
    EXPECT_FALSE(c->fingerToTransducerFind(2));
    ASSERT_EQ(c->movingTouches.size(), 1u);
    EXPECT_EQ(c->movingTouches[0].eventMask, 0x20 | 0x04);
    EXPECT_EQ(c->movingTouches[0].identity, 7);
    finish();

    // Far away it is a new finger instead.
    ASSERT_TRUE(cycle({rec(kDown, 1, 1000, 1000), rec(kDown, 8, 32000, 100)}));
    EXPECT_NE(c->fingerToTransducerFind(8), 2);
    EXPECT_EQ(c->arrivingTouches.size(), 1u);
}

TEST_F(TrackingTest, SixFingersAfterResetGetIndicesOneToSix) {
    c->resetToStateIdle();
    for (std::uint8_t id = 10; id < 16; ++id) {
        std::vector<ContactRecord> records;
        for (std::uint8_t k = 10; k <= id; ++k)
            records.push_back(rec(kDown, k, 1000 * k, 500));
        cycle(records);
        finish();
    }
    for (std::uint8_t id = 10; id < 16; ++id)
        EXPECT_EQ(c->fingerToTransducerFind(id), id - 9);
}

TEST_F(TrackingTest, AllocationFindsAFreeIndexWhenOneParityIsFull) {
    // Take every odd index, then ask for more: the stepping search alone
    // would never end.
    for (int id = 0; id < 32; ++id)
        c->fingerToTransducerRemap(id, 2 * id + 1);
    c->transducerAllocatedIndex = 0;
    std::int64_t index = c->fingerToTransducerMap(100);
    EXPECT_EQ(index % 2, 0);
    EXPECT_FALSE(c->transducerIndexPool & bitOf(index));
}

TEST_F(TrackingTest, TouchDictionaryHasEveryKey) {
    cycle({rec(kDown, 3, 16384, 8192)});
    auto d = c->arrivingTouches[0].toDictionary();
    EXPECT_EQ(d.integer(platform::String("type")), 11);
    EXPECT_EQ(d.integer(platform::String("transducerType")), 2);
    EXPECT_EQ(d.integer(platform::String("touchX")), 16384);
    EXPECT_EQ(d.number(platform::String("position.y")), 0.25);
    EXPECT_TRUE(d.find(platform::String("delta.x"))->isReal());
    EXPECT_EQ(d.size(), 14u);
}
