#include "platform/actions/UserHotKeys.hpp"

#include <cstdint>
#include <limits>

#include "platform/prefs/Preferences.hpp"
#include "platform/values/Value.hpp"

namespace platform::actions {
namespace {

namespace ev = platform::events;

constexpr ev::CGEventFlags kModifiers = ev::kCGEventFlagMaskShift | ev::kCGEventFlagMaskControl |
                                        ev::kCGEventFlagMaskAlternate | ev::kCGEventFlagMaskCommand;

const String& domain() {
    static const String d(kUserHotKeysDomain);
    return d;
}

// The whole dictionary as stored now (after reading the file again); empty
// when there is none.
Dictionary storedEntries() {
    CFPreferencesAppSynchronize(domain());
    const auto value = CFPreferencesCopyAppValue(String(kUserHotKeysKey), domain());
    if (value && value->asDictionary())
        return *value->asDictionary();
    return {};
}

bool store(Dictionary entries) {
    CFPreferencesSetAppValue(String(kUserHotKeysKey), Value(std::move(entries)), domain());
    return CFPreferencesAppSynchronize(domain());
}

// A number the store may hold as an integer or as a real with no fraction.
std::optional<std::int64_t> wholeNumber(const Value& v) {
    if (auto i = v.asInteger())
        return *i;
    if (auto d = v.asReal()) {
        if (*d >= -9.2e18 && *d <= 9.2e18 &&
            static_cast<double>(static_cast<std::int64_t>(*d)) == *d)
            return static_cast<std::int64_t>(*d);
    }
    return std::nullopt;
}

std::optional<KeyChord> keysOf(const Dictionary& entry) {
    const Dictionary* value = entry.dictionary("value");
    const Value* found = value ? value->find("parameters") : nullptr;
    const Array* parameters = found ? found->asArray() : nullptr;
    if (!parameters || parameters->size() < 3)
        return std::nullopt;
    const auto key = wholeNumber((*parameters)[1]);
    const auto mask = wholeNumber((*parameters)[2]);
    if (!key || !mask || *key < 0 || *key > std::numeric_limits<std::uint16_t>::max())
        return std::nullopt;
    return KeyChord{static_cast<ev::CGKeyCode>(*key),
                    static_cast<ev::CGEventFlags>(*mask) & kModifiers};
}

Dictionary entryFor(bool enabled, const std::optional<KeyChord>& keys) {
    Dictionary entry{{"enabled", enabled}};
    if (keys) {
        entry.set(
            "value",
            Dictionary{{"parameters",
                        Array{Value(kNoCharacter), Value(std::int64_t{keys->keyCode}),
                              Value(static_cast<std::int64_t>(keys->modifiers & kModifiers))}},
                       {"type", "standard"}});
    }
    return entry;
}

}  // namespace

std::optional<UserHotKey> userHotKey(std::string_view action) {
    const Dictionary entries = storedEntries();
    const Value* found = entries.find(String(action));
    const Dictionary* entry = found ? found->asDictionary() : nullptr;
    if (!entry)
        return std::nullopt;
    return UserHotKey{entry->boolean("enabled") == true, keysOf(*entry)};
}

bool setUserHotKey(std::string_view action, const KeyChord& keys) {
    Dictionary entries = storedEntries();
    entries.set(String(action), entryFor(true, keys));
    return store(std::move(entries));
}

bool turnOffUserHotKey(std::string_view action) {
    Dictionary entries = storedEntries();
    const Value* found = entries.find(String(action));
    const Dictionary* entry = found ? found->asDictionary() : nullptr;
    entries.set(String(action), entryFor(false, entry ? keysOf(*entry) : std::nullopt));
    return store(std::move(entries));
}

bool removeUserHotKey(std::string_view action) {
    Dictionary entries = storedEntries();
    if (!entries.erase(String(action)))
        return true;
    return store(std::move(entries));
}

}  // namespace platform::actions
