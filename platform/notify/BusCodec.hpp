// Notifications in sd-bus messages: the body of the Notification signal,
// (name, object, userInfo) with signature ssa{sv}. Internal to platform/notify.
//
// Values travel as: string s (or aq, see below), boolean b, integer x,
// floating d, dictionary a{sv}, array av, data ay. Strings are sequences of
// UTF-16 code units; one that a D-Bus string cannot hold (U+0000, a lone
// surrogate, or a noncharacter sd-bus refuses) travels as aq, its code units in
// order. Readers also take every D-Bus integer type, any array of supported
// values, and dictionaries of any value type with string keys; contents they
// cannot represent (object paths, signatures, structures, descriptors) are
// left out with a debug log entry.
#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>
#include <optional>
#include <string>

#include "platform/notify/NotificationCenter.hpp"
#include "platform/values/Value.hpp"

namespace platform::buscodec {

inline constexpr const char* kPath = "/com/vostrabaxworks/DistributedNotificationCenter";
inline constexpr const char* kInterface = "com.vostrabaxworks.DistributedNotificationCenter";
inline constexpr const char* kMember = "Notification";
inline constexpr const char* kSignature = "ssa{sv}";

// The deepest nesting of dictionaries and arrays a notification may carry,
// counting the user information dictionary itself as level 1; a variant
// directly inside a variant counts as a level too. Each dictionary level takes
// three D-Bus containers (array, entry, variant), and the bus daemon
// disconnects a client that sends a message nested more than 64 containers
// deep, so 20 levels is what always travels. Deeper content is refused on
// both sides.
inline constexpr int kMaxDepth = 20;

// The most bytes of text and data one notification may carry: its name and
// object, every key, string (UTF-8 or aq) and data block, counted as they
// travel. Together with the keys per dictionary and elements per array of
// platform/values/Limits.hpp, this bounds what reading one message costs.
// Senders and receivers refuse a notification over a limit as a whole.
inline constexpr std::size_t kMaxTextBytes = 1u << 20;

// The string as a JSON string literal, for log entries: exact, and free of
// control characters.
std::string quoted(const String& s);

// True when the string can travel as a D-Bus string (s).
bool travelsAsText(const String& s);

// Appends the whole body: name, object, user info (empty a{sv} when none).
// An error when a string or key cannot travel, the nesting is too deep, a
// dictionary or array holds more than the limits allow, the text and data
// exceed kMaxTextBytes or sd-bus refuses; the message is then unusable.
Status appendNotification(sd_bus_message* m, const String& name, const String& object,
                          const std::optional<Dictionary>& userInfo);

// Reads the body of a Notification signal from the start of the message. An
// empty dictionary comes back as no user information. An error for a wrong
// signature, malformed or too deeply nested contents, or contents over a
// limit (more keys or elements than platform/values/Limits.hpp allows, more
// than kMaxTextBytes of text and data). Going over a limit is also a warning
// in the system log, naming the notification, its sender and the limit;
// reading stops there.
Result<Notification> readNotification(sd_bus_message* m);

}  // namespace platform::buscodec
