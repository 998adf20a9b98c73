// What tactdoctor looks at, one finding per check: the frame and its nodes,
// the udev rule, /dev/uinput, the session and where events would go, the
// session bus and the agent on it, the user unit, the preferences file.
#pragma once

#include <string>
#include <vector>

namespace tact::doctor {

enum class Verdict {
    Ok,
    Info,  // worth knowing, not a fault
    Warn,  // works, but not as well as it could
    Fail,  // something needed is missing
};

struct Finding {
    Verdict verdict = Verdict::Ok;
    std::string subject;               // "frame", "/dev/hidraw3", "udev rule", ...
    std::string text;                  // what was found
    std::string fix;                   // one line; empty when nothing is to be done
    std::vector<std::string> details;  // shown indented below (journal lines)
};

// Where the system's files are: "/" normally, a laid-out tree in tests.
struct Roots {
    std::string root = "/";
    std::string path(const std::string& absolute) const;
};

// The environment the agent would see (names as in the process environment).
struct Session {
    std::string display;         // DISPLAY
    std::string waylandDisplay;  // WAYLAND_DISPLAY
    std::string sessionType;     // XDG_SESSION_TYPE
};

std::vector<Finding> checkFrame(const Roots& roots);
Finding checkUdevRule(const Roots& roots);
Finding checkUinput(const Roots& roots, const Session& session);
Finding checkSession(const Roots& roots, const Session& session);
// The bus and, on it, the agent: does it answer within the time given?
std::vector<Finding> checkBusAndAgent(double answerSeconds);
Finding checkUserUnit();
Finding checkPreferences(const std::string& configHome);

// True when the verdicts leave the frame working.
bool allNeededThere(const std::vector<Finding>& findings);

}  // namespace tact::doctor
