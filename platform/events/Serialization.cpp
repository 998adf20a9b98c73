// The serialised form of an event (see docs/events.md):
//
//   header, 47 bytes, big-endian:
//     "TEV1", version (16 bits, 1), type (32), flags (64), timestamp (64),
//     presence (8: bit 0 location, bit 1 scroll units), x and y (IEEE doubles,
//     0 when there is no location), scroll units (32, 0 when absent)
//   field records: count (16), element type (8), tag (8), elements
//
// Element types: 0x00 64-bit integer (low 32 bits, then high 32 bits), 0x10
// byte, 0x40 32-bit integer, 0x80 64-bit IEEE double, 0xC0 32-bit IEEE float.
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "platform/events/Events.hpp"
#include "platform/log/SystemLog.hpp"

namespace platform::events {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic{'T', 'E', 'V', '1'};
constexpr std::uint16_t kVersion = 1;
constexpr std::uint8_t kHasLocation = 0x01;
constexpr std::uint8_t kHasScrollUnits = 0x02;

constexpr std::uint8_t kElementInt64 = 0x00;
constexpr std::uint8_t kElementBytes = 0x10;
constexpr std::uint8_t kElementInt32 = 0x40;
constexpr std::uint8_t kElementDouble = 0x80;
constexpr std::uint8_t kElementFloat = 0xC0;

constexpr CGEventField kGestureSubtype = 110;
constexpr std::array<CGEventField, 3> kTailAlways{110, 111, 112};
constexpr std::array<CGEventField, 2> kTailPhase{132, 133};
constexpr std::array<CGEventField, 3> kTailMagnify{113, 139, 140};
constexpr std::array<CGEventField, 1> kTailRotate{114};
constexpr std::int64_t kSubtypeRotate = 5;
constexpr std::int64_t kSubtypeMagnify = 8;

void debug(const std::string& message) {
    if (systemLogEnabled(LogLevel::Debug))
        systemLog(LogLevel::Debug, message);
}

class Writer {
  public:
    explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v >> 8));
        u8(static_cast<std::uint8_t>(v));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v >> 16));
        u16(static_cast<std::uint16_t>(v));
    }
    void u64(std::uint64_t v) {
        u32(static_cast<std::uint32_t>(v >> 32));
        u32(static_cast<std::uint32_t>(v));
    }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

    void recordHeader(std::uint16_t count, std::uint8_t element, CGEventField tag) {
        u16(count);
        u8(element);
        u8(static_cast<std::uint8_t>(tag));
    }
    void int32Record(CGEventField tag, std::int32_t v) {
        recordHeader(1, kElementInt32, tag);
        u32(static_cast<std::uint32_t>(v));
    }
    void int64Record(CGEventField tag, std::int64_t v) {
        const auto u = static_cast<std::uint64_t>(v);
        recordHeader(1, kElementInt64, tag);
        u32(static_cast<std::uint32_t>(u));
        u32(static_cast<std::uint32_t>(u >> 32));
    }
    void floatRecord(CGEventField tag, float v) {
        recordHeader(1, kElementFloat, tag);
        u32(std::bit_cast<std::uint32_t>(v));
    }
    void doubleRecord(CGEventField tag, double v) {
        recordHeader(1, kElementDouble, tag);
        f64(v);
    }

  private:
    std::vector<std::uint8_t>& out_;
};

class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    bool atEnd() const { return pos_ == data_.size(); }
    std::size_t left() const { return data_.size() - pos_; }

    bool take(std::size_t n, std::span<const std::uint8_t>& out) {
        if (left() < n)
            return false;
        out = data_.subspan(pos_, n);
        pos_ += n;
        return true;
    }
    bool u8(std::uint8_t& v) {
        std::span<const std::uint8_t> b;
        if (!take(1, b))
            return false;
        v = b[0];
        return true;
    }
    bool u16(std::uint16_t& v) {
        std::span<const std::uint8_t> b;
        if (!take(2, b))
            return false;
        v = static_cast<std::uint16_t>((b[0] << 8) | b[1]);
        return true;
    }
    bool u32(std::uint32_t& v) {
        std::span<const std::uint8_t> b;
        if (!take(4, b))
            return false;
        v = load32(b);
        return true;
    }
    bool u64(std::uint64_t& v) {
        std::uint32_t hi = 0, lo = 0;
        if (!u32(hi) || !u32(lo))
            return false;
        v = (std::uint64_t{hi} << 32) | lo;
        return true;
    }
    bool f64(double& v) {
        std::uint64_t u = 0;
        if (!u64(u))
            return false;
        v = std::bit_cast<double>(u);
        return true;
    }

    static std::uint32_t load32(std::span<const std::uint8_t> b) {
        return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
               (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
    }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

std::int64_t integerOf(const std::variant<std::int64_t, double>& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v))
        return *i;
    const double d = std::get<double>(v);
    if (std::isnan(d))
        return 0;
    if (d >= 9223372036854775808.0)
        return std::numeric_limits<std::int64_t>::max();
    if (d < -9223372036854775808.0)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

double doubleOf(const std::variant<std::int64_t, double>& v) {
    if (const auto* d = std::get_if<double>(&v))
        return *d;
    return static_cast<double>(std::get<std::int64_t>(v));
}

bool fitsInt32(std::int64_t v) {
    return v >= std::numeric_limits<std::int32_t>::min() &&
           v <= std::numeric_limits<std::int32_t>::max();
}

// True when the double survives a trip through a float unchanged.
bool isFloatExact(double v) {
    if (std::isnan(v) || std::isinf(v))
        return true;
    if (std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max()))
        return false;
    return static_cast<double>(static_cast<float>(v)) == v;
}

float toFloat(double v) {
    if (std::isnan(v) || std::isinf(v))
        return static_cast<float>(v);
    constexpr double kMax = std::numeric_limits<float>::max();
    if (v > kMax)
        return std::numeric_limits<float>::infinity();
    if (v < -kMax)
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

// The gesture fields written last, in their order, for a gesture subtype.
std::vector<CGEventField> gestureTail(std::int64_t subtype) {
    std::vector<CGEventField> tail(kTailAlways.begin(), kTailAlways.end());
    if (subtype == kSubtypeRotate || subtype == kSubtypeMagnify)
        tail.insert(tail.end(), kTailPhase.begin(), kTailPhase.end());
    if (subtype == kSubtypeMagnify)
        tail.insert(tail.end(), kTailMagnify.begin(), kTailMagnify.end());
    else if (subtype == kSubtypeRotate)
        tail.insert(tail.end(), kTailRotate.begin(), kTailRotate.end());
    return tail;
}

bool isFloatTailField(CGEventField tag) {
    return tag == 113 || tag == 114 || tag == 139 || tag == 140;
}

void writeField(Writer& w, CGEventField tag, const std::variant<std::int64_t, double>& value) {
    if (const auto* i = std::get_if<std::int64_t>(&value)) {
        if (fitsInt32(*i))
            w.int32Record(tag, static_cast<std::int32_t>(*i));
        else
            w.int64Record(tag, *i);
        return;
    }
    const double d = std::get<double>(value);
    if (isFloatExact(d))
        w.floatRecord(tag, static_cast<float>(d));
    else
        w.doubleRecord(tag, d);
}

void writeGestureData(Writer& w, const std::vector<std::uint8_t>& data) {
    if (data.size() > std::numeric_limits<std::uint16_t>::max()) {
        debug("event serialisation: gesture data of " + std::to_string(data.size()) +
              " bytes does not fit a record; left out");
        return;
    }
    w.recordHeader(static_cast<std::uint16_t>(data.size()), kElementBytes, kCGEventGestureHIDData);
    w.bytes(data);
}

}  // namespace

std::vector<std::uint8_t> CGEventCreateData(const CGEventRef& event) {
    std::vector<std::uint8_t> out;
    if (!event)
        return out;
    const CGEvent& e = *event;
    Writer w(out);
    w.bytes(kMagic);
    w.u16(kVersion);
    w.u32(e.type);
    w.u64(e.flags);
    w.u64(e.timestamp);
    std::uint8_t presence = 0;
    if (e.location)
        presence |= kHasLocation;
    if (e.scrollUnits)
        presence |= kHasScrollUnits;
    w.u8(presence);
    w.f64(e.location ? e.location->x : 0.0);
    w.f64(e.location ? e.location->y : 0.0);
    w.u32(e.scrollUnits.value_or(0));

    const bool gesture = e.type == kCGEventGesture;
    std::vector<CGEventField> tail;
    if (gesture) {
        // The tail follows the subtype as it is written: its low 32 bits.
        auto it = e.fields.find(kGestureSubtype);
        const std::int64_t subtype = it == e.fields.end() ? 0 : integerOf(it->second);
        tail = gestureTail(static_cast<std::int32_t>(static_cast<std::uint32_t>(subtype)));
    }
    auto inTail = [&](CGEventField tag) {
        for (CGEventField t : tail) {
            if (t == tag)
                return true;
        }
        return false;
    };

    // Every other field in tag order, the gesture data among them at 109.
    bool dataWritten = !e.gestureData.has_value();
    for (const auto& [tag, value] : e.fields) {
        if (!dataWritten && tag > kCGEventGestureHIDData) {
            writeGestureData(w, *e.gestureData);
            dataWritten = true;
        }
        if (inTail(tag))
            continue;
        if (tag > 255) {
            debug("event serialisation: field " + std::to_string(tag) +
                  " has no record form; left out");
            continue;
        }
        writeField(w, tag, value);
    }
    if (!dataWritten)
        writeGestureData(w, *e.gestureData);

    // The gesture fields, last and fixed in size: 8 bytes each.
    for (CGEventField tag : tail) {
        auto it = e.fields.find(tag);
        if (isFloatTailField(tag)) {
            w.floatRecord(tag, it == e.fields.end() ? 0.0f : toFloat(doubleOf(it->second)));
            continue;
        }
        const std::int64_t v = it == e.fields.end() ? 0 : integerOf(it->second);
        if (!fitsInt32(v)) {
            debug("event serialisation: gesture field " + std::to_string(tag) + " value " +
                  std::to_string(v) + " written as its low 32 bits");
        }
        w.int32Record(tag, static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
    }
    return out;
}

CGEventRef CGEventCreateFromData(std::span<const std::uint8_t> data) {
    Reader r(data);
    std::span<const std::uint8_t> magic;
    if (!r.take(kMagic.size(), magic) || !std::equal(magic.begin(), magic.end(), kMagic.begin()))
        return nullptr;
    std::uint16_t version = 0;
    auto event = std::make_unique<CGEvent>();
    std::uint8_t presence = 0;
    double x = 0, y = 0;
    std::uint32_t units = 0;
    if (!r.u16(version) || version != kVersion || !r.u32(event->type) || !r.u64(event->flags) ||
        !r.u64(event->timestamp) || !r.u8(presence) || !r.f64(x) || !r.f64(y) || !r.u32(units)) {
        return nullptr;
    }
    if ((presence & ~(kHasLocation | kHasScrollUnits)) != 0)
        return nullptr;
    if (presence & kHasLocation)
        event->location = CGPoint{x, y};
    if (presence & kHasScrollUnits)
        event->scrollUnits = units;

    while (!r.atEnd()) {
        std::uint16_t count = 0;
        std::uint8_t element = 0, tag = 0;
        if (!r.u16(count) || !r.u8(element) || !r.u8(tag))
            return nullptr;
        std::size_t size = 0;
        switch (element) {
            case kElementBytes:
                size = 1;
                break;
            case kElementInt32:
            case kElementFloat:
                size = 4;
                break;
            case kElementInt64:
            case kElementDouble:
                size = 8;
                break;
            default:
                return nullptr;
        }
        std::span<const std::uint8_t> elements;
        if (!r.take(std::size_t{count} * size, elements))
            return nullptr;

        if (element == kElementBytes) {
            if (tag == kCGEventGestureHIDData) {
                event->gestureData.emplace(elements.begin(), elements.end());
                event->fields.erase(tag);
            } else {
                debug("event data: byte record with tag " + std::to_string(tag) + " ignored");
            }
            continue;
        }
        if (count == 0)
            continue;  // an empty record sets nothing
        // A numeric record holds one value; further elements are ignored.
        std::variant<std::int64_t, double> value;
        switch (element) {
            case kElementInt32:
                value = std::int64_t{static_cast<std::int32_t>(Reader::load32(elements))};
                break;
            case kElementFloat:
                value = double{std::bit_cast<float>(Reader::load32(elements))};
                break;
            case kElementInt64: {
                const std::uint64_t lo = Reader::load32(elements.subspan(0, 4));
                const std::uint64_t hi = Reader::load32(elements.subspan(4, 4));
                value = static_cast<std::int64_t>((hi << 32) | lo);
                break;
            }
            case kElementDouble: {
                const std::uint64_t hi = Reader::load32(elements.subspan(0, 4));
                const std::uint64_t lo = Reader::load32(elements.subspan(4, 4));
                value = std::bit_cast<double>((hi << 32) | lo);
                break;
            }
        }
        event->fields[tag] = value;
        if (tag == kCGEventGestureHIDData)
            event->gestureData.reset();
    }
    return event;
}

}  // namespace platform::events
