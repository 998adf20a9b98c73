// What the fuzz targets share: a reader that takes the input front to back
// (so seed inputs are easy to write by hand, see fuzz/make_seeds.py), and a
// decoder that turns bytes into property-list values of any shape, with keys
// drawn mostly from the ones the programs look for.
//
// Value encoding (one type byte, then its payload):
//   0 boolean (1 byte)           1 integer from a table of edge cases (1 byte)
//   2 integer (8 bytes, LE)      3 real from a table of edge cases (1 byte)
//   4 real (8 bytes, LE bits)    5 ASCII text (length byte, bytes)
//   6 UTF-16 text (length byte, units LE: NUL, lone surrogates...)
//   7 data (length byte, bytes)  8 array (count byte, values)
//   9 dictionary (count byte, entries: key, value)
//  10 a chain of nested arrays and dictionaries (depth: 2 bytes, up to 600)
// Keys: one byte indexing the table of known keys; the per-contact formats
// ("%i_x", ...) take an index byte (signed) after it; 255 is a UTF-16 text key.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "platform/values/Value.hpp"

namespace tact::fuzz {

class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool atEnd() const { return at_ >= bytes_.size(); }
    std::size_t remaining() const { return bytes_.size() - at_; }

    std::uint8_t u8() { return atEnd() ? 0 : bytes_[at_++]; }
    std::uint16_t u16() {
        std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint64_t u64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= std::uint64_t{u8()} << (8 * i);
        return v;
    }
    // Up to n bytes (fewer at the end of the input).
    std::vector<std::uint8_t> bytes(std::size_t n) {
        n = std::min(n, remaining());
        std::vector<std::uint8_t> out(bytes_.begin() + static_cast<long>(at_),
                                      bytes_.begin() + static_cast<long>(at_ + n));
        at_ += n;
        return out;
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// The keys the agent, the calibrator and the painter read, and some they send.
inline const std::vector<std::string>& knownKeys() {
    static const std::vector<std::string> keys = {
        // control keys (indices 0..5)
        "calibrateInProgress", "PreferenceReload", "LogTrigger", "LogURL", "NeedSerialNumber",
        "TouchTestMode",
        // agent notification keys
        "TapLocation", "ActualCount", "touchX", "touchY", "Driver Version", "IsDeviceReady",
        "SerialNumber", "BOOTPARAM", "Type", "ShipTime", "ShipDate", "ProductID",
        "ActiveTouchCount", "identity", "transducerIndex", "quality",
        // per-contact formats: an index byte follows (indices 22..26)
        "%i_FingerID", "%i_x", "%i_y", "%i_Width", "%i_Height"};
    return keys;
}
inline constexpr std::size_t kFirstFormatKey = 22;

inline platform::String decodeKey(Reader& in) {
    const std::uint8_t k = in.u8();
    const auto& keys = knownKeys();
    if (k == 255) {
        std::u16string units;
        for (std::size_t n = in.u8() % 24; n > 0 && !in.atEnd(); --n)
            units.push_back(static_cast<char16_t>(in.u16()));
        return platform::String::fromUnits(std::move(units));
    }
    const std::size_t index = k % keys.size();
    if (index < kFirstFormatKey)
        return platform::String(keys[index]);
    const int contact = static_cast<std::int8_t>(in.u8());
    std::string key = keys[index];
    key.replace(0, 2, std::to_string(contact));
    return platform::String(key);
}

inline platform::Value decodeValue(Reader& in, int depth);

inline platform::Dictionary decodeDictionary(Reader& in, int depth) {
    platform::Dictionary d;
    for (std::size_t n = in.u8() % 12; n > 0 && !in.atEnd(); --n) {
        platform::String key = decodeKey(in);
        d.set(key, decodeValue(in, depth + 1));
    }
    return d;
}

inline platform::Value decodeValue(Reader& in, int depth) {
    constexpr int kMaxRecursion = 24;  // deeper shapes come from type 10
    static const std::int64_t integers[] = {
        0,
        1,
        -1,
        2,
        10,
        64,
        65,
        100,
        255,
        256,
        65535,
        std::numeric_limits<std::int32_t>::max(),
        std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1,
        std::numeric_limits<std::int32_t>::min(),
        std::int64_t{std::numeric_limits<std::int32_t>::min()} - 1,
        std::numeric_limits<std::uint32_t>::max(),
        std::numeric_limits<std::int64_t>::max(),
        std::numeric_limits<std::int64_t>::min()};
    static const double reals[] = {0.0,
                                   -0.0,
                                   0.5,
                                   1.0,
                                   -1.0,
                                   1e9,
                                   2147483648.0,
                                   -2147483649.0,
                                   9223372036854775808.0,
                                   -9223372036854775808.0,
                                   1e308,
                                   -1e308,
                                   std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN(),
                                   std::numeric_limits<double>::denorm_min(),
                                   3.4028235677973366e38,
                                   1e39};
    const std::uint8_t type = in.u8() % 11;
    switch (type) {
        case 0:
            return (in.u8() & 1) != 0;
        case 1:
            return integers[in.u8() % std::size(integers)];
        case 2:
            return static_cast<std::int64_t>(in.u64());
        case 3:
            return reals[in.u8() % std::size(reals)];
        case 4: {
            const std::uint64_t bits = in.u64();
            double d;
            std::memcpy(&d, &bits, sizeof d);
            return d;
        }
        case 5: {
            auto b = in.bytes(in.u8());
            return platform::String(
                std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
        }
        case 6: {
            std::u16string units;
            for (std::size_t n = in.u8(); n > 0 && !in.atEnd(); --n)
                units.push_back(static_cast<char16_t>(in.u16()));
            return platform::String::fromUnits(std::move(units));
        }
        case 7:
            return platform::Data(in.bytes(in.u8()));
        case 8: {
            if (depth >= kMaxRecursion)
                return platform::Array{};
            platform::Array a;
            for (std::size_t n = in.u8() % 12; n > 0 && !in.atEnd(); --n)
                a.push_back(decodeValue(in, depth + 1));
            return a;
        }
        case 9:
            if (depth >= kMaxRecursion)
                return platform::Dictionary{};
            return decodeDictionary(in, depth);
        default: {
            // Nested containers, innermost first: arrays on even levels,
            // single-key dictionaries on odd ones.
            const std::size_t levels = in.u16() % 600;
            platform::Value v = static_cast<std::int64_t>(levels);
            for (std::size_t i = 0; i < levels; ++i) {
                if (i % 2 == 0)
                    v = platform::Array{std::move(v)};
                else
                    v = platform::Dictionary{{"k", std::move(v)}};
            }
            return v;
        }
    }
}

}  // namespace tact::fuzz

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace tact::fuzz {

// A folder of the fuzz run's own, removed when the process ends.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tact-fuzz-XXXXXX").string();
        if (char* made = mkdtemp(pattern.data()))
            path_ = made;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Control payloads may name a log file: a fuzzed path must never reach the
// real file system, so a plain-text "LogURL" becomes a file in dir (one that
// exists, or one that does not). Other types are left for the agent to refuse.
inline void confineLogPath(platform::Dictionary& d, const std::string& dir) {
    platform::Value* url = d.find(platform::String("LogURL"));
    if (!url || !url->asString() || !url->asString()->isPlainText())
        return;
    const bool existing = url->asString()->size() % 2 == 0;
    const std::string path = dir + (existing ? "/agent.log" : "/missing/agent.log");
    if (existing)
        std::ofstream{path};  // created, or emptied so it never grows
    *url = platform::String(path);
}

}  // namespace tact::fuzz

namespace tact::fuzz {

// Deep equality in which a NaN equals a NaN (and -0.0 differs from 0.0), for
// round trips of values that may hold them.
inline bool sameValue(const platform::Value& a, const platform::Value& b) {
    if (a.type() != b.type())
        return false;
    if (auto x = a.asReal()) {
        const double y = *b.asReal();
        return (std::isnan(*x) && std::isnan(y)) ||
               (*x == y && std::signbit(*x) == std::signbit(y));
    }
    if (auto x = a.asArray()) {
        const auto& y = *b.asArray();
        if (x->size() != y.size())
            return false;
        for (std::size_t i = 0; i < x->size(); ++i)
            if (!sameValue((*x)[i], y[i]))
                return false;
        return true;
    }
    if (auto x = a.asDictionary()) {
        const auto& y = *b.asDictionary();
        if (x->size() != y.size())
            return false;
        for (const auto& [key, value] : *x) {
            const platform::Value* other = y.find(key);
            if (!other || !sameValue(value, *other))
                return false;
        }
        return true;
    }
    return a == b;
}

// True when every string in v (keys included) is plain text, the only kind
// the property-list writers carry unchanged.
inline bool allPlainText(const platform::Value& v) {
    if (auto s = v.asString())
        return s->isPlainText();
    if (auto a = v.asArray())
        return std::all_of(a->begin(), a->end(), allPlainText);
    if (auto d = v.asDictionary()) {
        for (const auto& [key, value] : *d)
            if (!key.isPlainText() || !allPlainText(value))
                return false;
    }
    return true;
}

}  // namespace tact::fuzz
