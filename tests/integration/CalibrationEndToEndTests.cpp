// The agent and the calibrator together, as a person calibrates: the agent
// (tactreplay on the bus, playing four held fingers) and the real tactcalib
// meet on a private bus and share one preferences folder.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "common/PreferenceKeys.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/values/Json.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

using namespace tact::test;

namespace {

// The offscreen platform's screen, and the targets the calibrator shows on it
// (a tenth and nine tenths of each side, from the top left).
constexpr double kWidth = 800, kHeight = 600;
const double kLo = double(0.1f), kHi = double(0.9f);

struct Point {
    double x, y;
};

// Where the frame reports a finger that is on the screen point p: the
// uncalibrated map, shifted, as a frame mounted slightly off would.
Point rawFor(Point p) {
    return {p.x / kWidth * 32768 + 1000, p.y / kHeight * 32768 + 500};
}

std::string session(const std::vector<Point>& targets) {
    std::ostringstream s;
    // The calibrator is already up and told the agent's bus at its start
    // that calibration runs; the replayed agent joins later, so the session
    // says it again. Then a finger rests on each target for 1.5 s (150
    // reports; 100 are needed) and lifts.
    s << "screen 800x600\n0.2 control {\"calibrateInProgress\": true}\n";
    double t = 1.0;
    int id = 1;
    char line[128];
    for (const auto& target : targets) {
        Point raw = rawFor(target);
        for (int j = 0; j < 150; ++j, t += 0.01) {
            std::snprintf(line, sizeof line, "%.2f touch %d:%.0f,%.0f\n", t, id, raw.x, raw.y);
            s << line;
        }
        std::snprintf(line, sizeof line, "%.2f touch %d:%.0f,%.0f:up\n", t, id, raw.x, raw.y);
        s << line;
        t += 0.4;
        ++id;
    }
    // After the calibrator is done, a tap on the first target.
    Point raw = rawFor(targets[0]);
    std::snprintf(line, sizeof line, "%.2f touch 9:%.0f,%.0f\n%.2f touch 9:%.0f,%.0f:up\n", t + 2,
                  raw.x, raw.y, t + 2.05, raw.x, raw.y);
    s << line;
    return s.str();
}

// Pointer moves of the trace, with their times.
std::vector<std::tuple<double, double, double>> pointerMoves(const std::string& trace) {
    std::vector<std::tuple<double, double, double>> out;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);) {
        auto v = platform::json::parse(line);
        if (!v || !v->isDictionary())
            continue;
        const auto& d = *v->asDictionary();
        if (d.integer("event") == 5) {
            out.emplace_back(*d.number("t"), *d.number("x"), *d.number("y"));
        }
    }
    return out;
}

}  // namespace

TEST(CalibrationEndToEndTest, HeldFingersCalibrateTheAgent) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    TempDir config, runtime, work;
    const std::vector<Point> targets = {{kLo * kWidth, kHeight - kHi * kHeight},
                                        {kLo * kWidth, kHeight - kLo * kHeight},
                                        {kHi * kWidth, kHeight - kLo * kHeight},
                                        {kHi * kWidth, kHeight - kHi * kHeight}};
    writeFile(work.file("calibrate.session"), session(targets));

    BackgroundProcess calibrator({builtProgram("tactcalib")},
                                 {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.path(),
                                  "XDG_RUNTIME_DIR=" + runtime.path(), bus.environment()});
    std::string line;
    bool firstTarget = false;
    while (calibrator.readLine(line, std::chrono::seconds(10))) {
        if (line.rfind("CalibrateView: target 0 at 80", 0) == 0) {
            firstTarget = true;
            break;
        }
    }
    ASSERT_TRUE(firstTarget) << "the calibrator did not show its first target on an 800x600 screen";

    BackgroundProcess agent({builtProgram("tactreplay"), work.file("calibrate.session"), "--bus",
                             "--prefs-dir", config.path(), "--trace", work.file("trace.jsonl")},
                            {bus.environment()});
    EXPECT_EQ(calibrator.wait(std::chrono::seconds(60)), 0);
    EXPECT_EQ(agent.wait(std::chrono::seconds(60)), 0);

    platform::setPreferencesDirectory(config.path());
    auto coefficients = platform::CFPreferencesCopyAppValue(
        platform::String(tact::kZyvTouchCoefficients), platform::String(tact::kZyvTouchSetting));
    ASSERT_TRUE(coefficients && coefficients->isDictionary());
    EXPECT_EQ(coefficients->asDictionary()->size(), 8u);

    // Before: the shifted frame put the pointer off the target. After the
    // reload the same finger lands on it.
    auto moves = pointerMoves(readFile(work.file("trace.jsonl")));
    ASSERT_FALSE(moves.empty());
    auto [t0, x0, y0] = moves.front();
    EXPECT_GT(std::hypot(x0 - targets[0].x, y0 - targets[0].y), 20.0) << x0 << "," << y0;
    auto [t1, x1, y1] = moves.back();
    EXPECT_GE(t1, 9.0);
    EXPECT_NEAR(x1, targets[0].x, 1.0);
    EXPECT_NEAR(y1, targets[0].y, 1.0);
}
