#include "platform/events/XTestSink.hpp"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <vector>

#include "platform/events/Translate.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/x11/XcbHandles.hpp"

namespace platform::events {
namespace {

static_assert(kXKeyPress == XCB_KEY_PRESS && kXKeyRelease == XCB_KEY_RELEASE &&
              kXButtonPress == XCB_BUTTON_PRESS && kXButtonRelease == XCB_BUTTON_RELEASE &&
              kXMotionNotify == XCB_MOTION_NOTIFY);

using x11::ConnectionPtr;
using x11::Reply;

void setError(std::string* error, std::string message) {
    if (error)
        *error = std::move(message);
}

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

std::string xConnectionError(int code, const std::string& displayName) {
    const std::string name = xDisplayName(displayName);
    if (name.empty())
        return "no display (DISPLAY is not set)";
    const std::string display = "display '" + name + "'";
    switch (code) {
        case XCB_CONN_CLOSED_PARSE_ERR:
            return display + " is not a valid display name";
        case XCB_CONN_CLOSED_INVALID_SCREEN:
            return display + " has no such screen";
        case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
            return "cannot connect to " + display + ": out of memory";
        case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
            return "cannot connect to " + display + ": an extension it needs is missing";
        default:
            return "cannot connect to " + display +
                   " (no X server answers there, or this user may not use it)";
    }
}

struct XTestSink::Connection {
    ConnectionPtr connection;
    xcb_window_t root = 0;
    bool lost = false;
};

std::unique_ptr<XTestSink> XTestSink::open(const ScreenGeometry& geometry, std::string* error,
                                           const std::string& displayName) {
    int screenNumber = 0;
    ConnectionPtr c(
        xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber));
    if (const int code = xcb_connection_has_error(c.get())) {
        setError(error, xConnectionError(code, displayName));
        return nullptr;
    }
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c.get(), &xcb_test_id);
    if (!ext || !ext->present) {
        setError(error, "the X server of display '" + xDisplayName(displayName) +
                            "' has no XTEST extension");
        return nullptr;
    }
    auto connection = std::make_unique<Connection>();
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem) {
        setError(error, "display '" + xDisplayName(displayName) + "' has no screen " +
                            std::to_string(screenNumber));
        return nullptr;
    }
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
    : connection_(std::move(connection)), state_(geometry) {}

XTestSink::~XTestSink() = default;

void XTestSink::setScreenGeometry(const ScreenGeometry& geometry) {
    state_.geometry = geometry;
}

void XTestSink::fail(const std::string& why) {
    ++failedEvents_;
    // The first failure and then every thousandth, so a gone server cannot
    // flood the log.
    if (failedEvents_ == 1 || failedEvents_ % 1000 == 0) {
        systemLog(LogLevel::Warning,
                  "XTest: " + why + " (" + std::to_string(failedEvents_) + " events lost)");
    }
}

void XTestSink::post(const CGEvent& event) {
    // Translated first, whatever the event: every event takes part in the
    // zoom's bookkeeping.
    const std::vector<FakeInput> input = translateForXTest(event, state_);
    if (input.empty()) {
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
    xcb_connection_t* c = connection_->connection.get();
    if (connection_->lost || xcb_connection_has_error(c)) {
        connection_->lost = true;
        fail("the connection to the X server is gone");
        return;
    }
    std::vector<xcb_void_cookie_t> cookies;
    cookies.reserve(input.size());
    for (const FakeInput& f : input) {
        const xcb_window_t root = f.type == kXMotionNotify ? connection_->root : XCB_NONE;
        cookies.push_back(xcb_test_fake_input_checked(c, f.type, f.detail, XCB_CURRENT_TIME, root,
                                                      f.x, f.y, XCB_NONE));
    }
    // The first check waits for the server to handle every request sent;
    // the others are answered at once.
    bool refused = false;
    for (const xcb_void_cookie_t& cookie : cookies) {
        if (Reply<xcb_generic_error_t> err{xcb_request_check(c, cookie)}) {
            refused = true;
            if (systemLogEnabled(LogLevel::Debug)) {
                systemLog(LogLevel::Debug, "XTest: the server refused a request (error " +
                                               std::to_string(err->error_code) + ")");
            }
        }
    }
    // Nothing is asked for, but every client hears of keyboard mapping
    // changes; they are of no use here.
    while (Reply<xcb_generic_event_t> ignored{xcb_poll_for_queued_event(c)}) {
    }
    if (xcb_connection_has_error(c)) {
        connection_->lost = true;
        fail("the connection to the X server is gone");
    } else if (refused) {
        fail("the X server refused an event of type " + std::to_string(event.type));
    }
}

}  // namespace platform::events
