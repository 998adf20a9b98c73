#include "platform/actions/DesktopActions.hpp"

#include <array>
#include <cstdlib>

#include "platform/actions/GlobalShortcutService.hpp"
#include "platform/actions/GnomeSettings.hpp"
#include "platform/actions/KeyboardLayout.hpp"
#include "platform/actions/ShortcutFiles.hpp"
#include "platform/actions/WindowManager.hpp"
#include "platform/log/SystemLog.hpp"

namespace platform::actions {
namespace {

namespace ev = platform::events;

// Where a step of a plan looks.
enum class Source {
    None,
    GnomeKey,        // GSettings: schema a, key b
    KdeService,      // KDE's service: component a, shortcut b (alternatives split by '|')
    KdeKey,          // kglobalshortcutsrc: component a, action b (alternatives split by '|')
    XfceWindowKey,   // xfconf, xfwm4 action a
    XfceCommandKey,  // xfconf, the command whose program is a
    SwitchDesktop,   // EWMH, step n
    ShowDesktop,     // EWMH, show when n is 1
    Key,             // a fixed key: virtual key n with modifiers flags
};

struct Step {
    Source source = Source::None;
    std::string_view a{};
    std::string_view b{};
    int n = 0;
    ev::CGEventFlags flags = 0;
};

enum class On { Gnome, Kde, Xfce, Any };

struct Plan {
    std::string_view action;
    On on;
    std::array<Step, 4> steps;
};

constexpr std::string_view kWm = "org.gnome.desktop.wm.keybindings";
constexpr std::string_view kShell = "org.gnome.shell.keybindings";
constexpr std::string_view kMutter = "org.gnome.mutter";
constexpr std::string_view kKwin = "kwin";
constexpr std::string_view kPlasma = "plasmashell";
// Plasma 6 calls it "activate application launcher", Plasma 5 "... widget".
constexpr std::string_view kLauncher =
    "activate application launcher|activate application launcher widget";

constexpr ev::CGEventFlags kAlt = ev::kCGEventFlagMaskAlternate;
constexpr int kLeftArrow = 123, kRightArrow = 124, kDownArrow = 125, kUpArrow = 126;

constexpr Step gnome(std::string_view schema, std::string_view key) {
    return {Source::GnomeKey, schema, key};
}
constexpr Step kde(std::string_view component, std::string_view action) {
    return {Source::KdeService, component, action};
}
constexpr Step kdeKey(std::string_view component, std::string_view action) {
    return {Source::KdeKey, component, action};
}
constexpr Step xfwm(std::string_view action) {
    return {Source::XfceWindowKey, action};
}
constexpr Step xfceCommand(std::string_view program) {
    return {Source::XfceCommandKey, program};
}
constexpr Step switchDesktop(int step) {
    return {Source::SwitchDesktop, {}, {}, step};
}
constexpr Step showDesktop(bool show) {
    return {Source::ShowDesktop, {}, {}, show ? 1 : 0};
}
constexpr Step key(int code, ev::CGEventFlags flags = 0) {
    return {Source::Key, {}, {}, code, flags};
}

// What each action does, per desktop; the first step that finds a way wins.
// docs/gestures.md has the same table for people.
constexpr Plan kPlans[] = {
    // The workspace on the left and on the right: the desktop's own binding
    // (it knows its layout and wraps as the user chose); KDE's service runs
    // it whatever key is bound. EWMH where nothing is bound.
    {"79", On::Gnome, {gnome(kWm, "switch-to-workspace-left"), switchDesktop(-1)}},
    {"79",
     On::Kde,
     {kde(kKwin, "Switch One Desktop to the Left"), kdeKey(kKwin, "Switch One Desktop to the Left"),
      switchDesktop(-1)}},
    {"79", On::Xfce, {xfwm("left_workspace_key"), switchDesktop(-1)}},
    {"79", On::Any, {switchDesktop(-1)}},
    {"81", On::Gnome, {gnome(kWm, "switch-to-workspace-right"), switchDesktop(1)}},
    {"81",
     On::Kde,
     {kde(kKwin, "Switch One Desktop to the Right"),
      kdeKey(kKwin, "Switch One Desktop to the Right"), switchDesktop(1)}},
    {"81", On::Xfce, {xfwm("right_workspace_key"), switchDesktop(1)}},
    {"81", On::Any, {switchDesktop(1)}},
    // All windows: GNOME's overview (its Super key first: it does not depend
    // on the keyboard layout), KDE's Present Windows for every desktop.
    {"32", On::Gnome, {gnome(kMutter, "overlay-key"), gnome(kShell, "toggle-overview")}},
    {"32", On::Kde, {kde(kKwin, "ExposeAll|Overview"), kdeKey(kKwin, "ExposeAll|Overview")}},
    // The application's windows: only KDE has such a view.
    {"33", On::Kde, {kde(kKwin, "ExposeClass"), kdeKey(kKwin, "ExposeClass")}},
    // Show the desktop and leave it: EWMH says which, where a toggling key
    // could only flip it.
    {"36", On::Gnome, {showDesktop(true), gnome(kWm, "show-desktop")}},
    {"36", On::Kde, {showDesktop(true), kde(kKwin, "Show Desktop"), kdeKey(kKwin, "Show Desktop")}},
    {"36", On::Xfce, {showDesktop(true), xfwm("show_desktop_key")}},
    {"36", On::Any, {showDesktop(true)}},
    {"177", On::Any, {showDesktop(false)}},
    // The application launcher, and leaving it again (its key toggles it).
    {"160", On::Gnome, {gnome(kShell, "toggle-application-view")}},
    {"160", On::Kde, {kde(kPlasma, kLauncher), kdeKey(kPlasma, kLauncher)}},
    {"160",
     On::Xfce,
     {xfceCommand("xfce4-popup-whiskermenu"), xfceCommand("xfce4-popup-applicationsmenu")}},
    {"Escape", On::Gnome, {gnome(kShell, "toggle-application-view")}},
    {"Escape", On::Kde, {kde(kPlasma, kLauncher), kdeKey(kPlasma, kLauncher)}},
    // A browser's back and forward, and a document's pages.
    {"KeyCommandLeftbracket", On::Any, {key(kLeftArrow, kAlt)}},
    {"KeyCommandRightbracket", On::Any, {key(kRightArrow, kAlt)}},
    {"KeyLeftArrow", On::Any, {key(kLeftArrow)}},
    {"KeyRightArrow", On::Any, {key(kRightArrow)}},
    {"KeyUpArrow", On::Any, {key(kUpArrow)}},
    {"KeyDownArrow", On::Any, {key(kDownArrow)}},
};

struct ActionName {
    std::string_view action;
    std::string_view what;
};
constexpr ActionName kActionNames[] = {
    {"32", "show all windows"},
    {"33", "show the application's windows"},
    {"36", "show the desktop"},
    {"62", "show the dashboard"},
    {"70", "look up a word"},
    {"75", "show the workspaces"},
    {"79", "switch to the workspace on the left"},
    {"81", "switch to the workspace on the right"},
    {"160", "open the application launcher"},
    {"163", "show the notifications"},
    {"177", "leave the desktop view"},
    {"00", "turn to the next page"},
    {"Escape", "close the application launcher"},
    {"KeyCommandLeftbracket", "go back"},
    {"KeyCommandRightbracket", "go forward"},
    {"KeyLeftArrow", "left arrow"},
    {"KeyRightArrow", "right arrow"},
    {"KeyUpArrow", "up arrow"},
    {"KeyDownArrow", "down arrow"},
};

On onFor(DesktopKind kind) {
    switch (kind) {
        case DesktopKind::Gnome:
            return On::Gnome;
        case DesktopKind::Kde:
            return On::Kde;
        case DesktopKind::Xfce:
            return On::Xfce;
        case DesktopKind::Other:
            break;
    }
    return On::Any;
}

const Plan* planFor(std::string_view action, DesktopKind kind) {
    const On on = onFor(kind);
    for (const auto& plan : kPlans) {
        if (plan.action == action && (plan.on == on || plan.on == On::Any))
            return &plan;
    }
    return nullptr;
}

// The sequence builder presses control and command together without
// option; a chord that needs all three cannot be typed faithfully.
bool typeable(const KeyChord& chord) {
    constexpr ev::CGEventFlags all =
        ev::kCGEventFlagMaskControl | ev::kCGEventFlagMaskCommand | ev::kCGEventFlagMaskAlternate;
    return (chord.modifiers & all) != all;
}

template <class Parse>
std::optional<std::pair<KeyChord, std::string>> firstTypeable(const std::vector<std::string>& texts,
                                                              Parse parse) {
    for (const auto& text : texts) {
        if (auto chord = parse(text); chord && typeable(*chord))
            return std::pair{*chord, text};
    }
    return std::nullopt;
}

// The alternatives of a '|'-separated list.
std::vector<std::string_view> alternatives(std::string_view list) {
    std::vector<std::string_view> out;
    while (true) {
        const auto bar = list.find('|');
        out.push_back(list.substr(0, bar));
        if (bar == std::string_view::npos)
            return out;
        list.remove_prefix(bar + 1);
    }
}

}  // namespace

std::string_view actionDescription(std::string_view action) {
    for (const auto& name : kActionNames) {
        if (name.action == action)
            return name.what;
    }
    return {};
}

DesktopActions::DesktopActions(DesktopSources sources) : sources_(std::move(sources)) {}
DesktopActions::~DesktopActions() = default;

Resolution DesktopActions::resolve(std::string_view action) const {
    const std::string desktop(desktopName(sources_.kind));
    Resolution r;
    const Plan* plan = planFor(action, sources_.kind);
    if (!plan) {
        r.description = "nothing: " + desktop + " has no such action";
        return r;
    }
    // The keystroke of a KDE shortcut, also the service's fallback.
    auto kdeKeys = [&](const Step& step) -> std::optional<std::pair<KeyChord, std::string>> {
        if (!sources_.files)
            return std::nullopt;
        const auto& file = sources_.files->kde();
        for (auto name : alternatives(step.b)) {
            if (auto found = firstTypeable(file.activeKeys(step.a, name), parseQtShortcut))
                return std::pair{found->first, std::string(name)};
        }
        return std::nullopt;
    };
    auto keys = [&](const KeyChord& chord, std::string source) {
        r.way = Resolution::Way::Keys;
        r.keys = chord;
        r.description = describeKeyChord(chord) + (source.empty() ? "" : " (" + source + ")");
    };
    for (const Step& step : plan->steps) {
        switch (step.source) {
            case Source::None:
                break;
            case Source::GnomeKey:
                if (sources_.gnome) {
                    const auto found = firstTypeable(sources_.gnome->accelerators(step.a, step.b),
                                                     parseGtkAccelerator);
                    if (found) {
                        keys(found->first, desktop + ": " + std::string(step.b));
                        return r;
                    }
                }
                break;
            case Source::KdeService:
                if (sources_.globalShortcuts && sources_.globalShortcuts->available()) {
                    // The name the user's Plasma knows, else the first.
                    const auto names = alternatives(step.b);
                    std::string_view name = names.front();
                    if (sources_.files) {
                        const auto& file = sources_.files->kde();
                        for (auto candidate : names) {
                            if (file.has(step.a, candidate)) {
                                name = candidate;
                                break;
                            }
                        }
                    }
                    r.way = Resolution::Way::GlobalShortcut;
                    r.component = step.a;
                    r.shortcut = name;
                    r.description =
                        desktop + ": \"" + std::string(name) + "\" (" + std::string(step.a) + ")";
                    Step asKey = step;
                    asKey.b = name;
                    if (auto fallback = kdeKeys(asKey))
                        r.fallbackKeys = fallback->first;
                    return r;
                }
                break;
            case Source::KdeKey:
                if (auto found = kdeKeys(step)) {
                    keys(found->first, desktop + ": " + found->second);
                    return r;
                }
                break;
            case Source::XfceWindowKey:
            case Source::XfceCommandKey:
                if (sources_.files) {
                    const auto& file = sources_.files->xfce();
                    const auto texts = step.source == Source::XfceWindowKey
                                           ? file.windowManagerKeys(step.a)
                                           : file.commandKeys(step.a);
                    if (auto found = firstTypeable(texts, parseGtkAccelerator)) {
                        keys(found->first, desktop + ": " + std::string(step.a));
                        return r;
                    }
                }
                break;
            case Source::SwitchDesktop:
                if (sources_.windowManager &&
                    sources_.windowManager->supports("_NET_CURRENT_DESKTOP")) {
                    r.way = Resolution::Way::SwitchDesktop;
                    r.step = step.n;
                    r.description =
                        std::string("the window manager: ") +
                        (step.n < 0 ? "the workspace on the left" : "the workspace on the right");
                    return r;
                }
                break;
            case Source::ShowDesktop:
                if (sources_.windowManager &&
                    sources_.windowManager->supports("_NET_SHOWING_DESKTOP")) {
                    r.way = Resolution::Way::ShowDesktop;
                    r.show = step.n != 0;
                    r.description = std::string("the window manager: ") +
                                    (r.show ? "show the desktop" : "leave the desktop view");
                    return r;
                }
                break;
            case Source::Key:
                keys(KeyChord{static_cast<ev::CGKeyCode>(step.n), step.flags}, "");
                return r;
        }
    }
    r.description = "nothing: no shortcut is set for it on " + desktop;
    return r;
}

bool DesktopActions::perform(std::string_view action, const KeysPoster& postKeys) {
    const Resolution r = resolve(action);
    const std::string what = [&] {
        const auto name = actionDescription(action);
        return "desktop action '" + std::string(name.empty() ? action : name) + "'";
    }();
    auto reportOnce = [&](const std::string& message) {
        if (reported_.insert(std::string(action)).second)
            systemLog(LogLevel::Notice, what + ": " + message);
    };
    if (systemLogEnabled(LogLevel::Debug))
        systemLog(LogLevel::Debug, what + ": " + r.description);
    auto located = [layout = sources_.layout](KeyChord chord) {
        if (layout)
            chord.keyCode = layout->locate(chord.keyCode);
        return chord;
    };
    switch (r.way) {
        case Resolution::Way::Keys:
            postKeys(located(r.keys));
            return true;
        case Resolution::Way::GlobalShortcut:
            sources_.globalShortcuts->invoke(
                r.component, r.shortcut,
                [what, fallback = r.fallbackKeys, postKeys, located](const std::string& error) {
                    if (error.empty())
                        return;
                    systemLog(
                        LogLevel::Warning,
                        what + ": KDE's global shortcut service did not run it (" + error +
                            (fallback ? "); typing " + describeKeyChord(*fallback) + " instead"
                                      : ")"));
                    if (fallback)
                        postKeys(located(*fallback));
                });
            return true;
        case Resolution::Way::SwitchDesktop:
            if (sources_.windowManager->switchDesktop(r.step))
                return true;
            if (systemLogEnabled(LogLevel::Debug))
                systemLog(LogLevel::Debug, what + ": no workspace there");
            return false;
        case Resolution::Way::ShowDesktop:
            if (sources_.windowManager->showDesktop(r.show))
                return true;
            reportOnce("the window manager refused it");
            return false;
        case Resolution::Way::Nothing:
            reportOnce(r.description);
            return false;
    }
    return false;
}

namespace {
DesktopActions* installed = nullptr;
}

void setDesktopActions(DesktopActions* actions) {
    installed = actions;
}

DesktopActions* desktopActions() {
    return installed;
}

std::unique_ptr<DesktopActions> makeSessionDesktopActions(RunLoop& loop,
                                                          const std::string& displayName) {
    DesktopSources sources;
    sources.kind = recogniseDesktopFromEnvironment();
    sources.files = std::make_shared<ShortcutFiles>(ShortcutFiles::fromEnvironment());
    sources.gnome = std::make_shared<GnomeSettings>();
    if (!displayName.empty()) {
        if (auto windowManager = WindowManager::connect(displayName))
            sources.windowManager = std::move(*windowManager);
        else
            systemLog(LogLevel::Warning, "desktop actions without the window manager: " +
                                             windowManager.error().detail);
        if (auto layout = KeyboardLayout::connect(displayName))
            sources.layout = std::move(*layout);
    }
    if (sources.kind == DesktopKind::Kde) {
        if (auto shortcuts = GlobalShortcutService::connect(loop))
            sources.globalShortcuts = std::move(*shortcuts);
        else
            systemLog(LogLevel::Warning,
                      "KDE's global shortcuts are not reachable (" + shortcuts.error().detail +
                          "); desktop actions use the keys of kglobalshortcutsrc");
    }
    return std::make_unique<DesktopActions>(std::move(sources));
}

}  // namespace platform::actions
