// What each desktop action becomes on GNOME (the real schemas through GIO's
// memory backend), KDE Plasma and Xfce (their files as they write them), and
// through KDE's real global shortcut daemon, run headless.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

#include "platform/actions/DesktopActions.hpp"
#include "platform/actions/GlobalShortcutService.hpp"
#include "platform/actions/GnomeSettings.hpp"
#include "platform/actions/KeyboardLayout.hpp"
#include "platform/actions/ShortcutFiles.hpp"
#include "platform/notify/SdBusHandles.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/PrivateXServer.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/XClient.hpp"

namespace platform::actions {
namespace {

using Way = Resolution::Way;

// The chord a resolution types, as people read it; the way otherwise.
std::string outcome(const Resolution& r) {
    switch (r.way) {
        case Way::Keys:
            return describeKeyChord(r.keys);
        case Way::GlobalShortcut:
            return "service " + r.component + "/" + r.shortcut;
        case Way::SwitchDesktop:
            return "switch " + std::to_string(r.step);
        case Way::ShowDesktop:
            return r.show ? "show desktop" : "leave desktop";
        case Way::Nothing:
            break;
    }
    return "nothing";
}

class GSettingsMemory : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { setenv("GSETTINGS_BACKEND", "memory", 1); }

    void set(const char* schema, const char* key, std::vector<const char*> values) {
        std::unique_ptr<GSettings, decltype(&g_object_unref)> settings(g_settings_new(schema),
                                                                       g_object_unref);
        values.push_back(nullptr);
        g_settings_set_strv(settings.get(), key, values.data());
    }
    void setString(const char* schema, const char* key, const char* value) {
        std::unique_ptr<GSettings, decltype(&g_object_unref)> settings(g_settings_new(schema),
                                                                       g_object_unref);
        g_settings_set_string(settings.get(), key, value);
    }
    void reset(const char* schema, const char* key) {
        std::unique_ptr<GSettings, decltype(&g_object_unref)> settings(g_settings_new(schema),
                                                                       g_object_unref);
        g_settings_reset(settings.get(), key);
    }
};

TEST_F(GSettingsMemory, GnomeDefaultsAndTheUsersChangesApplyAtOnce) {
    GnomeSettings probe;
    if (!probe.hasSchema("org.gnome.desktop.wm.keybindings") ||
        !probe.hasSchema("org.gnome.shell.keybindings") || !probe.hasSchema("org.gnome.mutter"))
        GTEST_SKIP() << "GNOME's schemas are not installed";

    DesktopSources sources;
    sources.kind = DesktopKind::Gnome;
    sources.gnome = std::make_shared<GnomeSettings>();
    DesktopActions actions(sources);

    struct Case {
        const char* action;
        const char* expected;
    };
    // GNOME 43's own defaults. The application's windows have no GNOME view,
    // and nothing stands in for them; without a window manager to ask, an
    // unbound "show desktop" does nothing either.
    for (const Case& c : std::initializer_list<Case>{
             {"79", "Super+Page Up"},
             {"81", "Super+Page Down"},
             {"32", "Super"},
             {"160", "Super+A"},
             {"Escape", "Super+A"},
             {"33", "nothing"},
             {"36", "nothing"},
             {"177", "nothing"},
             {"KeyCommandLeftbracket", "Alt+Left"},
             {"KeyCommandRightbracket", "Alt+Right"},
             {"KeyDownArrow", "Down"},
             {"70", "nothing"},
             {"no such action", "nothing"},
         }) {
        EXPECT_EQ(outcome(actions.resolve(c.action)), c.expected) << c.action;
    }
    EXPECT_EQ(actions.resolve("81").description,
              "Super+Page Down (GNOME: switch-to-workspace-right)");
    EXPECT_EQ(actions.resolve("33").description, "nothing: GNOME has no such action");
    EXPECT_EQ(actions.resolve("160").description.rfind("Super+A (GNOME: ", 0), 0u);

    // The user's changes, read live. A chord the keystroke builder cannot
    // press (control, alt and super together) is passed over for the next.
    set("org.gnome.desktop.wm.keybindings", "switch-to-workspace-right",
        {"<Primary><Alt><Super>Right", "<Control><Alt>Right"});
    set("org.gnome.desktop.wm.keybindings", "show-desktop", {"<Super>d"});
    setString("org.gnome.mutter", "overlay-key", "");
    set("org.gnome.shell.keybindings", "toggle-application-view", {});
    EXPECT_EQ(outcome(actions.resolve("81")), "Ctrl+Alt+Right");
    EXPECT_EQ(outcome(actions.resolve("36")), "Super+D");
    EXPECT_EQ(outcome(actions.resolve("32")), "Super+S");
    EXPECT_EQ(outcome(actions.resolve("160")), "nothing");

    for (const char* key : {"switch-to-workspace-right", "show-desktop"})
        reset("org.gnome.desktop.wm.keybindings", key);
    reset("org.gnome.mutter", "overlay-key");
    reset("org.gnome.shell.keybindings", "toggle-application-view");
}

TEST_F(GSettingsMemory, PerformTypesTheKeysAndSaysOnceWhatItCannotDo) {
    DesktopSources sources;
    sources.kind = DesktopKind::Gnome;
    sources.gnome = std::make_shared<GnomeSettings>();
    if (!sources.gnome->hasSchema("org.gnome.desktop.wm.keybindings"))
        GTEST_SKIP() << "GNOME's schemas are not installed";
    DesktopActions actions(sources);
    std::vector<KeyChord> typed;
    auto post = [&](const KeyChord& chord) { typed.push_back(chord); };

    EXPECT_TRUE(actions.perform("79", post));
    ASSERT_EQ(typed.size(), 1u);
    EXPECT_EQ(describeKeyChord(typed[0]), "Super+Page Up");
    EXPECT_FALSE(actions.perform("33", post));
    EXPECT_FALSE(actions.perform("33", post));
    EXPECT_EQ(typed.size(), 1u);
}

// kglobalshortcutsrc as Plasma 5.27 writes it.
constexpr const char* kPlasma5 = R"([kwin]
ExposeAll=Ctrl+F10\tLaunch (C),Ctrl+F10\tLaunch (C),Toggle Present Windows (All desktops)
ExposeClass=Ctrl+F7,Ctrl+F7,Toggle Present Windows (Window class)
Show Desktop=Meta+D,Meta+D,Peek at Desktop
Switch One Desktop to the Left=Meta+Ctrl+Left,Meta+Ctrl+Left,Switch One Desktop to the Left
Switch One Desktop to the Right=Meta+Ctrl+Right,Meta+Ctrl+Right,Switch One Desktop to the Right
_k_friendly_name=KWin

[plasmashell]
activate application launcher widget=Alt+F1,Alt+F1,Activate Application Launcher Widget
_k_friendly_name=Plasma
)";

// And as Plasma 6 writes it, with the user's own changes.
constexpr const char* kPlasma6 = R"([kwin]
ExposeAll=none,Ctrl+F10\tLaunch (C),Toggle Present Windows (All desktops)
Overview=Meta+W,Meta+W,Toggle Overview
Switch One Desktop to the Right=Meta+Alt+Right,Meta+Ctrl+Right,Switch One Desktop to the Right

[plasmashell]
activate application launcher=Meta\tAlt+F1,Meta\tAlt+F1,Activate Application Launcher
)";

// xfconf's shortcut channel as Xfce 4.18 writes it once the user changed it.
constexpr const char* kXfce = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-keyboard-shortcuts" version="1.0">
  <property name="commands" type="empty">
    <property name="default" type="empty">
      <property name="&lt;Alt&gt;F1" type="string" value="xfce4-popup-applicationsmenu"/>
    </property>
    <property name="custom" type="empty">
      <property name="&lt;Alt&gt;F1" type="string" value="xfce4-popup-applicationsmenu"/>
      <property name="&lt;Super&gt;space" type="string" value="xfce4-popup-whiskermenu"/>
      <property name="override" type="bool" value="true"/>
    </property>
  </property>
  <property name="xfwm4" type="empty">
    <property name="custom" type="empty">
      <property name="&lt;Primary&gt;&lt;Alt&gt;Left" type="string" value="left_workspace_key"/>
      <property name="&lt;Primary&gt;&lt;Alt&gt;Right" type="string" value="right_workspace_key"/>
      <property name="&lt;Primary&gt;&lt;Alt&gt;d" type="string" value="show_desktop_key"/>
      <property name="override" type="bool" value="true"/>
    </property>
  </property>
</channel>
)";

TEST(DesktopActions, KdeAndXfceKeysComeFromTheirFilesAndFollowChanges) {
    tact::test::TempDir home;
    const std::string channel = home.path() + "/xfce4/xfconf/xfce-perchannel-xml";
    ASSERT_EQ(std::system(("mkdir -p '" + channel + "'").c_str()), 0);
    tact::test::writeFile(home.file("kglobalshortcutsrc"), kPlasma5);
    tact::test::writeFile(channel + "/xfce4-keyboard-shortcuts.xml", kXfce);
    auto files = std::make_shared<ShortcutFiles>(home.path(), std::vector<std::string>{});

    DesktopSources kde, xfce;
    kde.kind = DesktopKind::Kde;
    xfce.kind = DesktopKind::Xfce;
    kde.files = xfce.files = files;
    DesktopActions onKde(kde), onXfce(xfce);
    struct Case {
        DesktopActions& actions;
        const char* action;
        const char* expected;
    };
    for (const Case& c : std::initializer_list<Case>{
             {onKde, "79", "Ctrl+Super+Left"},
             {onKde, "81", "Ctrl+Super+Right"},
             {onKde, "32", "Ctrl+F10"},
             {onKde, "33", "Ctrl+F7"},
             {onKde, "36", "Super+D"},
             {onKde, "160", "Alt+F1"},
             {onKde, "177", "nothing"},
             {onXfce, "79", "Ctrl+Alt+Left"},
             {onXfce, "36", "Ctrl+Alt+D"},
             {onXfce, "160", "Super+Space"},
             {onXfce, "32", "nothing"},
             {onXfce, "Escape", "nothing"},
         }) {
        EXPECT_EQ(outcome(c.actions.resolve(c.action)), c.expected) << c.action;
    }

    // Plasma 6 names the launcher anew; an unbound shortcut falls through to
    // the next the plan allows.
    tact::test::writeFile(home.file("kglobalshortcutsrc"), kPlasma6);
    EXPECT_EQ(outcome(onKde.resolve("160")), "Super");
    EXPECT_EQ(outcome(onKde.resolve("81")), "Alt+Super+Right");
    EXPECT_EQ(outcome(onKde.resolve("32")), "Super+W");
    EXPECT_EQ(outcome(onKde.resolve("79")), "nothing");
}

// A client of KDE's real global shortcut daemon (kglobalaccel5, run headless
// on a private X server and bus): it registers KWin's workspace shortcuts
// the way KWin does and hears which of them the daemon runs.
class ShortcutDaemonClient {
  public:
    explicit ShortcutDaemonClient(const std::string& address) {
        sd_bus* raw = nullptr;
        if (sd_bus_new(&raw) < 0)
            return;
        bus_.reset(raw);
        ok_ = sd_bus_set_address(raw, address.c_str()) >= 0 && sd_bus_set_bus_client(raw, 1) >= 0 &&
              sd_bus_start(raw) >= 0;
    }
    bool ok() const { return ok_; }

    bool daemonRuns() {
        int has = 0;
        sd_bus_message* raw = nullptr;
        if (sd_bus_call_method(bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &raw, "s",
                               kGlobalShortcutServiceName) < 0)
            return false;
        sdbus::MessagePtr reply(raw);
        return sd_bus_message_read(reply.get(), "b", &has) >= 0 && has != 0;
    }

    // Registers kwin's shortcut with its key (Qt's key code), as KWin does.
    bool registerShortcut(const char* name, std::int32_t qtKey) {
        constexpr std::uint32_t kSetPresent = 2, kNoAutoloading = 4;
        auto call = [&](const char* method, bool withKey) {
            sd_bus_message* raw = nullptr;
            if (sd_bus_message_new_method_call(bus_.get(), &raw, kGlobalShortcutServiceName,
                                               "/kglobalaccel", "org.kde.KGlobalAccel", method) < 0)
                return false;
            sdbus::MessagePtr m(raw);
            return sd_bus_message_append(m.get(), "as", 4, "kwin", name, "KWin", name) >= 0 &&
                   (!withKey || sd_bus_message_append(m.get(), "aiu", 1, qtKey,
                                                      kSetPresent | kNoAutoloading) >= 0) &&
                   sd_bus_call(bus_.get(), m.get(), 0, nullptr, nullptr) >= 0;
        };
        return call("doRegister", false) && call("setShortcut", true);
    }

    // From here on, the shortcuts the daemon runs land in `pressed`.
    bool listen() {
        sd_bus_slot* slot = nullptr;
        if (sd_bus_match_signal(bus_.get(), &slot, nullptr, "/component/kwin",
                                kGlobalShortcutComponentInterface, "globalShortcutPressed",
                                &ShortcutDaemonClient::onPressed, this) < 0)
            return false;
        slot_.reset(slot);
        return true;
    }
    void serve() {
        while (bus_ && sd_bus_process(bus_.get(), nullptr) > 0) {
        }
    }
    std::vector<std::string> pressed;

  private:
    static int onPressed(sd_bus_message* m, void* self, sd_bus_error*) {
        const char* component = nullptr;
        const char* shortcut = nullptr;
        if (sd_bus_message_read(m, "ss", &component, &shortcut) >= 0)
            static_cast<ShortcutDaemonClient*>(self)->pressed.push_back(std::string(component) +
                                                                        "/" + shortcut);
        return 0;
    }
    sdbus::BusPtr bus_;
    sdbus::SlotPtr slot_;
    bool ok_ = false;
};

TEST(DesktopActions, KdesShortcutDaemonRunsTheShortcutAndItsKeyStandsInWhenItIsGone) {
    const std::string daemonProgram = tact::test::findOnPath("kglobalaccel5");
    if (daemonProgram.empty())
        GTEST_SKIP() << "kglobalaccel5 is not installed";
    tact::test::PrivateXServer server;
    if (!server.installed())
        GTEST_SKIP() << "Xvfb is not installed";
    tact::test::PrivateBus privateBus;
    ASSERT_TRUE(privateBus.ok()) << privateBus.error();
    tact::test::TempDir home;
    auto daemon = std::make_unique<tact::test::BackgroundProcess>(
        std::vector<std::string>{daemonProgram},
        std::vector<std::string>{"DISPLAY=" + server.display(), privateBus.environment(),
                                 "HOME=" + home.path(), "XDG_CONFIG_HOME=" + home.path(),
                                 "XDG_RUNTIME_DIR=" + home.path(), "QT_QPA_PLATFORM=xcb"});
    ShortcutDaemonClient kwin(privateBus.address());
    ASSERT_TRUE(kwin.ok());
    ASSERT_TRUE(tact::test::waitUntil([&] { return kwin.daemonRuns(); }));
    // Qt's key codes: Meta 0x10000000, Ctrl 0x04000000, Left/Right 0x01000012/14.
    ASSERT_TRUE(kwin.registerShortcut("Switch One Desktop to the Left", 0x15000012));
    ASSERT_TRUE(kwin.registerShortcut("Switch One Desktop to the Right", 0x15000014));
    ASSERT_TRUE(kwin.listen());

    setenv("DBUS_SESSION_BUS_ADDRESS", privateBus.address().c_str(), 1);
    auto loop = makeRealRunLoop(false);
    DesktopSources sources;
    sources.kind = DesktopKind::Kde;
    sources.files = std::make_shared<ShortcutFiles>(home.path(), std::vector<std::string>{});
    auto shortcuts = GlobalShortcutService::connect(*loop);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ASSERT_TRUE(shortcuts) << shortcuts.error().detail;
    sources.globalShortcuts = *shortcuts;
    DesktopActions actions(sources);
    std::vector<std::string> typed;
    auto post = [&](const KeyChord& chord) { typed.push_back(describeKeyChord(chord)); };
    // Runs the loop and the client until done() holds, a few seconds at most.
    auto runUntil = [&](auto done) {
        return tact::test::waitUntil([&] {
            auto tick = loop->addTimer(0.005, 0, [&](Timer&) { loop->stop(0); });
            loop->run();
            kwin.serve();
            return done();
        });
    };

    EXPECT_EQ(outcome(actions.resolve("81")), "service kwin/Switch One Desktop to the Right");
    EXPECT_TRUE(actions.perform("81", post));
    EXPECT_TRUE(runUntil([&] { return !kwin.pressed.empty(); }));
    EXPECT_EQ(kwin.pressed, std::vector<std::string>{"kwin/Switch One Desktop to the Right"});
    EXPECT_TRUE(typed.empty());

    // The daemon wrote kglobalshortcutsrc as a Plasma session has it. Once it
    // is gone, the key bound there is typed instead, and the next actions go
    // straight to their keys.
    ASSERT_TRUE(tact::test::waitUntil([&] {
        return tact::test::readFile(home.file("kglobalshortcutsrc"))
                   .find("Switch One Desktop to the Left=Meta+Ctrl+Left") != std::string::npos;
    }));
    daemon.reset();
    ASSERT_TRUE(tact::test::waitUntil([&] { return !kwin.daemonRuns(); }));
    EXPECT_TRUE(actions.perform("79", post));
    EXPECT_TRUE(runUntil([&] { return !typed.empty(); }));
    EXPECT_EQ(typed, std::vector<std::string>{"Ctrl+Super+Left"});
    EXPECT_EQ(outcome(actions.resolve("79")), "Ctrl+Super+Left");
}

TEST(KeyboardLayout, ACharactersKeyIsWhereTheServersLayoutHasIt) {
    tact::test::PrivateXServer server;
    if (!server.installed())
        GTEST_SKIP() << "Xvfb is not installed";
    const std::string setxkbmap = tact::test::findOnPath("setxkbmap");
    if (setxkbmap.empty())
        GTEST_SKIP() << "setxkbmap is not installed";
    auto connected = KeyboardLayout::connect(server.display());
    ASSERT_TRUE(connected) << connected.error().detail;
    auto layout = *connected;
    constexpr events::CGKeyCode kA = 0, kQ = 12, kW = 13, kZ = 6, kM = 46, kSemicolon = 41,
                                kLeft = 123, kSuper = 55;
    struct Case {
        const char* layout;
        events::CGKeyCode key;
        events::CGKeyCode expected;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"us", kA, kA},
             {"us", kW, kW},
             {"fr", kA, kQ},
             {"fr", kW, kZ},
             {"fr", kM, kSemicolon},
             {"fr", kLeft, kLeft},
             {"fr", kSuper, kSuper},
             {"de", kZ, 16},  // the US layout's "y" key
         }) {
        auto set = tact::test::runProcess({setxkbmap, "-display", server.display(), c.layout});
        ASSERT_EQ(set.exitCode, 0) << set.err;
        EXPECT_EQ(layout->locate(c.key), c.expected) << c.layout << " " << c.key;
    }
}

TEST(DesktopKind, RecognisedFromTheSessionsNames) {
    struct Case {
        const char* current;
        const char* session;
        DesktopKind kind;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"ubuntu:GNOME", "", DesktopKind::Gnome},
             {"GNOME-Classic:GNOME", "", DesktopKind::Gnome},
             {"KDE", "", DesktopKind::Kde},
             {"XFCE", "", DesktopKind::Xfce},
             {"", "plasma", DesktopKind::Kde},
             {"", "xfce", DesktopKind::Xfce},
             {"X-Cinnamon", "cinnamon", DesktopKind::Other},
             {"", "", DesktopKind::Other},
             {"::", ":", DesktopKind::Other},
         }) {
        EXPECT_EQ(recogniseDesktop(c.current, c.session), c.kind) << c.current << "/" << c.session;
    }
}

}  // namespace
}  // namespace platform::actions
