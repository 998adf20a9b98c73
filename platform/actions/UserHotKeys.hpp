// The user's own shortcuts for desktop actions, in the store the agent reads
// them from: "AppleSymbolicHotKeys" of the preferences domain
// "com.apple.symbolichotkeys", a dictionary keyed by action identifier
// ("79", "KeyCommandLeftbracket", ...). Each entry is
//
//   {"enabled": <bool>, "value": {"parameters": [<character>, <key>, <modifiers>]}}
//
// in the event service's codes: a virtual key code and a modifier mask
// (shift 0x20000, control 0x40000, alt 0x80000, super 0x100000). An enabled
// entry is typed instead of whatever the desktop would do; without an entry
// the desktop's own way applies. Writers synchronise the domain at once, so
// the agent sees the change on its next lookup.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/actions/syntax/KeyChord.hpp"

namespace platform::actions {

inline constexpr std::string_view kUserHotKeysDomain = "com.apple.symbolichotkeys";
inline constexpr std::string_view kUserHotKeysKey = "AppleSymbolicHotKeys";

// The character the store keeps beside the key: none (the agent types keys,
// not characters).
inline constexpr std::int64_t kNoCharacter = 65535;

struct UserHotKey {
    bool enabled = false;
    // The entry's keystroke; nullopt when the entry holds none the agent can
    // read (an entry that only turns the action off).
    std::optional<KeyChord> keys;
};

// The user's entry for action as the store holds it now; nullopt when there
// is none (or it is no dictionary).
std::optional<UserHotKey> userHotKey(std::string_view action);

// Stores keys as the action's enabled entry. False when the store cannot be
// saved (the reason is in the system log).
bool setUserHotKey(std::string_view action, const KeyChord& keys);

// Keeps the action's entry but turns it off ("enabled" false; the key stays
// for turning it on again). On a desktop the agent then does nothing for it.
bool turnOffUserHotKey(std::string_view action);

// Removes the action's entry: the desktop's own way applies again.
bool removeUserHotKey(std::string_view action);

}  // namespace platform::actions
