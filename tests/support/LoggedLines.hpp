// What a diagnostic logger sent towards the system log while one of these
// lives: read in the test, never written to standard error. The logger's own
// rules still decide what is written (its mask, the system log's level).
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "agent/logger/ZyvtouchLogger.hpp"

namespace tact::test {

class LoggedLines {
  public:
    struct Entry {
        platform::LogLevel level;
        std::string message;
    };

    explicit LoggedLines(ZyvtouchLogger& logger) : logger_(logger) {
        logger_.setSink([this](platform::LogLevel level, std::string_view message) {
            entries.push_back({level, std::string(message)});
        });
    }
    ~LoggedLines() { logger_.setSink({}); }
    LoggedLines(const LoggedLines&) = delete;
    LoggedLines& operator=(const LoggedLines&) = delete;

    // Every message in order, each on a line of its own.
    std::string text() const {
        std::string all;
        for (const Entry& e : entries) {
            all += e.message;
            if (!e.message.ends_with('\n'))
                all += '\n';
        }
        return all;
    }
    bool contains(std::string_view part) const {
        return std::any_of(entries.begin(), entries.end(), [part](const Entry& e) {
            return e.message.find(part) != std::string::npos;
        });
    }

    std::vector<Entry> entries;

  private:
    ZyvtouchLogger& logger_;
};

}  // namespace tact::test
