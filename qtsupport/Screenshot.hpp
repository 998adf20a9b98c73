// Screenshots for the programs with windows (--screenshot FILE).
#pragma once

#include <string>
#include <string_view>

class QWidget;

namespace tact {

// Saves the screen the window is on (the window itself when the screen
// cannot be read) as a PNG, and says so on standard output. False, with the
// reason in the system log, when it cannot be written.
bool saveScreenshot(QWidget& window, const std::string& path, std::string_view program);

}  // namespace tact
