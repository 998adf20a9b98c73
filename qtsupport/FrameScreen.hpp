// The screen the touch frame covers, for the programs with windows: the
// output named by "ScreenOutput" in the shared preferences domain ("HDMI-1",
// as QScreen::name() reports it: the RandR monitor name on X11, the output
// name on Wayland). Without a stored name, or when that output is not
// connected, the primary screen serves, else the first. The agent picks its
// output by the same rule, so the calibrator's and the painter's window lie
// where the agent maps touches.
#pragma once

#include <QString>

class QScreen;
class QWidget;

namespace tact {

// The stored output name; empty when none is stored, or when what is stored
// is no text (noted in the system log). Reads what this process holds of the
// domain: the file as it was when first read or last synchronised.
QString storedScreenOutput();

// The screen called name; else the primary, else the first; nullptr when
// there is no screen at all.
QScreen* screenForOutput(const QString& name);

// screenForOutput(storedScreenOutput()).
QScreen* frameScreen();

// Puts a top-level window on screen, covering it: the window's screen, its
// position at the screen's top-left corner and its size the screen's (and
// never larger). Call it before the window is shown, so that the window
// system maps it there and a full-screen request fills that screen. Without a
// screen, or with an empty one, the window keeps its own place and size.
void coverScreen(QWidget& window, QScreen* screen);

}  // namespace tact
