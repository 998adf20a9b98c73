// Files the user's desktop writes, as the agent reads them to find the keys of
// a gesture's action and the application of the active window: KDE's
// kglobalshortcutsrc, Xfce's keyboard-shortcuts channel, the accelerators in
// them, and the application table.
//
// Input: one byte chooses the reader (0 KDE, 1 Xfce, 2 a GTK accelerator,
// 3 a Qt shortcut, 4 the application table, 5 a chord of any key code and
// flags written out: 2 + 8 bytes), then a count byte and up to 7 query
// strings (a length byte, the bytes), then the text. What was read is asked
// about the queries, the pieces of the text and the names the agent asks for.
//
// What must hold: KDE's active keys are single sequences ("none", empty
// ones and the tab escape are gone), and an action the file does not name
// has none; an Xfce file that was refused is empty; every chord a reader
// accepts uses the four modifiers only and has a name for its key; a table
// answers with an identifier (it has a dot) and ignores ASCII case; every
// message the table gives starts with the file's name.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzInput.hpp"
#include "platform/actions/syntax/DesktopFiles.hpp"
#include "platform/actions/syntax/KeyChord.hpp"
#include "platform/desktop/ApplicationTable.hpp"

namespace {

namespace actions = platform::actions;
namespace ev = platform::events;

void check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "fuzz_desktoptext: %s\n", what);
        __builtin_trap();
    }
}

// The names the agent looks up (see platform/actions/DesktopActions.cpp).
const std::vector<std::string> kKnownNames = {
    "kwin",
    "plasmashell",
    "Switch One Desktop to the Left",
    "Switch One Desktop to the Right",
    "ExposeAll",
    "Overview",
    "Show Desktop",
    "activate application launcher",
    "left_workspace_key",
    "right_workspace_key",
    "show_desktop_key",
    "xfce4-popup-whiskermenu",
    "xfce4-popup-applicationsmenu",
    "firefox",
};

constexpr std::size_t kMaxNames = 48;

void addPieces(std::string_view text, std::string_view separators, std::vector<std::string>& out) {
    while (!text.empty() && out.size() < kMaxNames) {
        const auto end = text.find_first_of(separators);
        std::string_view piece = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const auto first = piece.find_first_not_of(' ');
        if (first == std::string_view::npos)
            continue;
        piece = piece.substr(first, piece.find_last_not_of(' ') - first + 1);
        out.emplace_back(piece);
    }
}

// The queries of the input, the names the agent asks for, and the text cut
// at its separators (as a whole line, a group, an entry's name or value, and
// word by word), so that lookups meet both what the file holds and what it
// does not.
std::vector<std::string> namesFor(std::string_view text, std::vector<std::string> queries) {
    std::vector<std::string> names = std::move(queries);
    names.insert(names.end(), kKnownNames.begin(), kKnownNames.end());
    addPieces(text, "\n\r\t=,[]<>\"/", names);
    addPieces(text, "\n\r\t ", names);
    return names;
}

void checkChord(const std::optional<actions::KeyChord>& chord) {
    if (!chord)
        return;
    constexpr ev::CGEventFlags kModifiers =
        ev::kCGEventFlagMaskShift | ev::kCGEventFlagMaskControl | ev::kCGEventFlagMaskAlternate |
        ev::kCGEventFlagMaskCommand;
    check((chord->modifiers & ~kModifiers) == 0, "a chord with a flag that is not a modifier");
    const std::string described = actions::describeKeyChord(*chord);
    check(described.find("key ") == std::string::npos, "an accepted key has no name");
}

void readKde(std::string_view text, const std::vector<std::string>& names) {
    const auto file = actions::KdeShortcutFile::parse(text);
    for (const auto& component : names) {
        for (const auto& action : names) {
            const auto keys = file.activeKeys(component, action);
            check(keys.empty() || file.has(component, action), "keys for an action not named");
            for (const auto& key : keys) {
                check(!key.empty() && key != "none", "an empty or 'none' sequence kept");
                check(key.find('\t') == std::string::npos, "alternatives not split at tabs");
                check(key.front() != ' ' && key.back() != ' ', "a sequence not trimmed");
                checkChord(actions::parseQtShortcut(key));
            }
        }
    }
}

void readXfce(std::string_view text, const std::vector<std::string>& names) {
    const auto file = actions::XfceShortcutFile::parse(text);
    check(file.diagnostic().empty() || file.empty(), "a refused file has shortcuts");
    for (const auto& name : names) {
        for (const auto& key : file.windowManagerKeys(name))
            checkChord(actions::parseGtkAccelerator(key));
        for (const auto& key : file.commandKeys(name))
            checkChord(actions::parseGtkAccelerator(key));
    }
}

std::string swappedCase(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

void readTable(std::string_view text, const std::vector<std::string>& names) {
    platform::ApplicationTable table;
    for (const auto& message : table.add(text, "fuzz.table"))
        check(message.starts_with("fuzz.table:"), "a message without its origin");
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto& name = names[i];
        platform::WindowApplication window{name,
                                           names[(i + 1) % names.size()],
                                           {names[(i + 2) % names.size()], name + ".desktop"}};
        const auto found = table.lookup(window);
        check(!found || found->find('.') != std::string::npos, "an identifier without a dot");
        (void)table.identify(window);

        const platform::WindowApplication alone{name, {}, {}};
        const platform::WindowApplication swapped{swappedCase(name), {}, {}};
        check(table.lookup(alone) == table.lookup(swapped), "a lookup depends on ASCII case");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tact::fuzz::Reader in(std::span<const std::uint8_t>(data, size));
    const std::uint8_t reader = in.u8() % 6;
    if (reader == 5) {
        actions::KeyChord chord;
        chord.keyCode = in.u16();
        chord.modifiers = in.u64();
        (void)actions::describeKeyChord(chord);
        return 0;
    }
    std::vector<std::string> queries;
    for (std::size_t n = in.u8() % 8; n > 0 && !in.atEnd(); --n) {
        const auto bytes = in.bytes(in.u8());
        queries.emplace_back(bytes.begin(), bytes.end());
    }
    const auto rest = in.bytes(in.remaining());
    const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
    const auto names = namesFor(text, std::move(queries));

    switch (reader) {
        case 0:
            readKde(text, names);
            break;
        case 1:
            readXfce(text, names);
            break;
        case 2:
            checkChord(actions::parseGtkAccelerator(text));
            for (const auto& name : names)
                checkChord(actions::parseGtkAccelerator(name));
            break;
        case 3:
            checkChord(actions::parseQtShortcut(text));
            for (const auto& name : names)
                checkChord(actions::parseQtShortcut(name));
            break;
        default:
            readTable(text, names);
            break;
    }
    return 0;
}
