// The agent and the touch painter together: the agent (tactreplay on the bus,
// playing fingers for ten seconds) and the real tactpaint meet on a private
// bus. While the painter is in front the agent publishes every report and
// posts no scrolling; once the painter quits, it stops publishing and scrolls
// again.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/values/Json.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

using namespace tact::test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// How long after SIGTERM the agent may still publish: the painter notices
// the signal, quits, posts, and the bus delivers, on a loaded machine.
constexpr double kStopMargin = 2.5;

// One second of touching, nine times over: one finger sliding right, then
// two fingers sliding down together (a scroll, outside touch test mode).
// Every cycle has its own finger identifiers, 10k+1 for the one finger and
// 10k+2, 10k+3 for the two.
constexpr int kCycles = 9;
constexpr double kFirstCycle = 0.5;
constexpr int kTwoFingerReports = 22;  // 21 moving, one lifting

// The session; twoFingers gets the times the two-finger slides start at.
std::string session(std::vector<double>& twoFingers) {
    std::ostringstream s;
    s << "frame product=0x5668\nscreen 800x600\n";
    char line[160];
    for (int k = 0; k < kCycles; ++k) {
        double t = kFirstCycle + k;
        const int one = 10 * k + 1;
        for (int i = 0; i < 16; ++i, t += 0.02) {
            std::snprintf(line, sizeof line, "%.2f touch %d:%d,8000,300,400\n", t, one,
                          8000 + 400 * i);
            s << line;
        }
        std::snprintf(line, sizeof line, "%.2f touch %d:14000,8000,300,400:up\n%.2f touch\n", t,
                      one, t + 0.02);
        s << line;
        t += 0.12;
        twoFingers.push_back(t);
        int y = 12000;
        for (int i = 0; i < 21; ++i, t += 0.02, y += 500) {
            std::snprintf(line, sizeof line, "%.2f touch %d:14000,%d,300,400 %d:18000,%d,300,400\n",
                          t, one + 1, y, one + 2, y);
            s << line;
        }
        y -= 500;
        std::snprintf(line, sizeof line,
                      "%.2f touch %d:14000,%d,300,400:up %d:18000,%d,300,400:up\n%.2f touch\n", t,
                      one + 1, y, one + 2, y, t + 0.02);
        s << line;
    }
    return s.str();
}

// One line of the agent's trace.
struct Entry {
    double t = 0;
    int event = 0;             // the event type; 0 for a notification
    std::string notification;  // its name
    int firstFinger = -1;      // "0_FingerID" of a published report
    int fingers = 0;           // its "ActualCount"
};

// The complete lines of the trace so far (the last one may still be written).
std::vector<Entry> readTrace(const std::string& path) {
    std::vector<Entry> out;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        auto v = platform::json::parse(line);
        if (!v || !v->isDictionary())
            continue;
        const platform::Dictionary& d = *v->asDictionary();
        Entry e;
        e.t = d.number("t").value_or(-1);
        e.event = static_cast<int>(d.integer("event").value_or(0));
        if (const platform::String* name = d.string("notification"))
            e.notification = name->toUtf8Lossy();
        if (const platform::Dictionary* info = d.dictionary("userInfo")) {
            e.firstFinger = static_cast<int>(info->integer("0_FingerID").value_or(-1));
            e.fingers = static_cast<int>(info->integer("ActualCount").value_or(0));
        }
        out.push_back(std::move(e));
    }
    return out;
}

bool isReport(const Entry& e) {
    return e.notification == "MTouch Report";
}
bool isPointer(const Entry& e) {
    return e.event == 1 || e.event == 2 || e.event == 5 || e.event == 6;
}
bool isScrollOrGesture(const Entry& e) {
    return e.event == 22 || e.event == 29;
}

// Whether some cycle's two-finger stretch was published whole.
bool aWholeStretchPublished(const std::vector<Entry>& trace) {
    for (int k = 0; k < kCycles; ++k) {
        const auto n = std::ranges::count_if(
            trace, [&](const Entry& e) { return isReport(e) && e.firstFinger == 10 * k + 2; });
        if (n == kTwoFingerReports)
            return true;
    }
    return false;
}

// Adds up "TouchView: painted N touches from M reports".
struct Painted {
    long touches = 0, reports = 0, lines = 0;
    void add(const std::string& line) {
        int n = 0, m = 0;
        if (std::sscanf(line.c_str(), "TouchView: painted %d touches from %d reports", &n, &m) ==
            2) {
            touches += n;
            reports += m;
            ++lines;
        }
    }
};

}  // namespace

TEST(PainterEndToEndTest, TheAgentPublishesForThePainterOnlyWhileItIsActive) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    TempDir home, config, work;
    std::vector<double> twoFingers;
    writeFile(work.file("paint.session"), session(twoFingers));
    const std::string tracePath = work.file("trace.jsonl");

    const auto replayStart = Clock::now();
    BackgroundProcess agent({builtProgram("tactreplay"), work.file("paint.session"), "--bus",
                             "--prefs-dir", config.path(), "--trace", tracePath},
                            {bus.environment()});
    // The painter comes once the agent handles touches: its observers are in
    // place then, and the touches so far were not published.
    const auto limit = Clock::now() + 30s;
    while (Clock::now() < limit) {
        auto trace = readTrace(tracePath);
        if (std::ranges::any_of(trace, isPointer))
            break;
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(std::ranges::any_of(readTrace(tracePath), isPointer))
        << "the agent posted no pointer event:\n"
        << readFile(tracePath);

    BackgroundProcess painter(
        {builtProgram("tactpaint"), "--trace"},
        {"QT_QPA_PLATFORM=offscreen", "HOME=" + home.path(), "XDG_CONFIG_HOME=" + config.path(),
         "XDG_RUNTIME_DIR=" + home.path(), bus.environment()});
    // Painting goes on until the agent has published a whole two-finger
    // stretch and the painter has painted two-finger reports.
    Painted painted;
    bool enough = false;
    std::string line;
    while (!enough && Clock::now() < limit + 30s) {
        if (painter.readLine(line, 50ms))
            painted.add(line);
        enough = painted.touches > painted.reports && aWholeStretchPublished(readTrace(tracePath));
    }
    ASSERT_TRUE(enough) << "painted " << painted.touches << " touches from " << painted.reports
                        << " reports; the agent's trace:\n"
                        << readFile(tracePath);

    ASSERT_EQ(kill(painter.pid(), SIGTERM), 0);
    const double stopped = std::chrono::duration<double>(Clock::now() - replayStart).count();
    EXPECT_EQ(painter.wait(30s), 0) << "the painter did not quit cleanly on SIGTERM";
    while (painter.readLine(line, 1s))
        painted.add(line);
    EXPECT_EQ(agent.wait(60s), 0);

    const std::vector<Entry> trace = readTrace(tracePath);
    std::vector<Entry> reports;
    std::ranges::copy_if(trace, std::back_inserter(reports), isReport);
    ASSERT_FALSE(reports.empty());
    const double first = reports.front().t, last = reports.back().t;

    // The painter painted what was published, and no more.
    EXPECT_GT(painted.lines, 0);
    EXPECT_LE(painted.reports, static_cast<long>(reports.size()));
    for (const Entry& r : reports)
        EXPECT_TRUE(r.fingers == 1 || r.fingers == 2) << "at " << r.t << ": " << r.fingers;

    // Before the painter: touches handled, nothing published.
    EXPECT_TRUE(std::any_of(trace.begin(), trace.end(),
                            [&](const Entry& e) { return isPointer(e) && e.t < first; }));

    // While it was active: pointer events, but neither scrolling nor gestures
    // although two fingers slid down together.
    EXPECT_TRUE(std::ranges::any_of(
        trace, [&](const Entry& e) { return isPointer(e) && e.t >= first && e.t <= last; }));
    for (const Entry& e : trace) {
        EXPECT_FALSE(isScrollOrGesture(e) && e.t >= first && e.t <= last)
            << "event " << e.event << " at " << e.t << " in touch test mode (" << first << " to "
            << last << ")";
    }

    // After it quit: no more publishing, and the same two-finger slide
    // scrolls again. Trace times count from the replay's start, a little
    // after the process started, so they are at most the times measured here.
    EXPECT_LE(last, stopped + kStopMargin) << "published after the painter had quit at " << stopped;
    auto after = std::ranges::find_if(twoFingers, [&](double begin) { return begin > last; });
    ASSERT_NE(after, twoFingers.end()) << "no two-finger slide left after publishing stopped at "
                                       << last << " (the painter was stopped at " << stopped << ")";
    EXPECT_TRUE(std::ranges::any_of(trace, [&](const Entry& e) {
        return e.event == 22 && e.t >= *after;
    })) << "no scrolling after the painter quit";
}
