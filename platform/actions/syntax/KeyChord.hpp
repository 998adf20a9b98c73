// One keystroke a desktop binds to an action, in the event service's
// vocabulary: a virtual key code (platform/events/Translate.cpp's table) and
// modifier flags. Desktops write their shortcuts as X keysym names with
// modifiers ("<Super><Alt>Left", "Meta+Ctrl+Left"); these functions read
// them. Pure functions, no I/O.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/events/Events.hpp"

namespace platform::actions {

struct KeyChord {
    events::CGKeyCode keyCode = 0;
    // Only kCGEventFlagMaskShift, kCGEventFlagMaskControl,
    // kCGEventFlagMaskAlternate (Alt) and kCGEventFlagMaskCommand (Super).
    events::CGEventFlags modifiers = 0;
    friend bool operator==(const KeyChord&, const KeyChord&) = default;
};

// The virtual key code of the key that types an X keysym (by name, as
// <X11/keysymdef.h> spells it without "XK_": "Left", "Page_Down", "a", "A",
// "F1", "Super_L", "bracketleft"), on a US layout; nothing when no key of the
// table types it.
std::optional<events::CGKeyCode> virtualKeyForKeysym(std::string_view name);

// A GTK accelerator as GSettings stores it: modifiers in angle brackets
// (<Super>, <Alt>, <Control>/<Ctrl>/<Primary>, <Shift>; <Meta> and <Mod4>
// count as Super, <Mod1> as Alt; case-insensitive) then one keysym name;
// a bare keysym ("Super_L") is a modifier key pressed alone (no flags); "A"
// is the same key as "a", without Shift. Nothing for an
// empty or "disabled" text, an unknown modifier (<Hyper>) or key.
std::optional<KeyChord> parseGtkAccelerator(std::string_view text);

// A Qt key sequence in portable text as KDE stores it: "Meta+Ctrl+Left",
// "Alt+F1", "Ctrl+F10", "Meta+W", a lone modifier "Meta" (the left Super key,
// no flags); "Num+" picks the keypad's key. A sequence of more than one key
// ("Ctrl+K, Ctrl+D") gives nothing, as do "none", empty text and an unknown
// key. Names are case-insensitive; a letter never implies Shift.
std::optional<KeyChord> parseQtShortcut(std::string_view text);

// How a person writes the chord: "Super+Alt+Left", "Ctrl+Alt+Right",
// "Super", "Alt+F1" (modifiers in the order Ctrl, Alt, Shift, Super).
std::string describeKeyChord(const KeyChord& chord);

}  // namespace platform::actions
