// Reading the agent's raw touch reports ("MTouch Report"). The payload comes
// from another process, so nothing in it is trusted: counts are capped, keys
// may be missing or hold the wrong type, numbers may be out of range or not
// finite. Reading never fails; what cannot be used is left out and counted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "painter/MyTouch.hpp"

namespace platform {
class Dictionary;
class String;
class Value;
}  // namespace platform

namespace tact {

// The frame reports at most ten contacts; the agent never publishes more than
// it decoded. Anything above this is a broken or hostile sender.
inline constexpr int kMaxTouchesPerReport = 64;

struct TouchReport {
    // The touches to paint, in index order.
    std::vector<QuenralMTCalibratedTouch> touches;
    // "ActualCount" as sent (0 when absent or unreadable).
    std::int64_t announcedCount = 0;
    // Indices that were left out: a key missing, of the wrong type, or a
    // number that is not finite.
    int skipped = 0;
    // The count was negative, unreadable or above kMaxTouchesPerReport.
    bool countRejected = false;

    bool isClean() const { return skipped == 0 && !countRejected; }
    // One line for the log about what was wrong.
    std::string problems() const;
};

TouchReport readTouchReport(const platform::Dictionary& userInfo);

// A report key: the format's "%i" replaced by the decimal index ("%i_x" and 3
// give "3_x").
platform::String reportKey(std::string_view format, int index);

// A value read as an integer, the way the agent's numbers are meant: integers
// as they are, reals truncated toward zero (saturating), booleans as 0 or 1, a
// text by its leading decimal integer (0 when there is none). nullopt for a
// real that is not a number and for data, arrays and dictionaries.
std::optional<std::int64_t> integerValue(const platform::Value& value);

// A value read as a single-precision number: integers and reals rounded to
// the nearest float (beyond its range: infinite), booleans as 0 or 1, a text
// by its leading number (0 when there is none). nullopt for data, arrays and
// dictionaries. The result may be infinite or not a number.
std::optional<float> floatValue(const platform::Value& value);

}  // namespace tact
