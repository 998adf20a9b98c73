// Desktop actions: what "switch to the workspace on the left", "show all
// windows", "show the desktop" or "open the launcher" means on the desktop
// the agent runs on (see docs/gestures.md).
//
// The agent names actions by their symbolic hot-key identifiers ("79", "32",
// "160", "KeyCommandLeftbracket", ...). On a Linux desktop each one is
// carried out the way that desktop does it itself: by the keystroke the
// desktop binds to it (GSettings on GNOME, kglobalshortcutsrc on KDE Plasma,
// xfconf on Xfce), by asking the desktop over D-Bus (KDE's global shortcut
// service), or by an EWMH request to the window manager. An action the
// desktop has no way to do does nothing, and says so once in the log; it is
// never replaced by a key that means something else there.
//
// The desktop's settings are read afresh (or re-read when their file
// changes) on every lookup, so changes apply at once. Run-loop thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/actions/DesktopKind.hpp"
#include "platform/actions/syntax/KeyChord.hpp"

namespace platform {
class RunLoop;
}

namespace platform::actions {

class GnomeSettings;
class ShortcutFiles;
class WindowManager;
class GlobalShortcutService;
class KeyboardLayout;

// How one action is carried out here.
struct Resolution {
    enum class Way {
        Keys,            // type `keys`
        GlobalShortcut,  // invoke `component`/`shortcut` on KDE's global shortcut service
        SwitchDesktop,   // EWMH: the workspace `step` away (-1 left, +1 right)
        ShowDesktop,     // EWMH: show the desktop (`show`) or leave it
        Nothing,
    };
    Way way = Way::Nothing;
    KeyChord keys;
    std::string component;
    std::string shortcut;
    int step = 0;
    bool show = false;
    // For people: "Super+Page Down (GNOME: switch-to-workspace-right)", or
    // why nothing happens.
    std::string description;
    // What to do when the desktop's service does not answer (GlobalShortcut
    // only): the keystroke the same desktop binds, if any.
    std::optional<KeyChord> fallbackKeys;
};

// Where the desktop's own settings live; every part is optional.
struct DesktopSources {
    DesktopKind kind = DesktopKind::Other;
    // GSettings, read through GIO (GNOME and desktops built on it).
    std::shared_ptr<GnomeSettings> gnome;
    // kglobalshortcutsrc and the xfconf shortcut channel.
    std::shared_ptr<ShortcutFiles> files;
    // EWMH requests to the X window manager (X11 sessions).
    std::shared_ptr<WindowManager> windowManager;
    // KDE's global shortcut service on the session bus.
    std::shared_ptr<GlobalShortcutService> globalShortcuts;
    // The keyboard layout in use, so a shortcut's character is typed on the
    // key that types it (without one, keys are where a US layout has them).
    std::shared_ptr<KeyboardLayout> layout;
};

class DesktopActions {
  public:
    using KeysPoster = std::function<void(const KeyChord&)>;

    explicit DesktopActions(DesktopSources sources);
    ~DesktopActions();
    DesktopActions(const DesktopActions&) = delete;
    DesktopActions& operator=(const DesktopActions&) = delete;

    // What the action does on this desktop now.
    Resolution resolve(std::string_view action) const;

    // Carries the action out: keystrokes go to postKeys (moved to where the
    // layout in use has their characters), everything else is asked of the
    // desktop. False when the desktop has no way to do it (the
    // first time per action, the log says so).
    bool perform(std::string_view action, const KeysPoster& postKeys);

    DesktopKind kind() const { return sources_.kind; }

  private:
    DesktopSources sources_;
    std::set<std::string, std::less<>> reported_;
};

// What an action is, for people ("switch to the workspace on the left");
// empty for an action this layer does not know.
std::string_view actionDescription(std::string_view action);

// The desktop actions of this session: the desktop recognised from the
// environment, GSettings when its schemas are installed, the shortcut files
// in the user's configuration folder, EWMH on displayName (none when empty),
// and KDE's service on the session bus (KDE only).
std::unique_ptr<DesktopActions> makeSessionDesktopActions(RunLoop& loop,
                                                          const std::string& displayName);

// The actions the posting of keystroke sequences consults; none (the
// default) keeps the symbolic hot keys' built-in keys, as on the virtual
// desktop of a replay.
void setDesktopActions(DesktopActions* actions);
DesktopActions* desktopActions();

}  // namespace platform::actions
