// The real tactcalib on Qt's offscreen platform and a private bus: this test
// plays the agent, sending calibration taps and watching what the calibrator
// tells it and what it stores in a temporary preferences folder.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "calibrator/solver/CalibrationSolver.hpp"
#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "platform/prefs/Preferences.hpp"
#include "tests/support/AgentStandIn.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/ProgramChecks.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace tact {
namespace {

using namespace std::chrono_literals;

platform::Dictionary tap(std::int64_t x, std::int64_t y) {
    return platform::Dictionary{
        {kKeyTapLocation, platform::Dictionary{{"touchX", x}, {"touchY", y}}},
        {kKeyActiveTouchCount, 1},
    };
}

std::optional<platform::Dictionary> control(std::string_view key, bool value) {
    return platform::Dictionary{{platform::String(key), value}};
}

class CalibratorProgram : public test::ProgramWithAgent {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ProgramWithAgent::SetUp());
        agent_->answerQuestionsWith(platform::Dictionary{{kKeyDriverVersion, kDriverVersion}});
    }

    std::vector<std::string> environment() const {
        return {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config_.path(),
                "XDG_RUNTIME_DIR=" + runtime_.path(), bus_.environment()};
    }

    // Starts tactcalib and waits until it observes the agent and shows its
    // first target.
    void start() {
        calibrator_ = std::make_unique<test::BackgroundProcess>(
            std::vector<std::string>{test::builtProgram("tactcalib")}, environment());
        ASSERT_TRUE(expectLine(*calibrator_, "AppDelegate: observing \"ZYVTouch Event\""));
        ASSERT_TRUE(waitForTarget(0));
    }

    // Waits for the trace of a target being shown, and records where.
    bool waitForTarget(int stage) {
        const std::string prefix = "CalibrateView: target " + std::to_string(stage) + " at ";
        std::string line;
        if (!calibrator_->readLineStartingWith(prefix, line)) {
            ADD_FAILURE() << "tactcalib never showed target " << stage;
            return false;
        }
        std::istringstream in(line.substr(prefix.size()));
        in >> targets_[stage].x >> targets_[stage].y;
        return !in.fail();
    }

    // One target: count taps, alternating around (x, y) so that the average is
    // exactly (x, y), then the lift.
    void holdOn(double x, double y) {
        for (int i = 0; i < 100; ++i) {
            const int d = i % 2 ? 5 : -5;
            agent_->post(tap(std::int64_t(x) + d, std::int64_t(y) + 2 * d));
        }
        lift();
    }

    void sendTaps(int count, std::int64_t x, std::int64_t y) {
        for (int i = 0; i < count; ++i)
            agent_->post(tap(x, y));
        agent_->pump(20ms);
    }
    void lift() { agent_->send(std::nullopt); }

    std::optional<platform::Dictionary> storedCoefficients() {
        platform::setPreferencesDirectory(config_.path());
        EXPECT_TRUE(platform::CFPreferencesAppSynchronize(kZyvTouchSetting));
        auto value = platform::CFPreferencesCopyAppValue(kZyvTouchCoefficients, kZyvTouchSetting);
        if (!value || !value->asDictionary())
            return std::nullopt;
        return *value->asDictionary();
    }

    void expectTheCalibratorFinished() {
        ASSERT_EQ(calibrator_->wait(10s), 0);
        EXPECT_EQ(agent_->controlsAfter(3), (std::vector{control(kKeyCalibrateInProgress, true),
                                                         control(kKeyPreferenceReload, true),
                                                         control(kKeyCalibrateInProgress, false)}));
    }

    test::TempDir config_;
    test::TempDir runtime_;
    std::unique_ptr<test::BackgroundProcess> calibrator_;
    CalibrationPoints targets_{};
};

TEST_F(CalibratorProgram, AFullRunStoresTheMapFromTheAveragedSamplesToTheTargets) {
    ASSERT_NO_FATAL_FAILURE(start());
    // A skewed frame: its raw corners form a parallelogram, so one affine map
    // sends all four exactly onto the targets.
    const CalibrationPoints raw{{{3000, 3500}, {3200, 29000}, {29500, 29300}, {29300, 3800}}};
    for (int stage = 0; stage < kCalibrationPointCount; ++stage) {
        if (stage > 0) {
            ASSERT_TRUE(waitForTarget(stage));
        }
        holdOn(raw[stage].x, raw[stage].y);
    }
    ASSERT_NO_FATAL_FAILURE(expectTheCalibratorFinished());

    auto k = storedCoefficients();
    ASSERT_TRUE(k);
    EXPECT_EQ(k->size(), 8u);
    // The offscreen platform's screen; the targets sit at a tenth and nine
    // tenths of it, in points from the top-left corner.
    const auto width = k->number(kZyvTouchCoefficientKWIDTH);
    const auto height = k->number(kZyvTouchCoefficientKHEIGHT);
    ASSERT_TRUE(width && height);
    EXPECT_GT(*width, 0);
    EXPECT_GT(*height, 0);
    const double lo = double(0.1f), hi = double(0.9f);
    const CalibrationPoints expectedTargets{{{lo * *width, *height - hi * *height},
                                             {lo * *width, *height - lo * *height},
                                             {hi * *width, *height - lo * *height},
                                             {hi * *width, *height - hi * *height}}};
    for (int i = 0; i < kCalibrationPointCount; ++i) {
        EXPECT_DOUBLE_EQ(targets_[i].x, expectedTargets[i].x) << "target " << i;
        EXPECT_DOUBLE_EQ(targets_[i].y, expectedTargets[i].y) << "target " << i;
        const CalibrationPoint s = raw[i];
        EXPECT_NEAR(*k->number(kZyvTouchCoefficientKX1) * s.x +
                        *k->number(kZyvTouchCoefficientKX2) * s.y +
                        *k->number(kZyvTouchCoefficientKX3),
                    expectedTargets[i].x, 1e-6)
            << "target " << i;
        EXPECT_NEAR(*k->number(kZyvTouchCoefficientKY1) * s.x +
                        *k->number(kZyvTouchCoefficientKY2) * s.y +
                        *k->number(kZyvTouchCoefficientKY3),
                    expectedTargets[i].y, 1e-6)
            << "target " << i;
    }
}

TEST_F(CalibratorProgram, LiftsRestartATargetAndLateSamplesAreIgnored) {
    ASSERT_NO_FATAL_FAILURE(start());
    // First target: 99 samples far off, then a lift throws them away.
    sendTaps(99, 20000, 20000);
    lift();
    // Then 100 good samples, and 150 more far off while the finger stays
    // down: they count for nothing, not even for the next target.
    sendTaps(100, 3000, 3500);
    sendTaps(150, 20000, 20000);
    lift();
    ASSERT_TRUE(waitForTarget(1));
    holdOn(3200, 29000);
    ASSERT_TRUE(waitForTarget(2));
    holdOn(29500, 29300);
    ASSERT_TRUE(waitForTarget(3));
    // Last target: x samples add up to 327,699, which averages to 3276 in
    // integer division.
    for (int i = 0; i < 99; ++i)
        agent_->post(tap(3277, 3800));
    agent_->post(tap(3276, 3800));
    ASSERT_NO_FATAL_FAILURE(expectTheCalibratorFinished());

    // The stored map is the fit of exactly these averages, to the last bit.
    const CalibrationPoints averages{{{3000, 3500}, {3200, 29000}, {29500, 29300}, {3276, 3800}}};
    CalibrationCoefficients KX{}, KY{};
    ASSERT_TRUE(getCalibrateCoefficient(targets_, averages, KX, KY));
    auto k = storedCoefficients();
    ASSERT_TRUE(k);
    EXPECT_EQ(*k->number(kZyvTouchCoefficientKX1), KX[0]);
    EXPECT_EQ(*k->number(kZyvTouchCoefficientKX2), KX[1]);
    EXPECT_EQ(*k->number(kZyvTouchCoefficientKX3), KX[2]);
    EXPECT_EQ(*k->number(kZyvTouchCoefficientKY1), KY[0]);
    EXPECT_EQ(*k->number(kZyvTouchCoefficientKY2), KY[1]);
    EXPECT_EQ(*k->number(kZyvTouchCoefficientKY3), KY[2]);
}

TEST_F(CalibratorProgram, TellsTheAgentCalibrationIsOffWhenItQuitsEarly) {
    // --screenshot quits once the first target is shown, without a result.
    test::TempDir out;
    const std::string png = out.file("first-target.png");
    auto env = environment();
    auto result = test::runProcess({test::builtProgram("tactcalib"), "--screenshot", png}, env);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(test::fileExists(png));
    EXPECT_EQ(agent_->controlsAfter(2), (std::vector{control(kKeyCalibrateInProgress, true),
                                                     control(kKeyCalibrateInProgress, false)}));
    EXPECT_FALSE(storedCoefficients());
}

TEST_F(CalibratorProgram, OnSIGTERMItTellsTheAgentCalibrationIsOffAndExits) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(calibrator_->terminate());
    EXPECT_EQ(calibrator_->wait(10s), 0);
    EXPECT_EQ(agent_->controlsAfter(2), (std::vector{control(kKeyCalibrateInProgress, true),
                                                     control(kKeyCalibrateInProgress, false)}));
    EXPECT_FALSE(storedCoefficients());
}

TEST(CalibratorProgramOptions, HelpNeedsNeitherADisplayNorABus) {
    test::expectHelpWithoutDisplayOrBus("tactcalib", {"--screenshot FILE"});
    test::expectOptionRefused("tactcalib", "--screenshot", "--screenshot needs a file name");
}

TEST(CalibratorProgramOptions, WithoutABusItSaysSoAndExits) {
    test::expectExitWithoutABus("tactcalib");
}

}  // namespace
}  // namespace tact
