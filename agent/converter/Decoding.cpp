// Touch report decoding: picks the record layout the frame uses and hands
// every contact record to the three tracking passes.
//
// Layouts: older frames (bootloader below 40) send six 10-byte records when
// their maximum touch count (high nibble of Flags) is 1..6, otherwise ten
// 6-byte records without width and height. Newer frames always send 10-byte
// records and split more than six contacts over two reports: the first with
// the total count and six records, the second with count 0 and the rest.
//
// Nothing is ever read past the report that arrived: counts larger than the
// records present are cut down to those records.
#include <algorithm>
#include <array>
#include <cstdio>

#include "agent/converter/ZyvTouchConverter.hpp"

namespace tact {
namespace {

constexpr std::size_t kRecordArea = kTouchReportCountOffset;  // records end before the count

// How many records of `size` bytes fit in the record area of this report.
std::size_t recordCapacity(std::size_t reportLength, std::size_t size) {
    std::size_t end = std::min(reportLength, kRecordArea);
    return end > 1 ? (end - 1) / size : 0;
}

std::uint8_t countByte(std::span<const std::uint8_t> report) {
    return report.size() > kTouchReportCountOffset ? report[kTouchReportCountOffset] : 0;
}

std::span<const std::uint8_t, 10> record10(std::span<const std::uint8_t> report, std::size_t i) {
    return report.subspan(1 + 10 * i).first<10>();
}

// The platform's description of a data block: hex in groups of four bytes.
std::string dataDescription(std::span<const std::uint8_t> bytes) {
    std::string out = "<";
    char hex[3];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0)
            out += ' ';
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        out += hex;
    }
    return out + ">";
}

}  // namespace

void ZyvTouchConverter::submitTimestamp(double t) {
    _logger.logf(kLogReports, "report, time:%f", t);
    dictZyvStateContext.set(kStateTimestamp, t);
}

void ZyvTouchConverter::submitMTReport(std::span<const std::uint8_t> report) {
    const double t = CFAbsoluteTimeGetCurrent();
    if (_logger.isEnabled(kLogReports)) {
        _logger.logf(kLogReports, "%f,%s;\n", t, dataDescription(report).c_str());
    }
    submitTimestamp(t);

    if (!_bootparam.isNewerDevice()) {
        const unsigned maxTouches = _bootparam.Flags & 0xF0;
        if (maxTouches >= 0x10 && maxTouches <= 0x60) {
            submitMTTouches6Points(report);
        } else {
            submitMTFakeTouches10Points(report);
        }
        submitGesture();
        postReport(report);
        return;
    }

    const std::uint8_t c = countByte(report);
    if (c >= 1 && c <= 6) {
        submitMTTouches6Points(report);
        submitGesture();
        postReport(report);
    } else if (c == 0 && prevActualCount > 6) {
        submitMTTouches10Points(report);
        submitGesture();
        postReport(report);
    } else if (c > 6) {
        prevMTReport.fill(0);
        prevMTReportLength = std::min(report.size(), prevMTReport.size());
        std::copy_n(report.begin(), prevMTReportLength, prevMTReport.begin());
    }
    prevActualCount = c;
}

void ZyvTouchConverter::submitMTTouches6Points(std::span<const std::uint8_t> report) {
    const std::size_t n =
        std::min<std::size_t>(countByte(report), recordCapacity(report.size(), 10));
    std::array<ContactRecord, 6> records;
    for (std::size_t i = 0; i < n; ++i)
        records[i] = ContactRecord::read10(record10(report, i));
    runTrackingPasses(std::span(records).first(n));
}

void ZyvTouchConverter::submitMTFakeTouches10Points(std::span<const std::uint8_t> report) {
    const std::size_t n =
        std::min<std::size_t>(countByte(report), recordCapacity(report.size(), 6));
    std::array<ContactRecord, 10> records;
    for (std::size_t i = 0; i < n; ++i)
        records[i] = ContactRecord::widen6(report.subspan(1 + 6 * i).first<6>(), _inchSize);
    runTrackingPasses(std::span(records).first(n));
}

void ZyvTouchConverter::submitMTTouches10Points(std::span<const std::uint8_t> report) {
    // The new half's records first, then the six held ones.
    const std::size_t fresh =
        std::min<std::size_t>(prevActualCount - 6, recordCapacity(report.size(), 10));
    const std::size_t held = recordCapacity(prevMTReportLength, 10);
    const std::span<const std::uint8_t> heldReport(prevMTReport.data(), prevMTReportLength);
    std::array<ContactRecord, 12> records;
    std::size_t n = 0;
    for (std::size_t i = 0; i < fresh; ++i)
        records[n++] = ContactRecord::read10(record10(report, i));
    for (std::size_t i = 0; i < held; ++i) {
        records[n++] = ContactRecord::read10(record10(heldReport, i));
    }
    runTrackingPasses(std::span(records).first(n));
}

}  // namespace tact
