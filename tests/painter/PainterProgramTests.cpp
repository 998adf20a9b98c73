// The real tactpaint on Qt's offscreen platform and a private bus: this test
// plays the agent, watching what the painter tells it and sending it reports,
// good and hostile.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/Notifications.hpp"
#include "tests/support/AgentStandIn.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/ProgramChecks.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace tact {
namespace {

using namespace std::chrono_literals;

std::optional<platform::Dictionary> control(bool on) {
    return platform::Dictionary{{kKeyTouchTestMode, on}};
}

platform::Dictionary oneTouch(int i, std::int64_t id, float x, float y) {
    auto key = [i](std::string_view format) {
        std::string k(format);
        k.replace(k.find("%i"), 2, std::to_string(i));
        return platform::String(k);
    };
    return platform::Dictionary{{key(kKeyFormatFingerID), id},
                                {key(kKeyFormatX), x},
                                {key(kKeyFormatY), y},
                                {key(kKeyFormatWidth), 0.02f},
                                {key(kKeyFormatHeight), 0.03f}};
}

class PainterProgram : public test::ProgramWithAgent {
  protected:
    std::vector<std::string> environment() const {
        return {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir_.path(),
                "XDG_RUNTIME_DIR=" + dir_.path(), bus_.environment()};
    }

    // Starts tactpaint and waits until it observes the agent's reports and
    // has told the agent to enter touch test mode.
    void start() {
        painter_ = std::make_unique<test::BackgroundProcess>(
            std::vector<std::string>{test::builtProgram("tactpaint"), "--trace"}, environment());
        ASSERT_TRUE(expectLine(*painter_, "AppDelegate: observing \"MTouch Report\""));
        ASSERT_TRUE(agent_->pumpUntil([&] { return !agent_->control.empty(); }));
        EXPECT_EQ(agent_->control, (std::vector{control(true)}));
    }

    // Reads the trace until the ticks together painted this many reports;
    // returns the touches they painted, -1 when the trace stops.
    int paintedTouchesOf(int reports) {
        const std::string prefix = "TouchView: painted ";
        int touches = 0, seen = 0;
        std::string line;
        while (seen < reports && painter_->readLineStartingWith(prefix, line)) {
            std::istringstream in(line.substr(prefix.size()));
            int t = 0, r = 0;
            std::string word;
            in >> t >> word >> word >> r;
            touches += t;
            seen += r;
        }
        return seen == reports ? touches : -1;
    }

    // A report from the agent, queued.
    void sendReport(const std::optional<platform::Dictionary>& userInfo) {
        agent_->post(userInfo, kMTouchReportNotification);
    }

    // SIGTERM, then the exit and the last word to the agent.
    void terminate() {
        ASSERT_TRUE(painter_->terminate());
        EXPECT_EQ(painter_->wait(10s), 0);
        EXPECT_EQ(agent_->controlsAfter(2), (std::vector{control(true), control(false)}));
    }

    test::TempDir dir_;
    std::unique_ptr<test::BackgroundProcess> painter_;
};

TEST_F(PainterProgram, TouchTestModeIsOnWhileActiveAndOffAfterSIGTERM) {
    ASSERT_NO_FATAL_FAILURE(start());
    platform::Dictionary report{{kKeyActualCount, 2}};
    for (const auto& part : {oneTouch(0, 1, 0.25f, 0.5f), oneTouch(1, 2, 0.75f, 0.5f)})
        for (const auto& [key, value] : part)
            report.set(key, value);
    sendReport(report);
    agent_->pump(20ms);
    EXPECT_EQ(paintedTouchesOf(1), 2);
    ASSERT_NO_FATAL_FAILURE(terminate());
}

TEST_F(PainterProgram, SurvivesHostileReports) {
    ASSERT_NO_FATAL_FAILURE(start());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<platform::Dictionary> hostile{
        {{kKeyActualCount, "lots"}},
        {{kKeyActualCount, std::numeric_limits<std::int64_t>::max()}},
        {{kKeyActualCount, std::numeric_limits<std::int64_t>::min()}},
        {{kKeyActualCount, 1e308}},
        {{kKeyActualCount, nan}},
        {{kKeyActualCount, platform::Dictionary{{"deep", platform::Array{1, "x"}}}}},
        {{kKeyActualCount, 2},
         {"0_FingerID", "one"},
         {"0_x", platform::Array{}},
         {"0_y", platform::Data{0, 1}},
         {"0_Width", nan},
         {"0_Height", inf},
         {"1_x", -inf}},
        {{kKeyActualCount, 1},
         {"0_FingerID", platform::String::fromUnits(u"\xD800")},
         {"0_x", 0.5},
         {"0_y", 0.5},
         {"0_Width", 0.1},
         {"0_Height", -inf}},
    };
    for (const auto& info : hostile)
        sendReport(info);
    // Two reports without user information: not reports at all.
    sendReport(std::nullopt);
    sendReport(std::nullopt);
    // Then a real one: the painter still paints.
    sendReport(oneTouch(0, 3, 0.5f, 0.5f));
    platform::Dictionary last = oneTouch(0, 3, 0.5f, 0.5f);
    last.set(kKeyActualCount, 1);
    sendReport(last);
    agent_->pump(20ms);
    // The report without a count is a report of no touches.
    EXPECT_EQ(paintedTouchesOf(static_cast<int>(hostile.size()) + 2), 1);
    ASSERT_NO_FATAL_FAILURE(terminate());
}

TEST(PainterProgramOptions, HelpNeedsNeitherADisplayNorABus) {
    test::expectHelpWithoutDisplayOrBus("tactpaint", {"--screenshot FILE", "double-click"});
    test::expectOptionRefused("tactpaint", "--screenshot", "--screenshot needs a file name");
}

TEST(PainterProgramOptions, WithoutABusItSaysSoAndExits) {
    test::expectExitWithoutABus("tactpaint");
}

}  // namespace
}  // namespace tact
