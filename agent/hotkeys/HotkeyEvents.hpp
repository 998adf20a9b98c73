// Keystroke sequences for desktop actions. An action is turned into the
// keyboard events the desktop or the frontmost application already answers
// to: the user's symbolic hot key for the action when one is enabled, else a
// built-in key for the few actions that have one. A sequence is modifiers
// down, the main key down and up, modifiers up; callers post it in order at
// the HID event tap.
//
// The hot keys are read from the preference "AppleSymbolicHotKeys" of the
// domain "com.apple.symbolichotkeys"; every call sees the file as it is then
// (the preferences read it again only when it changed). Run-loop thread
// only.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "platform/actions/UserHotKeys.hpp"
#include "platform/events/Events.hpp"

namespace tact {

using platform::events::CGEventFlags;
using platform::events::CGKeyCode;

// Action identifiers. The numeric ones are the numbers the desktop stores its
// symbolic hot keys under.
inline constexpr std::string_view kTLEventActionExposeAll = "32";
inline constexpr std::string_view kTLEventActionExposeApplication = "33";
inline constexpr std::string_view kTLEventActionExposeDesktop = "36";
inline constexpr std::string_view kTLEventActionDashboard = "62";
inline constexpr std::string_view kTLEventActionDictionary = "70";
inline constexpr std::string_view kTLEventActionSpaces = "75";
inline constexpr std::string_view kTLEventActionControlLeft = "79";
inline constexpr std::string_view kTLEventActionControlRight = "81";
inline constexpr std::string_view kTLEventActionLaunchPad = "160";
inline constexpr std::string_view kTLEventActionNotityCenter = "163";
inline constexpr std::string_view KTLEventActionEscapeExposeDesktop = "177";
inline constexpr std::string_view kTLEventActionNextPage = "00";
inline constexpr std::string_view KTLEventActionEscape = "Escape";
inline constexpr std::string_view kTLEventActionCommandLeftbracket = "KeyCommandLeftbracket";
inline constexpr std::string_view kTLEventActionCommandRightbracket = "KeyCommandRightbracket";
inline constexpr std::string_view kTLEventActionLeftArrow = "KeyLeftArrow";
inline constexpr std::string_view kTLEventActionRightArrow = "KeyRightArrow";
inline constexpr std::string_view kTLEventActionUpArrow = "KeyUpArrow";
inline constexpr std::string_view kTLEventActionDownArrow = "KeyDownArrow";

// Where the symbolic hot keys live.
// (The settings write the same store: platform/actions/UserHotKeys.hpp.)
inline constexpr std::string_view kTLSymbolicHotKeysDomain = platform::actions::kUserHotKeysDomain;
inline constexpr std::string_view kTLSymbolicHotKeysKey = platform::actions::kUserHotKeysKey;

// An ordered list of keyboard events, owned by the caller.
using CGEventSequence = std::vector<platform::events::CGEventRef>;

// The keystrokes for action, or nullopt when it has neither an enabled hot
// key nor a built-in key.
std::optional<CGEventSequence> tl_CGEventSequenceCreateForAction(std::string_view action);

// True when an enabled, well-formed hot key for action was found; then both
// outputs are written. Both pointers must be non-null (a null pointer is a
// programming error and stops the program).
bool tl_CGEventSequenceGetParametersForAction(std::string_view action, CGKeyCode* primaryKeyCodePtr,
                                              CGEventFlags* modifiersPtr);

// Appends the modifier key events of mask, pressed or released. Shift comes
// first either way.
void tl_CGEventSequenceAppendModifiers(CGEventSequence& sequence, CGEventFlags mask, bool down);

// Appends the key-down event of keyCode (with flags matching mask) and its
// key-up event.
void tl_CGEventSequenceAppendKeypress(CGEventSequence& sequence, CGKeyCode keyCode,
                                      CGEventFlags mask);

// The keystrokes of one key with modifiers: modifiers down, the key down and
// up, modifiers up.
CGEventSequence tl_CGEventSequenceCreateForKeys(CGKeyCode keyCode, CGEventFlags modifiers);

// Carries out action: posts its keystrokes in order at the HID event tap.
// With desktop actions installed (a real desktop, see
// platform/actions/DesktopActions.hpp) an action without a stored hot key is
// done the desktop's way instead of by its built-in key. False when nothing
// could be done. Keystrokes go to events.
bool tl_PostActionSequence(std::string_view action, platform::events::EventService& events =
                                                        platform::events::processEventService());

}  // namespace tact
