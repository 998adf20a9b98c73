#include "platform/values/Value.hpp"

#include "platform/values/Utf.hpp"

#include <algorithm>
#include <cstdio>

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

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    for (const auto& e : entries)
        set(e.first, e.second);
}

const Value* Dictionary::find(const String& key) const {
    for (const auto& e : entries_) {
        if (e.first == key)
            return &e.second;
    }
    return nullptr;
}

Value* Dictionary::find(const String& key) {
    for (auto& e : entries_) {
        if (e.first == key)
            return &e.second;
    }
    return nullptr;
}

void Dictionary::set(const String& key, Value value) {
    if (Value* existing = find(key)) {
        *existing = std::move(value);
    } else {
        entries_.emplace_back(key, std::move(value));
    }
}

bool Dictionary::erase(const String& key) {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const Entry& e) { return e.first == key; });
    if (it == entries_.end())
        return false;
    entries_.erase(it);
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
