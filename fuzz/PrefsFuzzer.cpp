// Preference files: any bytes through the property-list codec (parse, to a
// libplist node and back, XML and binary out, parsed again), and as a domain
// file read by CFPreferencesCopyAppValue.
//
// What must hold for a list that parses: its XML reads back as the same
// value, and so does its binary form; the node round trip gives the same
// value too.
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>

#include "fuzz/FuzzInput.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/prefs/PlistCodec.hpp"
#include "platform/prefs/Preferences.hpp"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        platform::systemLog(platform::LogLevel::Error, what);
        __builtin_trap();
    }
}

struct Setup {
    Setup() {
        platform::setSystemLogLevel(platform::LogLevel::Error);
        platform::setPreferencesDirectory(scratch.path());
    }
    tact::fuzz::ScratchDir scratch;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    std::span<const std::uint8_t> bytes(data, size);

    if (auto value = platform::plist::parse(bytes)) {
        // Strings that are not plain text are written lossily on purpose
        // (U+FFFD, with a warning): the round trips hold for the others.
        const bool exact = tact::fuzz::allPlainText(*value);
        if (auto node = platform::plist::toNode(*value)) {
            auto back = platform::plist::fromNode(static_cast<plist_t>(node.get()));
            check(back.ok(), "node round trip failed");
            check(!exact || tact::fuzz::sameValue(*value, *back),
                  "node round trip changed the value");
        }
        if (auto xml = platform::plist::toXml(*value, "fuzz")) {
            auto again = platform::plist::parse(*xml);
            check(again.ok(), "written XML does not parse");
            check(!exact || tact::fuzz::sameValue(*value, *again),
                  "XML round trip changed the value");
        }
        if (auto binary = platform::plist::toBinary(*value, "fuzz")) {
            auto again = platform::plist::parse(*binary);
            check(again.ok(), "written binary list does not parse");
        }
    }

    // The same bytes as a domain file another process left behind.
    const platform::String domain("com.fuzz.prefs");
    {
        std::ofstream out(platform::preferencesPath(domain), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    platform::setPreferencesDirectory(setup.scratch.path());  // forget the cached domain
    (void)platform::CFPreferencesCopyAppValue(platform::String("InchSize"), domain);
    (void)platform::CFPreferencesCopyAppValue(platform::String("ZyvTouchCoefficients"), domain);
    return 0;
}
