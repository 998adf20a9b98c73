#include "platform/actions/syntax/KeyChord.hpp"
#include "platform/values/Text.hpp"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "platform/events/Translate.hpp"

namespace platform::actions {
namespace {

using events::CGEventFlags;
using events::CGKeyCode;

// Keysym names and the evdev key that types them on a US layout (as the X
// server's evdev keymap has it: X keycode = evdev code + 8). Letters, digits
// and function keys are computed below. The virtual key code is found from
// the evdev code through the event service's own table, so that the two
// cannot disagree. label is how describeKeyChord writes the key; the first
// entry of an evdev code with a label names it.
struct NamedKey {
    std::string_view keysym;
    std::uint16_t evdev;
    std::string_view label;
};

constexpr NamedKey kNamedKeys[] = {
    {"Left", KEY_LEFT, "Left"},
    {"Right", KEY_RIGHT, "Right"},
    {"Up", KEY_UP, "Up"},
    {"Down", KEY_DOWN, "Down"},
    {"Page_Up", KEY_PAGEUP, "Page Up"},
    {"Prior", KEY_PAGEUP, ""},
    {"Page_Down", KEY_PAGEDOWN, "Page Down"},
    {"Next", KEY_PAGEDOWN, ""},
    {"Home", KEY_HOME, "Home"},
    {"End", KEY_END, "End"},
    {"Insert", KEY_INSERT, "Insert"},
    {"Delete", KEY_DELETE, "Delete"},
    {"BackSpace", KEY_BACKSPACE, "Backspace"},
    {"Return", KEY_ENTER, "Return"},
    {"Tab", KEY_TAB, "Tab"},
    {"ISO_Left_Tab", KEY_TAB, ""},  // what shift+tab types
    {"space", KEY_SPACE, "Space"},
    {"Escape", KEY_ESC, "Escape"},
    {"grave", KEY_GRAVE, "`"},
    {"minus", KEY_MINUS, "-"},
    {"equal", KEY_EQUAL, "="},
    {"bracketleft", KEY_LEFTBRACE, "["},
    {"bracketright", KEY_RIGHTBRACE, "]"},
    {"backslash", KEY_BACKSLASH, "\\"},
    {"semicolon", KEY_SEMICOLON, ";"},
    {"apostrophe", KEY_APOSTROPHE, "'"},
    {"comma", KEY_COMMA, ","},
    {"period", KEY_DOT, "."},
    {"slash", KEY_SLASH, "/"},
    {"Menu", KEY_COMPOSE, "Menu"},
    {"Caps_Lock", KEY_CAPSLOCK, "Caps Lock"},
    {"Num_Lock", KEY_NUMLOCK, "Num Lock"},
    {"Super_L", KEY_LEFTMETA, "Super"},
    {"Super_R", KEY_RIGHTMETA, "Super"},
    {"Meta_L", KEY_LEFTMETA, ""},
    {"Meta_R", KEY_RIGHTMETA, ""},
    {"Control_L", KEY_LEFTCTRL, "Ctrl"},
    {"Control_R", KEY_RIGHTCTRL, "Ctrl"},
    {"Alt_L", KEY_LEFTALT, "Alt"},
    {"Alt_R", KEY_RIGHTALT, "Alt"},
    {"ISO_Level3_Shift", KEY_RIGHTALT, ""},  // AltGr
    {"Shift_L", KEY_LEFTSHIFT, "Shift"},
    {"Shift_R", KEY_RIGHTSHIFT, "Shift"},
    {"KP_0", KEY_KP0, "Keypad 0"},
    {"KP_1", KEY_KP1, "Keypad 1"},
    {"KP_2", KEY_KP2, "Keypad 2"},
    {"KP_3", KEY_KP3, "Keypad 3"},
    {"KP_4", KEY_KP4, "Keypad 4"},
    {"KP_5", KEY_KP5, "Keypad 5"},
    {"KP_6", KEY_KP6, "Keypad 6"},
    {"KP_7", KEY_KP7, "Keypad 7"},
    {"KP_8", KEY_KP8, "Keypad 8"},
    {"KP_9", KEY_KP9, "Keypad 9"},
    {"KP_Decimal", KEY_KPDOT, "Keypad ."},
    {"KP_Multiply", KEY_KPASTERISK, "Keypad *"},
    {"KP_Add", KEY_KPPLUS, "Keypad +"},
    {"KP_Subtract", KEY_KPMINUS, "Keypad -"},
    {"KP_Divide", KEY_KPSLASH, "Keypad /"},
    {"KP_Enter", KEY_KPENTER, "Keypad Enter"},
    {"KP_Equal", KEY_KPEQUAL, "Keypad ="},
    // The keypad's keys with num lock off.
    {"KP_Insert", KEY_KP0, ""},
    {"KP_End", KEY_KP1, ""},
    {"KP_Down", KEY_KP2, ""},
    {"KP_Next", KEY_KP3, ""},
    {"KP_Page_Down", KEY_KP3, ""},
    {"KP_Left", KEY_KP4, ""},
    {"KP_Begin", KEY_KP5, ""},
    {"KP_Right", KEY_KP6, ""},
    {"KP_Home", KEY_KP7, ""},
    {"KP_Up", KEY_KP8, ""},
    {"KP_Prior", KEY_KP9, ""},
    {"KP_Page_Up", KEY_KP9, ""},
    {"KP_Delete", KEY_KPDOT, ""},
    {"XF86AudioRaiseVolume", KEY_VOLUMEUP, "Volume Up"},
    {"XF86AudioLowerVolume", KEY_VOLUMEDOWN, "Volume Down"},
    {"XF86AudioMute", KEY_MUTE, "Mute"},
    {"XF86LaunchA", KEY_SCALE, "Launch A"},
    // KEY_ALL_APPLICATIONS (KEY_DASHBOARD): the evdev keymap gives it XF86LaunchB.
    {"XF86LaunchB", KEY_ALL_APPLICATIONS, "Launch B"},
};

constexpr std::uint16_t kLetters[26] = {
    KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I, KEY_J, KEY_K, KEY_L, KEY_M,
    KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R, KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z,
};
constexpr std::uint16_t kDigits[10] = {KEY_0, KEY_1, KEY_2, KEY_3, KEY_4,
                                       KEY_5, KEY_6, KEY_7, KEY_8, KEY_9};
constexpr std::uint16_t kFunctionKeys[24] = {
    KEY_F1,  KEY_F2,  KEY_F3,  KEY_F4,  KEY_F5,  KEY_F6,  KEY_F7,  KEY_F8,
    KEY_F9,  KEY_F10, KEY_F11, KEY_F12, KEY_F13, KEY_F14, KEY_F15, KEY_F16,
    KEY_F17, KEY_F18, KEY_F19, KEY_F20, KEY_F21, KEY_F22, KEY_F23, KEY_F24,
};

constexpr char lower(char c) {
    return text::asciiLower(c);
}
using text::equalsIgnoringCase;

using text::trim;

// "F1" .. "F24" (also "f1", as Qt accepts it).
std::optional<std::uint16_t> functionKey(std::string_view name) {
    if (name.size() < 2 || name.size() > 3 || lower(name[0]) != 'f')
        return std::nullopt;
    unsigned n = 0;
    for (char c : name.substr(1)) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (name[1] == '0' || n < 1 || n > std::size(kFunctionKeys))
        return std::nullopt;
    return kFunctionKeys[n - 1];
}

std::optional<std::uint16_t> evdevForKeysym(std::string_view name) {
    if (name.size() == 1) {
        const char c = lower(name[0]);
        if (c >= 'a' && c <= 'z')
            return kLetters[c - 'a'];
        if (c >= '0' && c <= '9')
            return kDigits[c - '0'];
    }
    if (auto f = functionKey(name))
        return f;
    for (const NamedKey& key : kNamedKeys) {
        if (key.keysym == name)
            return key.evdev;
    }
    // Keysym names are case-sensitive, but hand-edited files are not always.
    for (const NamedKey& key : kNamedKeys) {
        if (equalsIgnoringCase(key.keysym, name))
            return key.evdev;
    }
    return std::nullopt;
}

// The event service's table read backwards: evdev code -> the lowest virtual
// key code that gives it.
const std::array<std::optional<CGKeyCode>, KEY_CNT>& virtualKeysByEvdev() {
    static const auto table = [] {
        std::array<std::optional<CGKeyCode>, KEY_CNT> t{};
        for (std::uint32_t v = 0; v <= std::numeric_limits<CGKeyCode>::max(); ++v) {
            const auto code = static_cast<CGKeyCode>(v);
            if (auto evdev = events::evdevKeyCode(code); evdev && *evdev < t.size() && !t[*evdev])
                t[*evdev] = code;
        }
        return t;
    }();
    return table;
}

// GTK's modifier names, in any case.
std::optional<CGEventFlags> gtkModifier(std::string_view name) {
    struct Entry {
        std::string_view name;
        CGEventFlags flag;
    };
    static constexpr Entry kModifiers[] = {
        {"shift", events::kCGEventFlagMaskShift},     {"control", events::kCGEventFlagMaskControl},
        {"ctrl", events::kCGEventFlagMaskControl},    {"ctl", events::kCGEventFlagMaskControl},
        {"primary", events::kCGEventFlagMaskControl}, {"alt", events::kCGEventFlagMaskAlternate},
        {"mod1", events::kCGEventFlagMaskAlternate},  {"super", events::kCGEventFlagMaskCommand},
        {"meta", events::kCGEventFlagMaskCommand},    {"mod4", events::kCGEventFlagMaskCommand},
    };
    for (const Entry& m : kModifiers) {
        if (equalsIgnoringCase(m.name, name))
            return m.flag;
    }
    return std::nullopt;
}

// Qt's modifier names; "Num" (the keypad) is handled by the caller.
std::optional<CGEventFlags> qtModifier(std::string_view name) {
    if (equalsIgnoringCase(name, "Meta"))
        return events::kCGEventFlagMaskCommand;
    if (equalsIgnoringCase(name, "Ctrl") || equalsIgnoringCase(name, "Control"))
        return events::kCGEventFlagMaskControl;
    if (equalsIgnoringCase(name, "Alt"))
        return events::kCGEventFlagMaskAlternate;
    if (equalsIgnoringCase(name, "Shift"))
        return events::kCGEventFlagMaskShift;
    return std::nullopt;
}

// Qt's portable key names and the keysyms they stand for.
struct QtName {
    std::string_view qt;
    std::string_view keysym;
};
constexpr QtName kQtNames[] = {
    {"Esc", "Escape"},
    {"Escape", "Escape"},
    {"Tab", "Tab"},
    {"Backtab", "ISO_Left_Tab"},
    {"Backspace", "BackSpace"},
    {"Return", "Return"},
    {"Enter", "KP_Enter"},
    {"Ins", "Insert"},
    {"Insert", "Insert"},
    {"Del", "Delete"},
    {"Delete", "Delete"},
    {"Home", "Home"},
    {"End", "End"},
    {"Left", "Left"},
    {"Up", "Up"},
    {"Right", "Right"},
    {"Down", "Down"},
    {"PgUp", "Prior"},
    {"PgDown", "Next"},
    {"Space", "space"},
    {"Menu", "Menu"},
    {"CapsLock", "Caps_Lock"},
    {"NumLock", "Num_Lock"},
    {"Volume Up", "XF86AudioRaiseVolume"},
    {"Volume Down", "XF86AudioLowerVolume"},
    {"Volume Mute", "XF86AudioMute"},
    {"Launch (C)", "XF86LaunchA"},
    {"Launch (D)", "XF86LaunchB"},
    // A modifier as the key itself ("Meta" alone).
    {"Meta", "Super_L"},
    {"Ctrl", "Control_L"},
    {"Control", "Control_L"},
    {"Alt", "Alt_L"},
    {"Shift", "Shift_L"},
    // Punctuation is written as the character.
    {"`", "grave"},
    {"-", "minus"},
    {"=", "equal"},
    {"[", "bracketleft"},
    {"]", "bracketright"},
    {"\\", "backslash"},
    {";", "semicolon"},
    {"'", "apostrophe"},
    {",", "comma"},
    {".", "period"},
    {"/", "slash"},
};

// Keys Qt writes with the "Num" modifier, as keypad keysyms.
constexpr QtName kQtKeypad[] = {
    {"0", "KP_0"},         {"1", "KP_1"},        {"2", "KP_2"},       {"3", "KP_3"},
    {"4", "KP_4"},         {"5", "KP_5"},        {"6", "KP_6"},       {"7", "KP_7"},
    {"8", "KP_8"},         {"9", "KP_9"},        {".", "KP_Decimal"}, {"*", "KP_Multiply"},
    {"+", "KP_Add"},       {"-", "KP_Subtract"}, {"/", "KP_Divide"},  {"=", "KP_Equal"},
    {"Enter", "KP_Enter"},
};

std::optional<CGKeyCode> virtualKeyForQtName(std::string_view name, bool keypad) {
    if (keypad) {
        for (const QtName& k : kQtKeypad) {
            if (equalsIgnoringCase(k.qt, name))
                return virtualKeyForKeysym(k.keysym);
        }
    }
    for (const QtName& k : kQtNames) {
        if (equalsIgnoringCase(k.qt, name))
            return virtualKeyForKeysym(k.keysym);
    }
    // Letters, digits and F keys are spelt as keysyms are.
    if (name.size() == 1 &&
        ((lower(name[0]) >= 'a' && lower(name[0]) <= 'z') || (name[0] >= '0' && name[0] <= '9')))
        return virtualKeyForKeysym(name);
    if (functionKey(name))
        return virtualKeyForKeysym(name);
    return std::nullopt;
}

// True when text holds more than one key of a Qt sequence ("Ctrl+K, Ctrl+D").
// A comma right after "+" or at the start is the comma key.
bool isMultiKeySequence(std::string_view text) {
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == ',' && text[i + 1] == ' ' && text[i - 1] != '+')
            return true;
    }
    return false;
}

}  // namespace

std::optional<CGKeyCode> virtualKeyForKeysym(std::string_view name) {
    const auto evdev = evdevForKeysym(name);
    if (!evdev || *evdev >= KEY_CNT)
        return std::nullopt;
    return virtualKeysByEvdev()[*evdev];
}

std::optional<KeyChord> parseGtkAccelerator(std::string_view text) {
    text = trim(text);
    KeyChord chord;
    while (!text.empty() && text.front() == '<') {
        const auto close = text.find('>');
        if (close == std::string_view::npos)
            return std::nullopt;
        const auto flag = gtkModifier(text.substr(1, close - 1));
        if (!flag)
            return std::nullopt;
        chord.modifiers |= *flag;
        text.remove_prefix(close + 1);
    }
    if (text.empty() || text == "disabled")
        return std::nullopt;
    const auto key = virtualKeyForKeysym(text);
    if (!key)
        return std::nullopt;
    chord.keyCode = *key;
    return chord;
}

std::optional<KeyChord> parseQtShortcut(std::string_view text) {
    text = trim(text);
    if (text.empty() || equalsIgnoringCase(text, "none") || isMultiKeySequence(text))
        return std::nullopt;
    // The key is after the last "+", unless the key is "+" itself ("Ctrl++").
    std::string_view keyName;
    std::string_view modifiers;
    if (text.back() == '+') {
        keyName = text.substr(text.size() - 1);
        modifiers = text.substr(0, text.size() - 1);
        if (!modifiers.empty()) {
            if (modifiers.back() != '+')
                return std::nullopt;
            modifiers.remove_suffix(1);
        }
    } else {
        const auto plus = text.rfind('+');
        keyName = plus == std::string_view::npos ? text : text.substr(plus + 1);
        modifiers = plus == std::string_view::npos ? std::string_view{} : text.substr(0, plus);
    }
    KeyChord chord;
    bool keypad = false;
    while (!modifiers.empty()) {
        const auto plus = modifiers.find('+');
        const auto name = trim(modifiers.substr(0, plus));
        if (equalsIgnoringCase(name, "Num")) {
            keypad = true;
        } else if (auto flag = qtModifier(name)) {
            chord.modifiers |= *flag;
        } else {
            return std::nullopt;
        }
        if (plus == std::string_view::npos)
            break;
        modifiers.remove_prefix(plus + 1);
        if (modifiers.empty())
            return std::nullopt;  // an empty modifier ("Ctrl++X")
    }
    const auto key = virtualKeyForQtName(trim(keyName), keypad);
    if (!key)
        return std::nullopt;
    chord.keyCode = *key;
    return chord;
}

std::string describeKeyChord(const KeyChord& chord) {
    std::string out;
    const std::pair<CGEventFlags, std::string_view> order[] = {
        {events::kCGEventFlagMaskControl, "Ctrl"},
        {events::kCGEventFlagMaskAlternate, "Alt"},
        {events::kCGEventFlagMaskShift, "Shift"},
        {events::kCGEventFlagMaskCommand, "Super"},
    };
    for (const auto& [flag, name] : order) {
        if (chord.modifiers & flag) {
            out += name;
            out += '+';
        }
    }
    const auto evdev = events::evdevKeyCode(chord.keyCode);
    std::string label;
    if (evdev) {
        for (std::size_t i = 0; i < std::size(kLetters); ++i) {
            if (kLetters[i] == *evdev)
                label = static_cast<char>('A' + i);
        }
        for (std::size_t i = 0; i < std::size(kDigits); ++i) {
            if (kDigits[i] == *evdev)
                label = static_cast<char>('0' + i);
        }
        for (std::size_t i = 0; i < std::size(kFunctionKeys); ++i) {
            if (kFunctionKeys[i] == *evdev)
                label = "F" + std::to_string(i + 1);
        }
        for (const NamedKey& key : kNamedKeys) {
            if (label.empty() && key.evdev == *evdev && !key.label.empty())
                label = key.label;
        }
    }
    if (label.empty())
        label = "key " + std::to_string(chord.keyCode);
    return out + label;
}

}  // namespace platform::actions
