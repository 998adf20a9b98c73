// The applications with windows on the X display now, by the WM_CLASS class
// of their windows, for choosing one without knowing its class by heart.
#pragma once

#include <QStringList>

namespace tact::applications {

// The window classes of the window manager's client list on the display
// DISPLAY names, sorted, each once; empty without an X display (Wayland
// without Xwayland clients) or a window manager that publishes the list.
QStringList runningApplicationClasses();

}  // namespace tact::applications
