// The sink for X11 sessions without a writable /dev/uinput: posted events go
// to the X server as fake input of its XTEST extension, on a connection of
// the sink's own (see docs/desktop.md).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/events/Events.hpp"
#include "platform/events/XTestTranslate.hpp"

namespace platform::events {

// The display a connection goes to: displayName, or DISPLAY when it is empty.
std::string xDisplayName(const std::string& displayName);
// Why connecting to that display failed, from xcb_connection_has_error's code.
std::string xConnectionError(int code, const std::string& displayName);

class XTestSink : public EventSink {
    struct Connection;
    struct Private {};

  public:
    // Connects to the display (DISPLAY when displayName is empty) to post
    // onto the geometry's main screen, in root window coordinates; nullptr
    // when no display is reachable or the server lacks XTEST, with the reason
    // in *error.
    static std::unique_ptr<XTestSink> open(const ScreenGeometry& geometry, std::string* error,
                                           const std::string& displayName = {});

    XTestSink(Private, std::unique_ptr<Connection> connection, const ScreenGeometry& geometry);
    ~XTestSink() override;
    XTestSink(const XTestSink&) = delete;
    XTestSink& operator=(const XTestSink&) = delete;

    // Sends the event's fake input and waits until the server has handled
    // it, so that the pointer is where the event put it when post returns.
    void post(const CGEvent& event) override;
    // Later positions go to this main screen.
    void setScreenGeometry(const ScreenGeometry& geometry) override;

    // Gesture events dropped: every gesture but magnify, which zooms.
    std::uint64_t droppedGestures() const { return droppedGestures_; }
    // Events the server refused or could not be sent (the connection is gone).
    std::uint64_t failedEvents() const { return failedEvents_; }

  private:
    void fail(const std::string& why);

    std::unique_ptr<Connection> connection_;
    XTestTranslationState state_;
    std::uint64_t droppedGestures_ = 0;
    std::uint64_t failedEvents_ = 0;
};

}  // namespace platform::events
