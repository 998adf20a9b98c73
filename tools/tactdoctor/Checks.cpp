#include "tools/tactdoctor/Checks.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "platform/hid/FrameAccess.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/prefs/PlistCodec.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace tact::doctor {

namespace {

namespace fs = std::filesystem;
using platform::hid::NodeAccess;

constexpr const char* kGiveAccess = "give this user access (below)";
constexpr const char* kRuleName = "70-tact.rules";
// Files above this size are not ours to read whole.
constexpr std::uintmax_t kMaxReadSize = 1 << 20;

std::string hex4(std::uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

std::optional<std::string> readSmall(const std::string& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec || size > kMaxReadSize)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Runs a command (no shell), its standard output; nullopt when it could not run.
std::optional<std::string> commandOutput(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>/dev/null").c_str(), "r"),
                                               ::pclose);
    if (!pipe)
        return std::nullopt;
    std::string out;
    char buffer[512];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) {
        out.append(buffer, n);
        if (out.size() > kMaxReadSize)
            break;
    }
    const int status = ::pclose(pipe.release());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) == 127)
        return std::nullopt;
    return out;
}

Finding nodeFinding(const platform::hid::FrameNode& node, const char* what) {
    Finding f;
    f.subject = node.devnode;
    switch (node.access) {
        case NodeAccess::Openable:
            f.text = std::string(what) + ": this user may open it";
            break;
        case NodeAccess::PermissionDenied:
            f.verdict = Verdict::Fail;
            f.text = std::string(what) + ": permission denied";
            f.fix = kGiveAccess;
            break;
        case NodeAccess::Absent:
            f.verdict = Verdict::Fail;
            f.text = std::string(what) + ": the node is missing although sysfs lists it";
            f.fix = "plug the frame in again; check `udevadm info " + node.devnode + "`";
            break;
        case NodeAccess::OtherError:
            f.verdict = Verdict::Fail;
            f.text = std::string(what) + ": " + platform::hid::nodeAccessText(node);
            f.fix = "close the program that holds it (tactrecord, another agent)";
            break;
    }
    return f;
}

bool uinputWritable(const Roots& roots) {
    return platform::hid::probeNode(roots.path("/dev/uinput"), true).access == NodeAccess::Openable;
}

}  // namespace

std::string Roots::path(const std::string& absolute) const {
    if (root.empty() || root == "/")
        return absolute;
    return (fs::path(root) / fs::path(absolute).relative_path()).string();
}

std::vector<Finding> checkFrame(const Roots& roots) {
    const auto access = platform::hid::checkFrameAccess({roots.path("/sys"), roots.path("/dev")});
    std::vector<Finding> findings;
    if (!access.present()) {
        findings.push_back({Verdict::Fail,
                            "frame",
                            "no frame (USB vendor 23c9) is connected",
                            "plug it in; `lsusb -d 23c9:` should list it",
                            {}});
        return findings;
    }
    for (const auto& i : access.interfaces) {
        findings.push_back({Verdict::Ok,
                            "frame",
                            (i.name.empty() ? std::string("a frame") : i.name) + " (23c9:" +
                                hex4(i.productID) + "), " + fs::path(i.syspath).filename().string(),
                            "",
                            {}});
        findings.push_back(nodeFinding(i.hidraw, "hidraw node, read-write"));
        for (const auto& e : i.events) {
            Finding f = nodeFinding(e, "input event node, taken from the desktop");
            if (f.verdict == Verdict::Fail && e.access == NodeAccess::PermissionDenied) {
                // The agent runs without it, but the desktop then handles
                // the touches as well.
                f.text += " (the desktop would handle the touches as well)";
            }
            findings.push_back(std::move(f));
        }
    }
    return findings;
}

Finding checkUdevRule(const Roots& roots) {
    // Where udev reads rules, in its order of precedence; a file in an
    // earlier folder hides one of the same name in a later one.
    static const char* const kFolders[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                           "/usr/local/lib/udev/rules.d", "/usr/lib/udev/rules.d",
                                           "/lib/udev/rules.d"};
    std::vector<std::string> found;
    for (const char* folder : kFolders) {
        const std::string file = std::string(folder) + "/" + kRuleName;
        std::error_code ec;
        if (fs::exists(roots.path(file), ec))
            found.push_back(file);
    }
    Finding f{Verdict::Ok, "udev rule", "", "", {}};
    if (found.empty()) {
        f.verdict = Verdict::Fail;
        f.text = std::string(kRuleName) + " is in none of the folders udev reads";
        f.fix = kGiveAccess;
        return f;
    }
    const auto content = readSmall(roots.path(found.front()));
    if (!content || content->find("23c9") == std::string::npos ||
        content->find("uaccess") == std::string::npos) {
        f.verdict = Verdict::Fail;
        f.text = found.front() + " does not grant access to the frame (no 23c9 and uaccess)";
        f.fix = "install this version's rule again; " + std::string(kGiveAccess);
        return f;
    }
    f.text = found.front();
    if (found.size() > 1) {
        f.verdict = Verdict::Warn;
        f.text += " (it hides " + found[1] + ")";
        f.fix = "remove the older copy so that a later install is not hidden";
    }
    return f;
}

Finding checkUinput(const Roots& roots, const Session& session) {
    const auto node = platform::hid::probeNode(roots.path("/dev/uinput"), true);
    Finding f{Verdict::Ok, "/dev/uinput", "writable: the agent injects through it", "", {}};
    if (node.access == NodeAccess::Openable)
        return f;
    // Without it the agent injects through XTest where an X display is.
    f.verdict = session.display.empty() ? Verdict::Fail : Verdict::Warn;
    if (node.access == NodeAccess::Absent) {
        f.text = "missing (the uinput module is not loaded)";
        f.fix = "sudo modprobe uinput (tact.conf in modules-load.d loads it at boot)";
    } else {
        f.text = platform::hid::nodeAccessText(node);
        f.fix = kGiveAccess;
    }
    return f;
}

Finding checkSession(const Roots& roots, const Session& session) {
    Finding f{Verdict::Info, "session", "", "", {}};
    std::string kind;
    if (!session.waylandDisplay.empty())
        kind = "Wayland (" + session.waylandDisplay + ")";
    else if (!session.display.empty())
        kind = "X11 (DISPLAY=" + session.display + ")";
    else
        kind = "none (no DISPLAY, no WAYLAND_DISPLAY)";
    if (!session.sessionType.empty())
        kind += ", XDG_SESSION_TYPE=" + session.sessionType;
    std::string sink;
    if (uinputWritable(roots)) {
        sink = "the virtual input device (/dev/uinput)";
    } else if (!session.display.empty()) {
        sink = "XTest on " + session.display;
        if (!session.waylandDisplay.empty()) {
            f.verdict = Verdict::Warn;
            sink += ": only X11 windows get the events";
            f.fix = "give this user /dev/uinput (below)";
        }
    } else {
        f.verdict = Verdict::Fail;
        sink = "nothing: events would be dropped";
        f.fix = "give this user /dev/uinput (below), or run in an X11 session";
    }
    f.text = kind + "; the agent would inject through " + sink;
    return f;
}

std::vector<Finding> checkBusAndAgent(double answerSeconds) {
    std::vector<Finding> findings;
    auto loop = platform::makeRealRunLoop(false);
    auto connected = platform::makeBusNotificationCenter(*loop);
    if (!connected) {
        findings.push_back({Verdict::Fail,
                            "session bus",
                            connected.error().detail,
                            "run from the desktop session (DBUS_SESSION_BUS_ADDRESS)",
                            {}});
        return findings;
    }
    findings.push_back({Verdict::Ok, "session bus", "reachable", "", {}});
    auto& center = *connected;

    // Asks the agent as the settings do; its answer names the driver and
    // whether a frame is ready.
    std::optional<platform::Dictionary> answer;
    auto observation = center->addObserver(
        platform::String(kZyvTouchEventNotification), platform::String(kMultiTouchSupportObject),
        [&](const platform::Notification& n) {
            if (n.userInfo && n.userInfo->contains(platform::String(kKeyDriverVersion))) {
                answer = n.userInfo;
                loop->stop(0);
            }
        });
    center->post(platform::String(kControlNotification), platform::String(kControlObject),
                 platform::Dictionary{{kKeyNeedSerialNumber, true}});
    auto limit = loop->addTimer(answerSeconds, 0, [&](platform::Timer&) { loop->stop(0); });
    loop->run();
    if (!answer) {
        findings.push_back({Verdict::Fail,
                            "agent",
                            "not running on this session bus",
                            "systemctl --user start tactagent (or run tactagent)",
                            {}});
        return findings;
    }
    const platform::Value* ready = answer->find(platform::String(kKeyIsDeviceReady));
    const bool frameReady = ready && ready->asBoolean().value_or(false);
    findings.push_back({Verdict::Ok,
                        "agent",
                        std::string("answers; ") + (frameReady ? "it has read the frame's identity"
                                                               : "it has no frame ready yet"),
                        "",
                        {}});
    return findings;
}

Finding checkUserUnit() {
    Finding f{Verdict::Info, "user unit", "", "", {}};
    const auto show = commandOutput(
        "systemctl --user show -p LoadState,ActiveState,SubState,Result tactagent.service");
    if (!show || show->find("LoadState=") == std::string::npos) {
        f.text = "no user service manager answers (systemctl --user)";
        return f;
    }
    auto field = [&](const std::string& name) {
        const auto at = show->find(name + "=");
        if (at == std::string::npos)
            return std::string();
        const auto start = at + name.size() + 1;
        return show->substr(start, show->find('\n', start) - start);
    };
    if (field("LoadState") == "not-found") {
        f.text = "tactagent.service is not installed";
        return f;
    }
    const std::string active = field("ActiveState");
    f.text = "tactagent.service " + active + " (" + field("SubState") + "), last result " +
             field("Result");
    if (active == "active")
        f.verdict = Verdict::Ok;
    if (active == "failed") {
        f.verdict = Verdict::Fail;
        f.fix = "fix what is above, then systemctl --user restart tactagent";
    }
    if (active != "active") {
        if (auto journal =
                commandOutput("journalctl --user -u tactagent.service -n 3 --no-pager -o cat")) {
            std::istringstream lines(*journal);
            for (std::string line; std::getline(lines, line);)
                if (!line.empty() && line.front() != '-')
                    f.details.push_back(line);
        }
    }
    return f;
}

Finding checkPreferences(const std::string& configHome) {
    const std::string path = configHome + "/" + std::string(kZyvTouchSetting) + ".plist";
    Finding f{Verdict::Ok, "preferences", path, "", {}};
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        f.text += " not written yet: defaults apply";
        return f;
    }
    const auto bytes = readSmall(path);
    if (!bytes) {
        f.verdict = Verdict::Fail;
        f.text += " cannot be read";
        f.fix = "chown $USER " + path;
    } else if (auto parsed = platform::plist::parse(*bytes); !parsed) {
        f.verdict = Verdict::Fail;
        f.text += " is not a property list (" + parsed.error().detail + ")";
        f.fix = "move it away; the settings write a new one";
    }
    return f;
}

bool allNeededThere(const std::vector<Finding>& findings) {
    for (const auto& f : findings)
        if (f.verdict == Verdict::Fail)
            return false;
    return true;
}

}  // namespace tact::doctor
