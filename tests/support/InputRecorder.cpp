#include "tests/support/InputRecorder.hpp"

#include <poll.h>
#include <xcb/xinput.h>

#include <cstring>

// Only for the names of keysyms; Xlib comes after our own headers, as its
// macros would clash with their names.
#include <X11/Xlib.h>

namespace tact::test {
namespace {

using Clock = std::chrono::steady_clock;

// A 16-bit value at p, unaligned; the server writes in our byte order.
std::uint16_t read16(const char* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

std::string RawInput::text() const {
    std::string name;
    if (!key())
        name = "button" + std::to_string(detail);
    else if (!keysym.empty())
        name = keysym;
    else
        name = "key" + std::to_string(detail);
    return (press() ? "+" : "-") + name;
}

std::vector<std::string> texts(const std::vector<RawInput>& inputs, Releases releases) {
    std::vector<std::string> out;
    out.reserve(inputs.size());
    for (const auto& input : inputs) {
        if (releases == Releases::All || !input.unpaired)
            out.push_back(input.text());
    }
    return out;
}

InputRecorder::InputRecorder(const std::string& display) : client_(display) {
    xcb_connection_t* c = client_.get();
    if (!client_.ok()) {
        error_ = "cannot connect to " + display;
        return;
    }
    const xcb_query_extension_reply_t* xi = xcb_get_extension_data(c, &xcb_input_id);
    if (!xi || !xi->present) {
        error_ = display + " has no XInput extension";
        return;
    }
    xinputOpcode_ = xi->major_opcode;
    // From 2.1 on, raw events reach the root window even while another
    // client (the window manager, for its key bindings) holds a grab.
    XReply<xcb_input_xi_query_version_reply_t> version(
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
    if (!version || version->major_version < 2 ||
        (version->major_version == 2 && version->minor_version < 1)) {
        error_ = display + " does not speak XInput 2.1";
        return;
    }
    struct {
        xcb_input_event_mask_t head;
        std::uint32_t mask;
    } selection{};
    selection.head.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
    selection.head.mask_len = 1;
    selection.mask =
        XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE |
        XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE;
    XReply<xcb_generic_error_t> failed(xcb_request_check(
        c, xcb_input_xi_select_events_checked(c, client_.root(), 1, &selection.head)));
    if (failed) {
        error_ = display + " refused raw input events (error " +
                 std::to_string(failed->error_code) + ")";
        return;
    }
    readKeymap();
    readDevices();
}

const std::vector<RawInput>& InputRecorder::events() {
    client_.sync();
    drain();
    return events_;
}

const std::vector<RawInput>& InputRecorder::settle(std::chrono::milliseconds quiet,
                                                   std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    auto lastNews = Clock::now();
    while (client_.ok()) {
        if (drain())
            lastNews = Clock::now();
        const auto now = Clock::now();
        if (now - lastNews >= quiet || now >= deadline)
            break;
        pollfd fd{xcb_get_file_descriptor(client_.get()), POLLIN, 0};
        ::poll(&fd, 1, 10);
    }
    return events();
}

bool InputRecorder::drain() {
    bool any = false;
    while (XReply<xcb_generic_event_t> event{xcb_poll_for_event(client_.get())}) {
        handle(*event);
        any = true;
    }
    return any;
}

void InputRecorder::handle(const xcb_generic_event_t& event) {
    const std::uint8_t type = event.response_type & 0x7f;
    if (type == XCB_MAPPING_NOTIFY) {
        readKeymap();
        return;
    }
    if (type != XCB_GE_GENERIC)
        return;
    // Every field read here lies in the 32 bytes every event has.
    const auto& generic = reinterpret_cast<const xcb_ge_generic_event_t&>(event);
    if (generic.extension != xinputOpcode_)
        return;
    RawInput input{};
    switch (generic.event_type) {
        case XCB_INPUT_RAW_KEY_PRESS:
            input.kind = RawInput::Kind::KeyDown;
            break;
        case XCB_INPUT_RAW_KEY_RELEASE:
            input.kind = RawInput::Kind::KeyUp;
            break;
        case XCB_INPUT_RAW_BUTTON_PRESS:
            input.kind = RawInput::Kind::ButtonDown;
            break;
        case XCB_INPUT_RAW_BUTTON_RELEASE:
            input.kind = RawInput::Kind::ButtonUp;
            break;
        default:
            return;
    }
    // Key and button raw events share one layout.
    const auto& raw = reinterpret_cast<const xcb_input_raw_key_press_event_t&>(event);
    input.detail = raw.detail;
    if (input.key())
        input.keysym = keysymName(raw.detail);
    if (!devices_.contains(raw.sourceid))
        readDevices();
    auto device = devices_.find(raw.sourceid);
    input.device =
        device != devices_.end() ? device->second : "device " + std::to_string(raw.sourceid);
    const std::pair<std::uint16_t, std::uint32_t> control{
        raw.sourceid, input.key() ? raw.detail : raw.detail + 256};
    if (input.press())
        held_.insert(control);
    else
        input.unpaired = held_.erase(control) == 0;
    events_.push_back(std::move(input));
}

void InputRecorder::readKeymap() {
    xcb_connection_t* c = client_.get();
    const xcb_setup_t* setup = xcb_get_setup(c);
    const std::uint8_t first = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    if (count <= 0)
        return;
    XReply<xcb_get_keyboard_mapping_reply_t> r(xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, first, static_cast<std::uint8_t>(count)), nullptr));
    if (!r)
        return;
    const std::size_t perKey = r->keysyms_per_keycode;
    // The reply's length counts its keysyms (4 bytes each).
    if (perKey == 0 || r->length < perKey * static_cast<std::size_t>(count))
        return;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(r.get());
    keysyms_.clear();
    for (int i = 0; i < count; ++i)
        keysyms_[first + i] = keysyms[perKey * i];
}

std::string InputRecorder::keysymName(std::uint32_t keycode) const {
    auto found = keysyms_.find(keycode);
    if (found == keysyms_.end() || found->second == 0)
        return {};
    const char* name = XKeysymToString(found->second);
    return name ? name : std::string();
}

void InputRecorder::readDevices() {
    xcb_connection_t* c = client_.get();
    XReply<xcb_input_xi_query_device_reply_t> r(xcb_input_xi_query_device_reply(
        c, xcb_input_xi_query_device(c, XCB_INPUT_DEVICE_ALL), nullptr));
    if (!r)
        return;
    // Walk the device records ourselves, never past what the server sent:
    // each is 12 bytes, its name padded to 4 bytes, then its classes, each
    // saying its own length in 4-byte units.
    const char* base = reinterpret_cast<const char*>(r.get());
    const std::size_t end = 32 + std::size_t{r->length} * 4;
    std::size_t at = 32;
    for (int i = 0; i < r->num_infos; ++i) {
        if (at + 12 > end)
            return;
        const std::uint16_t id = read16(base + at);
        const std::uint16_t classes = read16(base + at + 6);
        const std::uint16_t nameLength = read16(base + at + 8);
        const std::size_t name = at + 12;
        if (name + nameLength > end)
            return;
        devices_[id] = std::string(base + name, nameLength);
        at = name + (nameLength + 3u) / 4 * 4;
        for (int k = 0; k < classes; ++k) {
            if (at + 4 > end)
                return;
            const std::uint16_t words = read16(base + at + 2);
            if (words == 0)
                return;
            at += std::size_t{words} * 4;
        }
    }
}

}  // namespace tact::test
