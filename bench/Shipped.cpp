// tact_shipped: the agent as it runs for a user, path by gesture path (see
// ShippedAgent.hpp and docs/performance.md). Prints one table: per path and
// sink, the cycles measured (reports, or momentum ticks), the events and
// notifications posted per cycle, the process's CPU per cycle, the heap
// allocations per cycle (and the most in one), those made outside the
// cycles (the loop, the display connection, the bus), and the in-agent
// latency from the report's read to the sink's write (p50, p99, max), with
// the targets each row meets or misses.
//
//   tact_shipped [--reports N] [--ticks N] [--sinks uinput,xtest] [--paths TEXT]
//                [--log FILE]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/GesturePaths.hpp"
#include "bench/ShippedAgent.hpp"
#include "platform/log/SystemLog.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: tact_shipped [--reports N] [--ticks N] [--sinks LIST] [--paths TEXT]\n"
    "                    [--log FILE]\n"
    "\n"
    "Runs the agent as shipped (real run loop, default log mask, real sinks, a\n"
    "private Xvfb, 200 symbolic hot keys) through every gesture path and prints\n"
    "one table of CPU, allocations and latency per report.\n"
    "\n"
    "  --reports N   reports measured per path (default 100000)\n"
    "  --ticks N     momentum ticks measured, at most 20 s of them (default 1000)\n"
    "  --sinks LIST  uinput, xtest or uinput,xtest (default)\n"
    "  --paths TEXT  only the paths whose name holds TEXT\n"
    "  --log FILE    where the agent's log (standard error) goes (default\n"
    "                shipped-agent.log beside the program)\n";

bool parseCount(const char* text, std::uint64_t* out) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (!*text || *end || v == 0 || v > 100000000)
        return false;
    *out = v;
    return true;
}

std::string besideProgram(const char* argv0, const char* name) {
    std::string path = argv0;
    const auto slash = path.rfind('/');
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + name;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tact::bench;
    std::uint64_t reports = 100000, ticks = 1000;
    bool uinput = true, xtest = true;
    std::string log = besideProgram(argv[0], "shipped-agent.log");
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--reports" && hasValue && parseCount(argv[i + 1], &reports)) {
            ++i;
        } else if (a == "--ticks" && hasValue && parseCount(argv[i + 1], &ticks)) {
            ++i;
        } else if (a == "--sinks" && hasValue) {
            const std::string list = argv[++i];
            uinput = list.find("uinput") != std::string::npos;
            xtest = list.find("xtest") != std::string::npos;
            if (!uinput && !xtest) {
                std::fprintf(stderr, "tact_shipped: --sinks takes uinput, xtest or both\n");
                return 2;
            }
        } else if (a == "--paths" && hasValue) {
            only = argv[++i];
        } else if (a == "--log" && hasValue) {
            log = argv[++i];
        } else {
            std::fprintf(stderr, "tact_shipped: bad argument '%s'\n%s", argv[i], kUsage);
            return 2;
        }
    }

    // The agent's log goes to a file, as the journal would take it.
    std::fflush(stderr);
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (logFd < 0) {
        std::fprintf(stderr, "tact_shipped: cannot write %s: %s\n", log.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const int terminal = ::dup(STDERR_FILENO);
    ::dup2(logFd, STDERR_FILENO);
    ::close(logFd);

    std::string error;
    auto agent = ShippedAgent::start(&error);
    if (!agent) {
        ::dup2(terminal, STDERR_FILENO);
        std::fprintf(stderr, "tact_shipped: %s\n", error.c_str());
        return 1;
    }
    std::printf(
        "agent as shipped: real run loop, log mask 0x22 (its start-up mask, into %s), "
        "display %s (Xvfb), notifications %s, 200 symbolic hot keys\n",
        log.c_str(), agent->display().c_str(),
        agent->onSessionBus() ? "on the session bus" : "in process (no session bus)");
    std::printf(
        "targets: p50 <= 5 us, p99 <= 50 us (swipes with 200 hot keys <= 20 us), "
        "0 allocations per cycle but in touch test and calibration modes\n\n");
    std::printf("%-29s %-6s %7s %7s %6s %8s %7s %5s %7s %7s %7s %8s  %s\n", "path", "sink",
                "cycles", "events", "notes", "cpu us", "allocs", "most", "other", "p50 us",
                "p99 us", "max us", "targets");
    std::fflush(stdout);

    bool allMet = true;
    bool browser = false;
    for (const GesturePath& path : gesturePaths()) {
        if (path.name.find(only) == std::string::npos)
            continue;
        for (auto sink : {ShippedAgent::Sink::Uinput, ShippedAgent::Sink::XTest}) {
            if ((sink == ShippedAgent::Sink::Uinput && !uinput) ||
                (sink == ShippedAgent::Sink::XTest && !xtest))
                continue;
            agent->useSink(sink);
            if (path.inBrowser && !browser)
                browser = agent->activateBrowser();
            if (path.before)
                agent->control(*path.before);
            const PathFigures f = path.kind == GesturePath::Kind::Timers
                                      ? agent->playTimers(path.warmup, path.loop, ticks, 20)
                                      : agent->playReports(path.warmup, path.loop, reports);
            if (path.after)
                agent->control(*path.after);

            const double n = f.cycles ? static_cast<double>(f.cycles) : 1;
            const double p99Target = path.swipe ? 20 : 50;
            std::string verdict;
            if (f.p50 > 5)
                verdict += " p50";
            if (f.p99 > p99Target)
                verdict += " p99";
            if (!path.diagnostic && f.allocations > 0)
                verdict += " allocs";
            if (f.cycles == 0)
                verdict += " nothing-measured";
            allMet = allMet && verdict.empty();
            std::printf(
                "%-29s %-6s %7llu %7.2f %6.2f %8.2f %7.2f %5llu %7.2f %7.2f %7.2f %8.1f  %s\n",
                path.name.c_str(), sink == ShippedAgent::Sink::Uinput ? "uinput" : "xtest",
                static_cast<unsigned long long>(f.cycles), f.events / n, f.notifications / n,
                f.cpuMicroseconds, f.allocations, static_cast<unsigned long long>(f.maxAllocations),
                f.otherAllocations, f.p50, f.p99, f.max,
                verdict.empty() ? "met" : ("MISSED:" + verdict).c_str());
            std::printf("%-29s        state at the end: %s\n", "", f.state.c_str());
            std::fflush(stdout);
        }
    }
    agent.reset();
    ::dup2(terminal, STDERR_FILENO);
    ::close(terminal);
    std::printf("\n%s\n", allMet ? "every target met" : "some targets missed (see above)");
    return 0;
}
