#include "platform/hid/ReportDescriptor.hpp"

#include "tests/platform/hid/Descriptors.hpp"
#include "tests/support/ResultChecks.hpp"

#include <gtest/gtest.h>

#include <random>

namespace {

using platform::hid::parseReportDescriptor;
using platform::hid::ReportDescriptorInfo;
using platform::hid::ReportSizes;
using platform::hid::UsagePair;
using namespace tact::test::hid;

ReportDescriptorInfo parsed(const Bytes& d) {
    return tact::test::valueOf(parseReportDescriptor(d));
}

std::string failure(const Bytes& d) {
    const std::string error = tact::test::errorOf(parseReportDescriptor(d));
    EXPECT_FALSE(error.empty());
    return error;
}

TEST(ReportDescriptor, FrameTouchInterface) {
    auto info = parsed(frameTouchDescriptor());
    EXPECT_EQ(info.applicationCollections, (std::vector<UsagePair>{{13, 4}}));
    EXPECT_TRUE(info.usesReportIDs);
    EXPECT_EQ(info.reports, (std::vector<ReportSizes>{{10, 62, 0, 2}, {11, 0, 0, 3}}));
    EXPECT_EQ(info.maxInputReportSize, 62u);
    EXPECT_EQ(info.maxOutputReportSize, 0u);
    EXPECT_EQ(info.maxFeatureReportSize, 3u);
}

TEST(ReportDescriptor, FrameTouchInterfaceCarryingTheDebugChannel) {
    auto info = parsed(frameTouchDescriptor(true));
    // The vendor reports live inside the touch collection: still one pair.
    EXPECT_EQ(info.applicationCollections, (std::vector<UsagePair>{{13, 4}}));
    EXPECT_EQ(info.reports, (std::vector<ReportSizes>{
                                {1, 64, 0, 0}, {2, 0, 63, 0}, {10, 62, 0, 2}, {11, 0, 0, 3}}));
    EXPECT_EQ(info.maxInputReportSize, 64u);
    EXPECT_EQ(info.maxOutputReportSize, 63u);
}

TEST(ReportDescriptor, FrameDebugInterface) {
    auto info = parsed(frameDebugDescriptor());
    EXPECT_EQ(info.applicationCollections, (std::vector<UsagePair>{{255, 1}}));
    EXPECT_TRUE(info.usesReportIDs);
    EXPECT_EQ(info.reports, (std::vector<ReportSizes>{{1, 64, 0, 0}, {2, 0, 63, 63}}));
    ASSERT_NE(info.report(2), nullptr);
    EXPECT_EQ(info.report(2)->outputBytes, 63u);
    EXPECT_EQ(info.report(7), nullptr);
    EXPECT_EQ(info.maxInputReportSize, 64u);
    EXPECT_EQ(info.maxOutputReportSize, 63u);
    EXPECT_EQ(info.maxFeatureReportSize, 63u);
}

TEST(ReportDescriptor, CommonDevicesWithoutReportIDs) {
    auto keyboard = parsed(bootKeyboardDescriptor());
    EXPECT_EQ(keyboard.applicationCollections, (std::vector<UsagePair>{{1, 6}}));
    EXPECT_FALSE(keyboard.usesReportIDs);
    EXPECT_EQ(keyboard.reports, (std::vector<ReportSizes>{{0, 8, 1, 0}}));

    // The nested physical collection is not a top-level application.
    auto mouse = parsed(bootMouseDescriptor());
    EXPECT_EQ(mouse.applicationCollections, (std::vector<UsagePair>{{1, 2}}));
    EXPECT_EQ(mouse.maxInputReportSize, 3u);
    EXPECT_EQ(mouse.maxOutputReportSize, 0u);
}

TEST(ReportDescriptor, SeveralTopLevelCollectionsAndReportIDs) {
    auto info = parsed(keyboardWithMediaKeysDescriptor());
    EXPECT_EQ(info.applicationCollections, (std::vector<UsagePair>{{1, 6}, {12, 1}}));
    EXPECT_EQ(info.reports, (std::vector<ReportSizes>{{1, 8, 0, 0}, {2, 3, 0, 0}}));
    EXPECT_EQ(info.maxInputReportSize, 8u);
}

TEST(ReportDescriptor, UsagesAndGlobals) {
    // A four-byte usage carries its own page; the collection takes the first
    // usage; push and pop restore the globals (report size 8 after the pop).
    auto info = parsed({0x05, 0x01,                    // Usage Page (Generic Desktop)
                        0x0B, 0x01, 0x00, 0x0D, 0x00,  // Usage (Digitizer: 1), extended
                        0x09, 0x02,                    // a second usage, ignored
                        0xA1, 0x01,                    // Collection (Application)
                        0x75, 0x08, 0x95, 0x01,        //   8 bits x 1
                        0xA4,                          //   Push
                        0x75, 0x20,                    //   Report Size (32)
                        0x81, 0x02,                    //   Input: 4 bytes
                        0xB4,                          //   Pop
                        0x81, 0x02,                    //   Input: 1 byte
                        0xFE, 0x02, 0x10, 0xAA, 0xBB,  //   a long item, skipped
                        0xC0});
    EXPECT_EQ(info.applicationCollections, (std::vector<UsagePair>{{0x0D, 1}}));
    EXPECT_EQ(info.maxInputReportSize, 5u);

    // An application collection without a usage still counts, with usage 0;
    // a report of 12 bits takes two bytes.
    auto bare = parsed({0x06, 0x00, 0xFF, 0xA1, 0x01, 0x75, 0x0C, 0x95, 0x01, 0xB1, 0x02, 0xC0});
    EXPECT_EQ(bare.applicationCollections, (std::vector<UsagePair>{{0xFF00, 0}}));
    EXPECT_EQ(bare.maxFeatureReportSize, 2u);

    // Empty: a clean result describing nothing.
    auto empty = parsed({});
    EXPECT_TRUE(empty.applicationCollections.empty());
    EXPECT_TRUE(empty.reports.empty());
}

TEST(ReportDescriptor, TruncatedItemsFail) {
    failure({0x05});                          // usage page without its byte
    failure({0x26, 0xFF});                    // two-byte item with one byte
    failure({0x27, 0x01, 0x02, 0x03});        // four-byte item with three
    failure({0xFE});                          // long item without its header
    failure({0xFE, 0x05, 0x00, 0x01, 0x02});  // long item with 2 of 5 data bytes

    // Every proper prefix of a real descriptor that reaches into its
    // collection is either truncated or leaves the collection open: none
    // passes, and none reads past its end.
    const Bytes full = frameTouchDescriptor(true);
    for (std::size_t n = 6; n < full.size(); ++n) {
        Bytes prefix(full.begin(), full.begin() + static_cast<long>(n));
        EXPECT_FALSE(parseReportDescriptor(prefix)) << "prefix of " << n << " bytes";
    }
}

TEST(ReportDescriptor, UnbalancedCollectionsFail) {
    failure({0xC0});
    failure({0x09, 0x01, 0xA1, 0x01});
    failure({0xA1, 0x01, 0xC0, 0xC0});

    Bytes deep;
    for (int i = 0; i < 64; ++i)
        deep.insert(deep.end(), {0xA1, 0x02});
    deep.insert(deep.end(), 64, 0xC0);
    parsed(deep);  // 64 levels are fine
    Bytes deeper;
    for (int i = 0; i < 65; ++i)
        deeper.insert(deeper.end(), {0xA1, 0x02});
    deeper.insert(deeper.end(), 65, 0xC0);
    failure(deeper);
}

TEST(ReportDescriptor, HostileSizesAndIdsFail) {
    failure({0x85, 0x00});                                            // report ID 0
    failure({0x87, 0x00, 0x01, 0x00, 0x00});                          // report ID 256
    failure({0x77, 0x00, 0x00, 0x01, 0x00, 0x95, 0x01, 0x81, 0x02});  // 65536-bit field
    failure({0x76, 0x01, 0x01, 0x95, 0x01, 0x81, 0x02});              // 257-bit field
    failure({0x75, 0x08, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02});  // 4 G fields
    failure({0x75, 0x08, 0x96, 0x01, 0x40, 0x81, 0x02});              // 16385 bytes in one report

    // Many main items that add up past the limit.
    Bytes many = {0x76, 0x00, 0x01, 0x96, 0xFF, 0x00};  // 256 bits x 255 = 8160 bytes
    many.insert(many.end(), {0x81, 0x02, 0x81, 0x02});
    parsed(many);  // 16320 bytes
    many.insert(many.end(), {0x81, 0x02});
    failure(many);

    failure({0xB4});  // pop with nothing pushed
    Bytes pushes(17, 0xA4);
    failure(pushes);
    parsed(Bytes(16, 0xA4));
}

TEST(ReportDescriptor, RandomBytesNeverCrash) {
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 300);
    for (int round = 0; round < 20000; ++round) {
        Bytes d(static_cast<std::size_t>(length(random)));
        for (auto& b : d)
            b = static_cast<std::uint8_t>(byte(random));
        auto info = parseReportDescriptor(d);
        if (info) {
            for (const auto& r : info->reports) {
                EXPECT_LE(r.inputBytes, 16385u);
                EXPECT_LE(r.outputBytes, 16385u);
                EXPECT_LE(r.featureBytes, 16385u);
            }
        } else {
            EXPECT_FALSE(info.error().detail.empty());
        }
    }
}

}  // namespace
