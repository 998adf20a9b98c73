#include "platform/prefs/PlistCodec.hpp"

#include "platform/values/Utf.hpp"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "platform/log/SystemLog.hpp"
#include "platform/values/Limits.hpp"

namespace platform::plist {
namespace {

// Most elements an XML property list may hold, and most nodes a binary one
// may expand to once shared objects are copied out.
constexpr std::size_t kMaxNodes = 1u << 20;
// Most bytes of text and data a binary property list may expand to.
constexpr std::uint64_t kMaxPayload = 64u << 20;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Malloced = std::unique_ptr<T, FreeDeleter>;

struct BinBufferDeleter {
    void operator()(char* p) const {
        if (p)
            plist_to_bin_free(p);
    }
};

// libplist reads and writes numbers with strtod and printf, which follow
// LC_NUMERIC; a program that adopted the user's locale would otherwise read
// "0.5" as 0. This switches the calling thread to the C locale for a scope.
class CLocaleScope {
  public:
    CLocaleScope() {
        static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t{});
        if (c)
            previous_ = uselocale(c);
    }
    ~CLocaleScope() {
        if (previous_)
            uselocale(previous_);
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

  private:
    locale_t previous_ = locale_t{};
};

// ---------------------------------------------------------------------------
// Text

// Calls fn(codePoint, lossy) for each scalar value of s; lone surrogates and
// U+0000 (which neither C strings nor XML can carry) come as U+FFFD, lossy.
template <typename Fn>
void forEachScalar(const String& s, Fn&& fn) {
    utf::forEachCodePoint(s.units(), [&](char32_t cp, bool wellFormed) {
        if (!wellFormed || cp == 0) {
            fn(U'\uFFFD', true);
        } else {
            fn(cp, false);
        }
    });
}

// UTF-8 for a C string; *lossy is set when something had to be replaced.
std::string plainUtf8(const String& s, bool* lossy) {
    std::string out;
    out.reserve(s.size());
    forEachScalar(s, [&](char32_t cp, bool replaced) {
        if (replaced)
            *lossy = true;
        utf::appendUtf8(out, cp);
    });
    return out;
}

// Collects what a writer had to change, and reports it once per document.
class TextReport {
  public:
    explicit TextReport(std::string_view what) : what_(what) {}
    ~TextReport() {
        if (lossy_ > 0) {
            systemLog(LogLevel::Warning,
                      std::string(what_) + ": " + std::to_string(lossy_) +
                          " string(s) hold U+0000 or a lone surrogate, which a property-list "
                          "file cannot carry; written with U+FFFD in their place (first at " +
                          firstLossy_ + ")");
        }
        if (controls_ > 0) {
            systemLog(LogLevel::Warning,
                      std::string(what_) + ": " + std::to_string(controls_) +
                          " string(s) hold control characters, written as character references "
                          "that strict XML readers refuse (first at " +
                          firstControl_ + ")");
        }
    }
    TextReport(const TextReport&) = delete;
    TextReport& operator=(const TextReport&) = delete;

    void lossy(const std::vector<std::string>& path) { note(lossy_, firstLossy_, path); }
    void control(const std::vector<std::string>& path) { note(controls_, firstControl_, path); }

  private:
    static void note(std::size_t& count, std::string& first, const std::vector<std::string>& path) {
        if (count++ > 0)
            return;
        first = "/";
        for (std::size_t i = 0; i < path.size(); ++i) {
            if (i > 0)
                first += '/';
            first += path[i];
        }
    }

    std::string_view what_;
    std::size_t lossy_ = 0;
    std::size_t controls_ = 0;
    std::string firstLossy_;
    std::string firstControl_;
};

// ---------------------------------------------------------------------------
// XML writer

void appendBase64(std::string& out, std::span<const std::uint8_t> bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (std::size_t rest = bytes.size() - i; rest > 0) {
        std::uint32_t v = bytes[i] << 16;
        if (rest == 2)
            v |= bytes[i + 1] << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
}

// Shortest text that reads back as the same double, in the C locale's form.
std::string realText(double d) {
    if (std::isnan(d))
        return "nan";
    if (std::isinf(d))
        return d > 0 ? "+infinity" : "-infinity";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

class XmlWriter {
  public:
    explicit XmlWriter(std::string_view what) : report_(what) {}

    bool write(const Value& v, std::size_t depth) {
        indent(depth);
        switch (v.type()) {
            case Value::Type::Boolean:
                out_ += *v.asBoolean() ? "<true/>\n" : "<false/>\n";
                return true;
            case Value::Type::Integer:
                out_ += "<integer>" + std::to_string(*v.asInteger()) + "</integer>\n";
                return true;
            case Value::Type::Real:
                out_ += "<real>" + realText(*v.asReal()) + "</real>\n";
                return true;
            case Value::Type::String:
                out_ += "<string>";
                text(*v.asString());
                out_ += "</string>\n";
                return true;
            case Value::Type::Data:
                data(*v.asData(), depth);
                return true;
            case Value::Type::Array: {
                const Array& a = *v.asArray();
                if (a.empty()) {
                    out_ += "<array/>\n";
                    return true;
                }
                if (depth + 1 > kMaxDepth)
                    return false;
                out_ += "<array>\n";
                for (std::size_t i = 0; i < a.size(); ++i) {
                    path_.push_back(std::to_string(i));
                    if (!write(a[i], depth + 1))
                        return false;
                    path_.pop_back();
                }
                indent(depth);
                out_ += "</array>\n";
                return true;
            }
            case Value::Type::Dictionary: {
                const Dictionary& d = *v.asDictionary();
                if (d.empty()) {
                    out_ += "<dict/>\n";
                    return true;
                }
                if (depth + 1 > kMaxDepth)
                    return false;
                out_ += "<dict>\n";
                for (const auto& [key, value] : d) {
                    path_.push_back(key.toUtf8Lossy());
                    indent(depth + 1);
                    out_ += "<key>";
                    text(key);
                    out_ += "</key>\n";
                    if (!write(value, depth + 1))
                        return false;
                    path_.pop_back();
                }
                indent(depth);
                out_ += "</dict>\n";
                return true;
            }
        }
        return false;
    }

    std::string take() { return std::move(out_); }

  private:
    void indent(std::size_t depth) { out_.append(depth, '\t'); }

    void text(const String& s) {
        bool lossy = false;
        bool control = false;
        forEachScalar(s, [&](char32_t cp, bool replaced) {
            lossy = lossy || replaced;
            switch (cp) {
                case '&':
                    out_ += "&amp;";
                    return;
                case '<':
                    out_ += "&lt;";
                    return;
                case '>':
                    out_ += "&gt;";
                    return;
                // A conforming reader turns a raw carriage return into a line feed.
                case '\r':
                    out_ += "&#13;";
                    return;
                case '\t':
                case '\n':
                    out_ += static_cast<char>(cp);
                    return;
                default:
                    break;
            }
            if (cp < 0x20 || cp == 0xFFFE || cp == 0xFFFF) {
                control = true;
                char buf[16];
                auto r = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned>(cp), 16);
                out_ += "&#x";
                out_.append(buf, r.ptr);
                out_ += ';';
                return;
            }
            utf::appendUtf8(out_, cp);
        });
        if (lossy)
            report_.lossy(path_);
        if (control)
            report_.control(path_);
    }

    void data(const Data& d, std::size_t depth) {
        std::string encoded;
        appendBase64(encoded, d);
        if (encoded.size() <= 64) {
            out_ += "<data>" + encoded + "</data>\n";
            return;
        }
        out_ += "<data>\n";
        for (std::size_t i = 0; i < encoded.size(); i += 68) {
            indent(depth);
            out_.append(encoded, i, 68);
            out_ += '\n';
        }
        indent(depth);
        out_ += "</data>\n";
    }

    std::string out_;
    TextReport report_;
    std::vector<std::string> path_;
};

// ---------------------------------------------------------------------------
// libplist nodes

Node makeNode(const Value& v, std::size_t depth, TextReport& report,
              std::vector<std::string>& path) {
    switch (v.type()) {
        case Value::Type::Boolean:
            return Node(plist_new_bool(*v.asBoolean() ? 1 : 0));
        case Value::Type::Integer:
            // Two's complement: libplist writes a node above INT64_MAX as a
            // negative number in both forms.
            return Node(plist_new_uint(static_cast<std::uint64_t>(*v.asInteger())));
        case Value::Type::Real:
            return Node(plist_new_real(*v.asReal()));
        case Value::Type::String: {
            bool lossy = false;
            std::string text = plainUtf8(*v.asString(), &lossy);
            if (lossy)
                report.lossy(path);
            return Node(plist_new_string(text.c_str()));
        }
        case Value::Type::Data: {
            const Data& d = *v.asData();
            return Node(plist_new_data(reinterpret_cast<const char*>(d.data()), d.size()));
        }
        case Value::Type::Array: {
            if (depth + 1 > kMaxDepth)
                return nullptr;
            Node array(plist_new_array());
            const Array& a = *v.asArray();
            for (std::size_t i = 0; i < a.size(); ++i) {
                path.push_back(std::to_string(i));
                Node item = makeNode(a[i], depth + 1, report, path);
                if (!item)
                    return nullptr;
                plist_array_append_item(array.get(), item.release());
                path.pop_back();
            }
            return array;
        }
        case Value::Type::Dictionary: {
            if (depth + 1 > kMaxDepth)
                return nullptr;
            Node dict(plist_new_dict());
            for (const auto& [key, value] : *v.asDictionary()) {
                path.push_back(key.toUtf8Lossy());
                bool lossy = false;
                std::string name = plainUtf8(key, &lossy);
                if (lossy)
                    report.lossy(path);
                Node item = makeNode(value, depth + 1, report, path);
                if (!item)
                    return nullptr;
                plist_dict_set_item(dict.get(), name.c_str(), item.release());
                path.pop_back();
            }
            return dict;
        }
    }
    return nullptr;
}

const char* nodeTypeName(plist_type t) {
    switch (t) {
        case PLIST_DATE:
            return "date";
        case PLIST_UID:
            return "UID";
        case PLIST_KEY:
            return "key";
        default:
            return "unknown";
    }
}

class NodeReader {
  public:
    std::optional<Value> read(plist_t node, std::size_t depth) {
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN: {
                std::uint8_t b = 0;
                plist_get_bool_val(node, &b);
                return Value(b != 0);
            }
            case PLIST_UINT: {
                std::uint64_t u = 0;
                plist_get_uint_val(node, &u);
                return Value(static_cast<long long>(static_cast<std::int64_t>(u)));
            }
            case PLIST_REAL: {
                double d = 0;
                plist_get_real_val(node, &d);
                return Value(d);
            }
            case PLIST_STRING: {
                std::uint64_t len = 0;
                const char* p = plist_get_string_ptr(node, &len);
                if (!p)
                    len = 0;
                if (!text(len))
                    return std::nullopt;
                return Value(String(std::string_view(p ? p : "", len)));
            }
            case PLIST_DATA: {
                std::uint64_t len = 0;
                const char* p = plist_get_data_ptr(node, &len);
                if (!p)
                    len = 0;
                if (!text(len))
                    return std::nullopt;
                const auto* b = reinterpret_cast<const std::uint8_t*>(p);
                return Value(p ? Data(b, b + len) : Data());
            }
            case PLIST_ARRAY: {
                if (depth + 1 > kMaxDepth)
                    return tooDeep();
                Array a;
                std::uint32_t n = plist_array_get_size(node);
                if (n > limits::kMaxElements) {
                    error = "an array with " + std::to_string(n) +
                            " elements: " + limits::tooManyElements();
                    return std::nullopt;
                }
                a.reserve(n);
                // The iterator walks the items in turn; plist_array_get_item
                // counts from the first item every time.
                plist_array_iter rawIter = nullptr;
                plist_array_new_iter(node, &rawIter);
                Malloced<void> iter(rawIter);
                for (std::uint32_t i = 0; iter && i < n; ++i) {
                    plist_t item = nullptr;
                    plist_array_next_item(node, iter.get(), &item);
                    if (!item)
                        break;
                    if (!supported(item)) {
                        skipped(item, "item " + std::to_string(i));
                        continue;
                    }
                    auto v = read(item, depth + 1);
                    if (!v)
                        return std::nullopt;
                    a.push_back(std::move(*v));
                }
                return Value(std::move(a));
            }
            case PLIST_DICT: {
                if (depth + 1 > kMaxDepth)
                    return tooDeep();
                if (std::uint32_t n = plist_dict_get_size(node); n > limits::kMaxKeys) {
                    error = "a dictionary with " + std::to_string(n) +
                            " keys: " + limits::tooManyKeys();
                    return std::nullopt;
                }
                Dictionary d;
                plist_dict_iter rawIter = nullptr;
                plist_dict_new_iter(node, &rawIter);
                Malloced<void> iter(rawIter);
                if (!iter)
                    return Value(std::move(d));
                for (;;) {
                    char* rawKey = nullptr;
                    plist_t item = nullptr;
                    plist_dict_next_item(node, iter.get(), &rawKey, &item);
                    Malloced<char> key(rawKey);
                    if (!item)
                        break;
                    if (!key)
                        continue;
                    const std::string_view keyText(key.get());
                    if (!text(keyText.size()))
                        return std::nullopt;
                    if (!supported(item)) {
                        skipped(item, std::string("key \"") + key.get() + "\"");
                        continue;
                    }
                    auto v = read(item, depth + 1);
                    if (!v)
                        return std::nullopt;
                    d.set(String(keyText), std::move(*v));
                }
                return Value(std::move(d));
            }
            default:
                error = std::string("a ") + nodeTypeName(plist_get_node_type(node)) +
                        " has no property-list value here";
                return std::nullopt;
        }
    }

    std::string error;

  private:
    static bool supported(plist_t node) {
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN:
            case PLIST_UINT:
            case PLIST_REAL:
            case PLIST_STRING:
            case PLIST_DATA:
            case PLIST_ARRAY:
            case PLIST_DICT:
                return true;
            default:
                return false;
        }
    }

    static void skipped(plist_t node, const std::string& where) {
        systemLog(LogLevel::Warning, std::string("property list: left out ") + where + ", a " +
                                         nodeTypeName(plist_get_node_type(node)) +
                                         " (not supported)");
    }

    std::optional<Value> tooDeep() {
        error = "nested deeper than " + std::to_string(kMaxDepth) + " levels";
        return std::nullopt;
    }

    // Counts text and data bytes; false, with the limit in `error`, past it.
    bool text(std::uint64_t bytes) {
        textBytes_ += bytes;
        if (textBytes_ <= kMaxTextBytes)
            return true;
        error = "more than " + std::to_string(kMaxTextBytes) + " bytes of text and data: at most " +
                std::to_string(kMaxTextBytes >> 20) + " MiB per property list";
        return false;
    }

    std::uint64_t textBytes_ = 0;
};

// ---------------------------------------------------------------------------
// Checks ahead of libplist: its parsers and its node code recurse once per
// level and copy a shared binary object for every reference to it.

// Mirrors how libplist's XML reader finds tags: processing instructions,
// comments, DOCTYPE and CDATA are skipped the way it skips them, and every
// other opening <array> or <dict> counts as one more level.
// What is wrong with the XML text for libplist, if anything.
std::optional<std::string> checkXml(std::string_view s) {
    // XML has no NUL character; libplist aborts on a key that holds one.
    if (s.find('\0') != std::string_view::npos) {
        return "holds a NUL byte";
    }
    // The arrays and dictionaries open around the current tag, with the
    // elements (of an array) or keys (of a dictionary) seen in each so far:
    // counted here, so that libplist never builds an oversized container.
    struct Open {
        bool dictionary;
        std::size_t children;
    };
    std::vector<Open> open;
    std::size_t elements = 0;
    std::size_t i = 0;
    auto skipPast = [&](std::size_t from, std::string_view end) {
        std::size_t e = s.find(end, from);
        i = e == std::string_view::npos ? s.size() : e + end.size();
    };
    while ((i = s.find('<', i)) != std::string_view::npos) {
        std::string_view rest = s.substr(i);
        if (rest.starts_with("<?")) {
            skipPast(i + 2, "?>");
        } else if (rest.starts_with("<!--")) {
            skipPast(i + 4, "-->");
        } else if (rest.starts_with("<![CDATA[")) {
            skipPast(i + 9, "]]>");
        } else if (rest.starts_with("<!")) {
            std::size_t e = s.find_first_of("[>", i);
            if (e != std::string_view::npos && s[e] == '[') {
                skipPast(e, "]>");
            } else {
                i = e == std::string_view::npos ? s.size() : e + 1;
            }
        } else {
            bool closing = rest.size() > 1 && rest[1] == '/';
            std::size_t nameStart = i + (closing ? 2 : 1);
            std::size_t nameEnd = s.find_first_of(" \r\n\t<>/", nameStart);
            if (nameEnd == std::string_view::npos)
                nameEnd = s.size();
            std::string_view name = s.substr(nameStart, nameEnd - nameStart);
            std::size_t gt = s.find_first_of("<>", nameEnd);
            bool empty = gt != std::string_view::npos && s[gt] == '>' && s[gt - 1] == '/';
            if (!closing && !open.empty()) {
                Open& parent = open.back();
                if (!parent.dictionary && ++parent.children > limits::kMaxElements) {
                    return "has an array with more than " + std::to_string(limits::kMaxElements) +
                           " elements: " + limits::tooManyElements();
                }
                if (parent.dictionary && name == "key" && ++parent.children > limits::kMaxKeys) {
                    return "has a dictionary with more than " + std::to_string(limits::kMaxKeys) +
                           " keys: " + limits::tooManyKeys();
                }
            }
            if (name == "array" || name == "dict") {
                if (closing) {
                    if (!open.empty())
                        open.pop_back();
                } else if (!empty) {
                    if (open.size() + 1 > kMaxDepth) {
                        return "nested deeper than " + std::to_string(kMaxDepth) + " levels";
                    }
                    open.push_back(Open{name == "dict", 0});
                }
            }
            if (!closing && ++elements > kMaxNodes) {
                return "more than " + std::to_string(kMaxNodes) + " elements";
            }
            i = nameEnd;
        }
    }
    return std::nullopt;
}

// Walks the object graph of a "bplist00" file: trailer and offset table in
// bounds, every object's extent in bounds, references valid, no cycles, and
// the tree libplist would build (shared objects copied) within bounds.
class BinaryChecker {
  public:
    explicit BinaryChecker(std::span<const std::uint8_t> b) : b_(b) {}

    // The fault found when check() returned false.
    const std::string& fault() const { return fault_; }

    bool check() {
        if (b_.size() < 8 + 1 + 1 + 32)
            return bad("too short");
        const std::size_t trailer = b_.size() - 32;
        offsetSize_ = b_[trailer + 6];
        refSize_ = b_[trailer + 7];
        const std::uint64_t count = be(trailer + 8, 8);
        const std::uint64_t top = be(trailer + 16, 8);
        tableOffset_ = be(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8)
            return bad("bad trailer");
        if (count == 0 || top >= count)
            return bad("bad object count");
        if (tableOffset_ < 8 || tableOffset_ > trailer)
            return bad("bad offset table");
        if (count > (trailer - tableOffset_) / offsetSize_)
            return bad("bad offset table");
        count_ = count;
        return walk(top);
    }

  private:
    struct Info {
        std::size_t depth = 0;
        std::uint64_t nodes = 0;
        std::uint64_t payload = 0;
    };
    struct Frame {
        std::uint64_t object = 0;
        std::uint64_t refsAt = 0;  // where its references start
        std::uint64_t refCount = 0;
        std::uint64_t next = 0;
        bool dictionary = false;  // references are keys, then values
        Info sum;
    };

    bool bad(const char* what) {
        fault_ = std::string("malformed binary property list: ") + what;
        return false;
    }

    std::uint64_t be(std::uint64_t at, unsigned size) const {
        std::uint64_t v = 0;
        for (unsigned k = 0; k < size; ++k)
            v = (v << 8) | b_[at + k];
        return v;
    }

    // Start of object i, or 0 when out of bounds.
    std::uint64_t offsetOf(std::uint64_t i) const {
        std::uint64_t at = be(tableOffset_ + i * offsetSize_, offsetSize_);
        return at >= 8 && at < tableOffset_ ? at : 0;
    }

    // Reads a length: the marker's low nibble, or an integer object after it.
    bool length(std::uint64_t& at, std::uint8_t nibble, std::uint64_t& n) const {
        if (nibble != 0x0F) {
            n = nibble;
            return true;
        }
        if (at >= tableOffset_)
            return false;
        std::uint8_t m = b_[at++];
        if ((m >> 4) != 0x1 || (m & 0x0F) > 3)
            return false;
        unsigned size = 1u << (m & 0x0F);
        if (at + size > tableOffset_)
            return false;
        n = be(at, size);
        at += size;
        return true;
    }

    // Describes object i: its own payload, and its references when it is a
    // container. False when it is malformed.
    bool describe(std::uint64_t i, Frame& f, std::uint64_t& payload) const {
        std::uint64_t at = offsetOf(i);
        if (at == 0)
            return false;
        const std::uint8_t marker = b_[at++];
        const std::uint8_t nibble = marker & 0x0F;
        const std::uint64_t room = tableOffset_ - at;
        std::uint64_t n = 0;
        f = Frame{};
        f.object = i;
        payload = 0;
        switch (marker >> 4) {
            case 0x0:
                return nibble == 0x0 || nibble == 0x8 || nibble == 0x9 || nibble == 0xF;
            case 0x1:
            case 0x2:
                return nibble <= 4 && (1u << nibble) <= room;
            case 0x3:
                return nibble == 3 && 8 <= room;
            case 0x8:
                return nibble + 1u <= room;
            case 0x4:
            case 0x5:
                if (!length(at, nibble, n) || n > tableOffset_ - at)
                    return false;
                payload = n;
                return true;
            case 0x6:
                if (!length(at, nibble, n) || n > (tableOffset_ - at) / 2)
                    return false;
                payload = n * 3;  // as UTF-8, at most
                return true;
            case 0xA:
            case 0xC:
            case 0xD: {
                if (!length(at, nibble, n))
                    return false;
                const std::uint64_t refs = (marker >> 4) == 0xD ? 2 : 1;
                if (n > (tableOffset_ - at) / refSize_ / refs)
                    return false;
                f.refsAt = at;
                f.refCount = n * refs;
                f.dictionary = refs == 2;
                return true;
            }
            default:
                return false;
        }
    }

    // Keys are text without U+0000: libplist aborts on a key holding one.
    bool goodKey(std::uint64_t i) {
        if (goodKeys_.contains(i))
            return true;
        std::uint64_t at = offsetOf(i);
        if (at == 0)
            return false;
        const std::uint8_t marker = b_[at++];
        std::uint64_t n = 0;
        if (!length(at, marker & 0x0F, n))
            return false;
        if ((marker >> 4) == 0x5) {
            if (n > tableOffset_ - at)
                return false;
            for (std::uint64_t k = 0; k < n; ++k) {
                if (b_[at + k] == 0)
                    return false;
            }
        } else if ((marker >> 4) == 0x6) {
            if (n > (tableOffset_ - at) / 2)
                return false;
            for (std::uint64_t k = 0; k < n; ++k) {
                if (b_[at + 2 * k] == 0 && b_[at + 2 * k + 1] == 0)
                    return false;
            }
        } else {
            return false;
        }
        goodKeys_.insert(i);
        return true;
    }

    bool walk(std::uint64_t top) {
        std::unordered_map<std::uint64_t, Info> seen;
        std::unordered_map<std::uint64_t, bool> onStack;
        std::vector<Frame> stack;
        auto enter = [&](std::uint64_t i) -> bool {
            Frame f{};
            std::uint64_t payload = 0;
            if (!describe(i, f, payload))
                return false;
            f.sum.payload = payload;
            f.sum.nodes = 1;
            stack.push_back(f);
            onStack[i] = true;
            return true;
        };
        // The nesting below the containers on the stack, counting them.
        auto tooDeep = [&](std::size_t below) {
            if (stack.size() + below <= kMaxDepth + 1)
                return false;
            fault_ = "nested deeper than " + std::to_string(kMaxDepth) + " levels";
            return true;
        };
        if (!enter(top))
            return bad("bad object");
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (f.next < f.refCount) {
                std::uint64_t child = be(f.refsAt + f.next * refSize_, refSize_);
                ++f.next;
                if (child >= count_)
                    return bad("bad object reference");
                if (f.dictionary && f.next <= f.refCount / 2 && !goodKey(child)) {
                    return bad("bad dictionary key");
                }
                if (onStack[child])
                    return bad("object refers to itself");
                auto it = seen.find(child);
                if (it != seen.end()) {
                    // Shared: libplist copies it once more, at this depth.
                    if (tooDeep(it->second.depth))
                        return false;
                    if (!add(f.sum, it->second))
                        return tooBig();
                    continue;
                }
                if (seen.size() + stack.size() > kMaxNodes)
                    return bad("too many objects");
                if (!enter(child))
                    return bad("bad object");
                if (tooDeep(0))
                    return false;
                continue;
            }
            // Depth: 0 for a scalar, one more than its deepest child for a container.
            Info done = f.sum;
            if (f.refCount > 0 || f.refsAt != 0)
                ++done.depth;
            std::uint64_t object = f.object;
            onStack[object] = false;
            stack.pop_back();
            seen[object] = done;
            if (!stack.empty() && !add(stack.back().sum, done))
                return tooBig();
        }
        return true;
    }

    // Adds a child's expanded size to its parent's; false past the limits.
    static bool add(Info& parent, const Info& child) {
        parent.nodes += child.nodes;
        parent.payload += child.payload;
        parent.depth = std::max(parent.depth, child.depth);
        return parent.nodes <= kMaxNodes && parent.payload <= kMaxPayload;
    }

    bool tooBig() {
        fault_ = "binary property list expands beyond " + std::to_string(kMaxNodes) +
                 " objects or " + std::to_string(kMaxPayload >> 20) + " MiB";
        return false;
    }

    std::span<const std::uint8_t> b_;
    unsigned offsetSize_ = 0;
    unsigned refSize_ = 0;
    std::uint64_t tableOffset_ = 0;
    std::uint64_t count_ = 0;
    std::unordered_set<std::uint64_t> goodKeys_;
    std::string fault_;
};

Error malformed(std::string what) {
    return {Reason::Malformed, std::move(what)};
}

Error tooDeep() {
    return malformed("nested deeper than " + std::to_string(kMaxDepth) + " levels");
}

Result<Value> parseUnchecked(std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return malformed("empty file");
    if (bytes.size() > kMaxBytes) {
        return malformed("too large (" + std::to_string(bytes.size()) + " bytes, at most " +
                         std::to_string(kMaxBytes) + ")");
    }
    const char* text = reinterpret_cast<const char*>(bytes.data());
    const auto size = static_cast<std::uint32_t>(bytes.size());
    const std::string_view view(text, bytes.size());
    plist_t raw = nullptr;
    if (view.starts_with("bplist")) {
        if (!view.starts_with("bplist00")) {
            return malformed("unsupported binary property list version \"" +
                             std::string(view.substr(0, 8)) + "\"");
        }
        BinaryChecker checker(bytes);
        if (!checker.check())
            return malformed(checker.fault());
        plist_from_bin(text, size, &raw);
    } else {
        if (auto why = checkXml(view))
            return malformed("XML property list " + *why);
        CLocaleScope cLocale;
        plist_from_xml(text, size, &raw);
    }
    Node root(raw);
    if (!root) {
        return malformed(view.starts_with("bplist") ? "malformed binary property list"
                                                    : "not a well-formed XML property list");
    }
    NodeReader reader;
    if (auto value = reader.read(root.get(), 0))
        return std::move(*value);
    return malformed(reader.error);
}

}  // namespace

Node toNode(const Value& v, std::string_view what) {
    try {
        TextReport report(what);
        std::vector<std::string> path;
        return makeNode(v, 0, report, path);
    } catch (const std::exception&) {
        return nullptr;
    }
}

Result<Value> fromNode(plist_t node) {
    if (!node)
        return malformed("no node");
    try {
        NodeReader reader;
        if (auto value = reader.read(node, 0))
            return std::move(*value);
        return malformed(reader.error);
    } catch (const std::exception& e) {
        return Error{Reason::Failed, e.what()};
    }
}

Result<std::string> toXml(const Value& v, std::string_view what) {
    try {
        std::string out =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n";
        std::string body;
        {
            XmlWriter writer(what);
            if (!writer.write(v, 0))
                return tooDeep();
            body = writer.take();
        }
        out += body;
        out += "</plist>\n";
        return out;
    } catch (const std::exception& e) {
        return Error{Reason::Failed, e.what()};
    }
}

Result<std::vector<std::uint8_t>> toBinary(const Value& v, std::string_view what) {
    try {
        Node node = toNode(v, what);
        if (!node)
            return tooDeep();
        char* raw = nullptr;
        std::uint32_t length = 0;
        plist_to_bin(node.get(), &raw, &length);
        std::unique_ptr<char, BinBufferDeleter> buffer(raw);
        if (!buffer || length == 0)
            return Error{Reason::Failed, "libplist could not write a binary property list"};
        const auto* b = reinterpret_cast<const std::uint8_t*>(buffer.get());
        return std::vector<std::uint8_t>(b, b + length);
    } catch (const std::exception& e) {
        return Error{Reason::Failed, e.what()};
    }
}

Result<Value> parse(std::span<const std::uint8_t> bytes) {
    try {
        return parseUnchecked(bytes);
    } catch (const std::exception& e) {
        return Error{Reason::Failed, std::string("cannot parse: ") + e.what()};
    }
}

Result<Value> parse(std::string_view bytes) {
    return parse(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                               bytes.size()));
}

}  // namespace platform::plist
