#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "agent/hotkeys/HotkeyEvents.hpp"
#include "platform/actions/DesktopActions.hpp"
#include "platform/actions/ShortcutFiles.hpp"
#include "platform/events/Events.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/values/Value.hpp"
#include "tests/support/TempDir.hpp"

namespace ev = platform::events;
using platform::Array;
using platform::Dictionary;
using platform::Value;
using tact::CGEventSequence;
using tact::test::TempDir;

namespace {

constexpr ev::CGEventFlags kShift = 0x20000;
constexpr ev::CGEventFlags kControl = 0x40000;
constexpr ev::CGEventFlags kOption = 0x80000;
constexpr ev::CGEventFlags kCommand = 0x100000;

// One keyboard event as the desktop sees it.
struct Key {
    ev::CGEventType type;
    std::int64_t code;
    ev::CGEventFlags flags;
    friend bool operator==(const Key&, const Key&) = default;
};

void PrintTo(const Key& k, std::ostream* os) {
    *os << "{type " << k.type << ", key " << k.code << ", flags 0x" << std::hex << k.flags
        << std::dec << "}";
}

Key down(std::int64_t code, ev::CGEventFlags flags) {
    return {ev::kCGEventKeyDown, code, flags};
}
// Events not given flags keep the ones they were created with.
Key up(std::int64_t code, ev::CGEventFlags flags = 0x100) {
    return {ev::kCGEventKeyUp, code, flags};
}

Key keyOf(const ev::CGEvent& event) {
    auto copy = std::make_unique<ev::CGEvent>(event);
    return {copy->type, ev::CGEventGetIntegerValueField(copy, ev::kCGKeyboardEventKeycode),
            copy->flags};
}

std::vector<Key> keysOf(const CGEventSequence& sequence) {
    std::vector<Key> keys;
    for (const auto& event : sequence)
        keys.push_back(keyOf(*event));
    return keys;
}

Value hotKey(Value enabled, Array parameters) {
    return Dictionary{
        {"enabled", std::move(enabled)},
        {"value", Dictionary{{"parameters", std::move(parameters)}, {"type", "standard"}}}};
}

Value enabledKey(std::int64_t keyCode, std::int64_t modifiers) {
    return hotKey(true, Array{65535, Value(keyCode), Value(modifiers)});
}

class HotkeyEventsTest : public testing::Test {
  protected:
    void SetUp() override {
        platform::setPreferencesDirectory(dir_.path());
        ev::setEventSink(&sink_);
    }
    void TearDown() override { ev::setEventSink(nullptr); }

    // Stores the whole hot-key table as another program would.
    void setHotKeysValue(const Value& table) {
        platform::CFPreferencesSetAppValue("AppleSymbolicHotKeys", table,
                                           "com.apple.symbolichotkeys");
        ASSERT_TRUE(platform::CFPreferencesAppSynchronize("com.apple.symbolichotkeys"));
    }
    void setHotKeys(Dictionary table) { setHotKeysValue(Value(std::move(table))); }

    // What the action posts, checked against the sequence it creates.
    std::optional<std::vector<Key>> post(std::string_view action) {
        auto created = tact::tl_CGEventSequenceCreateForAction(action);
        sink_.events.clear();
        bool posted = tact::tl_PostActionSequence(action);
        EXPECT_EQ(posted, created.has_value()) << action;
        std::vector<Key> keys;
        for (const auto& event : sink_.events)
            keys.push_back(keyOf(event));
        if (!posted) {
            EXPECT_TRUE(keys.empty()) << action;
            return std::nullopt;
        }
        EXPECT_EQ(keys, keysOf(*created)) << action;
        return keys;
    }

    TempDir dir_;
    ev::RecordingSink sink_;
};

using Keys = std::optional<std::vector<Key>>;

// Ctrl-D, Ctrl-left etc. when nothing in the preferences says otherwise.
TEST_F(HotkeyEventsTest, BuiltInKeysWithoutHotKeys) {
    struct Case {
        std::string_view action;
        Keys expected;
    };
    const Case cases[] = {
        {tact::kTLEventActionLeftArrow, {{down(123, 0), up(123)}}},
        {tact::kTLEventActionRightArrow, {{down(124, 0), up(124)}}},
        {tact::kTLEventActionUpArrow, {{down(126, 0), up(126)}}},
        {tact::kTLEventActionDownArrow, {{down(125, 0), up(125)}}},
        {tact::kTLEventActionLaunchPad, {{down(131, 0), up(131)}}},
        {tact::KTLEventActionEscapeExposeDesktop, {{down(103, 0), up(103)}}},
        {tact::KTLEventActionEscape, {{down(53, 0), up(53)}}},
        {tact::kTLEventActionControlLeft,
         {{down(59, 0x40101), down(123, 0x40101), up(123), up(59, 0x100)}}},
        {tact::kTLEventActionControlRight,
         {{down(59, 0x40101), down(124, 0x40101), up(124), up(59, 0x100)}}},
        {tact::kTLEventActionCommandLeftbracket,
         {{down(55, 0x100108), down(33, 0x100108), up(33), up(55, 0x100)}}},
        {tact::kTLEventActionCommandRightbracket,
         {{down(55, 0x100108), down(30, 0x100108), up(30), up(55, 0x100)}}},
        // Control and command together: both modifier keys carry the combined flags.
        {tact::kTLEventActionDictionary,
         {{down(59, 0x140109), down(55, 0x140109), down(2, 0x140109), up(2), up(59, 0x100),
           up(55, 0x100)}}},
        // No built-in key: nothing at all.
        {tact::kTLEventActionExposeAll, std::nullopt},
        {tact::kTLEventActionExposeApplication, std::nullopt},
        {tact::kTLEventActionExposeDesktop, std::nullopt},
        {tact::kTLEventActionDashboard, std::nullopt},
        {tact::kTLEventActionSpaces, std::nullopt},
        {tact::kTLEventActionNotityCenter, std::nullopt},
        {tact::kTLEventActionNextPage, std::nullopt},
        // Identifiers match exactly and case-sensitively.
        {"escape", std::nullopt},
        {"ESCAPE", std::nullopt},
        {"Escape ", std::nullopt},
        {"keyleftarrow", std::nullopt},
        {"079", std::nullopt},
        {"0", std::nullopt},
        {"", std::nullopt},
        {"unknown", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(post(c.action), c.expected) << "action \"" << c.action << "\"";
}

TEST_F(HotkeyEventsTest, ActionIdentifiers) {
    const std::pair<std::string_view, std::string_view> ids[] = {
        {tact::kTLEventActionExposeAll, "32"},
        {tact::kTLEventActionExposeApplication, "33"},
        {tact::kTLEventActionExposeDesktop, "36"},
        {tact::kTLEventActionDashboard, "62"},
        {tact::kTLEventActionDictionary, "70"},
        {tact::kTLEventActionSpaces, "75"},
        {tact::kTLEventActionControlLeft, "79"},
        {tact::kTLEventActionControlRight, "81"},
        {tact::kTLEventActionLaunchPad, "160"},
        {tact::kTLEventActionNotityCenter, "163"},
        {tact::KTLEventActionEscapeExposeDesktop, "177"},
        {tact::kTLEventActionNextPage, "00"},
        {tact::KTLEventActionEscape, "Escape"},
        {tact::kTLEventActionCommandLeftbracket, "KeyCommandLeftbracket"},
        {tact::kTLEventActionCommandRightbracket, "KeyCommandRightbracket"},
        {tact::kTLEventActionLeftArrow, "KeyLeftArrow"},
        {tact::kTLEventActionRightArrow, "KeyRightArrow"},
        {tact::kTLEventActionUpArrow, "KeyUpArrow"},
        {tact::kTLEventActionDownArrow, "KeyDownArrow"},
    };
    for (const auto& [constant, text] : ids)
        EXPECT_EQ(constant, text);
}

// An enabled hot key wins over the built-in key; a disabled one counts as none.
TEST_F(HotkeyEventsTest, EnabledHotKeysDecide) {
    setHotKeys({
        {"32", enabledKey(126, kControl)},
        {"33", hotKey(false, Array{65535, 125, Value(std::int64_t(kControl))})},
        {"163", enabledKey(100, kShift | kCommand)},
        {"00", enabledKey(121, 0)},
        {"79", enabledKey(18, kOption)},
        {"81", hotKey(false, Array{65535, 19, Value(std::int64_t(kOption))})},
        {"escape", enabledKey(50, 0)},
        {"177", enabledKey(101, kControl | kOption | kCommand)},
        {"70", enabledKey(2, kShift | kControl | kOption | kCommand)},
    });
    struct Case {
        std::string_view action;
        Keys expected;
    };
    const Case cases[] = {
        {"32", {{down(59, 0x40101), down(126, 0x40101), up(126), up(59, 0x100)}}},
        {"33", std::nullopt},
        {"163",
         {{down(56, 0x100), down(55, 0x100108), down(100, 0x12010A), up(100), up(56, 0x100),
           up(55, 0x100)}}},
        {"00", {{down(121, 0), up(121)}}},
        {"79", {{down(58, 0x100), down(18, 0), up(18), up(58, 0x100)}}},
        {"81", {{down(59, 0x40101), down(124, 0x40101), up(124), up(59, 0x100)}}},
        {"escape", {{down(50, 0), up(50)}}},
        {"Escape", {{down(53, 0), up(53)}}},
        // The combined pair stands for option too: no separate option event.
        {"177",
         {{down(59, 0x140109), down(55, 0x140109), down(101, 0x1C0129), up(101), up(59, 0x100),
           up(55, 0x100)}}},
        {"70",
         {{down(56, 0x100), down(59, 0x140109), down(55, 0x140109), down(2, 0x16010B), up(2),
           up(56, 0x100), up(59, 0x100), up(55, 0x100)}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(post(c.action), c.expected) << "action \"" << c.action << "\"";
}

TEST_F(HotkeyEventsTest, ParametersOfEnabledHotKeys) {
    struct Case {
        const char* name;
        Array parameters;
        tact::CGKeyCode keyCode;
        tact::CGEventFlags modifiers;
    };
    const std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
    const Case cases[] = {
        {"plain", {65535, 126, 262144}, 126, 0x40000},
        {"integral reals", {65535.0, 126.0, 262144.0}, 126, 0x40000},
        {"unused character of another type", {"x", 126, 0}, 126, 0},
        {"extra elements", {65535, 49, 1048576, 7, "more"}, 49, 0x100000},
        {"negative key code", {65535, -1, 0}, 0xFFFF, 0},
        {"largest key code", {65535, 32767, 0}, 32767, 0},
        {"smallest key code", {65535, -32768, 0}, 0x8000, 0},
        {"negative modifiers", {65535, 1, -1}, 1, ~std::uint64_t{0}},
        {"largest modifiers", {65535, 1, Value(int64Max)}, 1, std::uint64_t(int64Max)},
    };
    for (const auto& c : cases) {
        setHotKeys({{"75", hotKey(true, c.parameters)}});
        tact::CGKeyCode keyCode = 0;
        tact::CGEventFlags modifiers = 0;
        EXPECT_TRUE(tact::tl_CGEventSequenceGetParametersForAction("75", &keyCode, &modifiers))
            << c.name;
        EXPECT_EQ(keyCode, c.keyCode) << c.name;
        EXPECT_EQ(modifiers, c.modifiers) << c.name;
    }
}

// Whatever is wrong with the stored entry, the lookup fails quietly, leaves
// the outputs alone, and the action falls back to its built-in key.
TEST_F(HotkeyEventsTest, BrokenEntriesFallBackToBuiltInKey) {
    const Value good = enabledKey(18, kOption);
    struct Case {
        const char* name;
        Value entry;
    };
    auto withValue = [](Value v) { return Value(Dictionary{{"enabled", true}, {"value", v}}); };
    const Case cases[] = {
        {"entry is a string", "enabled"},
        {"entry is an array", Array{true, Array{65535, 18, 0}}},
        {"entry is empty", Dictionary{}},
        {"enabled missing", Dictionary{{"value", Dictionary{{"parameters", Array{1, 18, 0}}}}}},
        {"enabled false", hotKey(false, Array{65535, 18, 0})},
        {"enabled a string", hotKey("true", Array{65535, 18, 0})},
        {"enabled a number", hotKey(1, Array{65535, 18, 0})},
        {"value missing", Dictionary{{"enabled", true}}},
        {"value a string", withValue("parameters")},
        {"value an array", withValue(Array{65535, 18, 0})},
        {"parameters missing", withValue(Dictionary{{"type", "standard"}})},
        {"parameters a dictionary",
         withValue(Dictionary{{"parameters", Dictionary{{"1", 18}, {"2", 0}}}})},
        {"parameters a string", withValue(Dictionary{{"parameters", "65535,18,0"}})},
        {"no parameters", hotKey(true, Array{})},
        {"one parameter", hotKey(true, Array{65535})},
        {"two parameters", hotKey(true, Array{65535, 18})},
        {"key code a string", hotKey(true, Array{65535, "18", 0})},
        {"key code a dictionary", hotKey(true, Array{65535, Dictionary{{"k", 18}}, 0})},
        {"key code an array", hotKey(true, Array{65535, Array{18}, 0})},
        {"key code a boolean", hotKey(true, Array{65535, true, 0})},
        {"key code data", hotKey(true, Array{65535, platform::Data{18}, 0})},
        {"key code too large", hotKey(true, Array{65535, 70000, 0})},
        {"key code just too large", hotKey(true, Array{65535, 32768, 0})},
        {"key code too small", hotKey(true, Array{65535, -32769, 0})},
        {"key code huge", hotKey(true, Array{65535, Value(std::int64_t{1} << 40), 0})},
        {"key code fractional", hotKey(true, Array{65535, 18.5, 0})},
        {"key code huge real", hotKey(true, Array{65535, 1e300, 0})},
        {"modifiers a string", hotKey(true, Array{65535, 18, "524288"})},
        {"modifiers a dictionary", hotKey(true, Array{65535, 18, Dictionary{}})},
        {"modifiers a boolean", hotKey(true, Array{65535, 18, false})},
        {"modifiers fractional", hotKey(true, Array{65535, 18, 0.5})},
        {"modifiers huge real", hotKey(true, Array{65535, 18, 1e30})},
        {"modifiers just out of range", hotKey(true, Array{65535, 18, 9223372036854775808.0})},
    };
    const std::vector<Key> builtIn = {down(59, 0x40101), down(123, 0x40101), up(123),
                                      up(59, 0x100)};
    for (const auto& c : cases) {
        setHotKeys({{"00", good}, {"79", c.entry}, {"81", good}});
        tact::CGKeyCode keyCode = 7;
        tact::CGEventFlags modifiers = 9;
        EXPECT_FALSE(tact::tl_CGEventSequenceGetParametersForAction("79", &keyCode, &modifiers))
            << c.name;
        EXPECT_EQ(keyCode, 7) << c.name;
        EXPECT_EQ(modifiers, 9u) << c.name;
        EXPECT_EQ(post("79"), Keys(builtIn)) << c.name;
        // Neighbouring entries are unaffected.
        EXPECT_EQ(post("81"), Keys({down(58, 0x100), down(18, 0), up(18), up(58, 0x100)}))
            << c.name;
    }
}

TEST_F(HotkeyEventsTest, BrokenTableFallsBackToBuiltInKeys) {
    const Value tables[] = {
        "32",
        Array{enabledKey(126, kControl)},
        Dictionary{},
        42,
    };
    for (const auto& table : tables) {
        setHotKeysValue(table);
        EXPECT_EQ(post("79"), Keys({down(59, 0x40101), down(123, 0x40101), up(123), up(59, 0x100)}))
            << platform::describe(table);
        EXPECT_EQ(post("32"), std::nullopt) << platform::describe(table);
    }
}

// Another program changes the shortcuts: the next action sees the change.
// Until then actions read nothing, however large the table.
TEST_F(HotkeyEventsTest, ReadsPreferencesWhenTheyChangeAndOnlyThen) {
    Dictionary table{{"32", enabledKey(126, kControl)}};
    for (int i = 0; i < 200; ++i)
        table.set(platform::String(std::to_string(1000 + i)), enabledKey(i % 128, kShift));
    setHotKeys(table);
    const std::uint64_t reads = platform::preferencesFileReads();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(post("32"),
                  Keys({down(59, 0x40101), down(126, 0x40101), up(126), up(59, 0x100)}));
    }
    EXPECT_EQ(platform::preferencesFileReads(), reads);

    const std::string plist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>AppleSymbolicHotKeys</key>
  <dict>
    <key>32</key>
    <dict>
      <key>enabled</key><false/>
      <key>value</key>
      <dict><key>parameters</key><array><integer>65535</integer><integer>126</integer><integer>262144</integer></array></dict>
    </dict>
    <key>36</key>
    <dict>
      <key>enabled</key><true/>
      <key>value</key>
      <dict><key>parameters</key><array><integer>65535</integer><integer>103</integer><integer>1048576</integer></array></dict>
    </dict>
  </dict>
</dict>
</plist>
)";
    tact::test::writeFile(platform::preferencesPath("com.apple.symbolichotkeys"), plist);
    EXPECT_EQ(post("32"), std::nullopt);
    EXPECT_EQ(post("36"), Keys({down(55, 0x100108), down(103, 0x100108), up(103), up(55, 0x100)}));
    EXPECT_EQ(platform::preferencesFileReads(), reads + 1);
}

TEST_F(HotkeyEventsTest, KeyDownFlagsFollowTheModifiers) {
    struct Case {
        const char* name;
        tact::CGEventFlags mask;
        tact::CGEventFlags flags;
    };
    const Case cases[] = {
        {"control command shift", kControl | kCommand | kShift, 0x16010B},
        {"control command shift option", kControl | kCommand | kShift | kOption, 0x16010B},
        {"control command option", kControl | kCommand | kOption, 0x1C0129},
        {"control option", kControl | kOption, 0xC0121},
        {"control command", kControl | kCommand, 0x140109},
        {"command shift", kCommand | kShift, 0x12010A},
        {"control", kControl, 0x40101},
        {"command", kCommand, 0x100108},
        {"shift", kShift, 0x20102},
        {"none", 0, 0},
        {"option", kOption, 0},
        {"control shift", kControl | kShift, 0x40101},
        {"command option", kCommand | kOption, 0x100108},
        {"shift option", kShift | kOption, 0x20102},
        {"shift control option", kShift | kControl | kOption, 0xC0121},
        // Bits other than the four modifiers never reach the flags.
        {"control and other bits", kControl | 0x800000 | 0x100 | 0x3F, 0x40101},
        {"other bits only", 0x800000 | 0x100 | 0x2, 0},
    };
    for (const auto& c : cases) {
        CGEventSequence sequence;
        tact::tl_CGEventSequenceAppendKeypress(sequence, 40, c.mask);
        EXPECT_EQ(keysOf(sequence), std::vector<Key>({down(40, c.flags), up(40)})) << c.name;
    }
}

TEST_F(HotkeyEventsTest, ModifierEvents) {
    struct Case {
        const char* name;
        tact::CGEventFlags mask;
        std::vector<Key> pressed;
        std::vector<Key> released;
    };
    const Case cases[] = {
        {"none", 0, {}, {}},
        {"shift", kShift, {down(56, 0x100)}, {up(56, 0x100)}},
        {"control", kControl, {down(59, 0x40101)}, {up(59, 0x100)}},
        {"option", kOption, {down(58, 0x100)}, {up(58, 0x100)}},
        {"command", kCommand, {down(55, 0x100108)}, {up(55, 0x100)}},
        {"control command",
         kControl | kCommand,
         {down(59, 0x140109), down(55, 0x140109)},
         {up(59, 0x100), up(55, 0x100)}},
        {"control option command",
         kControl | kOption | kCommand,
         {down(59, 0x140109), down(55, 0x140109)},
         {up(59, 0x100), up(55, 0x100)}},
        {"all four",
         kShift | kControl | kOption | kCommand,
         {down(56, 0x100), down(59, 0x140109), down(55, 0x140109)},
         {up(56, 0x100), up(59, 0x100), up(55, 0x100)}},
        {"control option",
         kControl | kOption,
         {down(59, 0x40101), down(58, 0x100)},
         {up(59, 0x100), up(58, 0x100)}},
        {"shift option command",
         kShift | kOption | kCommand,
         {down(56, 0x100), down(58, 0x100), down(55, 0x100108)},
         {up(56, 0x100), up(58, 0x100), up(55, 0x100)}},
        {"shift control",
         kShift | kControl,
         {down(56, 0x100), down(59, 0x40101)},
         {up(56, 0x100), up(59, 0x100)}},
    };
    for (const auto& c : cases) {
        for (bool isDown : {true, false}) {
            // Appending keeps what the sequence already holds.
            CGEventSequence sequence;
            tact::tl_CGEventSequenceAppendKeypress(sequence, 40, 0);
            tact::tl_CGEventSequenceAppendModifiers(sequence, c.mask, isDown);
            std::vector<Key> expected = {down(40, 0), up(40)};
            const auto& modifiers = isDown ? c.pressed : c.released;
            expected.insert(expected.end(), modifiers.begin(), modifiers.end());
            EXPECT_EQ(keysOf(sequence), expected) << c.name << (isDown ? " down" : " up");
        }
    }
}

// On a desktop an entry the user turned off silences the gesture: neither
// the built-in key nor the desktop's own binding is typed.
TEST_F(HotkeyEventsTest, AnActionTurnedOffDoesNothingOnADesktop) {
    namespace act = platform::actions;
    TempDir home;
    const std::string channel = home.path() + "/xfce4/xfconf/xfce-perchannel-xml";
    ASSERT_EQ(std::system(("mkdir -p '" + channel + "'").c_str()), 0);
    std::ofstream(channel + "/xfce4-keyboard-shortcuts.xml")
        << R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-keyboard-shortcuts" version="1.0">
  <property name="xfwm4" type="empty">
    <property name="custom" type="empty">
      <property name="&lt;Primary&gt;&lt;Alt&gt;Left" type="string" value="left_workspace_key"/>
      <property name="override" type="bool" value="true"/>
    </property>
  </property>
</channel>
)";
    act::DesktopSources xfce;
    xfce.kind = act::DesktopKind::Xfce;
    xfce.files = std::make_shared<act::ShortcutFiles>(home.path(), std::vector<std::string>{});
    act::DesktopActions actions(xfce);
    act::setDesktopActions(&actions);
    struct Reset {
        ~Reset() { act::setDesktopActions(nullptr); }
    } reset;

    sink_.events.clear();
    EXPECT_TRUE(tact::tl_PostActionSequence("79"));
    EXPECT_FALSE(sink_.events.empty()) << "the desktop's Ctrl+Alt+Left";

    setHotKeys({{"79", hotKey(false, Array{65535, 123, Value(std::int64_t(kControl))})}});
    sink_.events.clear();
    EXPECT_FALSE(tact::tl_PostActionSequence("79"));
    EXPECT_TRUE(sink_.events.empty());
}

TEST_F(HotkeyEventsTest, NullOutputIsAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    tact::CGKeyCode keyCode = 0;
    tact::CGEventFlags modifiers = 0;
    EXPECT_DEATH(tact::tl_CGEventSequenceGetParametersForAction("79", nullptr, &modifiers),
                 "HotkeyEvents: tl_CGEventSequenceGetParametersForAction: Assertion "
                 "`primaryKeyCodePtr != NULL' failed");
    EXPECT_DEATH(tact::tl_CGEventSequenceGetParametersForAction("79", &keyCode, nullptr),
                 "HotkeyEvents: tl_CGEventSequenceGetParametersForAction: Assertion "
                 "`modifiersPtr != NULL' failed");
}

}  // namespace
