// Running a real run loop inside another program's event loop (a toolkit's,
// for the applications with windows). The host watches one descriptor for
// reading; whenever it is readable, or when dispatchReady() said more work is
// ready, the host calls dispatchReady(), which runs what is due without ever
// blocking. Timers, descriptor sources, posted work and the bus connection all
// wake the host through that one descriptor.
#pragma once

#include <optional>

#include "platform/runloop/RunLoop.hpp"

namespace platform {

// The descriptor the host watches for reading; -1 when the loop cannot be
// embedded (the virtual loop, or a real loop that failed to start).
int embeddableFd(RunLoop& loop);

enum class EmbeddedDispatch {
    Idle,       // nothing left to run now; wait for the descriptor
    MoreReady,  // stopped after maxDispatches: call again soon, without waiting
    Busy,       // called from inside one of the loop's callbacks: try again later
    Failed      // not an embeddable loop, or the loop broke (logged)
};

// Runs, without blocking, up to maxDispatches callbacks that are ready now,
// then arms the loop's timers so that the descriptor wakes the host when the
// next one is due.
EmbeddedDispatch dispatchReady(RunLoop& loop, int maxDispatches = 64);

// An embedded loop never runs run(), so a stop() asked of it (a stop signal
// of a loop made with stopOnSignals, or the program's own call) is the host's
// to carry out: the code given to stop(), once; nullopt when none is pending.
std::optional<int> takeStopRequest(RunLoop& loop);

}  // namespace platform
