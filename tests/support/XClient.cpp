#include "tests/support/XClient.hpp"

#include <cstring>
#include <thread>

namespace tact::test {

XClient::XClient(const std::string& display)
    // An empty name would mean $DISPLAY: never the test's own server.
    : connection_(display.empty() ? nullptr : xcb_connect(display.c_str(), nullptr)) {
    if (!connection_ || xcb_connection_has_error(get()))
        return;
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(get())).data;
}

xcb_atom_t XClient::atom(const std::string& name) {
    if (auto found = atoms_.find(name); found != atoms_.end())
        return found->second;
    XReply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        get(), xcb_intern_atom(get(), 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr));
    if (!r)
        return XCB_NONE;
    atoms_.emplace(name, r->atom);
    return r->atom;
}

std::optional<XClient::Property> XClient::property(xcb_window_t window, const std::string& name,
                                                   xcb_atom_t type, std::uint8_t format) {
    if (!ok())
        return std::nullopt;
    // 64 KiB words is far more than any property a test reads.
    constexpr std::uint32_t kMaxWords = 1 << 16;
    XReply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        get(), xcb_get_property(get(), 0, window, atom(name), type, 0, kMaxWords), nullptr));
    if (!r || r->type == XCB_NONE || r->format != format ||
        (type != XCB_GET_PROPERTY_TYPE_ANY && r->type != type))
        return std::nullopt;
    // What the server sent after the fixed part, against what it says it sent.
    const std::size_t received = std::size_t{r->length} * 4;
    const std::size_t claimed = std::size_t{r->value_len} * (format / 8);
    if (claimed > received)
        return std::nullopt;
    const char* value = static_cast<const char*>(xcb_get_property_value(r.get()));
    Property p{std::move(r), {}};
    p.value = std::string_view(value, claimed);
    return p;
}

std::optional<std::vector<std::uint32_t>> XClient::words(xcb_window_t window,
                                                         const std::string& property,
                                                         xcb_atom_t type) {
    auto p = this->property(window, property, type, 32);
    if (!p)
        return std::nullopt;
    std::vector<std::uint32_t> out(p->value.size() / 4);
    std::memcpy(out.data(), p->value.data(), out.size() * 4);
    return out;
}

std::optional<std::uint32_t> XClient::word(xcb_window_t window, const std::string& property,
                                           xcb_atom_t type) {
    auto w = words(window, property, type);
    if (!w || w->empty())
        return std::nullopt;
    return w->front();
}

std::optional<std::string> XClient::bytes(xcb_window_t window, const std::string& property) {
    auto p = this->property(window, property, XCB_GET_PROPERTY_TYPE_ANY, 8);
    if (!p)
        return std::nullopt;
    return std::string(p->value);
}

void XClient::sync() {
    if (!ok())
        return;
    XReply<xcb_get_input_focus_reply_t> r(
        xcb_get_input_focus_reply(get(), xcb_get_input_focus(get()), nullptr));
}

}  // namespace tact::test
