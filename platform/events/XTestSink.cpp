#include "platform/events/XTestSink.hpp"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <poll.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

#include "platform/events/Translate.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/x11/XcbHandles.hpp"

namespace platform::events {
namespace {

static_assert(kXKeyPress == XCB_KEY_PRESS && kXKeyRelease == XCB_KEY_RELEASE &&
              kXButtonPress == XCB_BUTTON_PRESS && kXButtonRelease == XCB_BUTTON_RELEASE &&
              kXMotionNotify == XCB_MOTION_NOTIFY);

using x11::ConnectionPtr;
using x11::Reply;

// The keysym the server gives a key code (its first, unshifted one).
std::uint32_t keysymOf(xcb_connection_t* c, std::uint8_t keycode) {
    Reply<xcb_get_keyboard_mapping_reply_t> reply(
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, keycode, 1), nullptr));
    if (!reply || reply->keysyms_per_keycode == 0 ||
        xcb_get_keyboard_mapping_keysyms_length(reply.get()) < 1)
        return 0;
    return xcb_get_keyboard_mapping_keysyms(reply.get())[0];
}

}  // namespace

std::string xDisplayName(const std::string& displayName) {
    if (!displayName.empty())
        return displayName;
    const char* env = std::getenv("DISPLAY");
    return env ? env : "";
}

Error xConnectionError(int code, const std::string& displayName) {
    const std::string name = xDisplayName(displayName);
    if (name.empty())
        return {Reason::Unavailable, "no display (DISPLAY is not set)"};
    const std::string display = "display '" + name + "'";
    switch (code) {
        case XCB_CONN_CLOSED_PARSE_ERR:
            return {Reason::Malformed, display + " is not a valid display name"};
        case XCB_CONN_CLOSED_INVALID_SCREEN:
            return {Reason::Unavailable, display + " has no such screen"};
        case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
            return {Reason::Failed, "cannot connect to " + display + ": out of memory"};
        case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
            return {Reason::Unsupported,
                    "cannot connect to " + display + ": an extension it needs is missing"};
        default:
            return {Reason::Unavailable,
                    "cannot connect to " + display +
                        " (no X server answers there, or this user may not use it)"};
    }
}

Error xNoScreenError(const std::string& displayName, int screenNumber) {
    return {Reason::Unavailable, "display '" + xDisplayName(displayName) + "' has no screen " +
                                     std::to_string(screenNumber)};
}

struct XTestSink::Connection {
    ConnectionPtr connection;
    xcb_window_t root = 0;
    bool lost = false;
    bool unflushed = false;  // requests written to xcb's buffer, not yet sent
    // Errors are read from the main run loop as they arrive.
    FdSource source;
    // The last posted events by the sequence number of their first request,
    // so that an error the server sends later names the event it refused.
    struct Sent {
        std::uint32_t firstSequence = 0;
        CGEventType type = kCGEventNull;
    };
    std::array<Sent, 64> sent{};
    std::size_t nextSent = 0;

    // Kinds of refusal already said (error, request and event type).
    std::array<std::uint32_t, 32> refusals{};
    std::size_t refusalCount = 0;

    bool firstOfItsKind(std::uint32_t kind) {
        const auto said = std::span(refusals).first(refusalCount);
        if (std::find(said.begin(), said.end(), kind) != said.end())
            return false;
        if (refusalCount < refusals.size())
            refusals[refusalCount++] = kind;
        return true;
    }

    CGEventType typeOf(std::uint32_t sequence) const {
        // The newest event sent at or before the refused request.
        const Sent* best = nullptr;
        for (const Sent& s : sent) {
            if (s.firstSequence != 0 && s.firstSequence <= sequence &&
                (!best || s.firstSequence > best->firstSequence))
                best = &s;
        }
        return best ? best->type : kCGEventNull;
    }
};

Result<std::unique_ptr<XTestSink>> XTestSink::open(const ScreenGeometry& geometry,
                                                   const std::string& displayName) {
    int screenNumber = 0;
    ConnectionPtr c(
        xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber));
    if (const int code = xcb_connection_has_error(c.get()))
        return xConnectionError(code, displayName);
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c.get(), &xcb_test_id);
    if (!ext || !ext->present) {
        return Error{Reason::Unsupported, "the X server of display '" + xDisplayName(displayName) +
                                              "' has no XTEST extension"};
    }
    auto connection = std::make_unique<Connection>();
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem)
        return xNoScreenError(displayName, screenNumber);
    connection->root = it.data->root;

    // Key codes are evdev's plus 8; a server numbering its keys otherwise
    // (one without an evdev keymap) would type the wrong keys.
    constexpr std::uint32_t kKeysymA = 0x61, kKeysymLeft = 0xff51;
    if (keysymOf(c.get(), *xKeyCode(0)) != kKeysymA ||
        keysymOf(c.get(), *xKeyCode(123)) != kKeysymLeft) {
        systemLog(LogLevel::Warning,
                  "XTest: the keyboard of display '" + xDisplayName(displayName) +
                      "' does not number its keys as evdev does; keys may come out wrong");
    }
    connection->connection = std::move(c);
    return std::make_unique<XTestSink>(Private{}, std::move(connection), geometry);
}

XTestSink::XTestSink(Private, std::unique_ptr<Connection> connection,
                     const ScreenGeometry& geometry)
    : connection_(std::move(connection)), state_(geometry) {
    if (platform::hasMainRunLoop()) {
        connection_->source =
            platform::mainRunLoop().addFd(xcb_get_file_descriptor(connection_->connection.get()),
                                          POLLIN, [this](std::uint32_t) { collectErrors(true); });
    }
}

XTestSink::~XTestSink() {
    flush();
}

void XTestSink::setScreenGeometry(const ScreenGeometry& geometry) {
    state_.geometry = geometry;
}

void XTestSink::fail(const std::string& why, bool firstOfItsKind) {
    ++failedEvents_;
    // The first failure and then every thousandth, so a gone server cannot
    // flood the log.
    if (firstOfItsKind || failedEvents_ == 1 || failedEvents_ % 1000 == 0) {
        systemLog(LogLevel::Warning,
                  "XTest: " + why + " (" + std::to_string(failedEvents_) + " events lost)");
    }
}

void XTestSink::post(const CGEvent& event) {
    // Translated first, whatever the event: every event takes part in the
    // zoom's bookkeeping.
    translateForXTest(event, state_, input_);
    if (input_.empty()) {
        if (event.type == kCGEventGesture && !isMagnifyGesture(event)) {
            ++droppedGestures_;
            if (systemLogEnabled(LogLevel::Debug)) {
                systemLog(LogLevel::Debug,
                          "XTest: gesture event dropped (only magnify has an X form), " +
                              std::to_string(droppedGestures_) + " so far");
            }
        } else if (event.type != kCGEventGesture && systemLogEnabled(LogLevel::Debug)) {
            systemLog(LogLevel::Debug,
                      "XTest: event type " + std::to_string(event.type) + " has no X form");
        }
        return;
    }
    sendFakeInput(input_.items(), event.type);
}

void XTestSink::sendFakeInput(std::span<const FakeInput> requests, CGEventType origin) {
    if (requests.empty())
        return;
    xcb_connection_t* c = connection_->connection.get();
    if (connection_->lost || xcb_connection_has_error(c)) {
        connectionLost();
        fail("the connection to the X server is gone");
        return;
    }
    // Sent without waiting: the server's answer to a request it refuses is
    // an error that arrives later, read from the run loop.
    bool first = true;
    for (const FakeInput& f : requests) {
        const xcb_window_t root = f.type == kXMotionNotify ? connection_->root : XCB_NONE;
        const xcb_void_cookie_t cookie =
            xcb_test_fake_input(c, f.type, f.detail, XCB_CURRENT_TIME, root, f.x, f.y, XCB_NONE);
        if (first) {
            connection_->sent[connection_->nextSent] = {cookie.sequence, origin};
            connection_->nextSent = (connection_->nextSent + 1) % connection_->sent.size();
            first = false;
        }
    }
    connection_->unflushed = true;
    // Inside a batch the requests go out together when it ends.
    if (!postBatchOpen())
        flush();
    collectErrors(false);
}

void XTestSink::flush() {
    if (!connection_->unflushed || connection_->lost)
        return;
    connection_->unflushed = false;
    if (xcb_flush(connection_->connection.get()) <= 0) {
        connectionLost();
        fail("the connection to the X server is gone");
    }
}

bool XTestSink::sync() {
    flush();
    xcb_connection_t* c = connection_->connection.get();
    if (connection_->lost)
        return false;
    Reply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    collectErrors(false);
    if (!reply)
        connectionLost();
    return !connection_->lost;
}

void XTestSink::collectErrors(bool read) {
    if (connection_->lost)
        return;
    xcb_connection_t* c = connection_->connection.get();
    for (;;) {
        Reply<xcb_generic_event_t> event{read ? xcb_poll_for_event(c)
                                              : xcb_poll_for_queued_event(c)};
        if (!event)
            break;
        // Nothing else is asked for, but every client hears of keyboard
        // mapping changes; they are of no use here.
        if (event->response_type != 0)
            continue;
        const auto* error = reinterpret_cast<const xcb_generic_error_t*>(event.get());
        const CGEventType type = connection_->typeOf(error->full_sequence);
        // Each kind of refusal is said the first time it comes, whatever
        // failed before it.
        const std::uint32_t kind = std::uint32_t{error->error_code} |
                                   std::uint32_t{error->major_code} << 8 |
                                   std::uint32_t{error->minor_code} << 16 | type << 24;
        fail("the X server refused an event of type " + std::to_string(type) + " (error " +
                 std::to_string(error->error_code) + " for request " +
                 std::to_string(error->major_code) + "." + std::to_string(error->minor_code) + ")",
             connection_->firstOfItsKind(kind));
    }
    if (xcb_connection_has_error(c))
        connectionLost();
}

void XTestSink::connectionLost() {
    if (connection_->lost)
        return;
    connection_->lost = true;
    connection_->source.remove();
}

}  // namespace platform::events
