// What both loops do when a callback throws: the program ends. Internal to
// platform/runloop.
#pragma once

namespace platform::runloop_detail {

// Logs the exception being handled, naming what threw it ("a timer callback",
// "posted work"), and ends the program. Call it only from a
// catch handler.
[[noreturn]] void endOnCallbackException(const char* kind) noexcept;

// Runs one callback of a loop. An exception from it ends the program: the
// callback stopped part way (a report cycle half handled, a timer half
// re-armed) and nothing can tell what it left undone, so running on would act
// on half-updated state. The user service starts the agent again.
template <class Callback>
void runCallback(const char* kind, Callback&& callback) noexcept {
    try {
        callback();
    } catch (...) {
        endOnCallbackException(kind);
    }
}

}  // namespace platform::runloop_detail
