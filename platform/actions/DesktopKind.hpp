// Which desktop this session runs: GNOME (and desktops built on GNOME Shell
// or mutter's settings), KDE Plasma, Xfce, or another one.
#pragma once

#include <string_view>

namespace platform::actions {

enum class DesktopKind { Gnome, Kde, Xfce, Other };

// From XDG_CURRENT_DESKTOP's colon-separated names ("ubuntu:GNOME", "KDE",
// "XFCE"), else from DESKTOP_SESSION ("gnome", "plasma", "xfce"); Other
// when neither names one of the three.
DesktopKind recogniseDesktop(std::string_view currentDesktop, std::string_view desktopSession);
DesktopKind recogniseDesktopFromEnvironment();

// "GNOME", "KDE Plasma", "Xfce", "another desktop".
std::string_view desktopName(DesktopKind kind);

}  // namespace platform::actions
