// The shortcut files of KDE Plasma and Xfce.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/actions/syntax/DesktopFiles.hpp"

using namespace platform::actions;
using Keys = std::vector<std::string>;

namespace {

constexpr const char* kPlasma5 = R"(# hand-edited
[kwin]
ExposeAll=Ctrl+F10\tLaunch (C),Ctrl+F10\tLaunch (C),Toggle Present Windows (All desktops)
Show Desktop=Meta+D,Meta+D,Peek at Desktop
Switch One Desktop to the Left=Meta+Ctrl+Left,Meta+Ctrl+Left,Switch One Desktop to the Left
Switch One Desktop to the Right=Meta+Ctrl+Right,Meta+Ctrl+Right,Switch One Desktop to the Right
Walk Through Windows Alternative=,,Walk Through Windows Alternative
_k_friendly_name=KWin

[plasmashell]
activate application launcher widget=Alt+F1,Alt+F1,Activate Application Launcher Widget
_k_friendly_name=Plasma
)";

constexpr const char* kPlasma6 =
    "[kwin]\r\n"
    "Overview=none,Meta+W,Toggle Overview\r\n"
    "Show Desktop=Meta+D,Meta+D,Peek at Desktop\r\n"
    "Show Desktop=Meta+Shift+D,Meta+D,Peek at Desktop\r\n"  // the last one counts
    "Zoom=Ctrl+\\,\t \\sMeta+=,none,Zoom, with a comma\r\n"
    "this line is garbage\r\n"
    "=no name\r\n"
    "[broken\r\n"
    "Hidden=Meta+H,none,Hidden\r\n"
    "[plasmashell]\r\n"
    "activate application launcher=Meta\\tAlt+F1,Meta\\tAlt+F1,Activate Application Launcher\r\n"
    "[services][org.kde.konsole.desktop]\r\n"
    "_launch=Ctrl+Alt+T\r\n"
    "trailing=Meta+\\";

}  // namespace

TEST(KdeShortcutFileTest, Plasma5) {
    const auto file = KdeShortcutFile::parse(kPlasma5);
    EXPECT_EQ(file.activeKeys("kwin", "ExposeAll"), (Keys{"Ctrl+F10", "Launch (C)"}));
    EXPECT_EQ(file.activeKeys("kwin", "Show Desktop"), Keys{"Meta+D"});
    EXPECT_EQ(file.activeKeys("kwin", "Switch One Desktop to the Left"), Keys{"Meta+Ctrl+Left"});
    EXPECT_EQ(file.activeKeys("plasmashell", "activate application launcher widget"),
              Keys{"Alt+F1"});
    EXPECT_TRUE(file.has("kwin", "Walk Through Windows Alternative"));
    EXPECT_TRUE(file.activeKeys("kwin", "Walk Through Windows Alternative").empty());
    EXPECT_FALSE(file.has("kwin", "_k_friendly_name"));
    EXPECT_FALSE(file.has("plasmashell", "Show Desktop"));
    EXPECT_EQ(file.diagnostic(), "");
}

TEST(KdeShortcutFileTest, Plasma6WithUnboundAndGarbledLines) {
    const auto file = KdeShortcutFile::parse(kPlasma6);
    EXPECT_TRUE(file.has("kwin", "Overview"));
    EXPECT_TRUE(file.activeKeys("kwin", "Overview").empty());
    EXPECT_EQ(file.activeKeys("kwin", "Show Desktop"), Keys{"Meta+Shift+D"});
    EXPECT_EQ(file.activeKeys("kwin", "Zoom"), (Keys{"Ctrl+,", "Meta+="}));
    EXPECT_FALSE(file.has("kwin", "Hidden"));
    EXPECT_FALSE(file.has("broken", "Hidden"));
    EXPECT_EQ(file.activeKeys("plasmashell", "activate application launcher"),
              (Keys{"Meta", "Alt+F1"}));
    EXPECT_EQ(file.activeKeys("services][org.kde.konsole.desktop", "_launch"), Keys{"Ctrl+Alt+T"});
    EXPECT_EQ(file.activeKeys("services][org.kde.konsole.desktop", "trailing"), Keys{"Meta+\\"});
    EXPECT_EQ(file.diagnostic(), "line 6: no '=' in entry");

    EXPECT_FALSE(KdeShortcutFile::parse("").has("kwin", "Overview"));
    EXPECT_FALSE(KdeShortcutFile::parse(std::string("\0[\0=\\", 5)).has("", ""));
}

namespace {

std::string xfceFile(const std::string& xfwm4Sets, const std::string& commandSets) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-keyboard-shortcuts" version="1.0">
  <property name="commands" type="empty">)" +
           commandSets + R"(
  </property>
  <property name="xfwm4" type="empty">)" +
           xfwm4Sets + R"(
  </property>
</channel>
)";
}

const std::string kXfwmDefault = R"(
    <property name="default" type="empty">
      <property name="&lt;Primary&gt;&lt;Alt&gt;Left" type="string" value="left_workspace_key"/>
      <property name="&lt;Primary&gt;&lt;Alt&gt;Right" type="string" value="right_workspace_key"/>
      <property name="&lt;Primary&gt;&lt;Alt&gt;d" type="string" value="show_desktop_key"/>
      <property name="&lt;Super&gt;d" type="string" value="show_desktop_key"/>
    </property>)";

const std::string kCommandsDefault = R"(
    <property name="default" type="empty">
      <property name="&lt;Alt&gt;F1" type="string" value="xfce4-popup-applicationsmenu"/>
      <property name="&lt;Alt&gt;F2" type="string" value="xfce4-appfinder --collapsed">
        <property name="startup-notify" type="bool" value="true"/>
      </property>
      <property name="&lt;Primary&gt;Escape" type="string" value="xfdesktop --menu"/>
    </property>)";

}  // namespace

TEST(XfceShortcutFileTest, DefaultSets) {
    const auto file = XfceShortcutFile::parse(xfceFile(kXfwmDefault, kCommandsDefault));
    EXPECT_FALSE(file.empty());
    EXPECT_EQ(file.windowManagerKeys("left_workspace_key"), Keys{"<Primary><Alt>Left"});
    EXPECT_EQ(file.windowManagerKeys("show_desktop_key"), (Keys{"<Primary><Alt>d", "<Super>d"}));
    EXPECT_TRUE(file.windowManagerKeys("startup-notify").empty());
    EXPECT_EQ(file.commandKeys("xfce4-popup-applicationsmenu"), Keys{"<Alt>F1"});
    EXPECT_EQ(file.commandKeys("xfce4-appfinder"), Keys{"<Alt>F2"});
    EXPECT_TRUE(file.commandKeys("xfce4-popup").empty());
    EXPECT_EQ(file.diagnostic(), "");
}

TEST(XfceShortcutFileTest, CustomSetReplacesDefault) {
    const std::string xfwmCustom = kXfwmDefault + R"(
    <property name="custom" type="empty">
      <property name="&lt;Super&gt;Left" type="string" value="left_workspace_key"/>
      <property name="override" type="bool" value="true"/>
    </property>)";
    const std::string commandsCustom = kCommandsDefault + R"(
    <property name="custom" type="empty">
      <property name="&lt;Super&gt;space" type="string" value="/usr/bin/xfce4-popup-whiskermenu"/>
      <property name="override" type="string" value="xfce4-popup-whiskermenu"/>
    </property>)";
    const auto file = XfceShortcutFile::parse(xfceFile(xfwmCustom, commandsCustom));
    EXPECT_EQ(file.windowManagerKeys("left_workspace_key"), Keys{"<Super>Left"});
    EXPECT_TRUE(file.windowManagerKeys("show_desktop_key").empty());
    EXPECT_EQ(file.commandKeys("xfce4-popup-whiskermenu"), Keys{"<Super>space"});
    EXPECT_TRUE(file.commandKeys("xfce4-popup-applicationsmenu").empty());
}

TEST(XfceShortcutFileTest, UnreadableFilesAreEmpty) {
    const std::string good = xfceFile(kXfwmDefault, kCommandsDefault);
    std::string otherChannel = good;
    otherChannel.replace(otherChannel.find("xfce4-keyboard-shortcuts"), 24, "xfwm4");
    const std::string cases[] = {
        "",
        "[kwin]\nOverview=Meta+W",
        good.substr(0, good.size() / 2),
        otherChannel,
        std::string("<channel name=\"xfce4-keyboard-shortcuts\">\xff</channel>"),
        "<channel name=\"xfce4-keyboard-shortcuts\"><property name=\"xfwm4\"></channel>",
    };
    for (const auto& text : cases) {
        const auto file = XfceShortcutFile::parse(text);
        EXPECT_TRUE(file.empty()) << text;
        EXPECT_NE(file.diagnostic(), "") << text;
    }
}
