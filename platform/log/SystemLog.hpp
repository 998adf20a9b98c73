// The system log: one line per entry on standard error. When standard error is
// the journal's stream (a user service), each line carries its priority prefix.
//
// Notices, warnings and errors are rate-limited by kind: the same kind is
// written at most once a second, and the next entry of that kind written after
// a second in which more came says how many were left out ("... (and 1234
// more like it)"). The kind is the message with its numbers and quoted values
// taken out, so "control LogTrigger ignored: unexpected real value" and
// "device 3: cannot read 'hidraw3'" each form one kind whatever the values.
// Debug and info entries are never limited: debug is off unless asked for,
// and info entries are few and written on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
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

// The rate limit's clock, in nanoseconds that never decrease; an empty
// function restores the monotonic clock. Setting it forgets every kind seen.
void setSystemLogClock(std::function<std::uint64_t()> clock);

// The kind a message is limited by (see above).
std::string systemLogKind(std::string_view message);

// At most this many kinds are remembered. When that many were all written
// within the last second, entries of further kinds share one limit of their
// own, and the entry that reports what it left out says "(and N more left out)".
inline constexpr std::size_t kSystemLogKindLimit = 256;
// How many kinds are remembered now.
std::size_t systemLogKindsRemembered();

}  // namespace platform
