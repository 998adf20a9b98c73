#include "platform/notify/BusCodec.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/log/SystemLog.hpp"
#include "platform/values/Json.hpp"
#include "platform/values/Limits.hpp"

namespace platform::buscodec {
namespace {

bool fail(std::string* error, std::string message) {
    if (error)
        *error = std::move(message);
    return false;
}

bool check(int r, std::string* error, const char* what) {
    if (r >= 0)
        return true;
    return fail(error, std::string(what) + ": " + std::strerror(-r));
}

void logSkipped(const std::string& signature) {
    if (systemLogEnabled(LogLevel::Debug)) {
        systemLog(LogLevel::Debug,
                  "notification: left out a value of unsupported D-Bus type " + signature);
    }
}

bool tooDeep(int level, std::string* error) {
    if (level <= kMaxDepth)
        return false;
    fail(error, "user information nested more than " + std::to_string(kMaxDepth) + " levels deep");
    return true;
}

std::string tooMuchText() {
    return "at most " + std::to_string(kMaxTextBytes) + " bytes of text and data per notification";
}

// The bytes a string takes in a message: its UTF-8, or two per unit as aq.
std::size_t travellingBytes(const String& s) {
    if (!travelsAsText(s))
        return s.units().size() * sizeof(char16_t);
    std::size_t n = 0;
    for (char16_t u : s.units())
        n += u < 0x80 ? 1 : u < 0x800 ? 2 : (u >= 0xD800 && u <= 0xDFFF) ? 2 : 3;
    return n;
}

// Text and data bytes of a value, as the receiver will count them; stops
// counting once past the limit.
void addTextBytes(const Value& v, std::size_t& total) {
    if (total > kMaxTextBytes)
        return;
    switch (v.type()) {
        case Value::Type::String:
            total += travellingBytes(*v.asString());
            return;
        case Value::Type::Data:
            total += v.asData()->size();
            return;
        case Value::Type::Array:
            for (const Value& element : *v.asArray())
                addTextBytes(element, total);
            return;
        case Value::Type::Dictionary:
            for (const auto& [key, value] : *v.asDictionary()) {
                total += travellingBytes(key);
                addTextBytes(value, total);
            }
            return;
        default:
            return;
    }
}

bool appendText(sd_bus_message* m, const String& s, std::string* error) {
    auto text = s.utf8();
    if (!text)
        return fail(error, "string is not well formed");
    return check(sd_bus_message_append_basic(m, 's', text->c_str()), error, "cannot append string");
}

// Reads values of any D-Bus type into Values, within the nesting limit and
// the limits on keys, elements and text.
class Reader {
  public:
    Reader(sd_bus_message* m, std::string* error) : m_(m), error_(error) {}

    // What went over which limit ("" when nothing did): the reason to warn.
    const std::string& limit() const { return limit_; }

    // Counts text and data bytes; false, with the limit named, past it.
    bool text(std::size_t bytes) {
        textBytes_ += bytes;
        if (textBytes_ <= kMaxTextBytes)
            return true;
        return overLimit("more than " + std::to_string(kMaxTextBytes) + " bytes of text and data",
                         tooMuchText());
    }

    // Reads the next complete value. Returns false on malformed content (the
    // message is then refused); true with `out` empty when the value was of a
    // type we leave out.
    bool value(int depth, std::optional<Value>& out) {
        out.reset();
        char type = 0;
        const char* contents = nullptr;
        int r = sd_bus_message_peek_type(m_, &type, &contents);
        if (r < 0)
            return check(r, error_, "malformed message");
        if (r == 0)
            return fail(error_, "message ends early");
        switch (type) {
            case 'b': {
                int b = 0;
                if (!read(type, &b))
                    return false;
                out = Value(b != 0);
                return true;
            }
            case 'y':
                return readInteger<std::uint8_t>(type, out);
            case 'n':
                return readInteger<std::int16_t>(type, out);
            case 'q':
                return readInteger<std::uint16_t>(type, out);
            case 'i':
                return readInteger<std::int32_t>(type, out);
            case 'u':
                return readInteger<std::uint32_t>(type, out);
            case 'x':
                return readInteger<std::int64_t>(type, out);
            case 't': {
                std::uint64_t t = 0;
                if (!read(type, &t))
                    return false;
                if (t > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                    out = Value(static_cast<double>(t));
                } else {
                    out = Value(static_cast<long long>(t));
                }
                return true;
            }
            case 'd': {
                double d = 0;
                if (!read(type, &d))
                    return false;
                out = Value(d);
                return true;
            }
            case 's': {
                const char* s = nullptr;
                if (!read(type, &s))
                    return false;
                const std::string_view chars(s);
                if (!text(chars.size()))
                    return false;
                out = Value(String(chars));
                return true;
            }
            case 'v':
                return variant(contents, depth, out);
            case 'a':
                return array(contents, depth, out);
            case 'r':
                return skip("(" + std::string(contents) + ")");
            case 'o':
            case 'g':
            case 'h':
                return skip(std::string(1, type));
            default:
                return fail(error_, std::string("unexpected element of type ") + type);
        }
    }

    // Reads an array as a Dictionary, Data, String (aq) or Array.
    bool array(const char* contents, int depth, std::optional<Value>& out) {
        const int level = depth + 1;
        std::string element(contents);
        // Data (ay) and odd strings (aq) are leaf values, as the sender counts
        // them: only containers of values add a level.
        if (element != "y" && element != "q" && tooDeep(level, error_))
            return false;
        if (element == "y" || element == "q") {
            const void* p = nullptr;
            size_t size = 0;
            int r = sd_bus_message_read_array(m_, element[0], &p, &size);
            if (r < 0)
                return check(r, error_, "malformed array");
            if (!text(size))
                return false;
            if (element == "y") {
                auto bytes = static_cast<const std::uint8_t*>(p);
                out = Value(Data(bytes, bytes + size));
            } else {
                std::u16string units(size / sizeof(char16_t), u'\0');
                if (size)
                    std::memcpy(units.data(), p, units.size() * sizeof(char16_t));
                out = Value(String::fromUnits(std::move(units)));
            }
            return true;
        }
        if (element.front() == '{' && element.size() >= 4 && element[1] != 's') {
            return skip("a" + element);
        }
        int r = sd_bus_message_enter_container(m_, 'a', contents);
        if (r <= 0)
            return check(r < 0 ? r : -EBADMSG, error_, "malformed array");
        if (element.front() == '{') {
            const std::string entry = element.substr(1, element.size() - 2);
            Dictionary d;
            for (std::size_t entries = 0;; ++entries) {
                r = sd_bus_message_enter_container(m_, 'e', entry.c_str());
                if (r < 0)
                    return check(r, error_, "malformed dictionary entry");
                if (r == 0)
                    break;
                if (entries == limits::kMaxKeys) {
                    return overLimit(
                        "a dictionary with more than " + std::to_string(limits::kMaxKeys) + " keys",
                        limits::tooManyKeys());
                }
                const char* key = nullptr;
                if (!read('s', &key))
                    return false;
                const std::string_view keyText(key);
                if (!text(keyText.size()))
                    return false;
                std::optional<Value> v;
                if (!value(level, v))
                    return false;
                r = sd_bus_message_exit_container(m_);
                if (r < 0)
                    return check(r, error_, "malformed dictionary entry");
                if (v)
                    d.set(String(keyText), std::move(*v));
            }
            out = Value(std::move(d));
        } else {
            Array a;
            for (std::size_t elements = 0; (r = sd_bus_message_at_end(m_, 0)) == 0; ++elements) {
                if (elements == limits::kMaxElements) {
                    return overLimit("an array with more than " +
                                         std::to_string(limits::kMaxElements) + " elements",
                                     limits::tooManyElements());
                }
                std::optional<Value> v;
                if (!value(level, v))
                    return false;
                if (v)
                    a.push_back(std::move(*v));
            }
            if (r < 0)
                return check(r, error_, "malformed array");
            out = Value(std::move(a));
        }
        r = sd_bus_message_exit_container(m_);
        return check(r, error_, "malformed array");
    }

  private:
    template <typename T>
    bool read(char type, T* p) {
        return check(sd_bus_message_read_basic(m_, type, p), error_, "malformed value");
    }

    template <typename T>
    bool readInteger(char type, std::optional<Value>& out) {
        T v{};
        if (!read(type, &v))
            return false;
        out = Value(static_cast<long long>(v));
        return true;
    }

    bool variant(const char* contents, int depth, std::optional<Value>& out) {
        // A variant holding a variant adds a level: nothing else bounds it.
        const int inner = contents[0] == 'v' ? depth + 1 : depth;
        if (tooDeep(inner, error_))
            return false;
        int r = sd_bus_message_enter_container(m_, 'v', contents);
        if (r <= 0)
            return check(r < 0 ? r : -EBADMSG, error_, "malformed variant");
        if (!value(inner, out))
            return false;
        return check(sd_bus_message_exit_container(m_), error_, "malformed variant");
    }

    bool skip(const std::string& signature) {
        logSkipped(signature);
        return check(sd_bus_message_skip(m_, signature.c_str()), error_, "malformed value");
    }

    bool overLimit(const std::string& what, const std::string& limit) {
        limit_ = what + ": " + limit;
        return fail(error_, limit_);
    }

    sd_bus_message* m_;
    std::string* error_;
    std::string limit_;
    std::size_t textBytes_ = 0;
};

}  // namespace

std::string quoted(const String& s) {
    std::string out;
    json::appendString(out, s);
    return out;
}

bool travelsAsText(const String& s) {
    const auto& u = s.units();
    for (std::size_t i = 0; i < u.size(); ++i) {
        char32_t c = u[i];
        if (c == 0)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= u.size() || u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        // Noncharacters: valid Unicode, but sd-bus refuses them in strings.
        if ((c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE)
            return false;
    }
    return true;
}

namespace {

// Appends a{sv}. depth is the nesting level of d itself (1 for user info).
// False, with the reason in *error, when it cannot be appended.
bool appendDictionary(sd_bus_message* m, const Dictionary& d, int depth, std::string* error);

// Appends one value as a variant (v).
bool appendVariant(sd_bus_message* m, const Value& v, int depth, std::string* error) {
    switch (v.type()) {
        case Value::Type::Boolean:
            return check(sd_bus_message_append(m, "v", "b", static_cast<int>(*v.asBoolean())),
                         error, "cannot append boolean");
        case Value::Type::Integer:
            return check(sd_bus_message_append(m, "v", "x", static_cast<int64_t>(*v.asInteger())),
                         error, "cannot append integer");
        case Value::Type::Real:
            return check(sd_bus_message_append(m, "v", "d", *v.asReal()), error,
                         "cannot append real");
        case Value::Type::String: {
            const String& s = *v.asString();
            if (travelsAsText(s)) {
                return check(sd_bus_message_open_container(m, 'v', "s"), error,
                             "cannot append string") &&
                       appendText(m, s, error) &&
                       check(sd_bus_message_close_container(m), error, "cannot append string");
            }
            const auto& units = s.units();
            return check(sd_bus_message_open_container(m, 'v', "aq"), error,
                         "cannot append string") &&
                   check(sd_bus_message_append_array(m, 'q', units.data(),
                                                     units.size() * sizeof(char16_t)),
                         error, "cannot append string") &&
                   check(sd_bus_message_close_container(m), error, "cannot append string");
        }
        case Value::Type::Data: {
            const Data& d = *v.asData();
            return check(sd_bus_message_open_container(m, 'v', "ay"), error,
                         "cannot append data") &&
                   check(sd_bus_message_append_array(m, 'y', d.data(), d.size()), error,
                         "cannot append data") &&
                   check(sd_bus_message_close_container(m), error, "cannot append data");
        }
        case Value::Type::Array: {
            if (tooDeep(depth + 1, error))
                return false;
            if (v.asArray()->size() > limits::kMaxElements) {
                return fail(error, "an array with " + std::to_string(v.asArray()->size()) +
                                       " elements: " + limits::tooManyElements());
            }
            if (!check(sd_bus_message_open_container(m, 'v', "av"), error, "cannot append array") ||
                !check(sd_bus_message_open_container(m, 'a', "v"), error, "cannot append array")) {
                return false;
            }
            for (const Value& element : *v.asArray()) {
                if (!appendVariant(m, element, depth + 1, error))
                    return false;
            }
            return check(sd_bus_message_close_container(m), error, "cannot append array") &&
                   check(sd_bus_message_close_container(m), error, "cannot append array");
        }
        case Value::Type::Dictionary:
            if (tooDeep(depth + 1, error))
                return false;
            return check(sd_bus_message_open_container(m, 'v', "a{sv}"), error,
                         "cannot append dictionary") &&
                   appendDictionary(m, *v.asDictionary(), depth + 1, error) &&
                   check(sd_bus_message_close_container(m), error, "cannot append dictionary");
    }
    return fail(error, "unknown value type");
}

bool appendDictionary(sd_bus_message* m, const Dictionary& d, int depth, std::string* error) {
    if (tooDeep(depth, error))
        return false;
    if (d.size() > limits::kMaxKeys) {
        return fail(error, "a dictionary with " + std::to_string(d.size()) +
                               " keys: " + limits::tooManyKeys());
    }
    if (!check(sd_bus_message_open_container(m, 'a', "{sv}"), error, "cannot append dictionary")) {
        return false;
    }
    for (const auto& [key, value] : d) {
        if (!travelsAsText(key)) {
            return fail(error,
                        "dictionary key " + quoted(key) + " cannot travel as a D-Bus string");
        }
        if (!check(sd_bus_message_open_container(m, 'e', "sv"), error,
                   "cannot append dictionary") ||
            !appendText(m, key, error) || !appendVariant(m, value, depth, error) ||
            !check(sd_bus_message_close_container(m), error, "cannot append dictionary")) {
            return false;
        }
    }
    return check(sd_bus_message_close_container(m), error, "cannot append dictionary");
}

bool appendBody(sd_bus_message* m, const String& name, const String& object,
                const std::optional<Dictionary>& userInfo, std::string* error) {
    if (!travelsAsText(name)) {
        return fail(error,
                    "notification name " + quoted(name) + " cannot travel as a D-Bus string");
    }
    if (!travelsAsText(object)) {
        return fail(error,
                    "notification object " + quoted(object) + " cannot travel as a D-Bus string");
    }
    std::size_t bytes = travellingBytes(name) + travellingBytes(object);
    if (userInfo) {
        for (const auto& [key, value] : *userInfo) {
            bytes += travellingBytes(key);
            addTextBytes(value, bytes);
        }
    }
    if (bytes > kMaxTextBytes)
        return fail(error, "more than " + std::to_string(kMaxTextBytes) +
                               " bytes of text and data: " + tooMuchText());
    static const Dictionary kEmpty;
    return appendText(m, name, error) && appendText(m, object, error) &&
           appendDictionary(m, userInfo ? *userInfo : kEmpty, 1, error);
}

std::optional<Notification> readBody(sd_bus_message* m, std::string* error) {
    int r = sd_bus_message_rewind(m, 1);
    if (r < 0) {
        check(r, error, "cannot read message");
        return std::nullopt;
    }
    if (!sd_bus_message_has_signature(m, kSignature)) {
        const char* sig = sd_bus_message_get_signature(m, 1);
        fail(error, std::string("signature \"") + (sig ? sig : "") + "\" instead of \"" +
                        kSignature + "\"");
        return std::nullopt;
    }
    const char* name = nullptr;
    const char* object = nullptr;
    r = sd_bus_message_read(m, "ss", &name, &object);
    if (r < 0) {
        check(r, error, "malformed name or object");
        return std::nullopt;
    }
    Reader reader(m, error);
    std::optional<Value> info;
    if (!reader.text(std::strlen(name) + std::strlen(object)) || !reader.array("{sv}", 0, info)) {
        if (!reader.limit().empty()) {
            const char* sender = sd_bus_message_get_sender(m);
            systemLog(LogLevel::Warning,
                      "notifications: refused " + quoted(String(std::string_view(name))) +
                          " (object " + quoted(String(std::string_view(object))) + ") from " +
                          (sender ? sender : "an unknown sender") + ": " + reader.limit());
        }
        return std::nullopt;
    }
    Notification n{String(std::string_view(name)), String(std::string_view(object)), std::nullopt};
    if (info && info->asDictionary() && !info->asDictionary()->empty()) {
        n.userInfo = std::move(*info->asDictionary());
    }
    return n;
}

}  // namespace

Status appendNotification(sd_bus_message* m, const String& name, const String& object,
                          const std::optional<Dictionary>& userInfo) {
    std::string error;
    if (!appendBody(m, name, object, userInfo, &error))
        return Error{Reason::Unsupported, std::move(error)};
    return std::monostate{};
}

Result<Notification> readNotification(sd_bus_message* m) {
    std::string error;
    if (auto n = readBody(m, &error))
        return std::move(*n);
    return Error{Reason::Malformed, std::move(error)};
}

}  // namespace platform::buscodec
