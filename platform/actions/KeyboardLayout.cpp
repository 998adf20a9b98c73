#include "platform/actions/KeyboardLayout.hpp"

#include <xcb/xcb.h>

#include <utility>

#include "platform/events/Translate.hpp"
#include "platform/events/XTestSink.hpp"
#include "platform/x11/XcbHandles.hpp"

namespace platform::actions {
namespace {

// The characters of the US layout's keys, by virtual key code.
constexpr std::pair<events::CGKeyCode, char> kUsCharacters[] = {
    {0, 'a'},   {1, 's'},  {2, 'd'},  {3, 'f'},  {4, 'h'},  {5, 'g'},   {6, 'z'},  {7, 'x'},
    {8, 'c'},   {9, 'v'},  {11, 'b'}, {12, 'q'}, {13, 'w'}, {14, 'e'},  {15, 'r'}, {16, 'y'},
    {17, 't'},  {18, '1'}, {19, '2'}, {20, '3'}, {21, '4'}, {22, '6'},  {23, '5'}, {24, '='},
    {25, '9'},  {26, '7'}, {27, '-'}, {28, '8'}, {29, '0'}, {30, ']'},  {31, 'o'}, {32, 'u'},
    {33, '['},  {34, 'i'}, {35, 'p'}, {37, 'l'}, {38, 'j'}, {39, '\''}, {40, 'k'}, {41, ';'},
    {42, '\\'}, {43, ','}, {44, '/'}, {45, 'n'}, {46, 'm'}, {47, '.'},  {50, '`'},
};

// X key codes are evdev codes plus 8 on every server that reads evdev
// devices (see docs/desktop.md).
constexpr int kEvdevOffset = 8;

std::optional<events::CGKeyCode> virtualKeyOfEvdev(std::uint16_t evdev) {
    // The lowest virtual key code of that evdev key.
    for (unsigned v = 0; v <= 0xFF; ++v) {
        if (events::evdevKeyCode(static_cast<events::CGKeyCode>(v)) == evdev)
            return static_cast<events::CGKeyCode>(v);
    }
    return std::nullopt;
}

}  // namespace

std::optional<char> usCharacter(events::CGKeyCode usKey) {
    for (const auto& [key, character] : kUsCharacters) {
        if (key == usKey)
            return character;
    }
    return std::nullopt;
}

std::optional<events::CGKeyCode> keyTyping(char character, std::span<const std::uint32_t> keysyms,
                                           int keysymsPerKeycode, int firstKeycode) {
    if (keysymsPerKeycode <= 0)
        return std::nullopt;
    // Printable ASCII characters are their own keysyms.
    const auto wanted = static_cast<std::uint32_t>(static_cast<unsigned char>(character));
    const std::size_t per = static_cast<std::size_t>(keysymsPerKeycode);
    for (std::size_t i = 0; i + per <= keysyms.size(); i += per) {
        if (keysyms[i] != wanted)
            continue;
        const int keycode = firstKeycode + static_cast<int>(i / per);
        if (keycode < kEvdevOffset)
            continue;
        if (auto key = virtualKeyOfEvdev(static_cast<std::uint16_t>(keycode - kEvdevOffset)))
            return key;
    }
    return std::nullopt;
}

struct KeyboardLayout::Connection {
    x11::ConnectionPtr c;
};

Result<std::shared_ptr<KeyboardLayout>> KeyboardLayout::connect(const std::string& displayName) {
    x11::ConnectionPtr c(xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), nullptr));
    if (const int code = xcb_connection_has_error(c.get()))
        return events::xConnectionError(code, displayName);
    auto connection = std::make_unique<Connection>();
    connection->c = std::move(c);
    return std::make_shared<KeyboardLayout>(Private{}, std::move(connection));
}

KeyboardLayout::KeyboardLayout(Private, std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

KeyboardLayout::~KeyboardLayout() = default;

events::CGKeyCode KeyboardLayout::locate(events::CGKeyCode usKey) {
    const auto character = usCharacter(usKey);
    xcb_connection_t* c = connection_->c.get();
    if (!character || xcb_connection_has_error(c))
        return usKey;
    const xcb_setup_t* setup = xcb_get_setup(c);
    const int first = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    x11::Reply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        c,
        xcb_get_keyboard_mapping(c, static_cast<xcb_keycode_t>(first),
                                 static_cast<std::uint8_t>(count)),
        nullptr));
    if (!reply)
        return usKey;
    const int length = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    if (length <= 0)
        return usKey;
    const std::span<const std::uint32_t> keysyms(xcb_get_keyboard_mapping_keysyms(reply.get()),
                                                 static_cast<std::size_t>(length));
    return keyTyping(*character, keysyms, reply->keysyms_per_keycode, first).value_or(usKey);
}

}  // namespace platform::actions
