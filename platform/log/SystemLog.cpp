#include "platform/log/SystemLog.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {
namespace {

LogLevel levelFromEnvironment() {
    const char* env = std::getenv("TACT_LOG_LEVEL");
    if (!env)
        return LogLevel::Info;
    std::string s(env);
    if (s == "debug")
        return LogLevel::Debug;
    if (s == "notice")
        return LogLevel::Notice;
    if (s == "warning")
        return LogLevel::Warning;
    if (s == "error")
        return LogLevel::Error;
    return LogLevel::Info;
}

std::atomic<int>& thresholdSlot() {
    static std::atomic<int> slot{static_cast<int>(levelFromEnvironment())};
    return slot;
}

std::string& identifier() {
    static std::string id = program_invocation_short_name ? program_invocation_short_name : "";
    return id;
}

// The journal understands "<N>" priority prefixes on a service's standard
// error; JOURNAL_STREAM names the stream it connected, so only use them then.
bool stderrIsJournal() {
    static const bool journal = [] {
        const char* env = std::getenv("JOURNAL_STREAM");
        if (!env)
            return false;
        unsigned long dev = 0, ino = 0;
        if (std::sscanf(env, "%lu:%lu", &dev, &ino) != 2)
            return false;
        struct stat st {};
        return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
    }();
    return journal;
}

const char* levelWord(LogLevel level) {
    switch (level) {
        case LogLevel::Debug:
            return "debug";
        case LogLevel::Info:
            return "info";
        case LogLevel::Notice:
            return "notice";
        case LogLevel::Warning:
            return "warning";
        case LogLevel::Error:
            return "error";
    }
    return "";
}

void writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // nowhere else to report it
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void systemLog(LogLevel level, std::string_view message) {
    if (!systemLogEnabled(level))
        return;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.remove_suffix(1);
    }
    std::string line;
    line.reserve(message.size() + 32);
    if (stderrIsJournal()) {
        line += '<';
        line += std::to_string(static_cast<int>(level));
        line += '>';
    } else {
        line += identifier();
        line += ": ";
        if (level != LogLevel::Info) {
            line += levelWord(level);
            line += ": ";
        }
    }
    for (char c : message)
        line += (c == '\n' || c == '\r') ? ' ' : c;
    line += '\n';
    writeAll(STDERR_FILENO, line);
}

void setSystemLogLevel(LogLevel level) {
    thresholdSlot().store(static_cast<int>(level));
}

LogLevel systemLogLevel() {
    return static_cast<LogLevel>(thresholdSlot().load());
}

bool systemLogEnabled(LogLevel level) {
    return static_cast<int>(level) <= thresholdSlot().load(std::memory_order_relaxed);
}

void setSystemLogIdentifier(std::string_view id) {
    identifier() = std::string(id);
}

}  // namespace platform
