// The system log: one line per entry on standard error. When standard error is
// the journal's stream (a user service), each line carries its priority prefix.
#pragma once

#include <string_view>

namespace platform {

enum class LogLevel { Debug = 7, Info = 6, Notice = 5, Warning = 4, Error = 3 };

// Writes one entry. A trailing line break is dropped; line breaks inside the
// message become spaces, so one entry is always one line.
void systemLog(LogLevel level, std::string_view message);

// Entries below this level are dropped. Default Info; TACT_LOG_LEVEL=debug
// (or info, notice, warning, error) in the environment sets it at start.
void setSystemLogLevel(LogLevel level);
LogLevel systemLogLevel();
bool systemLogEnabled(LogLevel level);

// The name written in front of every entry; the program's name by default.
void setSystemLogIdentifier(std::string_view identifier);

}  // namespace platform
