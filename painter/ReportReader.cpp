#include "painter/ReportReader.hpp"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "common/Notifications.hpp"
#include "platform/values/Value.hpp"

namespace tact {
namespace {

constexpr double kInt64Limit = 9223372036854775808.0;  // 2^63

std::int64_t parseLeadingInteger(const platform::String& text) {
    const std::string utf8 = text.toUtf8Lossy();
    // strtoll saturates at its limits on overflow, which is what we want.
    return static_cast<std::int64_t>(std::strtoll(utf8.c_str(), nullptr, 10));
}

float parseLeadingFloat(const platform::String& text) {
    const std::string utf8 = text.toUtf8Lossy();
    return std::strtof(utf8.c_str(), nullptr);
}

float toFloat(double d) {
    if (std::isnan(d))
        return std::numeric_limits<float>::quiet_NaN();
    if (d > static_cast<double>(FLT_MAX))
        return std::numeric_limits<float>::infinity();
    if (d < -static_cast<double>(FLT_MAX))
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

// One finite float under key, or nullopt.
std::optional<float> finiteFloat(const platform::Dictionary& info, const platform::String& key) {
    const platform::Value* value = info.find(key);
    if (!value)
        return std::nullopt;
    auto f = floatValue(*value);
    if (!f || !std::isfinite(*f))
        return std::nullopt;
    return f;
}

}  // namespace

std::string TouchReport::problems() const {
    std::string text;
    if (countRejected) {
        text += "\"" + std::string(kKeyActualCount) + "\" " + std::to_string(announcedCount) +
                " is not a usable count (0 to " + std::to_string(kMaxTouchesPerReport) + ")";
    }
    if (skipped > 0) {
        if (!text.empty())
            text += "; ";
        text += std::to_string(skipped) + (skipped == 1 ? " contact was" : " contacts were") +
                " left out (a key missing, of the wrong type or not a finite number)";
    }
    return text;
}

platform::String reportKey(std::string_view format, int index) {
    std::string key(format);
    const auto at = key.find("%i");
    if (at != std::string::npos)
        key.replace(at, 2, std::to_string(index));
    return platform::String(key);
}

std::optional<std::int64_t> integerValue(const platform::Value& value) {
    if (auto i = value.asInteger())
        return *i;
    if (auto d = value.asReal()) {
        if (std::isnan(*d))
            return std::nullopt;
        if (*d >= kInt64Limit)
            return std::numeric_limits<std::int64_t>::max();
        if (*d <= -kInt64Limit)
            return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(*d);
    }
    if (auto b = value.asBoolean())
        return *b ? 1 : 0;
    if (const platform::String* s = value.asString())
        return parseLeadingInteger(*s);
    return std::nullopt;
}

std::optional<float> floatValue(const platform::Value& value) {
    if (auto i = value.asInteger())
        return static_cast<float>(*i);
    if (auto d = value.asReal())
        return toFloat(*d);
    if (auto b = value.asBoolean())
        return *b ? 1.0f : 0.0f;
    if (const platform::String* s = value.asString())
        return parseLeadingFloat(*s);
    return std::nullopt;
}

TouchReport readTouchReport(const platform::Dictionary& userInfo) {
    TouchReport report;
    // An absent count means no touches.
    std::int64_t count = 0;
    if (const platform::Value* value = userInfo.find(kKeyActualCount)) {
        auto n = integerValue(*value);
        if (!n) {
            report.countRejected = true;
        } else {
            report.announcedCount = *n;
            count = *n;
        }
    }
    if (count < 0) {
        report.countRejected = true;
        count = 0;
    } else if (count > kMaxTouchesPerReport) {
        report.countRejected = true;
        count = kMaxTouchesPerReport;
    }

    report.touches.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < static_cast<int>(count); ++i) {
        const platform::Value* finger = userInfo.find(reportKey(kKeyFormatFingerID, i));
        const auto identity = finger ? integerValue(*finger) : std::nullopt;
        const auto x = finiteFloat(userInfo, reportKey(kKeyFormatX, i));
        const auto y = finiteFloat(userInfo, reportKey(kKeyFormatY, i));
        const auto width = finiteFloat(userInfo, reportKey(kKeyFormatWidth, i));
        const auto height = finiteFloat(userInfo, reportKey(kKeyFormatHeight, i));
        if (!identity || !x || !y || !width || !height) {
            ++report.skipped;
            continue;
        }
        QuenralMTCalibratedTouch touch;
        // The record keeps the identifier's low eight bits.
        touch.identity = static_cast<std::uint8_t>(static_cast<std::uint64_t>(*identity) & 0xFF);
        touch.x = *x;
        touch.y = *y;
        touch.width = *width;
        touch.height = *height;
        report.touches.push_back(touch);
    }
    return report;
}

}  // namespace tact
