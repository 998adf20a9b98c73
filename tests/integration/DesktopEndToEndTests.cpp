// What arrives on a real X desktop: tactreplay plays touch sessions through
// the XTest sink onto a private Xvfb run by openbox, and a real X client
// records every key and button the server handles. The window manager
// stands in for the desktop's own: it binds the keys of GNOME's or KDE's
// key set to switching workspaces, so a desktop switch shows that the agent
// typed the key that desktop binds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/support/InputRecorder.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/PrivateDesktop.hpp"
#include "tests/support/PrivateWeston.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace tact::test {
namespace {

using Strings = std::vector<std::string>;

// Fingers side by side (2000 units apart) that move together by (dx, dy)
// each 10 ms for eleven steps, then lift.
std::string swipe(double t, int fingers, int firstId, int dx, int dy, int startY = 12000) {
    std::string out;
    for (int step = 0; step <= 11; ++step) {
        out += std::to_string(t + step * 0.01) + " touch";
        for (int f = 0; f < fingers; ++f) {
            const int x = 12000 + 2000 * f + dx * step;
            const int y = startY + dy * step;
            out += " " + std::to_string(firstId + f) + ":" + std::to_string(x) + "," +
                   std::to_string(y) + (step == 11 ? ":up" : "");
        }
        out += "\n";
    }
    return out;
}

// Two fingers moving apart about the screen's middle, then lifted.
std::string spread(double t, int firstId) {
    std::string out;
    for (int step = 0; step <= 10; ++step) {
        const int half = 1500 + 400 * std::min(step, 9);
        const char* up = step == 10 ? ":up" : "";
        out += std::to_string(t + step * 0.02) + " touch " + std::to_string(firstId) + ":" +
               std::to_string(16384 - half) + ",16384" + up + " " + std::to_string(firstId + 1) +
               ":" + std::to_string(16384 + half) + ",16384" + up + "\n";
    }
    return out;
}

// Five fingers on a circle about the screen's middle, its radius going from
// `from` to `to`, easing in and out, held still, then lifted.
std::string fivePinch(double t, int firstId, int from, int to) {
    static constexpr double kAngles[] = {0, 1.2566, 2.5133, 3.7699, 5.0265};
    static constexpr double kProgress[] = {0, 1.0 / 12, 4.0 / 12, 7.0 / 12, 10.0 / 12, 1, 1, 1};
    std::string out;
    for (int step = 0; step < 8; ++step) {
        const double r = from + (to - from) * kProgress[step];
        out += std::to_string(t + step * 0.01) + " touch";
        for (int f = 0; f < 5; ++f) {
            const int x = 16384 + static_cast<int>(r * std::cos(kAngles[f]));
            const int y = 16384 + static_cast<int>(r * std::sin(kAngles[f]));
            out += " " + std::to_string(firstId + f) + ":" + std::to_string(x) + "," +
                   std::to_string(y) + (step == 7 ? ":up" : "");
        }
        out += "\n";
    }
    return out;
}

class DesktopEndToEnd : public ::testing::Test {
  protected:
    // Plays the session onto the desktop through XTest, on `desktopName`'s
    // terms (XDG_CURRENT_DESKTOP), with the configuration folder given.
    ProcessResult play(PrivateDesktop& desktop, const std::string& session,
                       const std::string& desktopName, const Strings& extraEnv = {}) {
        const std::string path = work_.file("session.txt");
        writeFile(path, "screen 1280x800\n" + session);
        Strings env{desktop.environment(),      "XDG_CURRENT_DESKTOP=" + desktopName,
                    "DESKTOP_SESSION=",         "XDG_CONFIG_HOME=" + work_.path(),
                    "GSETTINGS_BACKEND=memory", "TACT_LOG_LEVEL=notice",
                    bus_.environment()};
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        return runProcess({builtProgram("tactreplay"), path, "--sink", "xtest"}, env,
                          std::chrono::seconds(30));
    }

    // The keys among what arrived, as X clients see them.
    static Strings keys(InputRecorder& recorder) {
        Strings out;
        for (const auto& input : recorder.events()) {
            if (input.key() && !input.unpaired)
                out.push_back(input.text());
        }
        return out;
    }

    TempDir work_;
    PrivateBus bus_;  // no desktop service answers on it
};

TEST_F(DesktopEndToEnd, ThreeFingersSwitchWorkspacesWithGnomesAndKdesKeys) {
    // GNOME 43's defaults (Super+Page Down / Up), and Plasma's (Meta+Ctrl+arrow).
    PrivateDesktop desktop(
        {.keys = {goToDesktop("W-Next", "right"), goToDesktop("W-Prior", "left"),
                  goToDesktop("W-C-Right", "right"), goToDesktop("W-C-Left", "left")}});
    TACT_REQUIRE_DESKTOP(desktop);
    ASSERT_TRUE(bus_.ok()) << bus_.error();
    InputRecorder recorder(desktop.display());
    ASSERT_TRUE(recorder.ok()) << recorder.error();

    // GNOME: three fingers left go to the workspace on the right, then up
    // opens the overview with the Super key alone.
    auto r = play(desktop, swipe(0, 3, 10, -600, 0) + swipe(0.5, 3, 20, 0, -600), "GNOME");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(waitUntil([&] { return desktop.currentDesktop() == 1u; })) << r.err;
    EXPECT_EQ(keys(recorder),
              (Strings{"+Super_L", "+Next", "-Next", "-Super_L", "+Super_L", "-Super_L"}))
        << r.err;

    // KDE without its global shortcut service on the bus: the key bound in
    // kglobalshortcutsrc, three fingers right going back to the left.
    writeFile(work_.file("kglobalshortcutsrc"),
              "[kwin]\n"
              "Switch One Desktop to the Left=Meta+Ctrl+Left,Meta+Ctrl+Left,Switch One Desktop "
              "to the Left\n");
    recorder.clear();
    r = play(desktop, swipe(0, 3, 10, 600, 0), "KDE");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(waitUntil([&] { return desktop.currentDesktop() == 0u; })) << r.err;
    EXPECT_EQ(keys(recorder),
              (Strings{"+Control_L", "+Super_L", "+Left", "-Left", "-Control_L", "-Super_L"}))
        << r.err;
}

// Every swipe and pinch, with a document viewer in front, on GNOME's key set
// (GSettings defaults) and on KDE's (Plasma 5.27's kglobalshortcutsrc, its
// global shortcut service absent): the keys that arrive, and nothing else.
TEST_F(DesktopEndToEnd, EveryGestureTypesTheKeysOfGnomesAndKdesKeySets) {
    PrivateDesktop desktop;
    TACT_REQUIRE_DESKTOP(desktop);
    TestWindow viewer(desktop, {"evince", "Evince"}, "org.gnome.Evince");
    ASSERT_TRUE(viewer.active());
    writeFile(work_.file("kglobalshortcutsrc"),
              "[kwin]\n"
              "ExposeAll=Ctrl+F10\\tLaunch (C),Ctrl+F10\\tLaunch (C),Toggle Present Windows (All "
              "desktops)\n"
              "ExposeClass=Ctrl+F7,Ctrl+F7,Toggle Present Windows (Window class)\n"
              "Show Desktop=Meta+D,Meta+D,Peek at Desktop\n"
              "Switch One Desktop to the Left=Meta+Ctrl+Left,Meta+Ctrl+Left,Switch One Desktop to "
              "the Left\n"
              "Switch One Desktop to the Right=Meta+Ctrl+Right,Meta+Ctrl+Right,Switch One Desktop "
              "to the Right\n"
              "[plasmashell]\n"
              "activate application launcher widget=Alt+F1,Alt+F1,Activate Application Launcher "
              "Widget\n");
    // Three fingers left, right, up, down; four fingers left and up in the
    // viewer; five fingers closing (leave the desktop view: asked of the
    // window manager), closing (the launcher), spreading (leave it),
    // spreading (show the desktop: the window manager again).
    const std::string session = swipe(0, 3, 10, -600, 0) + swipe(0.5, 3, 20, 600, 0) +
                                swipe(1.0, 3, 30, 0, -600) + swipe(1.5, 3, 40, 0, 600) +
                                swipe(2.0, 4, 50, -600, 0) + swipe(2.5, 4, 60, 0, -600) +
                                fivePinch(3.0, 70, 4000, 2800) + fivePinch(3.5, 80, 4000, 2800) +
                                fivePinch(4.0, 90, 2800, 4000) + fivePinch(4.5, 100, 2800, 4000);
    const Strings viewerKeys{"+Right", "-Right", "+Down", "-Down"};
    struct Case {
        const char* desktop;
        Strings threeFingers;
        Strings launcher;
    };
    const Case cases[] = {
        {"GNOME",
         {"+Super_L", "+Next", "-Next", "-Super_L", "+Super_L", "+Prior", "-Prior", "-Super_L",
          "+Super_L", "-Super_L"},
         {"+Super_L", "+a", "-a", "-Super_L", "+Super_L", "+a", "-a", "-Super_L"}},
        {"KDE",
         {"+Control_L", "+Super_L",   "+Right",     "-Right", "-Control_L",
          "-Super_L",   "+Control_L", "+Super_L",   "+Left",  "-Left",
          "-Control_L", "-Super_L",   "+Control_L", "+F10",   "-F10",
          "-Control_L", "+Control_L", "+F7",        "-F7",    "-Control_L"},
         {"+Alt_L", "+F1", "-F1", "-Alt_L", "+Alt_L", "+F1", "-F1", "-Alt_L"}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(viewer.activate());
        ASSERT_EQ(desktop.showingDesktop(), false);
        InputRecorder recorder(desktop.display());
        ASSERT_TRUE(recorder.ok()) << recorder.error();
        auto r = play(desktop, session, c.desktop);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        Strings expected = c.threeFingers;
        expected.insert(expected.end(), viewerKeys.begin(), viewerKeys.end());
        expected.insert(expected.end(), c.launcher.begin(), c.launcher.end());
        EXPECT_EQ(keys(recorder), expected) << c.desktop << "\n" << r.err;
        EXPECT_TRUE(waitUntil([&] { return desktop.showingDesktop() == true; })) << c.desktop;
        EXPECT_EQ(desktop.currentDesktop(), 0u) << "openbox binds none of these keys";
    }
}

TEST_F(DesktopEndToEnd, OnAnotherDesktopTheWindowManagerSwitchesAndShowsTheDesktop) {
    PrivateDesktop desktop;  // openbox binds none of the keys
    TACT_REQUIRE_DESKTOP(desktop);
    TestWindow window(desktop, {"gedit", "Gedit"});
    ASSERT_TRUE(window.active());
    InputRecorder recorder(desktop.display());
    ASSERT_TRUE(recorder.ok()) << recorder.error();

    // Three fingers left: the next workspace, asked of the window manager.
    // Five fingers closing (leave the desktop view), spreading (leave the
    // launcher: nothing here), spreading again (show the desktop). No key
    // arrives: no F11, no Escape, no launcher key.
    const std::string session = swipe(0, 3, 10, -600, 0) + fivePinch(0.5, 30, 4000, 2800) +
                                fivePinch(1.0, 40, 2800, 4000) + fivePinch(1.5, 50, 2800, 4000);
    auto r = play(desktop, session, "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(waitUntil([&] { return desktop.currentDesktop() == 1u; })) << r.err;
    EXPECT_TRUE(waitUntil([&] { return desktop.showingDesktop() == true; })) << r.err;
    EXPECT_EQ(keys(recorder), Strings{}) << r.err;
}

TEST_F(DesktopEndToEnd, FourFingersGoBackAndForwardInABrowser) {
    PrivateDesktop desktop;
    TACT_REQUIRE_DESKTOP(desktop);
    TestWindow browser(desktop, {"Navigator", "firefox"});
    ASSERT_TRUE(browser.active());
    InputRecorder recorder(desktop.display());
    ASSERT_TRUE(recorder.ok()) << recorder.error();

    // Left is forward, right is back: Alt+Right, then Alt+Left.
    auto r = play(desktop, swipe(0, 4, 10, -600, 0) + swipe(0.5, 4, 20, 600, 0), "GNOME");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(keys(recorder), (Strings{"+Alt_L", "+Right", "-Right", "-Alt_L", "+Alt_L", "+Left",
                                       "-Left", "-Alt_L"}))
        << r.err;
}

TEST_F(DesktopEndToEnd, APinchZoomsWithControlAndTheWheelAndAScrollSendsNoKey) {
    PrivateDesktop desktop;
    TACT_REQUIRE_DESKTOP(desktop);
    InputRecorder recorder(desktop.display());
    ASSERT_TRUE(recorder.ok()) << recorder.error();

    // Two fingers spreading, then a two-finger flick down with a sideways
    // drift (which once pressed an arrow key), scrolling on with momentum.
    auto r = play(desktop, spread(0, 10) + swipe(1.0, 2, 20, 200, 1200, 8000), "GNOME");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The zoom: wheel-up clicks, each event's between control down and up.
    // The scroll: wheel clicks alone. No other key, no other button.
    bool control = false;
    int zoomClicks = 0, scrollClicks = 0;
    for (const std::string& input : recorder.sequence(Releases::Paired)) {
        if (input == "+Control_L" || input == "-Control_L") {
            EXPECT_NE(control, input == "+Control_L") << input;
            control = input == "+Control_L";
        } else if (control) {
            EXPECT_TRUE(input == "+button4" || input == "-button4") << input << "\n" << r.err;
            zoomClicks += input == "+button4";
        } else {
            EXPECT_TRUE(input == "+button4" || input == "-button4" || input == "+button5" ||
                        input == "-button5" || input == "+button6" || input == "-button6" ||
                        input == "+button7" || input == "-button7")
                << input << "\n"
                << r.err;
            scrollClicks += input[0] == '+';
        }
    }
    EXPECT_FALSE(control);
    EXPECT_GE(zoomClicks, 2) << r.err;
    EXPECT_GE(scrollClicks, 1) << r.err;
}

// Two monitors side by side (Xwayland's XWAYLAND0 at 0,0 and XWAYLAND1 at
// 800,0, both 800x600, in a weston of the test's own): a tap at the frame's
// centre lands at the centre of the monitor the frame covers, named or the
// primary, and follows the primary when it moves while the agent runs.
TEST(ScreensEndToEnd, ATapAtTheFramesCentreLandsAtItsMonitorsCentre) {
    PrivateWeston weston;
    if (!weston.installed())
        GTEST_SKIP() << "weston, Xwayland or Xvfb is not installed";
    ASSERT_TRUE(weston.ok()) << weston.error();
    XClient x(weston.xwaylandDisplay());
    ASSERT_TRUE(x.ok());
    const std::string xrandr = findOnPath("xrandr");
    if (xrandr.empty())
        GTEST_SKIP() << "xrandr is not installed";
    auto pointer = [&] {
        XReply<xcb_query_pointer_reply_t> r(
            xcb_query_pointer_reply(x.get(), xcb_query_pointer(x.get(), x.root()), nullptr));
        return r ? std::pair<int, int>{r->root_x, r->root_y} : std::pair<int, int>{-1, -1};
    };
    auto primary = [&](const char* output) {
        const auto r = runProcess({xrandr, "--output", output, "--primary"},
                                  {"DISPLAY=" + weston.xwaylandDisplay()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    };
    TempDir work;
    const std::string tap = "0 touch 1:16384,16384\n0.05 touch 1:16384,16384:up\n";
    auto play = [&](const std::string& session) {
        writeFile(work.file("tap.session"), session);
        return runProcess({builtProgram("tactreplay"), work.file("tap.session"), "--sink", "xtest"},
                          {"DISPLAY=" + weston.xwaylandDisplay(), "XDG_CURRENT_DESKTOP="});
    };

    struct Case {
        const char* primary;
        const char* frameOutput;
        std::pair<int, int> centre;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"XWAYLAND0", "XWAYLAND1", {1200, 300}},
             {"XWAYLAND1", "XWAYLAND0", {400, 300}},
             {"XWAYLAND1", "", {1200, 300}},
             {"XWAYLAND0", "HDMI-9", {400, 300}},  // not connected: the primary
         }) {
        primary(c.primary);
        const auto r =
            play(std::string("prefs {\"ScreenOutput\": \"") + c.frameOutput + "\"}\n" + tap);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(pointer(), c.centre)
            << "primary " << c.primary << ", frame on '" << c.frameOutput << "'\n"
            << r.err;
    }

    // While the agent runs, the primary moves to the right: the next tap
    // lands there.
    primary("XWAYLAND0");
    writeFile(work.file("two.session"),
              tap + "1.5 touch 2:16384,16384\n1.55 touch 2:16384,16384:up\n");
    BackgroundProcess agent(
        {builtProgram("tactreplay"), work.file("two.session"), "--sink", "xtest"},
        {"DISPLAY=" + weston.xwaylandDisplay(), "XDG_CURRENT_DESKTOP="});
    ASSERT_TRUE(waitUntil([&] { return pointer() == std::pair<int, int>{400, 300}; }));
    primary("XWAYLAND1");
    EXPECT_EQ(agent.wait(std::chrono::seconds(10)), 0);
    EXPECT_EQ(pointer(), (std::pair<int, int>{1200, 300}));
}

}  // namespace
}  // namespace tact::test
