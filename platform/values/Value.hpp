// Property-list values: the data that crosses a process or a file boundary.
//
// A Value is a boolean, a 64-bit signed integer, a double, a String, a Data
// block, an Array or a Dictionary. Dictionaries keep their keys in insertion
// order. Strings are sequences of UTF-16 code units and may hold any unit,
// including U+0000 and lone surrogates.
#pragma once

#include <compare>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

// A sequence of UTF-16 code units. Built from UTF-8 text (the usual case for
// our own names and keys) or from raw code units.
class String {
  public:
    String() = default;
    String(const char* utf8) : String(std::string_view(utf8)) {}  // NOLINT: implicit by design
    String(std::string_view utf8);                                // NOLINT: implicit by design
    String(const std::string& utf8) : String(std::string_view(utf8)) {}  // NOLINT

    static String fromUnits(std::u16string units);

    const std::u16string& units() const { return units_; }
    std::size_t size() const { return units_.size(); }
    bool empty() const { return units_.empty(); }

    // True when every code unit belongs to a valid Unicode scalar value
    // (no lone surrogate). U+0000 is a valid scalar value.
    bool isWellFormed() const;
    // True when the string can travel as a plain UTF-8 text that C APIs accept:
    // well formed and without U+0000.
    bool isPlainText() const;

    // UTF-8 of a well-formed string; nullopt when a lone surrogate is present.
    std::optional<std::string> utf8() const;
    // UTF-8 with every lone surrogate replaced by U+FFFD; for diagnostics.
    std::string toUtf8Lossy() const;

    friend bool operator==(const String&, const String&) = default;
    friend std::strong_ordering operator<=>(const String& a, const String& b) {
        return a.units_ <=> b.units_;
    }

  private:
    std::u16string units_;
};

class Value;
using Data = std::vector<std::uint8_t>;
using Array = std::vector<Value>;

// A dictionary with string keys, kept in insertion order. Setting an existing
// key replaces its value in place.
//
// Small dictionaries, the common case, are a plain vector searched from the
// front. Once a dictionary holds more than kIndexedAbove keys it also keeps a
// hash table of entry positions, so that finding a key costs the same at any
// size. The table then stays with the dictionary: erase() keeps it up to date
// and clear() empties it but keeps its memory for the next fill. Keys are
// hashed with a seed drawn once per process, so that a sender cannot choose
// keys that collide.
class Dictionary {
  public:
    using Entry = std::pair<String, Value>;

    // Above this many keys a dictionary keeps its hash table. Below it a
    // search from the front is as quick (about 5 to 16 ns a lookup for 2 to
    // 32 keys of ordinary names, against about 16 ns for hashing the key).
    static constexpr std::size_t kIndexedAbove = 32;

    Dictionary() = default;
    Dictionary(std::initializer_list<Entry> entries);
    Dictionary(const Dictionary& other);
    Dictionary(Dictionary&& other) noexcept = default;
    Dictionary& operator=(const Dictionary& other);
    Dictionary& operator=(Dictionary&& other) noexcept = default;
    ~Dictionary() = default;

    const Value* find(const String& key) const;
    Value* find(const String& key);
    bool contains(const String& key) const { return find(key) != nullptr; }
    void set(const String& key, Value value);
    bool erase(const String& key);
    void clear();

    std::size_t size() const;
    bool empty() const;
    std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
    std::vector<Entry>::const_iterator end() const { return entries_.end(); }

    // Typed lookups: nullopt when the key is absent or holds another type.
    std::optional<bool> boolean(const String& key) const;
    std::optional<std::int64_t> integer(const String& key) const;
    std::optional<double> number(const String& key) const;  // integer or real
    const String* string(const String& key) const;
    const Dictionary* dictionary(const String& key) const;

    // Equal when both hold the same keys with equal values, in any order.
    friend bool operator==(const Dictionary& a, const Dictionary& b);

  private:
    // One slot of the hash table: an entry's position and its key's hash.
    struct Slot {
        std::uint32_t entry;
        std::uint32_t hash;
    };
    // Open addressing with linear probing; a power-of-two number of buckets,
    // at most half of them used.
    struct Index {
        std::vector<Slot> buckets;
    };
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

    // Where the key is: its entry's position, and its slot when indexed.
    struct Place {
        std::size_t entry;
        std::size_t slot;
        std::uint32_t hash;
    };
    Place locate(const String& key) const;
    void buildIndex();
    void insertSlot(std::uint32_t entry, std::uint32_t hash);
    void removeSlot(std::size_t slot, std::size_t entry);

    std::vector<Entry> entries_;
    std::unique_ptr<Index> index_;  // null until the dictionary outgrows kIndexedAbove
};

class Value {
  public:
    enum class Type { Boolean, Integer, Real, String, Data, Array, Dictionary };

    Value() : v_(false) {}
    Value(bool b) : v_(b) {}                             // NOLINT: implicit by design
    Value(int i) : v_(std::int64_t{i}) {}                // NOLINT
    Value(long i) : v_(std::int64_t{i}) {}               // NOLINT
    Value(long long i) : v_(std::int64_t{i}) {}          // NOLINT
    Value(unsigned i) : v_(std::int64_t{i}) {}           // NOLINT
    Value(double d) : v_(d) {}                           // NOLINT
    Value(float f) : v_(double{f}) {}                    // NOLINT: widened exactly
    Value(String s) : v_(std::move(s)) {}                // NOLINT
    Value(const char* s) : v_(String(s)) {}              // NOLINT
    Value(std::string_view s) : v_(String(s)) {}         // NOLINT
    Value(const std::string& s) : v_(String(s)) {}       // NOLINT
    Value(platform::Data d) : v_(std::move(d)) {}        // NOLINT
    Value(platform::Array a) : v_(std::move(a)) {}       // NOLINT
    Value(platform::Dictionary d) : v_(std::move(d)) {}  // NOLINT

    Type type() const { return static_cast<Type>(v_.index()); }
    static const char* typeName(Type t);

    bool isBoolean() const { return type() == Type::Boolean; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isReal() const { return type() == Type::Real; }
    bool isNumber() const { return isInteger() || isReal(); }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Typed access: nullptr / nullopt when the value holds another type.
    std::optional<bool> asBoolean() const;
    std::optional<std::int64_t> asInteger() const;
    std::optional<double> asReal() const;
    std::optional<double> asNumber() const;  // integer or real, as a double
    const String* asString() const { return std::get_if<String>(&v_); }
    const platform::Data* asData() const { return std::get_if<platform::Data>(&v_); }
    const platform::Array* asArray() const { return std::get_if<platform::Array>(&v_); }
    platform::Array* asArray() { return std::get_if<platform::Array>(&v_); }
    const platform::Dictionary* asDictionary() const {
        return std::get_if<platform::Dictionary>(&v_);
    }
    platform::Dictionary* asDictionary() { return std::get_if<platform::Dictionary>(&v_); }

    // Deep equality; an integer never equals a real or a boolean.
    friend bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

  private:
    std::variant<bool, std::int64_t, double, String, platform::Data, platform::Array,
                 platform::Dictionary>
        v_;
};

// Defined here, where Value is complete: clang instantiates the vector's
// members where they are used, and they need the whole element type.
inline void Dictionary::clear() {
    entries_.clear();
    if (index_)
        index_->buckets.assign(index_->buckets.size(), Slot{kEmpty, 0});
}
inline std::size_t Dictionary::size() const {
    return entries_.size();
}
inline bool Dictionary::empty() const {
    return entries_.empty();
}

// A short human-readable rendering for logs and test failures.
std::string describe(const Value& v);

}  // namespace platform
