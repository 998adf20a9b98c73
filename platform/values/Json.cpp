#include "platform/values/Json.hpp"

#include "platform/values/Limits.hpp"
#include "platform/values/Utf.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace platform::json {
namespace {

// Deeper documents are refused rather than risking the stack.
constexpr int kMaxDepth = 256;

std::string tooDeepText() {
    return "nested deeper than " + std::to_string(kMaxDepth) + " levels";
}

std::string tooManyKeysText() {
    return "an object with more than " + std::to_string(limits::kMaxKeys) +
           " keys: " + limits::tooManyKeys();
}

std::string tooManyElementsText() {
    return "an array with more than " + std::to_string(limits::kMaxElements) +
           " elements: " + limits::tooManyElements();
}

Value unsignedValue(std::uint64_t u) {
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return Value(static_cast<std::int64_t>(u));
    return Value(static_cast<double>(u));
}

std::optional<Value> convert(const nlohmann::ordered_json& j, int depth) {
    if (depth > kMaxDepth)
        return std::nullopt;
    using T = nlohmann::ordered_json::value_t;
    switch (j.type()) {
        case T::boolean:
            return Value(j.get<bool>());
        case T::number_integer:
            return Value(j.get<std::int64_t>());
        case T::number_unsigned:
            return unsignedValue(j.get<std::uint64_t>());
        case T::number_float:
            return Value(j.get<double>());
        case T::string:
            return Value(String(j.get_ref<const std::string&>()));
        case T::array: {
            if (j.size() > limits::kMaxElements)
                return std::nullopt;
            Array out;
            out.reserve(j.size());
            for (const auto& item : j) {
                auto v = convert(item, depth + 1);
                if (!v)
                    return std::nullopt;
                out.push_back(std::move(*v));
            }
            return Value(std::move(out));
        }
        case T::object: {
            if (j.size() > limits::kMaxKeys)
                return std::nullopt;
            Dictionary out;
            for (const auto& [key, item] : j.items()) {
                auto v = convert(item, depth + 1);
                if (!v)
                    return std::nullopt;
                out.set(String(key), std::move(*v));
            }
            return Value(std::move(out));
        }
        case T::null:
        case T::binary:
        case T::discarded:
            break;
    }
    return std::nullopt;
}

// Builds the value while the parser reads, so that a document over a limit
// is given up at the first entry too many rather than after all of it.
class Builder : public nlohmann::json_sax<nlohmann::ordered_json> {
  public:
    std::optional<Value> take() { return std::move(root_); }
    // The last fault met, if any.
    const std::string& fault() const { return fault_; }
    void fail(std::string fault) { fault_ = std::move(fault); }

    bool null() override {
        fail("null has no value");
        return false;
    }
    bool boolean(bool b) override { return add(Value(b)); }
    bool number_integer(number_integer_t i) override { return add(Value(std::int64_t{i})); }
    bool number_unsigned(number_unsigned_t u) override { return add(unsignedValue(u)); }
    bool number_float(number_float_t d, const string_t&) override { return add(Value(d)); }
    bool string(string_t& s) override { return add(Value(String(s))); }
    bool binary(binary_t&) override {
        fail("unsupported JSON value");
        return false;
    }
    bool start_object(std::size_t) override {
        if (!roomFor())
            return false;
        stack_.emplace_back();
        stack_.back().isObject = true;
        return true;
    }
    bool key(string_t& k) override {
        stack_.back().key = String(k);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override {
        if (!roomFor())
            return false;
        stack_.emplace_back();
        return true;
    }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& e) override {
        fail(e.what());
        return false;
    }

  private:
    struct Frame {
        bool isObject = false;
        Dictionary dictionary;
        Array array;
        String key;
    };

    // A new value sits at the depth of the containers around it.
    bool roomFor() {
        if (stack_.size() <= static_cast<std::size_t>(kMaxDepth))
            return true;
        fail(tooDeepText());
        return false;
    }

    bool add(Value v) {
        if (!roomFor())
            return false;
        if (stack_.empty()) {
            root_ = std::move(v);
            return true;
        }
        Frame& f = stack_.back();
        if (f.isObject) {
            if (f.dictionary.size() >= limits::kMaxKeys && !f.dictionary.contains(f.key)) {
                fail(tooManyKeysText());
                return false;
            }
            f.dictionary.set(f.key, std::move(v));
            return true;
        }
        if (f.array.size() >= limits::kMaxElements) {
            fail(tooManyElementsText());
            return false;
        }
        f.array.push_back(std::move(v));
        return true;
    }

    bool close() {
        Frame f = std::move(stack_.back());
        stack_.pop_back();
        return f.isObject ? add(Value(std::move(f.dictionary))) : add(Value(std::move(f.array)));
    }

    std::string fault_;
    std::vector<Frame> stack_;
    std::optional<Value> root_;
};

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
    return convert(j, 0);
}

Result<Value> parse(std::string_view text) {
    Builder builder;
    try {
        if (!nlohmann::ordered_json::sax_parse(text.begin(), text.end(), &builder))
            return Error{Reason::Malformed, builder.fault()};
    } catch (const std::exception& e) {
        // The parser reports faults through the builder; this is only for
        // what it cannot (memory).
        return Error{Reason::Failed, e.what()};
    }
    if (auto v = builder.take())
        return std::move(*v);
    return Error{Reason::Malformed, "invalid JSON"};
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
