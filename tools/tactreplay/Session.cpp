#include "tools/tactreplay/Session.hpp"

#include <charconv>
#include <cmath>
#include <sstream>

#include "platform/values/Json.hpp"

namespace tact::replay {
namespace {

std::string trim(const std::string& s) {
    auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// First word and the rest of the line after it (trimmed).
std::pair<std::string, std::string> splitWord(const std::string& s) {
    auto t = trim(s);
    auto sp = t.find_first_of(" \t");
    if (sp == std::string::npos)
        return {t, {}};
    return {t.substr(0, sp), trim(t.substr(sp + 1))};
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// An unsigned number in decimal or (with 0x) hexadecimal, at most max.
std::optional<std::uint64_t> unsignedNumber(const std::string& s, std::uint64_t max) {
    if (s.empty())
        return std::nullopt;
    int base = 10;
    std::string_view digits = s;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
    if (ec != std::errc() || end != digits.data() + digits.size() || v > max)
        return std::nullopt;
    return v;
}

std::optional<std::vector<std::uint8_t>> hexBytes(const std::string& s) {
    if (s.empty() || s.size() % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < s.size(); i += 2) {
        std::uint8_t b = 0;
        auto [end, ec] = std::from_chars(s.data() + i, s.data() + i + 2, b, 16);
        if (ec != std::errc() || end != s.data() + i + 2)
            return std::nullopt;
        out.push_back(b);
    }
    return out;
}

// What is wrong with a line, in the words its error message gives.
platform::Error malformed(std::string what) {
    return {platform::Reason::Malformed, std::move(what)};
}

platform::Result<platform::Dictionary> jsonObject(const std::string& text) {
    auto v = platform::json::parse(text);
    if (!v)
        return v.error();
    if (!v->isDictionary())
        return malformed("a JSON object was expected");
    return *v->asDictionary();
}

// The frame's identity from "key=value ..."; what is wrong with it otherwise.
std::optional<std::string> parseFrame(const std::string& args,
                                      platform::hid::VirtualFrameConfig& frame) {
    for (const auto& item : words(args)) {
        auto eq = item.find('=');
        if (eq == std::string::npos)
            return "frame: '" + item + "' is not key=value";
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "product") {
            auto v = unsignedNumber(value, 0xFFFF);
            if (!v)
                return "frame: product must be a 16-bit number";
            frame.product = static_cast<std::uint16_t>(*v);
        } else if (key == "bootparam") {
            auto bytes = hexBytes(value);
            if (!bytes || bytes->size() != 16)
                return "frame: bootparam must be 32 hex digits";
            std::copy(bytes->begin(), bytes->end(), frame.bootparam.begin());
        } else if (key == "shiptime") {
            if (value == "none") {
                frame.shiptime.reset();
            } else {
                auto v = unsignedNumber(value, 0xFFFFFFFE);
                if (!v)
                    return "frame: shiptime must be seconds since 1970 or none";
                frame.shiptime = static_cast<std::uint32_t>(*v);
            }
        } else if (key == "serial") {
            frame.serial = value;
        } else if (key == "type") {
            frame.type = value;
        } else if (key == "leds") {
            auto x = value.find('x');
            auto h =
                x == std::string::npos ? std::nullopt : unsignedNumber(value.substr(0, x), 0xFFFF);
            auto v =
                x == std::string::npos ? std::nullopt : unsignedNumber(value.substr(x + 1), 0xFFFF);
            if (!h || !v)
                return "frame: leds must be <H>x<V>";
            frame.ledsH = static_cast<std::uint16_t>(*h);
            frame.ledsV = static_cast<std::uint16_t>(*v);
        } else if (key == "debug") {
            if (value != "none")
                return "frame: debug takes only 'none'";
            frame.debug = false;
        } else {
            return "frame: unknown key '" + key + "'";
        }
    }
    std::string why = platform::hid::VirtualFrame::checkConfig(frame);
    if (!why.empty())
        return "frame: " + why;
    return std::nullopt;
}

}  // namespace

platform::Result<platform::hid::VirtualFrameContact> parseContact(const std::string& text) {
    platform::hid::VirtualFrameContact c;
    auto fail = [&](const std::string& why) { return malformed("contact '" + text + "': " + why); };
    auto colon = text.find(':');
    if (colon == std::string::npos)
        return fail("expected <id>:<x>,<y>");
    auto id = unsignedNumber(text.substr(0, colon), 255);
    if (!id)
        return fail("the id must be 0..255");
    c.id = static_cast<std::uint8_t>(*id);
    std::string rest = text.substr(colon + 1);
    auto colon2 = rest.find(':');
    std::string coords = rest.substr(0, colon2);
    if (colon2 != std::string::npos) {
        std::string flags = rest.substr(colon2 + 1);
        if (flags == "up") {
            c.flags = 6;
        } else if (auto f = unsignedNumber(flags, 255)) {
            c.flags = static_cast<std::uint8_t>(*f);
        } else {
            return fail("flags must be 'up' or a number 0..255");
        }
    }
    std::vector<std::uint16_t> values;
    std::stringstream in(coords);
    for (std::string part; std::getline(in, part, ',');) {
        auto v = unsignedNumber(part, 0xFFFF);
        if (!v)
            return fail("'" + part + "' is not a 16-bit number");
        values.push_back(static_cast<std::uint16_t>(*v));
    }
    if (values.size() != 2 && values.size() != 4)
        return fail("expected x,y or x,y,w,h");
    c.x = values[0];
    c.y = values[1];
    if (values.size() == 4) {
        c.w = values[2];
        c.h = values[3];
    }
    return c;
}

platform::Result<Session> parseSession(std::istream& in, const std::string& name) {
    Session session;
    std::string line;
    int number = 0;
    double lastT = 0;
    auto fail = [&](const std::string& what) {
        return malformed(name + ":" + std::to_string(number) + ": " + what);
    };

    while (std::getline(in, line)) {
        ++number;
        // A comment starts with '#' at the start of the line or after
        // whitespace; a '#' inside a word (serial=A#1) is kept.
        for (auto hash = line.find('#'); hash != std::string::npos;
             hash = line.find('#', hash + 1)) {
            if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t') {
                line.resize(hash);
                break;
            }
        }
        line = trim(line);
        if (line.empty())
            continue;
        auto [first, rest] = splitWord(line);

        double t = 0;
        auto [end, ec] = std::from_chars(first.data(), first.data() + first.size(), t);
        const bool whole = end == first.data() + first.size();
        if (ec == std::errc::result_out_of_range && whole)
            return fail("time out of range");
        const bool timed = ec == std::errc() && whole;
        if (!timed) {
            if (!session.lines.empty())
                return fail("header line '" + first + "' after timed lines");
            auto& h = session.header;
            if (first == "frame") {
                if (auto why = parseFrame(rest, h.frame))
                    return fail(*why);
            } else if (first == "screen") {
                auto size = platform::parseScreenSize(rest);
                if (!size)
                    return fail("screen must be <W>x<H>");
                h.screenWidth = size->first;
                h.screenHeight = size->second;
            } else if (first == "os") {
                unsigned minor = 0;
                char extra = 0;
                if (std::sscanf(rest.c_str(), "10.%u%c", &minor, &extra) != 1 || minor > 99) {
                    return fail("os must be 10.<minor>");
                }
                h.os = platform::SystemVersion{10, static_cast<std::int32_t>(minor), 0};
            } else if (first == "prefs" || first == "hotkeys") {
                auto d = jsonObject(rest);
                if (!d)
                    return fail(first + ": " + d.error().detail);
                (first == "prefs" ? h.prefs : h.hotkeys) = std::move(*d);
            } else {
                return fail("unknown line '" + first + "'");
            }
            continue;
        }

        if (!std::isfinite(t) || t < 0 || t > kLatestSessionTime)
            return fail("time out of range");
        if (t < lastT)
            return fail("time goes backwards");
        lastT = t;
        SessionLine s;
        s.t = t;
        s.lineNumber = number;
        auto [verb, args] = splitWord(rest);
        if (verb == "touch") {
            s.verb = SessionLine::Verb::Touch;
            for (const auto& w : words(args)) {
                auto c = parseContact(w);
                if (!c)
                    return fail(c.error().detail);
                s.contacts.push_back(*c);
            }
        } else if (verb == "raw") {
            s.verb = SessionLine::Verb::Raw;
            auto bytes = hexBytes(args);
            if (!bytes)
                return fail("raw needs an even number of hex digits");
            s.bytes = std::move(*bytes);
        } else if (verb == "control") {
            s.verb = SessionLine::Verb::Control;
            auto d = jsonObject(args);
            if (!d)
                return fail("control: " + d.error().detail);
            s.userInfo = std::move(*d);
        } else if (verb == "app") {
            s.verb = SessionLine::Verb::App;
            if (args.empty())
                return fail("app needs a bundle identifier");
            s.bundleIdentifier = args;
        } else if (verb == "wait" || verb == "detach" || verb == "attach") {
            if (!args.empty())
                return fail(verb + " takes nothing after it");
            s.verb = verb == "wait"     ? SessionLine::Verb::Wait
                     : verb == "detach" ? SessionLine::Verb::Detach
                                        : SessionLine::Verb::Attach;
        } else {
            return fail("unknown verb '" + verb + "'");
        }
        session.lines.push_back(std::move(s));
    }
    return session;
}

}  // namespace tact::replay
