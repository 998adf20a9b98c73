// The desktop harness on its own: openbox on a private Xvfb, with input
// faked by xdotool through XTest, as the agent's XTest sink fakes it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/InputRecorder.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/PrivateDesktop.hpp"
#include "tests/support/Subprocess.hpp"

namespace tact::test {
namespace {

using Strings = std::vector<std::string>;

class DesktopHarness : public ::testing::Test {
  protected:
    void SetUp() override {
        xdotool_ = findOnPath("xdotool");
        if (xdotool_.empty())
            GTEST_SKIP() << "xdotool is not installed";
    }

    // Runs xdotool on the desktop to its end.
    void xdotool(PrivateDesktop& desktop, const Strings& args) {
        Strings argv{xdotool_};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult r = runProcess(argv, {desktop.environment()}, std::chrono::seconds(5));
        ASSERT_EQ(r.exitCode, 0) << "xdotool failed: " << r.err;
    }

    std::string xdotool_;
};

TEST_F(DesktopHarness, BoundKeysSwitchDesktopsAndTheRecorderNamesWhatArrived) {
    PrivateDesktop desktop(
        {.keys = {goToDesktop("W-Next", "right"), goToDesktop("C-A-Right", "right")}});
    TACT_REQUIRE_DESKTOP(desktop);
    ASSERT_EQ(desktop.currentDesktop(), 0u);
    InputRecorder recorder(desktop.display());
    ASSERT_TRUE(recorder.ok()) << recorder.error();

    // The window manager grabs its keys; the recorder sees them all the same.
    // (xdotool releases every modifier twice: the second release is unpaired.)
    xdotool(desktop, {"keydown", "super", "keydown", "Next", "keyup", "Next", "keyup", "super"});
    EXPECT_TRUE(waitUntil([&] { return desktop.currentDesktop() == 1u; }))
        << desktop.windowManagerOutput();
    EXPECT_EQ(recorder.sequence(Releases::Paired),
              (Strings{"+Super_L", "+Next", "-Next", "-Super_L"}));
    for (const RawInput& input : recorder.events())
        EXPECT_EQ(input.device, "Virtual core XTEST keyboard") << input.text();

    recorder.clear();
    xdotool(desktop, {"keydown", "ctrl", "keydown", "alt", "keydown", "Right", "keyup", "Right",
                      "keyup", "alt", "keyup", "ctrl"});
    EXPECT_TRUE(waitUntil([&] { return desktop.currentDesktop() == 2u; }));
    EXPECT_EQ(recorder.sequence(Releases::Paired),
              (Strings{"+Control_L", "+Alt_L", "+Right", "-Right", "-Alt_L", "-Control_L"}));

    // Key codes are evdev codes plus 8, as on a real desktop; a release of a
    // key that is not down is listed, and marked.
    recorder.clear();
    xdotool(desktop, {"key", "a", "click", "4", "keyup", "b"});
    const auto& inputs = recorder.events();
    EXPECT_EQ(texts(inputs), (Strings{"+a", "-a", "+button4", "-button4", "-b"}));
    ASSERT_EQ(inputs.size(), 5u);
    EXPECT_EQ(inputs[0].detail, 30u + 8u);  // KEY_A
    EXPECT_EQ(inputs[2].device, "Virtual core XTEST pointer");
    EXPECT_FALSE(inputs[3].unpaired);
    EXPECT_TRUE(inputs[4].unpaired);

    // The wheel over the root window switched no desktop (openbox's stock
    // configuration goes to the previous one): the next key goes from 2 to 3.
    xdotool(desktop, {"keydown", "super", "keydown", "Next", "keyup", "Next", "keyup", "super"});
    EXPECT_TRUE(waitUntil([&] { return desktop.currentDesktop() == 3u; }))
        << "on desktop " << desktop.currentDesktop().value_or(99);
}

TEST_F(DesktopHarness, ANewWindowBecomesActiveAndItsClassReadsBack) {
    PrivateDesktop desktop;
    TACT_REQUIRE_DESKTOP(desktop);
    EXPECT_EQ(desktop.activeWindow(), XCB_NONE);

    TestWindow browser(desktop, {"Navigator", "firefox"}, "org.mozilla.firefox");
    ASSERT_TRUE(browser.active());
    EXPECT_EQ(desktop.activeWindow(), browser.id());
    EXPECT_EQ(desktop.activeWmClass(), (WmClass{"Navigator", "firefox"}));

    TestWindow viewer(desktop, {"evince", "Evince"});
    ASSERT_TRUE(viewer.active());
    EXPECT_EQ(desktop.activeWmClass(), (WmClass{"evince", "Evince"}));

    EXPECT_TRUE(browser.activate());
    EXPECT_EQ(desktop.activeWmClass(), (WmClass{"Navigator", "firefox"}));
}

TEST_F(DesktopHarness, ShowingTheDesktopTogglesItsProperty) {
    PrivateDesktop desktop({.keys = {toggleShowDesktop("W-d")}});
    TACT_REQUIRE_DESKTOP(desktop);
    TestWindow window(desktop, {"gedit", "Gedit"});
    ASSERT_TRUE(window.active());
    ASSERT_EQ(desktop.showingDesktop(), false);

    xdotool(desktop, {"key", "super+d"});
    EXPECT_TRUE(waitUntil([&] { return desktop.showingDesktop() == true; }));
    xdotool(desktop, {"key", "super+d"});
    EXPECT_TRUE(waitUntil([&] { return desktop.showingDesktop() == false; }));
}

// Openbox runs on with its defaults when it cannot use a binding or the file;
// a test must not pass on a desktop it did not ask for.
TEST_F(DesktopHarness, AConfigurationOpenboxCannotUseFailsTheDesktop) {
    const struct {
        KeyBinding binding;
        std::string said;
    } broken[] = {
        {{"W-x", "<action name=\"NoSuchAction\"/>"}, "NoSuchAction"},
        {{"W-Nxt", "<action name=\"ToggleShowDesktop\"/>"}, "Nxt"},
        {{"W-x", "<action name=\"GoToDesktop\"><to>right</action>"}, "parser error"},
    };
    for (const auto& [binding, said] : broken) {
        PrivateDesktop desktop({.keys = {binding}});
        if (!desktop.missing().empty())
            GTEST_SKIP() << desktop.missing() << " is not installed";
        EXPECT_FALSE(desktop.ok()) << binding.key << " " << binding.actions;
        EXPECT_NE(desktop.error().find(said), std::string::npos) << desktop.error();
    }
}

}  // namespace
}  // namespace tact::test
