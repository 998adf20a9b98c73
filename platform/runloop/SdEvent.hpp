// Inside the platform layer only: the sd-event loop under a real run loop, so
// other platform parts (sd-bus, sd-device) can attach to the same loop.
#pragma once

#include "platform/runloop/RunLoop.hpp"

#include <systemd/sd-event.h>

namespace platform {

// The sd-event loop of a real run loop; nullptr for a virtual loop. The loop
// keeps its reference; callers that hold on to it take their own.
sd_event* sdEventOf(RunLoop& loop);

}  // namespace platform
