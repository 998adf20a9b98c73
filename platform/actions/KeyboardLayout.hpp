// Where a character's key is on the keyboard layout in use. Desktops bind
// shortcuts to characters ("<Super>a"), while keys are typed by position:
// on an AZERTY layout the key that types "a" is the one a US layout calls
// "q". The X server's keymap (Xorg's, or Xwayland's, which follows the
// compositor) says which key types which character.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/events/Events.hpp"
#include "platform/values/Error.hpp"

namespace platform::actions {

class KeyboardLayout {
    struct Connection;
    struct Private {};

  public:
    // An error when the display cannot be reached.
    static Result<std::shared_ptr<KeyboardLayout>> connect(const std::string& displayName);

    KeyboardLayout(Private, std::unique_ptr<Connection> connection);
    ~KeyboardLayout();
    KeyboardLayout(const KeyboardLayout&) = delete;
    KeyboardLayout& operator=(const KeyboardLayout&) = delete;

    // The key that types what usKey types on a US layout, by the server's
    // keymap as it is now. Keys that type no character (arrows, function
    // keys, modifiers), characters the layout has on no key, and a server
    // that does not answer keep usKey.
    events::CGKeyCode locate(events::CGKeyCode usKey);

  private:
    std::unique_ptr<Connection> connection_;
};

// The pure part: the character usKey types on a US layout (nothing for keys
// that type none), and the key whose unshifted keysym is that character in
// a keymap given as keysymsPerKeycode keysyms for each key code from
// firstKeycode on.
std::optional<char> usCharacter(events::CGKeyCode usKey);
std::optional<events::CGKeyCode> keyTyping(char character, std::span<const std::uint32_t> keysyms,
                                           int keysymsPerKeycode, int firstKeycode);

}  // namespace platform::actions
