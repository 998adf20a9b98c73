// A test's own connection to an X server: atoms, property reads that never
// trust the lengths the server sends, round trips. The connection closes
// (and the server destroys every window it created) when the object goes.
#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/x11/XcbHandles.hpp"
#include "tests/support/Subprocess.hpp"

namespace tact::test {

// A reply or event from xcb, freed with free() as xcb wants.
template <class T>
using XReply = platform::x11::Reply<T>;

class XClient {
  public:
    // Connects to display (":N"); an empty name connects nowhere.
    explicit XClient(const std::string& display);
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    bool ok() const { return screen_ != nullptr && !xcb_connection_has_error(get()); }
    xcb_connection_t* get() const { return connection_.get(); }
    xcb_window_t root() const { return screen_ ? screen_->root : XCB_NONE; }
    const xcb_screen_t* screen() const { return screen_; }

    // The atom of that name, created when missing; remembered.
    xcb_atom_t atom(const std::string& name);

    // A property of 32-bit items (CARDINAL, WINDOW, ATOM...) of the type
    // given; nothing when it is missing, of another type or format, or
    // when the reply is shorter than it claims.
    std::optional<std::vector<std::uint32_t>> words(xcb_window_t window,
                                                    const std::string& property, xcb_atom_t type);
    std::optional<std::uint32_t> word(xcb_window_t window, const std::string& property,
                                      xcb_atom_t type);
    // A property of 8-bit items of any type (STRING, UTF8_STRING), as bytes.
    std::optional<std::string> bytes(xcb_window_t window, const std::string& property);

    // Waits until the server has handled every request sent so far.
    void sync();

  private:
    struct Property {
        XReply<xcb_get_property_reply_t> reply;
        std::string_view value;
    };
    std::optional<Property> property(xcb_window_t window, const std::string& name, xcb_atom_t type,
                                     std::uint8_t format);

    platform::x11::ConnectionPtr connection_;
    const xcb_screen_t* screen_ = nullptr;
    std::map<std::string, xcb_atom_t> atoms_;
};

}  // namespace tact::test
