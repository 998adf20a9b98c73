#include "platform/actions/WindowManager.hpp"

#include <algorithm>
#include <cstring>
#include <span>

#include "platform/events/XTestSink.hpp"
#include "platform/x11/XcbHandles.hpp"

namespace platform::actions {

using x11::Reply;

struct WindowManager::Connection {
    x11::ConnectionPtr c;
    xcb_window_t root = XCB_NONE;

    // The CARDINAL or ATOM values of a root window property (at most 1024).
    std::vector<std::uint32_t> rootValues(std::string_view property) {
        const xcb_atom_t atom = x11::internAtom(c.get(), property, true);
        if (atom == XCB_NONE)
            return {};
        Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            c.get(), xcb_get_property(c.get(), 0, root, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
            nullptr));
        if (!reply || reply->format != 32)
            return {};
        const int length = xcb_get_property_value_length(reply.get());
        if (length <= 0)
            return {};
        std::vector<std::uint32_t> values(static_cast<std::size_t>(length) / 4);
        std::memcpy(values.data(), xcb_get_property_value(reply.get()), values.size() * 4);
        return values;
    }

    // A client message to the root window, as EWMH requests are sent.
    bool request(std::string_view type, std::span<const std::uint32_t> data) {
        const xcb_atom_t atom = x11::internAtom(c.get(), type);
        if (atom == XCB_NONE)
            return false;
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = root;
        event.type = atom;
        std::copy_n(data.begin(), std::min<std::size_t>(data.size(), 5), event.data.data32);
        const auto cookie = xcb_send_event_checked(
            c.get(), 0, root,
            XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
            reinterpret_cast<const char*>(&event));
        Reply<xcb_generic_error_t> error(xcb_request_check(c.get(), cookie));
        return !error && !xcb_connection_has_error(c.get());
    }
};

Result<std::shared_ptr<WindowManager>> WindowManager::connect(const std::string& displayName) {
    int screenNumber = 0;
    x11::ConnectionPtr c(
        xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber));
    if (const int code = xcb_connection_has_error(c.get()))
        return events::xConnectionError(code, displayName);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem)
        return events::xNoScreenError(displayName, screenNumber);
    auto connection = std::make_unique<Connection>();
    connection->root = it.data->root;
    connection->c = std::move(c);
    return std::make_shared<WindowManager>(Private{}, std::move(connection));
}

WindowManager::WindowManager(Private, std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

WindowManager::~WindowManager() = default;

bool WindowManager::supports(std::string_view hint) {
    const xcb_atom_t atom = x11::internAtom(connection_->c.get(), hint, true);
    if (atom == XCB_NONE)
        return false;
    const auto supported = connection_->rootValues("_NET_SUPPORTED");
    return std::find(supported.begin(), supported.end(), atom) != supported.end();
}

std::optional<int> WindowManager::currentDesktop() {
    const auto values = connection_->rootValues("_NET_CURRENT_DESKTOP");
    if (values.empty() || values[0] > 1'000'000)
        return std::nullopt;
    return static_cast<int>(values[0]);
}

std::optional<int> WindowManager::desktopCount() {
    const auto values = connection_->rootValues("_NET_NUMBER_OF_DESKTOPS");
    if (values.empty() || values[0] > 1'000'000)
        return std::nullopt;
    return static_cast<int>(values[0]);
}

bool WindowManager::switchDesktop(int step) {
    if (!supports("_NET_CURRENT_DESKTOP"))
        return false;
    const auto current = currentDesktop();
    const auto count = desktopCount();
    if (!current || !count)
        return false;
    const long target = static_cast<long>(*current) + step;
    if (target < 0 || target >= *count)
        return false;
    const std::uint32_t data[] = {static_cast<std::uint32_t>(target), XCB_CURRENT_TIME};
    return connection_->request("_NET_CURRENT_DESKTOP", data);
}

bool WindowManager::showDesktop(bool show) {
    if (!supports("_NET_SHOWING_DESKTOP"))
        return false;
    const std::uint32_t data[] = {show ? 1u : 0u};
    return connection_->request("_NET_SHOWING_DESKTOP", data);
}

}  // namespace platform::actions
