// The match rules the bus centre asks the bus daemon for. Internal to
// platform/notify (and its tests).
#pragma once

#include <string>

#include "platform/values/Value.hpp"

namespace platform::notify_detail {

// Every Notification signal, whatever its name and object.
std::string notificationMatchRule();

// Notification signals of exactly this name and object (arg0, arg1), values
// quoted as match rules quote them: in apostrophes, with an apostrophe written
// as '\'' (close, escaped apostrophe, reopen). Empty when a rule cannot carry
// them: a name that is not plain text, or a rule over the daemon's 1024 bytes.
std::string notificationMatchRule(const String& name, const String& object);

}  // namespace platform::notify_detail
