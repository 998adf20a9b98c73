#include "platform/values/Value.hpp"

#include "platform/values/Utf.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <random>

namespace platform {

String::String(std::string_view utf8) {
    // Decodes UTF-8; every byte that does not start a valid sequence becomes
    // U+FFFD, so text from outside never yields a malformed string.
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    units_.reserve(n);
    for (std::size_t i = 0; i < n;) {
        unsigned char c = p[i];
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else {
            std::size_t need = (c >= 0xC2 && c <= 0xDF)   ? 1
                               : (c >= 0xE0 && c <= 0xEF) ? 2
                               : (c >= 0xF0 && c <= 0xF4) ? 3
                                                          : 0;
            if (need != 0) {
                char32_t v = c & (0x3F >> need);
                bool ok = true;
                for (std::size_t k = 1; ok && k <= need; ++k) {
                    if (i + k >= n || (p[i + k] & 0xC0) != 0x80) {
                        ok = false;
                        len = k;  // a cut-off sequence is replaced once, as a whole
                    } else {
                        v = (v << 6) | (p[i + k] & 0x3F);
                    }
                }
                static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
                if (ok && v >= kMin[need] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
                    cp = v;
                    len = need + 1;
                }
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units_.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            units_.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            units_.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
}

String String::fromUnits(std::u16string units) {
    String s;
    s.units_ = std::move(units);
    return s;
}

bool String::isWellFormed() const {
    bool ok = true;
    utf::forEachCodePoint(units_, [&](char32_t, bool wellFormed) { ok = ok && wellFormed; });
    return ok;
}

bool String::isPlainText() const {
    return isWellFormed() && units_.find(u'\0') == std::u16string::npos;
}

std::optional<std::string> String::utf8() const {
    if (!isWellFormed())
        return std::nullopt;
    return toUtf8Lossy();
}

std::string String::toUtf8Lossy() const {
    std::string out;
    out.reserve(units_.size());
    utf::forEachCodePoint(units_, [&](char32_t cp, bool wellFormed) {
        utf::appendUtf8(out, wellFormed ? cp : 0xFFFD);
    });
    return out;
}

namespace {

std::uint64_t hashSeed() {
    static const std::uint64_t seed = [] {
        std::uint64_t s = 0x9E3779B97F4A7C15ull;
        try {
            std::random_device device;
            s ^= (std::uint64_t{device()} << 32) | device();
        } catch (...) {
            // No entropy source: the address of a local still varies a
            // little from run to run, and the limits on what a message or a
            // file may hold bound the cost of collisions anyway.
            int local = 0;
            s ^= reinterpret_cast<std::uintptr_t>(&local);
        }
        return s;
    }();
    return seed;
}

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

// A seeded hash of the key's code units, four at a time.
std::uint32_t hashKey(const String& key) {
    const std::u16string& u = key.units();
    const char16_t* p = u.data();
    const std::size_t n = u.size();
    std::uint64_t h = hashSeed() ^ (n * 0x9E3779B97F4A7C15ull);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        std::uint64_t w = 0;
        std::memcpy(&w, p + i, sizeof w);
        h = std::rotl((h ^ w) * 0x87C37B91114253D5ull, 31) * 0x4CF5AD432745937Full;
    }
    if (i < n) {
        std::uint64_t w = 0;
        std::memcpy(&w, p + i, (n - i) * sizeof(char16_t));
        h = std::rotl((h ^ w) * 0x87C37B91114253D5ull, 31) * 0x4CF5AD432745937Full;
    }
    return static_cast<std::uint32_t>(mix(h));
}

}  // namespace

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    for (const auto& e : entries)
        set(e.first, e.second);
}

Dictionary::Dictionary(const Dictionary& other)
    : entries_(other.entries_),
      index_(other.index_ ? std::make_unique<Index>(*other.index_) : nullptr) {}

Dictionary& Dictionary::operator=(const Dictionary& other) {
    if (this != &other) {
        entries_ = other.entries_;
        if (!other.index_) {
            index_.reset();
        } else if (index_) {
            index_->buckets = other.index_->buckets;
        } else {
            index_ = std::make_unique<Index>(*other.index_);
        }
    }
    return *this;
}

Dictionary::Place Dictionary::locate(const String& key) const {
    const std::size_t n = entries_.size();
    if (!index_) {
        for (std::size_t i = 0; i < n; ++i) {
            if (entries_[i].first == key)
                return {i, 0, 0};
        }
        return {n, 0, 0};
    }
    const std::vector<Slot>& buckets = index_->buckets;
    const std::size_t mask = buckets.size() - 1;
    const std::uint32_t hash = hashKey(key);
    for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
        const Slot& slot = buckets[s];
        if (slot.entry == kEmpty)
            return {n, s, hash};
        if (slot.hash == hash && entries_[slot.entry].first == key)
            return {slot.entry, s, hash};
    }
}

void Dictionary::insertSlot(std::uint32_t entry, std::uint32_t hash) {
    std::vector<Slot>& buckets = index_->buckets;
    const std::size_t mask = buckets.size() - 1;
    std::size_t s = hash & mask;
    while (buckets[s].entry != kEmpty)
        s = (s + 1) & mask;
    buckets[s] = Slot{entry, hash};
}

void Dictionary::buildIndex() {
    // At most half the buckets in use once every entry is in.
    const std::size_t wanted = std::bit_ceil(std::max<std::size_t>(entries_.size() * 2, 32));
    if (!index_)
        index_ = std::make_unique<Index>();
    std::vector<Slot> old;
    old.swap(index_->buckets);
    index_->buckets.assign(wanted, Slot{kEmpty, 0});
    if (old.empty()) {
        for (std::size_t i = 0; i < entries_.size(); ++i)
            insertSlot(static_cast<std::uint32_t>(i), hashKey(entries_[i].first));
        return;
    }
    for (const Slot& slot : old) {
        if (slot.entry != kEmpty)
            insertSlot(slot.entry, slot.hash);
    }
}

// Backward-shift deletion: later buckets of the same probe run move up, so
// that no lookup stops early at the freed slot. Positions after the erased
// entry then move down by one, as the entries themselves do.
void Dictionary::removeSlot(std::size_t slot, std::size_t entry) {
    std::vector<Slot>& buckets = index_->buckets;
    const std::size_t mask = buckets.size() - 1;
    std::size_t hole = slot;
    for (std::size_t s = (hole + 1) & mask; buckets[s].entry != kEmpty; s = (s + 1) & mask) {
        const std::size_t home = buckets[s].hash & mask;
        // The slot may fill the hole unless its home lies cyclically in (hole, s].
        const bool stays = hole <= s ? (home > hole && home <= s) : (home > hole || home <= s);
        if (!stays) {
            buckets[hole] = buckets[s];
            hole = s;
        }
    }
    buckets[hole] = Slot{kEmpty, 0};
    for (Slot& s : buckets) {
        if (s.entry != kEmpty && s.entry > entry)
            --s.entry;
    }
}

const Value* Dictionary::find(const String& key) const {
    const Place p = locate(key);
    return p.entry < entries_.size() ? &entries_[p.entry].second : nullptr;
}

Value* Dictionary::find(const String& key) {
    const Place p = locate(key);
    return p.entry < entries_.size() ? &entries_[p.entry].second : nullptr;
}

void Dictionary::set(const String& key, Value value) {
    const Place p = locate(key);
    if (p.entry < entries_.size()) {
        entries_[p.entry].second = std::move(value);
        return;
    }
    entries_.emplace_back(key, std::move(value));
    if (index_) {
        if (entries_.size() * 2 > index_->buckets.size()) {
            buildIndex();  // grows the table; the new entry goes in with the others
            insertSlot(static_cast<std::uint32_t>(entries_.size() - 1), p.hash);
        } else {
            // The empty slot that ended the search is where the key belongs.
            index_->buckets[p.slot] = Slot{static_cast<std::uint32_t>(entries_.size() - 1), p.hash};
        }
    } else if (entries_.size() > kIndexedAbove) {
        buildIndex();
    }
}

bool Dictionary::erase(const String& key) {
    const Place p = locate(key);
    if (p.entry >= entries_.size())
        return false;
    if (index_)
        removeSlot(p.slot, p.entry);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(p.entry));
    return true;
}

std::optional<bool> Dictionary::boolean(const String& key) const {
    const Value* v = find(key);
    return v ? v->asBoolean() : std::nullopt;
}

std::optional<std::int64_t> Dictionary::integer(const String& key) const {
    const Value* v = find(key);
    return v ? v->asInteger() : std::nullopt;
}

std::optional<double> Dictionary::number(const String& key) const {
    const Value* v = find(key);
    return v ? v->asNumber() : std::nullopt;
}

const String* Dictionary::string(const String& key) const {
    const Value* v = find(key);
    return v ? v->asString() : nullptr;
}

const Dictionary* Dictionary::dictionary(const String& key) const {
    const Value* v = find(key);
    return v ? v->asDictionary() : nullptr;
}

bool operator==(const Dictionary& a, const Dictionary& b) {
    if (a.size() != b.size())
        return false;
    return std::all_of(a.begin(), a.end(), [&](const Dictionary::Entry& e) {
        const Value* other = b.find(e.first);
        return other && *other == e.second;
    });
}

std::optional<bool> Value::asBoolean() const {
    if (const bool* b = std::get_if<bool>(&v_))
        return *b;
    return std::nullopt;
}

std::optional<std::int64_t> Value::asInteger() const {
    if (const auto* i = std::get_if<std::int64_t>(&v_))
        return *i;
    return std::nullopt;
}

std::optional<double> Value::asReal() const {
    if (const double* d = std::get_if<double>(&v_))
        return *d;
    return std::nullopt;
}

std::optional<double> Value::asNumber() const {
    if (const auto* i = std::get_if<std::int64_t>(&v_))
        return static_cast<double>(*i);
    return asReal();
}

const char* Value::typeName(Type t) {
    switch (t) {
        case Type::Boolean:
            return "boolean";
        case Type::Integer:
            return "integer";
        case Type::Real:
            return "real";
        case Type::String:
            return "string";
        case Type::Data:
            return "data";
        case Type::Array:
            return "array";
        case Type::Dictionary:
            return "dictionary";
    }
    return "?";
}

std::string describe(const Value& v) {
    switch (v.type()) {
        case Value::Type::Boolean:
            return *v.asBoolean() ? "true" : "false";
        case Value::Type::Integer:
            return std::to_string(*v.asInteger());
        case Value::Type::Real: {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", *v.asReal());
            return buf;
        }
        case Value::Type::String:
            return "\"" + v.asString()->toUtf8Lossy() + "\"";
        case Value::Type::Data:
            return "<" + std::to_string(v.asData()->size()) + " bytes>";
        case Value::Type::Array: {
            std::string out = "(";
            for (const auto& item : *v.asArray()) {
                if (out.size() > 1)
                    out += ", ";
                out += describe(item);
            }
            return out + ")";
        }
        case Value::Type::Dictionary: {
            std::string out = "{";
            for (const auto& [key, item] : *v.asDictionary()) {
                if (out.size() > 1)
                    out += ", ";
                out += key.toUtf8Lossy() + " = " + describe(item);
            }
            return out + "}";
        }
    }
    return "?";
}

}  // namespace platform
