#include "platform/runloop/Embedding.hpp"

#include <cstring>
#include <string>

#include "platform/log/SystemLog.hpp"
#include "platform/runloop/SdEvent.hpp"

namespace platform {

int embeddableFd(RunLoop& loop) {
    sd_event* event = sdEventOf(loop);
    if (!event)
        return -1;
    int fd = sd_event_get_fd(event);
    return fd >= 0 ? fd : -1;
}

EmbeddedDispatch dispatchReady(RunLoop& loop, int maxDispatches) {
    sd_event* event = sdEventOf(loop);
    if (!event)
        return EmbeddedDispatch::Failed;
    // Called from inside one of the loop's own callbacks (the host ran a
    // nested event loop): the outer dispatch finishes the round.
    const int state = sd_event_get_state(event);
    if (state == SD_EVENT_FINISHED)
        return EmbeddedDispatch::Failed;
    if (state != SD_EVENT_INITIAL)
        return EmbeddedDispatch::Busy;

    for (int done = 0; done < maxDispatches; ++done) {
        // prepare arms the timers and reports work that needs no waiting;
        // wait with a zero timeout collects what the descriptors have.
        int r = sd_event_prepare(event);
        if (r == 0)
            r = sd_event_wait(event, 0);
        if (r < 0) {
            systemLog(LogLevel::Error, std::string("run loop: polling the embedded loop failed: ") +
                                           std::strerror(-r));
            return EmbeddedDispatch::Failed;
        }
        if (r == 0)
            return EmbeddedDispatch::Idle;
        r = sd_event_dispatch(event);
        if (r < 0) {
            systemLog(LogLevel::Error,
                      std::string("run loop: dispatching the embedded loop failed: ") +
                          std::strerror(-r));
            return EmbeddedDispatch::Failed;
        }
    }
    return EmbeddedDispatch::MoreReady;
}

}  // namespace platform
