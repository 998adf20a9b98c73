// Reading "MTouch Report" payloads: what the agent sends comes out exactly;
// anything else is capped, skipped or read the forgiving way, never trusted.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/Notifications.hpp"
#include "painter/ReportReader.hpp"
#include "platform/values/Value.hpp"

namespace tact {
namespace {

platform::Dictionary contact(int i, platform::Value id, platform::Value x, platform::Value y,
                             platform::Value w, platform::Value h) {
    return platform::Dictionary{{reportKey(kKeyFormatFingerID, i), std::move(id)},
                                {reportKey(kKeyFormatX, i), std::move(x)},
                                {reportKey(kKeyFormatY, i), std::move(y)},
                                {reportKey(kKeyFormatWidth, i), std::move(w)},
                                {reportKey(kKeyFormatHeight, i), std::move(h)}};
}

platform::Dictionary withCount(platform::Value count, const platform::Dictionary& contacts) {
    platform::Dictionary info{{kKeyActualCount, std::move(count)}};
    for (const auto& [key, value] : contacts)
        info.set(key, value);
    return info;
}

platform::Dictionary merged(std::initializer_list<platform::Dictionary> parts) {
    platform::Dictionary all;
    for (const auto& part : parts)
        for (const auto& [key, value] : part)
            all.set(key, value);
    return all;
}

TEST(PaintReportReading, KeysAreTheFormatsAppliedToTheIndex) {
    EXPECT_EQ(reportKey(kKeyFormatX, 0), platform::String("0_x"));
    EXPECT_EQ(reportKey(kKeyFormatFingerID, 12), platform::String("12_FingerID"));
    EXPECT_EQ(reportKey(kKeyFormatHeight, 7), platform::String("7_Height"));
}

TEST(PaintReportReading, TheAgentsPayloadComesOutExactly) {
    // What the agent publishes for one uncalibrated 10-byte record.
    const auto info = withCount(
        1, contact(0, std::int64_t{5}, 0.5f, 0.75f, 0.0999755859375f, 0.199981689453125f));
    const TouchReport report = readTouchReport(info);
    EXPECT_TRUE(report.isClean());
    ASSERT_EQ(report.touches.size(), 1u);
    const QuenralMTCalibratedTouch& t = report.touches[0];
    EXPECT_EQ(t.identity, 5);
    EXPECT_EQ(t.x, 0.5f);
    EXPECT_EQ(t.y, 0.75f);
    EXPECT_EQ(t.width, 0.0999755859375f);
    EXPECT_EQ(t.height, 0.199981689453125f);

    const MyTouch touch = MyTouch::InitWithReport(t);
    EXPECT_EQ(touch.identity, 5);
    EXPECT_EQ(touch.normalizedPosition, QPointF(0.5, 0.75));
    EXPECT_EQ(touch._width, 0.0999755859375f);
    EXPECT_EQ(touch._height, 0.199981689453125f);

    // Indices keep their order; identifiers keep their low eight bits.
    const auto two = withCount(2, merged({contact(0, 300, 0.1f, 0.2f, 0.01f, 0.01f),
                                          contact(1, -1, 0.3f, 0.4f, 0.02f, 0.02f)}));
    const TouchReport second = readTouchReport(two);
    ASSERT_EQ(second.touches.size(), 2u);
    EXPECT_EQ(second.touches[0].identity, 44);
    EXPECT_EQ(second.touches[0].x, 0.1f);
    EXPECT_EQ(second.touches[1].identity, 255);
    EXPECT_EQ(second.touches[1].y, 0.4f);
}

TEST(PaintReportReading, CountsAreReadForgivinglyAndCapped) {
    const auto contacts =
        merged({contact(0, 1, 0.1f, 0.1f, 0.1f, 0.1f), contact(1, 2, 0.2f, 0.2f, 0.1f, 0.1f),
                contact(2, 3, 0.3f, 0.3f, 0.1f, 0.1f)});
    // No count: no touches, whatever else is there.
    EXPECT_TRUE(readTouchReport(contacts).touches.empty());
    EXPECT_TRUE(readTouchReport(contacts).isClean());
    // Fewer than are there: only those.
    EXPECT_EQ(readTouchReport(withCount(2, contacts)).touches.size(), 2u);
    // Reals are truncated, texts give their leading integer, booleans 0 or 1.
    EXPECT_EQ(readTouchReport(withCount(2.9, contacts)).touches.size(), 2u);
    EXPECT_EQ(readTouchReport(withCount("3 touches", contacts)).touches.size(), 3u);
    EXPECT_EQ(readTouchReport(withCount("none", contacts)).touches.size(), 0u);
    EXPECT_EQ(readTouchReport(withCount(true, contacts)).touches.size(), 1u);

    for (const platform::Value& bad :
         {platform::Value(-1), platform::Value(std::int64_t{1} << 62), platform::Value(1e300),
          platform::Value(-1e300), platform::Value(std::numeric_limits<double>::quiet_NaN()),
          platform::Value("99999999999999999999"), platform::Value(platform::Array{1}),
          platform::Value(platform::Dictionary{})}) {
        const TouchReport report = readTouchReport(withCount(bad, contacts));
        EXPECT_FALSE(report.isClean()) << platform::describe(bad);
        EXPECT_FALSE(report.problems().empty());
        EXPECT_LE(report.touches.size(), 3u) << platform::describe(bad);
    }
    // A huge count reads what is there and skips the rest, up to the cap.
    const TouchReport huge = readTouchReport(withCount(std::int64_t{1} << 62, contacts));
    EXPECT_EQ(huge.touches.size(), 3u);
    EXPECT_EQ(huge.skipped, kMaxTouchesPerReport - 3);
    EXPECT_TRUE(huge.countRejected);
}

TEST(PaintReportReading, ContactsWithMissingOrUnusableKeysAreSkipped) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const platform::Dictionary good = contact(0, 1, 0.5f, 0.5f, 0.1f, 0.1f);
    std::vector<platform::Dictionary> bad;
    for (const char* key : {"0_FingerID", "0_x", "0_y", "0_Width", "0_Height"}) {
        platform::Dictionary missing = good;
        missing.erase(key);
        bad.push_back(missing);
        for (const platform::Value& wrong :
             {platform::Value(platform::Array{}), platform::Value(platform::Dictionary{}),
              platform::Value(platform::Data{1, 2})}) {
            platform::Dictionary d = good;
            d.set(key, wrong);
            bad.push_back(d);
        }
        if (std::string_view(key) != "0_FingerID") {
            for (double number : {nan, inf, -inf, 1e300}) {
                platform::Dictionary d = good;
                d.set(key, number);
                bad.push_back(d);
            }
        } else {
            platform::Dictionary d = good;
            d.set(key, nan);
            bad.push_back(d);
        }
    }
    for (const auto& contacts : bad) {
        // The bad contact first, a good one after it.
        platform::Dictionary info = withCount(2, contacts);
        for (const auto& [key, value] : contact(1, 7, 0.25f, 0.25f, 0.1f, 0.1f))
            info.set(key, value);
        const TouchReport report = readTouchReport(info);
        EXPECT_EQ(report.skipped, 1);
        EXPECT_FALSE(report.countRejected);
        ASSERT_EQ(report.touches.size(), 1u);
        EXPECT_EQ(report.touches[0].identity, 7);
    }

    // Texts and booleans are numbers too; huge identifiers saturate.
    const TouchReport texts =
        readTouchReport(withCount(1, contact(0, "258", "0.5", " 0.25", true, false)));
    ASSERT_EQ(texts.touches.size(), 1u);
    EXPECT_EQ(texts.touches[0].identity, 2);
    EXPECT_EQ(texts.touches[0].x, 0.5f);
    EXPECT_EQ(texts.touches[0].y, 0.25f);
    EXPECT_EQ(texts.touches[0].width, 1.0f);
    EXPECT_EQ(texts.touches[0].height, 0.0f);
    const TouchReport real = readTouchReport(withCount(1, contact(0, 300.9, 0, 1, 0, 0)));
    ASSERT_EQ(real.touches.size(), 1u);
    EXPECT_EQ(real.touches[0].identity, 44);
    EXPECT_EQ(readTouchReport(withCount(1, contact(0, 1e300, 0, 1, 0, 0))).touches.size(), 1u);
}

}  // namespace
}  // namespace tact
