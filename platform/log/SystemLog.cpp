#include "platform/log/SystemLog.hpp"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

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

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isAlnum(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Kinds longer than this are cut: it bounds what one remembered kind costs.
constexpr std::size_t kKindBytes = 200;
constexpr std::uint64_t kInterval = 1'000'000'000;  // one second, in nanoseconds

std::uint64_t monotonicNanoseconds() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

// What is remembered of the kinds written lately: when each was last written,
// and how many of it were left out since.
class RateLimit {
  public:
    // Nothing when the entry is left out; else what to add to its line.
    std::optional<std::string> admit(const std::string& kind) {
        std::lock_guard guard(mutex_);
        const std::uint64_t now = clock_ ? clock_() : monotonicNanoseconds();
        auto it = kinds_.find(kind);
        if (it != kinds_.end())
            return pass(it->second, now, "like it");
        if (kinds_.size() >= kSystemLogKindLimit)
            forgetQuietKinds(now);
        if (kinds_.size() >= kSystemLogKindLimit) {
            // Too many kinds at once: the rest share one limit.
            if (!others_) {
                others_ = Entry{now, 0};
                return std::string();
            }
            return pass(*others_, now, "left out");
        }
        kinds_.emplace(kind, Entry{now, 0});
        // A new kind after the crowd has gone says what the crowd left out.
        if (others_ && !withinInterval(*others_, now)) {
            auto suffix = pass(*others_, now, "left out");
            others_.reset();
            return suffix;
        }
        return std::string();
    }

    void setClock(std::function<std::uint64_t()> clock) {
        std::lock_guard guard(mutex_);
        clock_ = std::move(clock);
        kinds_.clear();
        others_.reset();
    }

    std::size_t remembered() {
        std::lock_guard guard(mutex_);
        return kinds_.size();
    }

  private:
    struct Entry {
        std::uint64_t written;
        std::uint64_t leftOut;
    };

    static bool withinInterval(const Entry& e, std::uint64_t now) {
        return now >= e.written && now - e.written < kInterval;
    }

    static std::optional<std::string> pass(Entry& e, std::uint64_t now, const char* words) {
        if (withinInterval(e, now)) {
            ++e.leftOut;
            return std::nullopt;
        }
        std::string suffix;
        if (e.leftOut > 0)
            suffix = " (and " + std::to_string(e.leftOut) + " more " + words + ")";
        e = Entry{now, 0};
        return suffix;
    }

    // Kinds last written over a second ago limit nothing now. (One that left
    // entries out loses that count: its next entry no longer reports it.)
    void forgetQuietKinds(std::uint64_t now) {
        std::erase_if(kinds_, [now](const auto& k) { return !withinInterval(k.second, now); });
    }

    std::mutex mutex_;
    std::function<std::uint64_t()> clock_;
    std::unordered_map<std::string, Entry> kinds_;
    std::optional<Entry> others_;
};

RateLimit& rateLimit() {
    static RateLimit limit;
    return limit;
}

}  // namespace

std::string systemLogKind(std::string_view m) {
    std::string kind;
    kind.reserve(std::min(m.size(), kKindBytes));
    std::size_t i = 0;
    while (i < m.size() && kind.size() < kKindBytes) {
        const char c = m[i];
        const bool sign = (c == '-' || c == '+') && i + 1 < m.size() && isDigit(m[i + 1]) &&
                          (i == 0 || !isAlnum(m[i - 1]));
        if (isDigit(c) || sign) {
            // A number with what is glued to it: 42, -1.5, 0x5666, 1e-300, 3rd.
            if (sign)
                ++i;
            auto glued = [m](std::size_t j) {
                if (isAlnum(m[j]))
                    return true;
                const bool digitNext = j + 1 < m.size() && isDigit(m[j + 1]);
                const bool exponent =
                    (m[j] == '-' || m[j] == '+') && (m[j - 1] == 'e' || m[j - 1] == 'E');
                return digitNext && (m[j] == '.' || exponent);
            };
            while (i < m.size() && glued(i))
                ++i;
            kind += '#';
            continue;
        }
        if ((c == '\'' || c == '"') && (i == 0 || !isAlnum(m[i - 1]))) {
            // A quoted value; an apostrophe inside a word opens nothing.
            if (auto close = m.find(c, i + 1); close != std::string_view::npos) {
                kind += c;
                kind += c;
                i = close + 1;
                continue;
            }
        }
        kind += c;
        ++i;
    }
    return kind;
}

void setSystemLogClock(std::function<std::uint64_t()> clock) {
    rateLimit().setClock(std::move(clock));
}

std::size_t systemLogKindsRemembered() {
    return rateLimit().remembered();
}

void systemLog(LogLevel level, std::string_view message) {
    if (!systemLogEnabled(level))
        return;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.remove_suffix(1);
    }
    std::string suffix;
    if (static_cast<int>(level) <= static_cast<int>(LogLevel::Notice)) {
        auto admitted = rateLimit().admit(std::to_string(static_cast<int>(level)) + ' ' +
                                          systemLogKind(message));
        if (!admitted)
            return;
        suffix = std::move(*admitted);
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
    line += suffix;
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
