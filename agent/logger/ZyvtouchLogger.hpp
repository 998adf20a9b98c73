// The agent's diagnostic log. One shared logger writes either into the file
// the user chose in the pane or, while no file is open, into the system log at
// debug level (TACT_LOG_LEVEL=debug): per-step lines never reach the journal
// at the default level.
//
// Callers check that their category is wanted first and format only then:
//     if (logger.isEnabled(kLogTouches)) logger.writeLog(...);
// logf() does both in one call.
//
// Developer traces (byte dumps and the like) are another matter: they go to
// standard output, and only at debug level; see developerTrace().
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files/FileHandle.hpp"
#include "platform/log/SystemLog.hpp"

namespace tact {

// Categories of the type mask.
inline constexpr std::int32_t kLogOutOfRange =
    0x01;  // positions off the unit square, dropped gestures
inline constexpr std::int32_t kLogReserved = 0x02;  // part of the start-up mask only
inline constexpr std::int32_t kLogReports = 0x04;   // raw reports, report times, the header
inline constexpr std::int32_t kLogTouches = 0x08;   // arrivals, departures, per-touch bits
inline constexpr std::int32_t kLogStates = 0x10;    // touch-set summary, states, momentum
inline constexpr std::int32_t kLogGestures = 0x20;  // classification and posting
// The mask the converter sets when it starts.
inline constexpr std::int32_t kLogStartupMask = 0x22;

class ZyvtouchLogger {
  public:
    // The shared logger, created on first use; it lives until the process ends.
    static ZyvtouchLogger& shared();

    ZyvtouchLogger() = default;
    ZyvtouchLogger(const ZyvtouchLogger&) = delete;
    ZyvtouchLogger& operator=(const ZyvtouchLogger&) = delete;

    // With a path: closes the open file (if any), then opens the existing
    // regular file at path for writing from its start, neither creating nor
    // truncating it. A symbolic link, anything but a regular file, and the
    // agent's preferences file or its lock (by any name) are refused with a
    // warning. When that fails no file is open. Without a path: nothing
    // changes.
    void setLogFile(const std::optional<std::string>& path);

    void setLogTypeMask(std::int32_t mask) { _type_mask = mask; }
    std::int32_t getLogTypeMask() const { return _type_mask; }
    // The category is in the mask and its lines go somewhere: into the open
    // file, or into the system log when that takes debug entries.
    bool isEnabled(std::int32_t category) const;

    // Writes one message as it is (no time stamp, no line break added). While
    // a file is open, a message with any byte outside ASCII is dropped;
    // without a file it is a debug entry of the system log.
    void writeLog(std::string_view message);

    // printf-style: formats and writes only when category is enabled.
    void logf(std::int32_t category, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Plain properties.
    std::int32_t type_mask() const { return _type_mask; }
    void setType_mask(std::int32_t mask) { _type_mask = mask; }
    const std::optional<std::string>& logURL() const { return _logURL; }
    void setLogURL(std::optional<std::string> url) { _logURL = std::move(url); }
    bool hasLogFile() const { return _logFD.has_value(); }

    // While set, the entries this logger would write into the system log go
    // here instead, with their level (tests read them here): the same entries,
    // at the same levels, none rate-limited or reformatted. An empty function
    // sends them to the system log again.
    using Sink = std::function<void(platform::LogLevel, std::string_view)>;
    void setSink(Sink sink) { _sink = std::move(sink); }

  private:
    void systemLog(platform::LogLevel level, std::string_view message) const;

    std::int32_t _type_mask = 0;
    std::optional<std::string> _logURL;
    std::optional<platform::FileHandle> _logFD;
    Sink _sink;
};

// Developer traces: printf-style lines on standard output, written only when
// the system log takes debug entries. developerTrace() checks that before it
// formats; check developerTracesEnabled() first where building the arguments
// costs something.
bool developerTracesEnabled();
void developerTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Time since system start in nanoseconds (the clock of the gesture events).
std::uint64_t tl_uptime();

}  // namespace tact
