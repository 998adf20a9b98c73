// Raw report publishing: while the touch painter is in front, every processed
// report is published as it came from the frame, before any tracking.
#include <cstdio>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "common/Notifications.hpp"

namespace tact {
namespace {

constexpr std::size_t kRecordArea = kTouchReportCountOffset;

std::size_t capacity(std::size_t length, std::size_t size) {
    const std::size_t end = std::min(length, kRecordArea);
    return end > 1 ? (end - 1) / size : 0;
}

platform::String indexed(std::string_view format, int index) {
    // The key formats hold one "%i"; the index is a small number.
    char buf[32];
    const auto at = format.find("%i");
    std::snprintf(buf, sizeof buf, "%.*s%d%.*s", static_cast<int>(at), format.data(), index,
                  static_cast<int>(format.size() - at - 2), format.data() + at + 2);
    return platform::String(buf);
}

}  // namespace

void ZyvTouchConverter::postTouch(const ContactRecord& r, int index,
                                  platform::Dictionary& dict) const {
    dict.set(indexed(kKeyFormatFingerID, index), static_cast<std::int64_t>(r.contactID));
    const platform::Point p = unitSquarePosition(r.x, r.y);
    dict.set(indexed(kKeyFormatX, index), static_cast<float>(p.x));
    dict.set(indexed(kKeyFormatY, index), 1.0f - static_cast<float>(p.y));
    dict.set(indexed(kKeyFormatWidth, index), static_cast<float>(r.width) / 32768.0f);
    dict.set(indexed(kKeyFormatHeight, index), static_cast<float>(r.height) / 32768.0f);
}

void ZyvTouchConverter::postReport(std::span<const std::uint8_t> report) {
    if (!_bTouchTestMode)
        return;
    const std::uint8_t c =
        report.size() > kTouchReportCountOffset ? report[kTouchReportCountOffset] : 0;
    auto read10 = [](std::span<const std::uint8_t> bytes, std::size_t i) {
        return ContactRecord::read10(bytes.subspan(1 + 10 * i).first<10>());
    };

    // The same layouts as decoding, and the same rule: only the records that
    // are in the report are published, and the count says how many.
    platform::Dictionary dict{{kKeyActualCount, std::int64_t{0}}};  // "ActualCount" leads
    int published = 0;
    if (!_bootparam.isNewerDevice()) {
        const unsigned maxTouches = _bootparam.Flags & 0xF0;
        if (maxTouches >= 0x10 && maxTouches <= 0x60) {
            const std::size_t n = std::min<std::size_t>(c, capacity(report.size(), 10));
            for (std::size_t i = 0; i < n; ++i)
                postTouch(read10(report, i), published++, dict);
        } else {
            const std::size_t n = std::min<std::size_t>(c, capacity(report.size(), 6));
            for (std::size_t i = 0; i < n; ++i) {
                postTouch(ContactRecord::widen6(report.subspan(1 + 6 * i).first<6>(), _inchSize),
                          published++, dict);
            }
        }
    } else if (c == 0 && prevActualCount > 6) {
        // The held first half first, then the rest from this report.
        const std::span<const std::uint8_t> held(prevMTReport.data(), prevMTReportLength);
        const std::size_t heldCount = capacity(prevMTReportLength, 10);
        for (std::size_t i = 0; i < heldCount; ++i)
            postTouch(read10(held, i), published++, dict);
        const std::size_t fresh =
            std::min<std::size_t>(prevActualCount - 6, capacity(report.size(), 10));
        for (std::size_t i = 0; i < fresh; ++i)
            postTouch(read10(report, i), published++, dict);
    } else if (c >= 1 && c <= 6) {
        const std::size_t n = std::min<std::size_t>(c, capacity(report.size(), 10));
        for (std::size_t i = 0; i < n; ++i)
            postTouch(read10(report, i), published++, dict);
    } else {
        return;
    }
    dict.set(platform::String(kKeyActualCount), static_cast<std::int64_t>(published));
    environment.notifications.post(platform::String(kMTouchReportNotification),
                                   platform::String(kMultiTouchSupportObject), dict);
}

}  // namespace tact
