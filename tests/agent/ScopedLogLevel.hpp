// Sets the system log's level for one scope (a test, a fixture) and puts the
// one before back when the scope ends.
#pragma once

#include "platform/log/SystemLog.hpp"

namespace tact::test {

class ScopedLogLevel {
  public:
    explicit ScopedLogLevel(platform::LogLevel level) : previous_(platform::systemLogLevel()) {
        platform::setSystemLogLevel(level);
    }
    ~ScopedLogLevel() { platform::setSystemLogLevel(previous_); }
    ScopedLogLevel(const ScopedLogLevel&) = delete;
    ScopedLogLevel& operator=(const ScopedLogLevel&) = delete;

  private:
    platform::LogLevel previous_;
};

}  // namespace tact::test
