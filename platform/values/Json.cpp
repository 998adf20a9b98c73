#include "platform/values/Json.hpp"

#include "platform/values/Utf.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace platform::json {
namespace {

// Deeper documents are refused rather than risking the stack.
constexpr int kMaxDepth = 256;

std::optional<Value> convert(const nlohmann::ordered_json& j, int depth, std::string* error) {
    if (depth > kMaxDepth) {
        if (error)
            *error = "nested deeper than " + std::to_string(kMaxDepth) + " levels";
        return std::nullopt;
    }
    using T = nlohmann::ordered_json::value_t;
    switch (j.type()) {
        case T::boolean:
            return Value(j.get<bool>());
        case T::number_integer:
            return Value(j.get<std::int64_t>());
        case T::number_unsigned: {
            auto u = j.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return Value(static_cast<std::int64_t>(u));
            }
            return Value(static_cast<double>(u));
        }
        case T::number_float:
            return Value(j.get<double>());
        case T::string:
            return Value(String(j.get_ref<const std::string&>()));
        case T::array: {
            Array out;
            out.reserve(j.size());
            for (const auto& item : j) {
                auto v = convert(item, depth + 1, error);
                if (!v)
                    return std::nullopt;
                out.push_back(std::move(*v));
            }
            return Value(std::move(out));
        }
        case T::object: {
            Dictionary out;
            for (const auto& [key, item] : j.items()) {
                auto v = convert(item, depth + 1, error);
                if (!v)
                    return std::nullopt;
                out.set(String(key), std::move(*v));
            }
            return Value(std::move(out));
        }
        case T::null:
            if (error)
                *error = "null has no value";
            return std::nullopt;
        case T::binary:
        case T::discarded:
            break;
    }
    if (error)
        *error = "unsupported JSON value";
    return std::nullopt;
}

void appendReal(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    std::string_view text(buf, ec == std::errc() ? static_cast<std::size_t>(end - buf) : 0);
    out += text;
    if (text.find_first_of(".e") == std::string_view::npos)
        out += ".0";
}

void appendValue(std::string& out, const Value& v) {
    switch (v.type()) {
        case Value::Type::Boolean:
            out += *v.asBoolean() ? "true" : "false";
            return;
        case Value::Type::Integer:
            out += std::to_string(*v.asInteger());
            return;
        case Value::Type::Real:
            appendReal(out, *v.asReal());
            return;
        case Value::Type::String:
            appendString(out, *v.asString());
            return;
        case Value::Type::Data: {
            static constexpr char kHex[] = "0123456789abcdef";
            out += '"';
            for (std::uint8_t b : *v.asData()) {
                out += kHex[b >> 4];
                out += kHex[b & 15];
            }
            out += '"';
            return;
        }
        case Value::Type::Array: {
            out += '[';
            bool first = true;
            for (const auto& item : *v.asArray()) {
                if (!first)
                    out += ',';
                first = false;
                appendValue(out, item);
            }
            out += ']';
            return;
        }
        case Value::Type::Dictionary: {
            out += '{';
            bool first = true;
            for (const auto& [key, item] : *v.asDictionary()) {
                if (!first)
                    out += ',';
                first = false;
                appendString(out, key);
                out += ':';
                appendValue(out, item);
            }
            out += '}';
            return;
        }
    }
}

void appendEscape(std::string& out, char16_t unit) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(unit));
    out += buf;
}

}  // namespace

std::optional<Value> fromJson(const nlohmann::ordered_json& j) {
    return convert(j, 0, nullptr);
}

std::optional<Value> parse(std::string_view text, std::string* error) {
    auto j = nlohmann::ordered_json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) {
        // Parse again with exceptions on, only to obtain the parser's message.
        if (error) {
            try {
                auto unexpected = nlohmann::ordered_json::parse(text.begin(), text.end());
                (void)unexpected;
                *error = "invalid JSON";
            } catch (const nlohmann::json::exception& e) {
                *error = e.what();
            }
        }
        return std::nullopt;
    }
    return convert(j, 0, error);
}

std::string toText(const Value& v) {
    std::string out;
    appendValue(out, v);
    return out;
}

void appendString(std::string& out, const String& s) {
    out += '"';
    utf::forEachCodePoint(s.units(), [&](char32_t cp, bool wellFormed) {
        switch (cp) {
            case U'"':
                out += "\\\"";
                return;
            case U'\\':
                out += "\\\\";
                return;
            case U'\n':
                out += "\\n";
                return;
            case U'\r':
                out += "\\r";
                return;
            case U'\t':
                out += "\\t";
                return;
            default:
                break;
        }
        if (!wellFormed || cp < 0x20 || cp == 0x7F) {
            appendEscape(out, static_cast<char16_t>(cp));  // keeps the exact unit
        } else {
            utf::appendUtf8(out, cp);
        }
    });
    out += '"';
}

}  // namespace platform::json
