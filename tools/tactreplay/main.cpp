// tactreplay: runs the agent on a virtual frame, playing a session file, and
// writes what the agent did as a trace.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "agent/device/AgentMain.hpp"
#include "agent/session/DesktopSession.hpp"
#include "agent/simulator/VirtualFrame.hpp"
#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "common/Version.hpp"
#include "platform/desktop/Desktop.hpp"
#include "platform/events/Events.hpp"
#include "platform/hid/HID.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/runloop/VirtualRunLoop.hpp"
#include "tools/tactreplay/EventTrace.hpp"
#include "tools/tactreplay/Session.hpp"
#include "tools/tactreplay/Trace.hpp"

namespace {

using tact::replay::Session;
using tact::replay::SessionLine;

constexpr double kSessionEpoch = 800000000.0;  // the agent's absolute clock at t = 0

constexpr const char* kUsage =
    "Usage: tactreplay SESSION [--trace FILE|-] [--bus] [--realtime] [--prefs-dir DIR]\n"
    "                  [--sink xtest|uinput] [--bench]\n"
    "\n"
    "Runs the touch agent on a virtual frame that plays SESSION (a session file,\n"
    "see docs/replay.md; - reads standard input) and exits once every line is\n"
    "handled and nothing is left running.\n"
    "\n"
    "  --trace FILE|-    write what the agent posts as JSON lines to FILE (- for\n"
    "                    standard output; the agent's own output then goes to\n"
    "                    standard error)\n"
    "  --bus             also join the session bus, so tactcalib, tactpaint and\n"
    "                    tactprefs can talk to the replayed agent (implies --realtime)\n"
    "  --realtime        wait for each line's time instead of jumping to it\n"
    "  --sink xtest|uinput  also post every event onto the real desktop: through\n"
    "                    XTest on the display of DISPLAY, or through a virtual\n"
    "                    input device on /dev/uinput (implies --realtime). The\n"
    "                    display's screen, pointer and active window are used,\n"
    "                    and swipes and pinches act as on that desktop\n"
    "                    (XDG_CURRENT_DESKTOP); session 'app' lines are ignored\n"
    "  --prefs-dir DIR   use DIR for the preference files (default: a fresh\n"
    "                    temporary folder, removed at the end)\n"
    "  --bench           replay in virtual time without a trace, then print the\n"
    "                    reports handled, the seconds taken and the reports per\n"
    "                    second to standard error\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "Exit status: 0 when the session was played, 2 for a malformed session or\n"
    "command line, 1 when the trace could not be written or the bus not reached.\n";

struct Options {
    std::string session;
    std::optional<std::string> trace;
    bool bus = false;
    bool realtime = false;
    std::optional<std::string> prefsDir;
    std::optional<std::string> sink;  // "xtest" or "uinput"
    bool bench = false;
};

int usageError(const std::string& message) {
    std::fprintf(stderr, "tactreplay: %s\n\n%s", message.c_str(), kUsage);
    return 2;
}

// A temporary folder that is removed with everything in it.
struct TemporaryFolder {
    std::string path;
    TemporaryFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tactreplay-XXXXXX";
        if (mkdtemp(tmpl.data()))
            path = tmpl;
    }
    ~TemporaryFolder() {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
};

void seedDomain(const platform::String& domain, const platform::Dictionary& values) {
    for (const auto& [key, value] : values)
        platform::CFPreferencesSetAppValue(key, value, domain);
    platform::CFPreferencesAppSynchronize(domain);
}

// Plays the session's lines into the agent.
class Player {
  public:
    Player(const Session& session, const std::string& name, platform::RunLoop& loop,
           platform::NotificationCenter& controlCentre, platform::VirtualDesktop* desktop,
           platform::hid::VirtualBackend& backend,
           std::shared_ptr<platform::hid::VirtualFrame> frame)
        : session_(session),
          name_(name),
          loop_(loop),
          control_(controlCentre),
          desktop_(desktop),
          backend_(backend),
          frame_(std::move(frame)) {}

    // Handles one line; false (with the reason on standard error) when the
    // frame refuses it.
    bool handle(const SessionLine& line) {
        std::string error;
        bool ok = true;
        switch (line.verb) {
            case SessionLine::Verb::Touch:
                ok = frame_->sendTouches(line.contacts, &error);
                break;
            case SessionLine::Verb::Raw:
                ok = frame_->sendRaw(line.bytes, &error);
                break;
            case SessionLine::Verb::Control:
                control_.post(platform::String(tact::kControlNotification),
                              platform::String(tact::kControlObject), line.userInfo);
                break;
            case SessionLine::Verb::App:
                if (desktop_) {
                    desktop_->activateApplication(line.bundleIdentifier);
                } else if (!warnedApp_) {
                    warnedApp_ = true;
                    std::fprintf(stderr,
                                 "tactreplay: %s:%d: 'app' lines are ignored on a real desktop: "
                                 "its active window decides\n",
                                 name_.c_str(), line.lineNumber);
                }
                break;
            case SessionLine::Verb::Wait:
                break;
            case SessionLine::Verb::Detach:
                backend_.detach(frame_);
                break;
            case SessionLine::Verb::Attach:
                backend_.attach(frame_);
                break;
        }
        if (!ok) {
            std::fprintf(stderr, "tactreplay: %s:%d: %s\n", name_.c_str(), line.lineNumber,
                         error.c_str());
        }
        return ok;
    }

    // Virtual time: jump from line to line; timers due at a line's time run
    // before it. Then let everything left run down.
    bool playVirtual(platform::VirtualRunLoop& loop) {
        for (const auto& line : session_.lines) {
            loop.runUntil(kSessionEpoch + line.t);
            if (!handle(line))
                return false;
        }
        loop.run();
        return true;
    }

    // Real time: each line waits for its moment on the real loop.
    bool playRealtime() {
        failed_ = false;
        scheduleNext(0);
        loop_.run();
        return !failed_;
    }

  private:
    void scheduleNext(std::size_t index) {
        if (index >= session_.lines.size()) {
            // Every line is handled: stop once nothing of the agent's runs on
            // (a momentum scroll still running down keeps the replay going).
            pending_ = loop_.addTimer(0, 0.01, [this](platform::Timer& check) {
                if (!tact::ZyvTouchConverter::sharedConverter().momentumRunning()) {
                    check.invalidate();
                    loop_.stop(0);
                }
            });
            return;
        }
        const double start = started_ ? *started_ : (started_ = loop_.absoluteTime(), *started_);
        const double delay = std::max(0.0, start + session_.lines[index].t - loop_.absoluteTime());
        pending_ = loop_.addTimer(delay, 0, [this, index](platform::Timer&) {
            if (!handle(session_.lines[index])) {
                failed_ = true;
                loop_.stop(2);
                return;
            }
            scheduleNext(index + 1);
        });
    }

    const Session& session_;
    std::string name_;
    platform::RunLoop& loop_;
    platform::NotificationCenter& control_;
    platform::VirtualDesktop* desktop_;
    platform::hid::VirtualBackend& backend_;
    std::shared_ptr<platform::hid::VirtualFrame> frame_;
    platform::Timer pending_;
    std::optional<double> started_;
    bool failed_ = false;
    bool warnedApp_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* what) -> std::optional<std::string> {
            if (i + 1 >= argc)
                return std::nullopt;
            (void)what;
            return std::string(argv[++i]);
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("tactreplay %s\n", tact::kSuiteVersion);
            return 0;
        } else if (arg == "--trace") {
            options.trace = value("--trace");
            if (!options.trace)
                return usageError("--trace needs a file (or -)");
        } else if (arg == "--prefs-dir") {
            options.prefsDir = value("--prefs-dir");
            if (!options.prefsDir)
                return usageError("--prefs-dir needs a folder");
        } else if (arg == "--sink") {
            options.sink = value("--sink");
            if (!options.sink || (*options.sink != "xtest" && *options.sink != "uinput"))
                return usageError("--sink takes xtest or uinput");
            options.realtime = true;
        } else if (arg == "--bus") {
            options.bus = true;
            options.realtime = true;
        } else if (arg == "--realtime") {
            options.realtime = true;
        } else if (arg == "--bench") {
            options.bench = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option '" + arg + "'");
        } else if (options.session.empty()) {
            options.session = arg;
        } else {
            return usageError("only one session file, please");
        }
    }
    if (options.session.empty())
        return usageError("no session file given");
    if (options.bench && (options.trace || options.realtime))
        return usageError("--bench replays in virtual time without a trace (and without a sink)");

    // Read and check the whole session before anything runs.
    std::string text;
    if (options.session == "-") {
        std::ostringstream all;
        all << std::cin.rdbuf();
        text = all.str();
    } else {
        std::ifstream in(options.session, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "tactreplay: cannot read %s: %s\n", options.session.c_str(),
                         std::strerror(errno));
            return 2;
        }
        std::ostringstream all;
        all << in.rdbuf();
        text = all.str();
    }
    std::istringstream sessionStream(text);
    auto session = tact::replay::parseSession(sessionStream, options.session);
    if (!session) {
        std::fprintf(stderr, "tactreplay: %s\n", session.error().detail.c_str());
        return 2;
    }
    std::string error;
    std::size_t reportCount = 0;  // input reports the frame will send
    {
        platform::hid::VirtualFrame probe(session->header.frame);
        for (const auto& line : session->lines) {
            if (line.verb == SessionLine::Verb::Raw)
                ++reportCount;
            if (line.verb != SessionLine::Verb::Touch)
                continue;
            std::vector<std::vector<std::uint8_t>> reports;
            if (!probe.encodeTouches(line.contacts, &reports, &error)) {
                std::fprintf(stderr, "tactreplay: %s:%d: %s\n", options.session.c_str(),
                             line.lineNumber, error.c_str());
                return 2;
            }
            reportCount += reports.size();
        }
    }

    // Standard output carries only the trace: the agent's own output goes
    // to standard error.
    std::FILE* traceOut = nullptr;
    if (options.trace && *options.trace == "-") {
        int fd = dup(STDOUT_FILENO);
        traceOut = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (!traceOut) {
            std::fprintf(stderr, "tactreplay: cannot write the trace to standard output: %s\n",
                         std::strerror(errno));
            return 1;
        }
    } else if (options.trace) {
        traceOut = std::fopen(options.trace->c_str(), "w");
        if (!traceOut) {
            std::fprintf(stderr, "tactreplay: cannot write %s: %s\n", options.trace->c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);

    TemporaryFolder temporary;
    std::string prefsDir = options.prefsDir ? *options.prefsDir : temporary.path;
    if (prefsDir.empty()) {
        std::fprintf(stderr, "tactreplay: cannot make a temporary folder\n");
        return 1;
    }
    platform::setPreferencesDirectory(prefsDir);
    const auto& header = session->header;
    if (header.prefs)
        seedDomain(platform::String(tact::kZyvTouchSetting), *header.prefs);
    if (header.hotkeys) {
        seedDomain("com.apple.symbolichotkeys",
                   platform::Dictionary{{"AppleSymbolicHotKeys", *header.hotkeys}});
    }

    std::unique_ptr<platform::RunLoop> loop;
    platform::VirtualRunLoop* virtualLoop = nullptr;
    if (options.realtime) {
        loop = platform::makeRealRunLoop(true);
    } else {
        auto v = std::make_unique<platform::VirtualRunLoop>(kSessionEpoch);
        virtualLoop = v.get();
        loop = std::move(v);
    }
    platform::setMainRunLoop(loop.get());
    const double epoch = loop->absoluteTime();
    // Session time: exact on the virtual clock (its nanoseconds since start).
    auto sessionTime = [&] {
        return virtualLoop ? virtualLoop->elapsed() : loop->absoluteTime() - epoch;
    };

    std::unique_ptr<platform::NotificationCenter> centre;
    if (options.bus) {
        auto joined = platform::makeBusNotificationCenter(*loop);
        if (!joined) {
            std::fprintf(stderr, "tactreplay: cannot join the session bus: %s\n",
                         joined.error().detail.c_str());
            return 1;
        }
        centre = std::move(*joined);
    } else {
        centre = platform::makeLocalNotificationCenter(*loop);
    }
    tact::replay::TraceWriter trace(traceOut, options.realtime);
    tact::replay::TracingNotificationCenter traced(*centre, trace, sessionTime);

    // Onto a real desktop, when asked: its screen, pointer, active window
    // and actions, and its sink behind the trace.
    std::unique_ptr<tact::DesktopSession> real;
    if (options.sink) {
        auto opened = tact::DesktopSession::open(
            *loop, *options.sink == "xtest" ? tact::SinkChoice::XTest : tact::SinkChoice::Uinput,
            "", header.screenWidth, header.screenHeight);
        if (!opened) {
            std::fprintf(stderr, "tactreplay: cannot post through %s: %s\n", options.sink->c_str(),
                         opened.error().detail.c_str());
            return 1;
        }
        real = std::move(*opened);
    }

    // Events join the trace; the virtual pointer starts at (0, 0). The
    // agent's event service is the process's: the desktop's pointer reader,
    // hot keys and gesture encoders post through it too.
    platform::events::EventService& events = platform::events::processEventService();
    tact::replay::TraceEventSink eventTrace(trace, sessionTime, real ? real->sink() : nullptr);
    events.setSink(&eventTrace);
    events.setPointerLocation({0, 0});

    platform::VirtualDesktop virtualDesktop(header.screenWidth, header.screenHeight);
    virtualDesktop.setSystemVersion(header.os);
    platform::Desktop& desktop = real ? real->desktop() : virtualDesktop;

    auto backend = std::make_shared<platform::hid::VirtualBackend>();
    platform::hid::setBackend(backend);
    auto frame = std::make_shared<platform::hid::VirtualFrame>(header.frame);
    backend->attach(frame);

    tact::AgentEnvironment environment{*loop, traced, desktop, events, tact::agentPreferences()};
    int rc = 0;
    if (tact::agentStart(environment)) {
        Player player(*session, options.session, *loop, *centre,
                      &desktop == &virtualDesktop ? &virtualDesktop : nullptr, *backend, frame);
        const auto started = std::chrono::steady_clock::now();
        bool played = virtualLoop ? player.playVirtual(*virtualLoop) : player.playRealtime();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        if (!played)
            rc = 2;
        if (played && options.bench) {
            const double seconds = took.count();
            std::fprintf(stderr, "tactreplay: bench: %zu reports, %.3f s, %.0f reports/s\n",
                         reportCount, seconds,
                         seconds > 0 ? static_cast<double>(reportCount) / seconds : 0.0);
        }
    } else {
        std::fprintf(stderr, "tactreplay: the agent could not start (see above)\n");
        rc = 1;
    }
    tact::agentStop();
    events.setSink(nullptr);
    real.reset();
    platform::hid::setBackend(nullptr);
    platform::setMainRunLoop(nullptr);

    if (traceOut) {
        bool ok = trace.finish();
        if (std::fclose(traceOut) != 0)
            ok = false;
        if (!ok && rc == 0) {
            std::fprintf(stderr, "tactreplay: the trace could not be written completely\n");
            rc = 1;
        }
    }
    return rc;
}
