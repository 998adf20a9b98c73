// Session files: a recorded (or written) touch session that tactreplay plays
// through the agent. See docs/replay.md for the format.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "agent/simulator/VirtualFrame.hpp"
#include "platform/desktop/Desktop.hpp"
#include "platform/values/Error.hpp"
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

// Parses a whole session. The first malformed line is an error whose detail
// is "<name>:<line>: <what is wrong>".
platform::Result<Session> parseSession(std::istream& in, const std::string& name);

// One contact, "<id>:<x>,<y>[,<w>,<h>][:<flags>]"; an error saying why when malformed.
platform::Result<platform::hid::VirtualFrameContact> parseContact(const std::string& text);

}  // namespace tact::replay
