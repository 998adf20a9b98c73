#include "tests/support/PrivateWeston.hpp"

#include "tests/support/PrivateBus.hpp"

namespace tact::test {
namespace {

using Clock = std::chrono::steady_clock;

// The last lines of a log, for an error message.
std::string tail(const std::string& text, std::size_t lines = 10) {
    const auto all = linesOf(text);
    std::string out;
    for (std::size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
        out += "\n  " + all[i];
    return out;
}

// The display Xwayland listens on, from weston's line
// "xserver listening on display :N"; empty until it is there.
std::string xwaylandDisplayIn(const std::string& log) {
    const std::string said = "xserver listening on display :";
    const auto at = log.find(said);
    if (at == std::string::npos)
        return {};
    const auto start = at + said.size() - 1;
    const auto end = log.find_first_not_of("0123456789", start + 1);
    if (end == std::string::npos || end == start + 1)
        return {};
    return log.substr(start, end - start);
}

}  // namespace

PrivateWeston::PrivateWeston(const WestonOptions& options) : logPath_(dir_.file("weston.log")) {
    installed_ = host_.installed() && !findOnPath("weston").empty() &&
                 (!options.xwayland || !findOnPath("Xwayland").empty());
    if (!installed_)
        return;
    ok_ = start(options, Clock::now() + std::chrono::seconds(10));
}

bool PrivateWeston::start(const WestonOptions& options, Clock::time_point deadline) {
    if (host_.display().empty()) {
        error_ = "Xvfb did not report its display";
        return false;
    }
    std::vector<std::string> argv = {findOnPath("weston"),
                                     "--backend=x11-backend.so",
                                     "--use-pixman",
                                     "--output-count=" + std::to_string(options.outputs),
                                     "--width=" + std::to_string(options.width),
                                     "--height=" + std::to_string(options.height),
                                     "--socket=" + socket_,
                                     "--no-config",
                                     "--idle-time=0",
                                     "--log=" + logPath_};
    if (options.scale != 1)
        argv.push_back("--scale=" + std::to_string(options.scale));
    if (options.xwayland)
        argv.push_back("--xwayland");
    // Ended with the test program even when that dies without cleaning up,
    // so no compositor outlives it.
    if (const std::string setpriv = findOnPath("setpriv"); !setpriv.empty())
        argv.insert(argv.begin(), {setpriv, "--pdeathsig", "TERM"});
    weston_ = std::make_unique<BackgroundProcess>(
        argv, std::vector<std::string>{"DISPLAY=" + host_.display(),
                                       "XDG_RUNTIME_DIR=" + dir_.path(), "WAYLAND_DISPLAY="});
    while (Clock::now() < deadline) {
        if (weston_->wait(std::chrono::milliseconds(10)) != -1) {
            error_ = "weston ended at start:" + tail(log());
            return false;
        }
        if (!fileExists(dir_.file(socket_)))
            continue;
        if (!options.xwayland)
            return true;
        // weston listens on Xwayland's socket itself, and starts Xwayland
        // when the first client connects.
        const std::string display = xwaylandDisplayIn(log());
        if (!display.empty() && fileExists("/tmp/.X11-unix/X" + display.substr(1))) {
            xwayland_ = display;
            return true;
        }
    }
    error_ = "weston did not start in time:" + tail(log());
    return false;
}

PrivateWeston::~PrivateWeston() {
    if (weston_ && weston_->terminate())
        weston_->wait(std::chrono::seconds(5));
}

std::vector<std::string> PrivateWeston::environment() const {
    return {"XDG_RUNTIME_DIR=" + dir_.path(), "WAYLAND_DISPLAY=" + socket_};
}

std::string PrivateWeston::log() const {
    return readFile(logPath_);
}

}  // namespace tact::test
