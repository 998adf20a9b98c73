#include "bench/GesturePaths.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "agent/simulator/VirtualFrame.hpp"
#include "common/Notifications.hpp"

namespace tact::bench {
namespace {

using platform::hid::VirtualFrame;
using Contacts = std::vector<VirtualFrame::Contact>;

constexpr double kReport = 0.008;  // 125 reports a second
constexpr double kPause = 0.4;     // between taps and swipes: past every click window

// Reports in the frame's default layout (10-byte records).
Step step(const Contacts& contacts, double gap = kReport) {
    static const VirtualFrame frame;
    std::vector<std::vector<std::uint8_t>> reports;
    std::string error;
    if (!frame.encodeTouches(contacts, &reports, &error) || reports.size() != 1) {
        std::fprintf(stderr, "tact_shipped: cannot encode a report: %s\n", error.c_str());
        std::exit(1);
    }
    return Step{reports.front(), gap};
}

VirtualFrame::Contact contact(int id, double x, double y) {
    VirtualFrame::Contact c;
    c.id = static_cast<std::uint8_t>(id);
    c.x = static_cast<std::uint16_t>(std::lround(x));
    c.y = static_cast<std::uint16_t>(std::lround(y));
    return c;
}

// n fingers side by side, 2400 units apart, the first at (x, y).
Contacts fingers(int n, double x, double y) {
    Contacts out;
    for (int i = 0; i < n; ++i)
        out.push_back(contact(i + 1, x + 2400 * i, y));
    return out;
}

Contacts lifted(Contacts contacts) {
    for (auto& c : contacts)
        c.flags = 6;  // in range, valid, not touching
    return contacts;
}

// A tap: down, three reports resting, up.
void tap(std::vector<Step>& out, double x, double y) {
    const Contacts one = fingers(1, x, y);
    out.push_back(step(one, kPause));
    for (int i = 0; i < 3; ++i)
        out.push_back(step(one));
    out.push_back(step(lifted(one)));
}

std::vector<Step> taps() {
    std::vector<Step> out;
    tap(out, 10000, 12000);
    tap(out, 20000, 16000);
    return out;
}

// One finger (or more) moving 40 units right and down per report, 64 steps
// one way and 64 back.
std::vector<Step> wander(int n) {
    std::vector<Step> out;
    for (int k = 1; k <= 128; ++k) {
        const int offset = (k <= 64 ? k : 128 - k) * 40;
        out.push_back(step(fingers(n, 10000 + offset, 12000 + offset)));
    }
    return out;
}

// Two fingers flicked down: eight reports of 1200 units.
std::vector<Step> flick(bool lift) {
    std::vector<Step> out{step(fingers(2, 10000, 8000), kPause)};
    for (int i = 1; i <= 8; ++i)
        out.push_back(step(fingers(2, 10000, 8000 + 1200 * i)));
    if (lift)
        out.push_back(step(lifted(fingers(2, 10000, 8000 + 1200 * 8))));
    return out;
}

// Two fingers 720 units down and up per report, just past the move
// threshold: a scroll event per report.
std::vector<Step> scrolling() {
    std::vector<Step> out;
    for (int k = 1; k <= 32; ++k) {
        const int offset = (k <= 16 ? k : 32 - k) * 720;
        out.push_back(step(fingers(2, 10000, 8000 + 1200 * 8 + offset)));
    }
    return out;
}

// Two fingers about the middle, each spread 300 units per report, 16 steps
// out and 16 back.
Contacts pinch(double half) {
    return {contact(1, 16384 - half, 16384), contact(2, 16384 + half, 16384)};
}
std::vector<Step> pinching() {
    std::vector<Step> out;
    for (int k = 1; k <= 32; ++k)
        out.push_back(step(pinch(3000 + (k <= 16 ? k : 32 - k) * 300)));
    return out;
}

// Two fingers 5000 units from the middle on either side. Turning starts
// with a quick turn (25 degrees in one report), then 2 degrees per report,
// 30 steps one way and 30 back.
Contacts turned(double degrees) {
    const double a = degrees * M_PI / 180, r = 5000;
    return {contact(1, 16384 + r * std::cos(a), 16384 + r * std::sin(a)),
            contact(2, 16384 - r * std::cos(a), 16384 - r * std::sin(a))};
}
std::vector<Step> turning() {
    std::vector<Step> out;
    for (int k = 1; k <= 60; ++k)
        out.push_back(step(turned(25 + (k <= 30 ? k : 60 - k) * 2.0)));
    return out;
}

// n fingers land, swipe left 8 reports of 800 units (an action), back right
// 16 reports (the reversal acts again), and lift.
std::vector<Step> swipes(int n) {
    const double x = n == 5 ? 8000 : 12000, y = 16000;
    std::vector<Step> out{step(fingers(n, x, y), kPause)};
    double at = x;
    for (int i = 0; i < 8; ++i)
        out.push_back(step(fingers(n, at -= 800, y)));
    for (int i = 0; i < 16; ++i)
        out.push_back(step(fingers(n, at += 800, y)));
    out.push_back(step(lifted(fingers(n, at, y))));
    return out;
}

platform::Dictionary mode(std::string_view key, bool on) {
    return platform::Dictionary{{platform::String(key), on}};
}

GesturePath path(std::string name, std::vector<Step> warmup, std::vector<Step> loop,
                 GesturePath::Kind kind = GesturePath::Kind::Reports) {
    GesturePath p;
    p.name = std::move(name);
    p.kind = kind;
    p.warmup = std::move(warmup);
    p.loop = std::move(loop);
    return p;
}

}  // namespace

std::vector<GesturePath> gesturePaths() {
    std::vector<GesturePath> paths;
    paths.push_back(path("one finger (taps)", {}, taps()));
    paths.push_back(path("drag", {step(fingers(1, 10000, 12000), kPause)}, wander(1)));
    paths.push_back(path("scroll", flick(false), scrolling()));
    paths.push_back(path("momentum (per tick)", {}, flick(true), GesturePath::Kind::Timers));
    paths.push_back(path("magnify", {step(pinch(3000), kPause)}, pinching()));
    paths.push_back(path("rotate", {step(turned(0), kPause), step(turned(25))}, turning()));
    GesturePath three = path("three-finger swipes", {}, swipes(3));
    three.swipe = true;
    paths.push_back(three);
    GesturePath four = path("four-finger swipes (browser)", {}, swipes(4));
    four.swipe = four.inBrowser = true;
    paths.push_back(four);
    GesturePath five = path("five-finger swipes", {}, swipes(5));
    five.swipe = true;
    paths.push_back(five);
    GesturePath test =
        path("touch test mode (drag)", {step(fingers(1, 10000, 12000), kPause)}, wander(1));
    test.before = mode(kKeyTouchTestMode, true);
    test.after = mode(kKeyTouchTestMode, false);
    test.diagnostic = true;
    paths.push_back(test);
    GesturePath calibration = path("calibration mode (taps)", {}, taps());
    calibration.before = mode(kKeyCalibrateInProgress, true);
    calibration.after = mode(kKeyCalibrateInProgress, false);
    calibration.diagnostic = true;
    paths.push_back(calibration);
    // Whatever the path before left on the frame is lifted first.
    for (GesturePath& p : paths)
        p.warmup.insert(p.warmup.begin(), step({}, kPause));
    return paths;
}

}  // namespace tact::bench
