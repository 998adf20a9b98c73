// Raw reports published for the touch painter.
#include <gtest/gtest.h>

#include "tests/agent/ConverterFixture.hpp"

using namespace tact;
using tact::test::ConverterFixture;
using tact::test::ReportBuilder;

class PublishingTest : public ConverterFixture {
  protected:
    void SetUp() override {
        c = &makeConverter();
        reports = notifications->addObserver(
            platform::String(kMTouchReportNotification), platform::String(kMultiTouchSupportObject),
            [this](const platform::Notification& n) { published.push_back(*n.userInfo); });
        c->_bTouchTestMode = true;
    }
    void bootloader(std::uint8_t version, std::uint8_t flags) {
        BootParam_ p;
        p.BootLoaderVersion = version;
        p.Flags = flags;
        c->set_bootparam(p);
    }
    void send(const ReportBuilder& r) {
        c->submitMTReport(r.span());
        loop.run();
    }
    static double num(const platform::Dictionary& d, const char* key) {
        return d.number(platform::String(key)).value_or(-1);
    }
    ZyvTouchConverter* c = nullptr;
    platform::Observation reports;
    std::vector<platform::Dictionary> published;
};

TEST_F(PublishingTest, TenByteRecordValues) {
    bootloader(30, 0x35);
    ReportBuilder r;
    r.add10(7, 5, 16384, 8192, 3276, 6553).count(1);
    send(r);
    ASSERT_EQ(published.size(), 1u);
    const auto& d = published[0];
    EXPECT_EQ(d.integer(platform::String("ActualCount")), 1);
    EXPECT_EQ(d.integer(platform::String("0_FingerID")), 5);
    EXPECT_EQ(num(d, "0_x"), 0.5);
    EXPECT_EQ(num(d, "0_y"), 0.75);
    EXPECT_EQ(num(d, "0_Width"), 0.0999755859375);
    EXPECT_EQ(num(d, "0_Height"), 0.199981689453125);
}

TEST_F(PublishingTest, SixByteRecordsAreWidened) {
    ReportBuilder r;  // no boot parameters: 6-byte records
    r.add6(7, 1, 100, 100).count(1);
    send(r);
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(num(published[0], "0_Width"), 0.006103515625);
    EXPECT_EQ(num(published[0], "0_Height"), 0.01220703125);
}

TEST_F(PublishingTest, SplitReportPublishesTheHeldHalfFirst) {
    bootloader(40, 0xA0);
    ReportBuilder first;
    for (std::uint8_t id = 1; id <= 6; ++id)
        first.add10(7, id, 1000 * id, 100);
    first.count(8);
    send(first);
    EXPECT_TRUE(published.empty());
    ReportBuilder second;
    second.add10(7, 7, 7000, 100).add10(7, 8, 8000, 100).count(0);
    send(second);
    ASSERT_EQ(published.size(), 1u);
    const auto& d = published[0];
    EXPECT_EQ(d.integer(platform::String("ActualCount")), 8);
    EXPECT_EQ(d.integer(platform::String("0_FingerID")), 1);
    EXPECT_EQ(d.integer(platform::String("5_FingerID")), 6);
    EXPECT_EQ(d.integer(platform::String("6_FingerID")), 7);
    EXPECT_EQ(d.integer(platform::String("7_FingerID")), 8);
}

TEST_F(PublishingTest, InvalidAndEmptyReportsArePublishedToo) {
    bootloader(30, 0x35);
    ReportBuilder invalid;
    invalid.add10(0x03, 9, 100, 100).count(1);  // not valid: the tracker ignores it
    send(invalid);
    ReportBuilder empty;
    empty.count(0);
    send(empty);
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published[0].integer(platform::String("0_FingerID")), 9);
    EXPECT_EQ(published[1].integer(platform::String("ActualCount")), 0);
    EXPECT_EQ(published[1].size(), 1u);
}

TEST_F(PublishingTest, NothingWithoutTestMode) {
    c->_bTouchTestMode = false;
    ReportBuilder r;
    r.add6(7, 1, 100, 100).count(1);
    send(r);
    EXPECT_TRUE(published.empty());
}
