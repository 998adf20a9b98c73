// The sink for X11 sessions without a writable /dev/uinput: posted events go
// to the X server as fake input of its XTEST extension, on a connection of
// the sink's own (see docs/desktop.md).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/events/Events.hpp"
#include "platform/events/XTestTranslate.hpp"
#include "platform/values/Error.hpp"

namespace platform::events {

// The display a connection goes to: displayName, or DISPLAY when it is empty.
std::string xDisplayName(const std::string& displayName);
// Why connecting to that display failed, from xcb_connection_has_error's code.
Error xConnectionError(int code, const std::string& displayName);
// The display has fewer screens than the one its name asks for.
Error xNoScreenError(const std::string& displayName, int screenNumber);

class XTestSink : public EventSink {
    struct Connection;
    struct Private {};

  public:
    // Connects to the display (DISPLAY when displayName is empty) to post
    // onto the geometry's main screen, in root window coordinates; an error
    // when no display is reachable or the server lacks XTEST.
    static Result<std::unique_ptr<XTestSink>> open(const ScreenGeometry& geometry,
                                                   const std::string& displayName = {});

    XTestSink(Private, std::unique_ptr<Connection> connection, const ScreenGeometry& geometry);
    ~XTestSink() override;
    XTestSink(const XTestSink&) = delete;
    XTestSink& operator=(const XTestSink&) = delete;

    // Sends the event's fake input without waiting for the server. Inside a
    // PostBatch the requests go out when the batch ends (flush), else at
    // once. A request the server refuses comes back as an error later: it is
    // read from the main run loop (when one is installed at open) or with
    // the next post or sync, counted in failedEvents and logged.
    void post(const CGEvent& event) override;
    void flush() override;
    // Sends what is kept back and waits until the server has handled it
    // (one round trip), then takes in its errors. False once the connection
    // is gone. For callers that must see the effect of what they posted.
    bool sync();
    // Sends the requests as they stand, on behalf of an event of type
    // origin (named when the server refuses one); post translates into them.
    void sendFakeInput(std::span<const FakeInput> requests, CGEventType origin);
    // Later positions go to this main screen.
    void setScreenGeometry(const ScreenGeometry& geometry) override;

    // Gesture events dropped: every gesture but magnify, which zooms.
    std::uint64_t droppedGestures() const { return droppedGestures_; }
    // Events the server refused or could not be sent (the connection is gone).
    std::uint64_t failedEvents() const { return failedEvents_; }

  private:
    // Counts a lost event and says why: the first time, every thousandth
    // time, and whenever firstOfItsKind.
    void fail(const std::string& why, bool firstOfItsKind = false);
    void connectionLost();
    // Errors the server sent: those xcb has queued, and with read, what has
    // arrived on the connection.
    void collectErrors(bool read);

    std::unique_ptr<Connection> connection_;
    XTestTranslationState state_;
    FakeInputs input_;  // the event being posted
    std::uint64_t droppedGestures_ = 0;
    std::uint64_t failedEvents_ = 0;
};

}  // namespace platform::events
