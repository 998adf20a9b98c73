// Shortcut texts of the desktops as keystrokes of the event service.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/actions/syntax/KeyChord.hpp"

using namespace platform::actions;
using namespace platform::events;

namespace {

constexpr CGEventFlags kShift = kCGEventFlagMaskShift;
constexpr CGEventFlags kCtrl = kCGEventFlagMaskControl;
constexpr CGEventFlags kAlt = kCGEventFlagMaskAlternate;
constexpr CGEventFlags kSuper = kCGEventFlagMaskCommand;

// Virtual key codes of the event service's table.
constexpr CGKeyCode kA = 0, kD = 2, kW = 13, kSpace = 49, kTab = 48, kEscape = 53;
constexpr CGKeyCode kLeft = 123, kRight = 124, kPageUp = 116, kPageDown = 121, kF1 = 122,
                    kF10 = 109;
constexpr CGKeyCode kSuperL = 55;

struct Case {
    const char* text;
    std::optional<KeyChord> chord;
};

std::string show(const std::optional<KeyChord>& c) {
    return c ? describeKeyChord(*c) + " (" + std::to_string(c->keyCode) + ")" : "nothing";
}

}  // namespace

TEST(KeyChordTest, KeysymNames) {
    // clang-format off
    const std::pair<const char*, std::optional<CGKeyCode>> cases[] = {
        {"a", kA}, {"A", kA}, {"1", 18}, {"0", 29}, {"F1", kF1}, {"F10", kF10}, {"F20", 90},
        {"F21", {}}, {"F0", {}}, {"Left", kLeft}, {"Right", kRight}, {"Up", 126}, {"Down", 125},
        {"Prior", kPageUp}, {"Page_Up", kPageUp}, {"Next", kPageDown}, {"Page_Down", kPageDown},
        {"Home", 115}, {"End", 119}, {"Insert", 114}, {"Delete", 117}, {"BackSpace", 51},
        {"Return", 36}, {"Tab", kTab}, {"space", kSpace}, {"Escape", kEscape}, {"grave", 50},
        {"minus", 27}, {"equal", 24}, {"bracketleft", 33}, {"bracketright", 30}, {"backslash", 42},
        {"semicolon", 41}, {"apostrophe", 39}, {"comma", 43}, {"period", 47}, {"slash", 44},
        {"Super_L", 55}, {"Super_R", 54}, {"Meta_L", 55}, {"Control_L", 59}, {"Control_R", 62},
        {"Alt_L", 58}, {"Alt_R", 61}, {"Shift_L", 56}, {"Shift_R", 60}, {"KP_5", 87},
        {"KP_Enter", 76}, {"XF86LaunchA", 160}, {"XF86LaunchB", 131}, {"Print", {}},
        {"Hyper_L", {}}, {"", {}}, {"aa", {}},
    };
    // clang-format on
    for (const auto& [name, code] : cases)
        EXPECT_EQ(virtualKeyForKeysym(name), code) << name;
}

TEST(KeyChordTest, GtkAccelerators) {
    const Case cases[] = {
        {"<Super><Alt>Left", KeyChord{kLeft, kSuper | kAlt}},
        {"<Primary>d", KeyChord{kD, kCtrl}},
        {"<Control><Alt>Right", KeyChord{kRight, kCtrl | kAlt}},
        {"<Ctrl><Mod1>Right", KeyChord{kRight, kCtrl | kAlt}},
        {"<Super>Page_Down", KeyChord{kPageDown, kSuper}},
        {"<Shift><Super>a", KeyChord{kA, kShift | kSuper}},
        {"<super><META>A", KeyChord{kA, kSuper}},
        {"<Mod4>space", KeyChord{kSpace, kSuper}},
        {"<Alt>F1", KeyChord{kF1, kAlt}},
        {"Super_L", KeyChord{kSuperL, 0}},
        {"XF86LaunchB", KeyChord{131, 0}},
        {"disabled", {}},
        {"", {}},
        {"<Super>", {}},
        {"<Hyper>a", {}},
        {"<Super", {}},
        {"<Super>Print", {}},
        {"<Super>nokey", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(show(parseGtkAccelerator(c.text)), show(c.chord)) << c.text;
}

TEST(KeyChordTest, QtShortcuts) {
    const Case cases[] = {
        {"Meta+Ctrl+Left", KeyChord{kLeft, kSuper | kCtrl}},
        {"Alt+F1", KeyChord{kF1, kAlt}},
        {"Ctrl+F10", KeyChord{kF10, kCtrl}},
        {"Meta+W", KeyChord{kW, kSuper}},
        {"Meta", KeyChord{kSuperL, 0}},
        {"Ctrl+Alt+D", KeyChord{kD, kCtrl | kAlt}},
        {"ctrl+alt+d", KeyChord{kD, kCtrl | kAlt}},
        {"Meta+Shift+Left", KeyChord{kLeft, kSuper | kShift}},
        {"PgUp", KeyChord{kPageUp, 0}},
        {"PgDown", KeyChord{kPageDown, 0}},
        {"Esc", KeyChord{kEscape, 0}},
        {"Space", KeyChord{kSpace, 0}},
        {"Tab", KeyChord{kTab, 0}},
        {"Ctrl+,", KeyChord{43, kCtrl}},
        {"Num+5", KeyChord{87, 0}},
        {"Launch (C)", KeyChord{160, 0}},
        {"Print", {}},
        {"none", {}},
        {"", {}},
        {"Ctrl++", {}},
        {"Ctrl+K, Ctrl+D", {}},
        {"Hyper+A", {}},
        {"Ctrl+", {}},
        {"+", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(show(parseQtShortcut(c.text)), show(c.chord)) << c.text;
}

TEST(KeyChordTest, Descriptions) {
    const std::pair<KeyChord, const char*> cases[] = {
        {{kPageDown, kSuper}, "Super+Page Down"},
        {{kLeft, kAlt | kCtrl}, "Ctrl+Alt+Left"},
        {{kSuperL, 0}, "Super"},
        {{kF1, kAlt}, "Alt+F1"},
        {{kA, kSuper | kShift}, "Shift+Super+A"},
        {{72, 0}, "Volume Up"},
        {{10, 0}, "key 10"},
    };
    for (const auto& [chord, text] : cases)
        EXPECT_EQ(describeKeyChord(chord), text);
}
