#include "agent/logger/ZyvtouchLogger.hpp"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>

#include "common/PreferenceKeys.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/Clock.hpp"

namespace tact {

ZyvtouchLogger& ZyvtouchLogger::shared() {
    static std::atomic<ZyvtouchLogger*> slot{nullptr};
    if (ZyvtouchLogger* existing = slot.load(std::memory_order_acquire))
        return *existing;
    auto mine = std::make_unique<ZyvtouchLogger>();
    ZyvtouchLogger* expected = nullptr;
    if (slot.compare_exchange_strong(expected, mine.get(), std::memory_order_acq_rel)) {
        return *mine.release();  // published: lives for the whole process
    }
    return *expected;  // another caller won; ours is released here
}

void ZyvtouchLogger::systemLog(platform::LogLevel level, std::string_view message) const {
    if (!_sink) {
        platform::systemLog(level, message);
    } else if (platform::systemLogEnabled(level)) {
        _sink(level, message);
    }
}

void ZyvtouchLogger::setLogFile(const std::optional<std::string>& path) {
    if (!path)
        return;
    _logFD.reset();
    platform::FileHandle::OpenError error;
    auto handle = platform::FileHandle::openExistingForWriting(*path, &error);
    if (!handle) {
        // A missing file is the settings program's business (it creates the
        // file); a link or something that is no file is somebody's mistake.
        if (error.kind == platform::FileHandle::OpenError::Kind::Failed) {
            systemLog(platform::LogLevel::Debug,
                      "log file " + *path + " not opened (" + error.reason + ")");
        } else {
            systemLog(platform::LogLevel::Warning,
                      "log file " + *path + " refused: " + error.reason);
        }
        return;
    }
    // The log is written over the file from its start: never over the
    // agent's own settings, whatever name they are reached by.
    const std::string settings = platform::preferencesPath(platform::String(kZyvTouchSetting));
    for (const std::string& own : {settings, settings + ".lock"}) {
        if (handle->isSameFileAs(own)) {
            systemLog(platform::LogLevel::Warning,
                      "log file " + *path + " refused: it is the settings file " + own);
            return;
        }
    }
    _logFD = std::move(handle);
}

bool ZyvtouchLogger::isEnabled(std::int32_t category) const {
    if ((_type_mask & category) == 0)
        return false;
    return _logFD.has_value() || platform::systemLogEnabled(platform::LogLevel::Debug);
}

void ZyvtouchLogger::writeLog(std::string_view message) {
    if (_logFD) {
        bool ascii = std::all_of(message.begin(), message.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (ascii)
            (void)_logFD->write(message);  // write errors are not reported
        return;
    }
    systemLog(platform::LogLevel::Debug, message);
}

void ZyvtouchLogger::logf(std::int32_t category, const char* format, ...) {
    if (!isEnabled(category))
        return;
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        va_end(again);
        writeLog(std::string_view(small, static_cast<std::size_t>(n)));
        return;
    }
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, again);
    va_end(again);
    writeLog(std::string_view(big.data(), static_cast<std::size_t>(n)));
}

bool developerTracesEnabled() {
    return platform::systemLogEnabled(platform::LogLevel::Debug);
}

void developerTrace(const char* format, ...) {
    if (!developerTracesEnabled())
        return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

std::uint64_t tl_uptime() {
    static const platform::Timebase timebase = platform::hostTimebase();
    return platform::hostTicks() * timebase.numer / timebase.denom;
}

}  // namespace tact
