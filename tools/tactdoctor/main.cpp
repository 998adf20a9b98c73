// tactdoctor: what stands between this user and a working touch frame, one
// line per check with what fixes it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Version.hpp"
#include "platform/hid/FrameAccess.hpp"
#include "platform/log/SystemLog.hpp"
#include "tools/tactdoctor/Checks.hpp"

namespace {

using namespace tact::doctor;

constexpr const char* kUsage =
    "Usage: tactdoctor [--no-agent] [--root DIR]\n"
    "\n"
    "Checks what the touch frame needs and prints one line per check, with the\n"
    "fix for each that fails: the frame on USB (vendor 23c9) and this user's\n"
    "access to its hidraw and input event nodes, the udev rule that grants it,\n"
    "/dev/uinput, the session type and where the agent would send events, the\n"
    "session bus and the agent on it, the user unit tactagent.service and its\n"
    "last journal lines, and the preferences file.\n"
    "\n"
    "Options:\n"
    "  --no-agent    do not ask the agent on the session bus (it is not needed)\n"
    "  --root DIR    look for /sys, /dev and the udev rule folders under DIR\n"
    "                (for testing)\n"
    "  -h, --help    show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Exit status: 0 when everything needed is there, 1 when something is\n"
    "missing, 2 for a malformed command line.\n";

// How long the agent has to answer on the bus.
constexpr double kAgentAnswerSeconds = 1.5;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

const char* label(Verdict verdict) {
    switch (verdict) {
        case Verdict::Ok:
            return "ok  ";
        case Verdict::Info:
            return "info";
        case Verdict::Warn:
            return "warn";
        case Verdict::Fail:
            return "FAIL";
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    Roots roots;
    bool askAgent = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("tactdoctor %s\n", tact::kSuiteVersion);
            return 0;
        } else if (arg == "--no-agent") {
            askAgent = false;
        } else if (arg == "--root" && i + 1 < argc && argv[i + 1][0] != '\0') {
            roots.root = argv[++i];
        } else {
            std::fprintf(stderr,
                         "tactdoctor: %s '%s'\nUsage: tactdoctor [--no-agent] [--root DIR]\n"
                         "Try 'tactdoctor --help' for more information.\n",
                         arg == "--root" ? "a folder is needed after" : "unknown option",
                         arg.c_str());
            return 2;
        }
    }
    // Our own library code logs through the system log; keep it out of the
    // report.
    platform::setSystemLogLevel(platform::LogLevel::Error);

    const Session session{environment("DISPLAY"), environment("WAYLAND_DISPLAY"),
                          environment("XDG_SESSION_TYPE")};
    std::string configHome = environment("XDG_CONFIG_HOME");
    if (configHome.empty())
        configHome = environment("HOME") + "/.config";

    std::vector<Finding> findings = checkFrame(roots);
    findings.push_back(checkUdevRule(roots));
    findings.push_back(checkUinput(roots, session));
    findings.push_back(checkSession(roots, session));
    if (askAgent) {
        for (auto& f : checkBusAndAgent(kAgentAnswerSeconds))
            findings.push_back(std::move(f));
    }
    findings.push_back(checkUserUnit());
    findings.push_back(checkPreferences(configHome));

    bool needAccess = false;
    for (const auto& f : findings) {
        std::printf("%s  %s: %s", label(f.verdict), f.subject.c_str(), f.text.c_str());
        if (!f.fix.empty())
            std::printf(" -> %s", f.fix.c_str());
        std::printf("\n");
        for (const auto& line : f.details)
            std::printf("        %s\n", line.c_str());
        needAccess = needAccess || f.fix.find("(below)") != std::string::npos;
    }
    if (needAccess) {
        std::printf("\nTo give this user access to the frame and /dev/uinput:\n%s\n",
                    std::string(platform::hid::frameAccessRemedy()).c_str());
    }
    const bool ok = allNeededThere(findings);
    std::printf("\n%s\n", ok ? "Everything the touch frame needs is there."
                             : "Something the touch frame needs is missing (FAIL above).");
    return ok ? 0 : 1;
}
