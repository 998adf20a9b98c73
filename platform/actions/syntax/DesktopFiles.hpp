// The shortcut files of two desktops, read from their text. Pure parsers, no
// I/O: callers read the files.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace platform::actions {

// KDE Plasma's kglobalshortcutsrc (Plasma 5 and 6): INI groups per component
// ("[kwin]", "[plasmashell]"), entries "Action Name=active,default,friendly"
// where active and default hold key sequences separated by "\t" (the two
// characters backslash and t, as KConfig escapes a tab), or "none".
class KdeShortcutFile {
  public:
    // Lines it cannot read are skipped.
    static KdeShortcutFile parse(std::string_view text);

    // The active key sequences of an action ("Meta+Ctrl+Left", ...), in the
    // file's order; empty when the action is absent or has none ("none").
    std::vector<std::string> activeKeys(std::string_view component, std::string_view action) const;
    // True when the file names the action (bound or not).
    bool has(std::string_view component, std::string_view action) const;
    // The first line that could not be read and why ("line 7: no '=' in
    // entry"), for the log; empty when every line was read.
    const std::string& diagnostic() const { return diagnostic_; }

  private:
    std::string diagnostic_;
    std::map<std::string, std::map<std::string, std::vector<std::string>, std::less<>>, std::less<>>
        groups_;
};

// Xfce's xfconf channel "xfce4-keyboard-shortcuts" in its XML form
// (xfce-perchannel-xml/xfce4-keyboard-shortcuts.xml): under "xfwm4" and
// "commands", a "default" and a "custom" set of properties, each named by a
// GTK accelerator ("<Primary><Alt>Left") with the action (xfwm4:
// "left_workspace_key") or command line (commands:
// "xfce4-popup-applicationsmenu") as its string value. The custom set
// replaces the default one when it exists (xfconf writes it as soon as the
// user changes anything; its "override" property is not a shortcut).
class XfceShortcutFile {
  public:
    // Nothing readable (not XML, another channel) gives an empty set.
    static XfceShortcutFile parse(std::string_view text);

    // The accelerators bound to an xfwm4 action, in the file's order.
    std::vector<std::string> windowManagerKeys(std::string_view action) const;
    // The accelerators whose command line starts with the program named
    // (its first word equals program, or ends in "/" + program).
    std::vector<std::string> commandKeys(std::string_view program) const;
    bool empty() const;
    // Why nothing was read ("not XML: ...", "another channel"), for the log;
    // empty when the file was read.
    const std::string& diagnostic() const { return diagnostic_; }

  private:
    std::string diagnostic_;
    // accelerator -> action or command, per section, custom already applied
    std::vector<std::pair<std::string, std::string>> windowManager_;
    std::vector<std::pair<std::string, std::string>> commands_;
};

}  // namespace platform::actions
