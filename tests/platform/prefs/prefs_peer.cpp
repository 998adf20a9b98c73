// A second process for the preferences tests. Runs its commands in order:
//
//   prefs_peer DIR DOMAIN COMMAND...
//
//   set KEY JSON      pending write (JSON true/false, integers, reals, objects...)
//   remove KEY        pending removal
//   sync              synchronises; prints "sync ok" or "sync failed"
//   get KEY           prints the value as JSON, or "none"
//   setmany PREFIX N  for i below N: sets PREFIX<i> to i and synchronises
//                     (exit 1 when a synchronise fails)
//   echo WORD         prints WORD
//   waitfile PATH     waits until PATH exists (exit 3 after 20 s)
//   path              prints the domain's file path
//
// DIR "-" keeps the default folder (XDG_CONFIG_HOME, HOME).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/prefs/Preferences.hpp"
#include "platform/values/Json.hpp"

namespace {

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

int usage(const std::string& why) {
    std::fprintf(stderr, "prefs_peer: %s\n", why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return usage("usage: prefs_peer DIR DOMAIN COMMAND...");
    if (std::string(argv[1]) != "-")
        platform::setPreferencesDirectory(argv[1]);
    const platform::String domain(argv[2]);

    for (int i = 3; i < argc; ++i) {
        const std::string command = argv[i];
        auto operand = [&](int n) -> const char* { return i + n < argc ? argv[i + n] : nullptr; };
        if (command == "set" && operand(2)) {
            auto value = platform::json::parse(operand(2));
            if (!value)
                return usage("bad JSON " + std::string(operand(2)) + ": " + value.error().detail);
            platform::CFPreferencesSetAppValue(operand(1), *value, domain);
            i += 2;
        } else if (command == "remove" && operand(1)) {
            platform::CFPreferencesSetAppValue(operand(1), std::nullopt, domain);
            i += 1;
        } else if (command == "sync") {
            say(platform::CFPreferencesAppSynchronize(domain) ? "sync ok" : "sync failed");
        } else if (command == "get" && operand(1)) {
            auto value = platform::CFPreferencesCopyAppValue(operand(1), domain);
            say(value ? platform::json::toText(*value) : "none");
            i += 1;
        } else if (command == "setmany" && operand(2)) {
            const std::string prefix = operand(1);
            const int count = std::stoi(operand(2));
            for (int k = 0; k < count; ++k) {
                platform::CFPreferencesSetAppValue(prefix + std::to_string(k), k, domain);
                if (!platform::CFPreferencesAppSynchronize(domain))
                    return 1;
            }
            i += 2;
        } else if (command == "echo" && operand(1)) {
            say(operand(1));
            i += 1;
        } else if (command == "waitfile" && operand(1)) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (::access(operand(1), F_OK) != 0) {
                if (std::chrono::steady_clock::now() > deadline)
                    return 3;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            i += 1;
        } else if (command == "path") {
            say(platform::preferencesPath(domain));
        } else {
            return usage("unknown or incomplete command " + command);
        }
    }
    return 0;
}
