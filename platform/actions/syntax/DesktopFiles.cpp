#include "platform/actions/syntax/DesktopFiles.hpp"
#include "platform/values/Text.hpp"

#include <glib.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>

namespace platform::actions {
namespace {

using text::trim;

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// KConfig's escapes: \s \t \n \r \\ \, \; and \xHH. Anything else is kept as
// it stands.
std::string unescapeKConfig(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        switch (c) {
            case 's':
                out += ' ';
                break;
            case 't':
                out += '\t';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
            case ',':
            case ';':
                out += c;
                break;
            case 'x':
                if (i + 2 < s.size() && hexDigit(s[i + 1]) >= 0 && hexDigit(s[i + 2]) >= 0) {
                    out += static_cast<char>(hexDigit(s[i + 1]) * 16 + hexDigit(s[i + 2]));
                    i += 2;
                    break;
                }
                [[fallthrough]];
            default:
                out += '\\';
                out += c;
                break;
        }
    }
    return out;
}

// The value up to its first comma that is not escaped ("\,").
std::string_view firstListField(std::string_view value) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\')
            ++i;
        else if (value[i] == ',')
            return value.substr(0, i);
    }
    return value;
}

// The key sequences of one field: alternatives separated by tabs, "none" and
// empty ones dropped.
std::vector<std::string> keySequences(std::string_view field) {
    std::vector<std::string> keys;
    const std::string text = unescapeKConfig(field);
    std::string_view rest = text;
    while (true) {
        const auto tab = rest.find('\t');
        const auto one = trim(rest.substr(0, tab));
        if (!one.empty() && one != "none")
            keys.emplace_back(one);
        if (tab == std::string_view::npos)
            break;
        rest.remove_prefix(tab + 1);
    }
    return keys;
}

}  // namespace

KdeShortcutFile KdeShortcutFile::parse(std::string_view text) {
    KdeShortcutFile file;
    // Entries before the first group belong to KConfig's default group; an
    // unreadable group header hides its entries until the next good one.
    std::optional<std::string> group{std::in_place};
    std::size_t lineNumber = 0;
    auto problem = [&](std::string_view what) {
        if (file.diagnostic_.empty())
            file.diagnostic_ = "line " + std::to_string(lineNumber) + ": " + std::string(what);
    };
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            // "[kwin]", "[services][org.kde.konsole.desktop]": the text inside
            // the outer brackets.
            if (line.back() != ']' || line.size() < 3) {
                problem("unreadable group header");
                group.reset();
            } else {
                group = std::string(line.substr(1, line.size() - 2));
            }
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            problem("no '=' in entry");
            continue;
        }
        if (!group)
            continue;
        const std::string action = unescapeKConfig(trim(line.substr(0, equals)));
        if (action.empty()) {
            problem("entry without a name");
            continue;
        }
        if (action.starts_with("_k_"))
            continue;  // KDE's own bookkeeping ("_k_friendly_name"), not an action
        // "active,default,friendly name": only the active keys matter.
        const auto value = trim(line.substr(equals + 1));
        file.groups_[*group].insert_or_assign(action, keySequences(firstListField(value)));
    }
    return file;
}

std::vector<std::string> KdeShortcutFile::activeKeys(std::string_view component,
                                                     std::string_view action) const {
    const auto g = groups_.find(component);
    if (g == groups_.end())
        return {};
    const auto a = g->second.find(action);
    return a == g->second.end() ? std::vector<std::string>{} : a->second;
}

bool KdeShortcutFile::has(std::string_view component, std::string_view action) const {
    const auto g = groups_.find(component);
    return g != groups_.end() && g->second.find(action) != g->second.end();
}

namespace {

using Bindings = std::vector<std::pair<std::string, std::string>>;

// One section ("xfwm4", "commands") while the file is read.
struct XfceSection {
    Bindings defaults;
    Bindings custom;
    bool hasCustom = false;
    const Bindings& effective() const { return hasCustom ? custom : defaults; }
};

// What the markup parser's callbacks see: the open elements and where the
// shortcuts found so far go.
struct XfceReader {
    enum class Node { Other, Channel, Section, Set };
    std::vector<Node> open;
    XfceSection windowManager;
    XfceSection commands;
    XfceSection* section = nullptr;  // the open section
    Bindings* set = nullptr;         // the open default or custom set
};

struct Attributes {
    const char* name = nullptr;
    const char* type = nullptr;
    const char* value = nullptr;
};

Attributes readAttributes(const gchar** names, const gchar** values) {
    Attributes a;
    for (std::size_t i = 0; names && values && names[i] && values[i]; ++i) {
        const std::string_view n = names[i];
        if (n == "name")
            a.name = values[i];
        else if (n == "type")
            a.type = values[i];
        else if (n == "value")
            a.value = values[i];
    }
    return a;
}

void setError(GError** error, const char* message) {
    g_set_error_literal(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, message);
}

void openElement(XfceReader& r, std::string_view element, const Attributes& a, GError** error) {
    using Node = XfceReader::Node;
    const std::string_view name = a.name ? a.name : "";
    if (r.open.empty()) {
        if (element != "channel" || name != "xfce4-keyboard-shortcuts")
            return setError(error, "not the xfce4-keyboard-shortcuts channel");
        r.open.push_back(Node::Channel);
        return;
    }
    const Node parent = r.open.back();
    Node node = Node::Other;
    if (element == "property") {
        if (parent == Node::Channel && (name == "xfwm4" || name == "commands")) {
            r.section = name == "xfwm4" ? &r.windowManager : &r.commands;
            node = Node::Section;
        } else if (parent == Node::Section && (name == "default" || name == "custom")) {
            r.set = name == "default" ? &r.section->defaults : &r.section->custom;
            if (name == "custom")
                r.section->hasCustom = true;
            node = Node::Set;
        } else if (parent == Node::Set && !name.empty() && name != "override" && a.type &&
                   std::string_view(a.type) == "string" && a.value) {
            // A later property of the same name replaces an earlier one.
            auto same = std::find_if(r.set->begin(), r.set->end(),
                                     [&](const auto& entry) { return entry.first == name; });
            if (same != r.set->end())
                same->second = a.value;
            else
                r.set->emplace_back(name, a.value);
        }
    }
    r.open.push_back(node);
}

void startElement(GMarkupParseContext*, const gchar* element, const gchar** names,
                  const gchar** values, gpointer data, GError** error) {
    try {
        openElement(*static_cast<XfceReader*>(data), element, readAttributes(names, values), error);
    } catch (const std::bad_alloc&) {
        setError(error, "out of memory");
    }
}

void endElement(GMarkupParseContext*, const gchar*, gpointer data, GError**) {
    auto& r = *static_cast<XfceReader*>(data);
    if (!r.open.empty())
        r.open.pop_back();
}

struct GErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
struct ContextFree {
    void operator()(GMarkupParseContext* c) const { g_markup_parse_context_free(c); }
};

}  // namespace

XfceShortcutFile XfceShortcutFile::parse(std::string_view text) {
    XfceShortcutFile file;
    if (text.size() > static_cast<std::size_t>(G_MAXSSIZE)) {
        file.diagnostic_ = "file too large";
        return file;
    }
    static constexpr GMarkupParser kParser = {startElement, endElement, nullptr, nullptr, nullptr};
    XfceReader reader;
    const std::unique_ptr<GMarkupParseContext, ContextFree> context(
        g_markup_parse_context_new(&kParser, GMarkupParseFlags{}, &reader, nullptr));
    GError* raw = nullptr;
    const bool ok = g_markup_parse_context_parse(context.get(), text.data(),
                                                 static_cast<gssize>(text.size()), &raw) &&
                    g_markup_parse_context_end_parse(context.get(), &raw);
    const std::unique_ptr<GError, GErrorFree> error(raw);
    if (!ok) {
        file.diagnostic_ = error ? error->message : "unreadable";
        return file;
    }
    file.windowManager_ = reader.windowManager.effective();
    file.commands_ = reader.commands.effective();
    return file;
}

std::vector<std::string> XfceShortcutFile::windowManagerKeys(std::string_view action) const {
    std::vector<std::string> keys;
    for (const auto& [accelerator, bound] : windowManager_) {
        if (bound == action)
            keys.push_back(accelerator);
    }
    return keys;
}

std::vector<std::string> XfceShortcutFile::commandKeys(std::string_view program) const {
    std::vector<std::string> keys;
    if (program.empty())
        return keys;
    for (const auto& [accelerator, command] : commands_) {
        std::string_view first = trim(command);
        first = first.substr(0, first.find_first_of(" \t"));
        const bool named =
            first == program || (first.size() > program.size() && first.ends_with(program) &&
                                 first[first.size() - program.size() - 1] == '/');
        if (named)
            keys.push_back(accelerator);
    }
    return keys;
}

bool XfceShortcutFile::empty() const {
    return windowManager_.empty() && commands_.empty();
}

}  // namespace platform::actions
