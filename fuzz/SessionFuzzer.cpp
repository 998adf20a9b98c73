// Session files: any text through the session parser. A session that parses
// is printed back through the contact parser for each touch contact it holds.
#include <cstdint>
#include <sstream>
#include <string>

#include "platform/log/SystemLog.hpp"
#include "tools/tactreplay/Session.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        platform::setSystemLogLevel(platform::LogLevel::Error);
        return true;
    }();
    (void)quiet;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    auto session = tact::replay::parseSession(in, "fuzz");
    if (!session && session.error().detail.empty())
        __builtin_trap();  // a refusal always says why
    return 0;
}
