// Session files: a recorded (or written) touch session that tactreplay plays
// through the agent. See docs/replay.md for the format.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/Desktop.hpp"
#include "platform/hid/VirtualFrame.hpp"
#include "platform/values/Value.hpp"

namespace tact::replay {

struct SessionHeader {
    platform::hid::VirtualFrameConfig frame;
    double screenWidth = 1920;
    double screenHeight = 1080;
    platform::SystemVersion os{10, 15, 0};
    std::optional<platform::Dictionary> prefs;
    std::optional<platform::Dictionary> hotkeys;
};

// The latest time a session line may have, in seconds. The virtual clock
// counts nanoseconds from the start in 64 bits and goes no further than this
// (about 31 years), so every time up to it is kept as written; a later,
// negative or non-finite time is a malformed line.
inline constexpr double kLatestSessionTime = 1e9;

struct SessionLine {
    enum class Verb { Touch, Raw, Control, App, Wait, Detach, Attach };

    double t = 0;
    int lineNumber = 0;
    Verb verb = Verb::Wait;
    std::vector<platform::hid::VirtualFrameContact> contacts;  // touch
    std::vector<std::uint8_t> bytes;                           // raw
    platform::Dictionary userInfo;                             // control
    std::string bundleIdentifier;                              // app
};

struct Session {
    SessionHeader header;
    std::vector<SessionLine> lines;
};

// Parses a whole session. On the first malformed line returns nullopt and
// sets *error to "<name>:<line>: <what is wrong>".
std::optional<Session> parseSession(std::istream& in, const std::string& name, std::string* error);

// One contact, "<id>:<x>,<y>[,<w>,<h>][:<flags>]"; nullopt with a reason when malformed.
std::optional<platform::hid::VirtualFrameContact> parseContact(const std::string& text,
                                                               std::string* error);

}  // namespace tact::replay
