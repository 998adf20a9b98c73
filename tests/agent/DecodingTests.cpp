#include <gtest/gtest.h>

#include "tests/agent/ConverterFixture.hpp"

using namespace tact;
using tact::test::ConverterFixture;
using tact::test::ReportBuilder;

class DecodingTest : public ConverterFixture {
  protected:
    void SetUp() override { c = &makeConverter(); }
    void bootloader(std::uint8_t version, std::uint8_t flags) {
        BootParam_ p;
        p.BootLoaderVersion = version;
        p.Flags = flags;
        c->set_bootparam(p);
    }
    // The live touches, by transducer index.
    std::vector<Touch> live() const {
        std::vector<Touch> out;
        for (const auto& t : c->transducerTouches) {
            if (t)
                out.push_back(*t);
        }
        return out;
    }
    ZyvTouchConverter* c = nullptr;
};

TEST_F(DecodingTest, NoBootParametersMeansWidenedSixByteRecords) {
    ReportBuilder r;
    r.add6(7, 1, 100, 200).add6(7, 2, 300, 400).count(2);
    c->submitMTReport(r.span());
    auto touches = live();
    ASSERT_EQ(touches.size(), 2u);
    EXPECT_EQ(touches[1].touchX, 300);
    EXPECT_EQ(touches[1].touchY, 400);
}

TEST(ContactRecordTest, SixByteRecordsAreWidenedByTheInchSize) {
    const std::array<std::uint8_t, 6> bytes = {7, 9, 0x00, 0x40, 0x00, 0x20};
    struct Case {
        std::int32_t inches;
        std::uint16_t width, height;
    };
    for (auto k :
         {Case{32, 200, 400}, Case{24, 266, 533}, Case{26, 246, 492}, Case{64, 100, 200}}) {
        auto r = ContactRecord::widen6(bytes, k.inches);
        EXPECT_EQ(r.width, k.width) << k.inches;
        EXPECT_EQ(r.height, k.height) << k.inches;
        EXPECT_EQ(r.x, 16384);
        EXPECT_EQ(r.y, 8192);
        EXPECT_EQ(r.contactID, 9);
    }
}

TEST_F(DecodingTest, OlderFrameFlagsPickTheLayout) {
    for (std::uint8_t flags : {0x35, 0x75, 0x05}) {
        auto& conv = makeConverter();
        c = &conv;
        bootloader(30, flags);
        ReportBuilder r;
        if (flags == 0x35) {
            r.add10(7, 4, 1111, 2222, 50, 60).count(1);
        } else {
            r.add6(7, 4, 1111, 2222).count(1);
        }
        c->submitMTReport(r.span());
        auto touches = live();
        ASSERT_EQ(touches.size(), 1u) << int(flags);
        EXPECT_EQ(touches[0].touchX, 1111) << int(flags);
        EXPECT_EQ(touches[0].touchY, 2222) << int(flags);
    }
}

TEST_F(DecodingTest, NewerFrameSplitReportNewHalfFirst) {
    bootloader(40, 0xA0);
    ReportBuilder first;
    for (std::uint8_t id = 1; id <= 6; ++id)
        first.add10(7, id, 1000 * id, 100);
    first.count(8);
    c->submitMTReport(first.span());
    EXPECT_TRUE(live().empty());  // held

    ReportBuilder second;
    second.add10(7, 7, 7000, 100).add10(7, 8, 8000, 100).count(0);
    c->submitMTReport(second.span());
    ASSERT_EQ(live().size(), 8u);
    // The two new records were handed over first, so they got the first indices.
    EXPECT_EQ(c->fingerToTransducerFind(7), 1);
    EXPECT_EQ(c->fingerToTransducerFind(8), 2);
    EXPECT_EQ(c->fingerToTransducerFind(1), 3);
    EXPECT_EQ(c->fingerToTransducerFind(6), 8);

    // A second count-0 report after that yields nothing.
    c->submitMTReport(second.span());
    EXPECT_EQ(c->prevActualCount, 0);
    EXPECT_EQ(live().size(), 8u);
}

TEST_F(DecodingTest, NewerFrameEmptyReportWithoutHeldHalfDoesNothing) {
    bootloader(41, 0xA0);
    ReportBuilder r;
    r.add10(7, 1, 100, 100).count(0);
    c->submitMTReport(r.span());
    EXPECT_TRUE(live().empty());
    EXPECT_EQ(c->dictZyvStateContext.number(kStateTimestamp), 800000000.0);  // still stamped
}

TEST_F(DecodingTest, CountsBeyondTheReportAreCut) {
    // An older 10-byte frame claiming 9 records: only six fit in the record area.
    bootloader(30, 0x35);
    ReportBuilder r;
    for (std::uint8_t id = 1; id <= 6; ++id)
        r.add10(7, id, 1000 * id, 100);
    r.count(9);
    c->submitMTReport(r.span());
    EXPECT_EQ(live().size(), 6u);

    // A short report: only the records that are there, nothing past its end.
    auto& fresh = makeConverter();
    c = &fresh;
    bootloader(30, 0x35);
    std::vector<std::uint8_t> shortReport = {10, 7, 1, 0x10, 0x00, 0x20, 0x00, 0, 0, 0, 0, 7, 2};
    c->submitMTReport(shortReport);  // no count byte at all
    EXPECT_TRUE(live().empty());

    // A newer frame whose split claims 255 contacts.
    auto& newer = makeConverter();
    c = &newer;
    bootloader(40, 0xA0);
    ReportBuilder first;
    for (std::uint8_t id = 1; id <= 6; ++id)
        first.add10(7, id, 1000 * id, 100);
    first.count(255);
    c->submitMTReport(first.span());
    ReportBuilder second;
    second.add10(7, 7, 7000, 100).count(0);
    c->submitMTReport(std::span(second.bytes).first(30));  // two records' room, one sent
    // Six held, and of the two records that fit in what arrived, the second
    // is all zero (not valid).
    EXPECT_EQ(live().size(), 7u);
}

// The report path looks every finger up once per report; a change of the
// table within the report (an arrival, a hand-over) must still be seen by
// the records after it.
TEST_F(DecodingTest, TableChangesWithinAReportAreSeenByTheRecordsAfterThem) {
    struct Case {
        const char* name;
        std::vector<ReportBuilder> reports;
        std::vector<std::pair<std::uint8_t, std::int64_t>> transducerOf;  // finger, index
        std::size_t live;
    };
    auto report = [](std::vector<std::array<std::uint16_t, 3>> contacts) {
        ReportBuilder r;
        for (auto [id, x, y] : contacts)
            r.add10(7, std::uint8_t(id), x, y);
        r.count(std::uint8_t(contacts.size()));
        return r;
    };
    const Case cases[] = {
        {"one new finger reported twice takes one transducer",
         {report({{5, 1000, 1000}, {5, 1100, 1000}})},
         {{5, 1}},
         1},
        {"a finger handed over in the second pass is not new in the third",
         {report({{1, 1000, 1000}, {2, 20000, 20000}}),
          report({{7, 20100, 20000}, {1, 1000, 1000}})},
         {{1, 1}, {7, 2}},
         2},
    };
    for (const Case& k : cases) {
        c = &makeConverter();
        bootloader(40, 0x60);
        c->gestureMoveThreshold = 0.05;
        for (const ReportBuilder& r : k.reports)
            c->submitMTReport(r.span());
        for (auto [finger, index] : k.transducerOf)
            EXPECT_EQ(c->fingerToTransducerFind(finger), index)
                << k.name << ", finger " << int(finger);
        EXPECT_EQ(live().size(), k.live) << k.name;
    }
}
