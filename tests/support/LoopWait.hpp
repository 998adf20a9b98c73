// Waiting on a real run loop in a test: run it until a condition holds or a
// time limit passes, checking every few milliseconds.
#pragma once

#include <chrono>
#include <functional>

#include "platform/runloop/RunLoop.hpp"

namespace tact::test {

// Runs the loop until done() holds; false after the time limit.
inline bool runLoopUntil(platform::RunLoop& loop, const std::function<bool()>& done,
                         std::chrono::milliseconds limit = std::chrono::seconds(10),
                         double tickSeconds = 0.002) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto check = loop.addTimer(0, tickSeconds, [&](platform::Timer&) {
        if (done()) {
            loop.stop(0);
        } else if (std::chrono::steady_clock::now() > deadline) {
            loop.stop(1);
        }
    });
    return loop.run() == 0;
}

// Runs the loop for about that long.
inline void runLoopFor(platform::RunLoop& loop, std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    runLoopUntil(
        loop, [&] { return std::chrono::steady_clock::now() >= end; },
        span + std::chrono::seconds(5));
}

}  // namespace tact::test
