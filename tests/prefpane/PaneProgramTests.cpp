// The real tactprefs, with the real pane plug-in, on Qt's offscreen platform
// and a private bus: this test plays the agent.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "tests/support/AgentStandIn.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/ProgramChecks.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace tact {
namespace {

using namespace std::chrono_literals;

class PaneProgram : public test::ProgramWithAgent {
  protected:
    std::vector<std::string> environment() const {
        return {"QT_QPA_PLATFORM=offscreen", "HOME=" + home_.path(),
                "XDG_CONFIG_HOME=" + home_.file(".config"), "XDG_RUNTIME_DIR=" + home_.path(),
                bus_.environment()};
    }

    test::TempDir home_;
};

TEST_F(PaneProgram, AsksTheAgentWhenShownAndShowsTheReply) {
    test::BackgroundProcess prefs({test::builtProgram("tactprefs")}, environment());
    ASSERT_TRUE(agent_->waitFor(kKeyNeedSerialNumber)) << "tactprefs never asked the agent";
    EXPECT_EQ(agent_->control,
              (std::vector<std::optional<platform::Dictionary>>{
                  platform::Dictionary{{platform::String(kKeyNeedSerialNumber), true}}}));

    agent_->send(test::exampleInformationReply());
    std::string line;
    ASSERT_TRUE(prefs.readLineStartingWith("MultitouchPrefsPane: ", line));
    EXPECT_EQ(line,
              "MultitouchPrefsPane: driver=\"2.0\" serial=\"ZT-0042\" type=\"IR-32\" "
              "shipDate=\"2019-5-6\" shipTime=\"07:08:09\" touchPoints=\"10\" "
              "hardware=\"1.23\" firmware=\"12.34.5 - 2.1\" alive=1");

    agent_->send(platform::Dictionary{{platform::String(kKeyIsDeviceReady), false}});
    ASSERT_TRUE(prefs.readLineStartingWith("MultitouchPrefsPane: ", line));
    EXPECT_EQ(line,
              "MultitouchPrefsPane: driver=\"2.0\" serial=\"\" type=\"N/A\" shipDate=\"N/A\" "
              "shipTime=\"N/A\" touchPoints=\"N/A\" hardware=\"N/A\" firmware=\"N/A\" alive=0");
}

TEST_F(PaneProgram, AScreenshotRunSavesTheWindowAndTheLogSwitchOnTheWayOut) {
    const std::string png = home_.file("prefs.png");
    test::BackgroundProcess prefs({test::builtProgram("tactprefs"), "--screenshot", png},
                                  environment());
    ASSERT_TRUE(agent_->waitFor(kKeyNeedSerialNumber));
    agent_->send(test::exampleInformationReply());
    EXPECT_EQ(prefs.wait(20s), 0);
    EXPECT_TRUE(test::fileExists(png));
    // Closing the window unselected the pane, which saved the log switch.
    const std::string saved =
        test::readFile(home_.file(".config/com.vostrabaxworks.Tactagent.plist"));
    EXPECT_NE(saved.find("<key>LogStart</key>"), std::string::npos) << saved;
    EXPECT_NE(saved.find("<false/>"), std::string::npos) << saved;
}

TEST_F(PaneProgram, OnSIGTERMThePaneIsUnselectedAndStoresTheLogSwitch) {
    test::BackgroundProcess prefs({test::builtProgram("tactprefs")}, environment());
    ASSERT_TRUE(agent_->waitFor(kKeyNeedSerialNumber));
    ASSERT_TRUE(prefs.terminate());
    EXPECT_EQ(prefs.wait(10s), 0);
    const std::string saved =
        test::readFile(home_.file(".config/com.vostrabaxworks.Tactagent.plist"));
    EXPECT_NE(saved.find("<key>LogStart</key>"), std::string::npos) << saved;
}

TEST(PaneProgramOptions, HelpNeedsNeitherADisplayNorABus) {
    test::expectHelpWithoutDisplayOrBus("tactprefs", {"lib/tact/panes"});
    test::expectOptionRefused("tactprefs", "--pane-dir", "--pane-dir needs a value");
}

TEST(PaneProgramOptions, WithoutABusItSaysSoAndExits) {
    test::expectExitWithoutABus("tactprefs");
}

}  // namespace
}  // namespace tact
