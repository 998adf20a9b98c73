#include "platform/actions/DesktopKind.hpp"
#include "platform/values/Text.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>

namespace platform::actions {
namespace {

using text::equalsIgnoringCase;

std::optional<DesktopKind> fromName(std::string_view name) {
    struct Known {
        std::string_view name;
        DesktopKind kind;
    };
    static constexpr Known kKnown[] = {
        {"GNOME", DesktopKind::Gnome},
        {"GNOME-Classic", DesktopKind::Gnome},
        {"GNOME-Flashback", DesktopKind::Gnome},
        {"KDE", DesktopKind::Kde},
        {"plasma", DesktopKind::Kde},
        {"plasmawayland", DesktopKind::Kde},
        {"XFCE", DesktopKind::Xfce},
        {"xubuntu", DesktopKind::Xfce},
    };
    for (const auto& known : kKnown) {
        if (equalsIgnoringCase(name, known.name))
            return known.kind;
    }
    return std::nullopt;
}

// The first name of a colon-separated list that is one of ours.
std::optional<DesktopKind> fromList(std::string_view list) {
    while (!list.empty()) {
        const auto colon = list.find(':');
        if (auto kind = fromName(list.substr(0, colon)))
            return kind;
        if (colon == std::string_view::npos)
            break;
        list.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

}  // namespace

DesktopKind recogniseDesktop(std::string_view currentDesktop, std::string_view desktopSession) {
    if (auto kind = fromList(currentDesktop))
        return *kind;
    if (auto kind = fromList(desktopSession))
        return *kind;
    return DesktopKind::Other;
}

DesktopKind recogniseDesktopFromEnvironment() {
    const char* current = std::getenv("XDG_CURRENT_DESKTOP");
    const char* session = std::getenv("DESKTOP_SESSION");
    return recogniseDesktop(current ? current : "", session ? session : "");
}

std::string_view desktopName(DesktopKind kind) {
    switch (kind) {
        case DesktopKind::Gnome:
            return "GNOME";
        case DesktopKind::Kde:
            return "KDE Plasma";
        case DesktopKind::Xfce:
            return "Xfce";
        case DesktopKind::Other:
            break;
    }
    return "another desktop";
}

}  // namespace platform::actions
