#include "agent/hotkeys/HotkeyEvents.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/actions/DesktopActions.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/values/Value.hpp"

namespace tact {

namespace ev = platform::events;

namespace {

// Virtual key codes of the left-hand modifier keys.
constexpr CGKeyCode kKeyLeftShift = 56;
constexpr CGKeyCode kKeyLeftControl = 59;
constexpr CGKeyCode kKeyLeftOption = 58;
constexpr CGKeyCode kKeyLeftCommand = 55;

// Device bits of the left-hand modifier keys.
constexpr CGEventFlags kLeftControlBit = 0x1;
constexpr CGEventFlags kLeftShiftBit = 0x2;
constexpr CGEventFlags kLeftCommandBit = 0x8;
constexpr CGEventFlags kLeftOptionBit = 0x20;

constexpr CGEventFlags kShift = ev::kCGEventFlagMaskShift;
constexpr CGEventFlags kControl = ev::kCGEventFlagMaskControl;
constexpr CGEventFlags kOption = ev::kCGEventFlagMaskAlternate;
constexpr CGEventFlags kCommand = ev::kCGEventFlagMaskCommand;
constexpr CGEventFlags kNonCoalesced = ev::kCGEventFlagMaskNonCoalesced;

constexpr CGEventFlags kControlDownFlags = kControl | kNonCoalesced | kLeftControlBit;  // 0x40101
constexpr CGEventFlags kCommandDownFlags = kCommand | kNonCoalesced | kLeftCommandBit;  // 0x100108
constexpr CGEventFlags kControlCommandDownFlags =
    kControl | kCommand | kNonCoalesced | kLeftControlBit | kLeftCommandBit;  // 0x140109
constexpr CGEventFlags kModifierUpFlags = kNonCoalesced;

// A broken caller, not bad input: report it the way an assertion would and stop.
void requireArgument(bool holds, const char* function, const char* condition) {
    if (holds)
        return;
    std::fprintf(stderr, "HotkeyEvents: %s: Assertion `%s' failed\n", function, condition);
    std::fflush(stderr);
    std::abort();
}

// An integer, or a real that holds an integer, within [lo, hi].
std::optional<std::int64_t> integralNumber(const platform::Value& v, std::int64_t lo,
                                           std::int64_t hi) {
    if (auto i = v.asInteger()) {
        if (*i < lo || *i > hi)
            return std::nullopt;
        return *i;
    }
    if (auto d = v.asReal()) {
        // 2^63 is exactly representable; every integral double below it fits.
        constexpr double kTwo63 = 9223372036854775808.0;
        if (!(*d >= -kTwo63 && *d < kTwo63) || std::trunc(*d) != *d)
            return std::nullopt;
        auto i = static_cast<std::int64_t>(*d);
        if (i < lo || i > hi)
            return std::nullopt;
        return i;
    }
    return std::nullopt;
}

struct BuiltInKey {
    std::string_view action;
    CGKeyCode keyCode;
    CGEventFlags modifiers;
};

constexpr BuiltInKey kBuiltInKeys[] = {
    {kTLEventActionDictionary, 2, kControl | kCommand},
    {kTLEventActionControlLeft, 123, kControl},
    {kTLEventActionControlRight, 124, kControl},
    {kTLEventActionLaunchPad, 131, 0},
    {KTLEventActionEscapeExposeDesktop, 103, 0},
    {KTLEventActionEscape, 53, 0},
    {kTLEventActionCommandLeftbracket, 33, kCommand},
    {kTLEventActionCommandRightbracket, 30, kCommand},
    {kTLEventActionLeftArrow, 123, 0},
    {kTLEventActionRightArrow, 124, 0},
    {kTLEventActionUpArrow, 126, 0},
    {kTLEventActionDownArrow, 125, 0},
};

bool has(CGEventFlags mask, CGEventFlags bits) {
    return (mask & bits) == bits;
}

// Flags of the main key's key-down event: the first combination that matches.
CGEventFlags keyDownFlags(CGEventFlags mask) {
    if (has(mask, kControl | kCommand | kShift))
        return kShift | kControl | kCommand | kNonCoalesced | kLeftShiftBit | kLeftControlBit |
               kLeftCommandBit;
    if (has(mask, kControl | kCommand | kOption))
        return kControl | kOption | kCommand | kNonCoalesced | kLeftControlBit | kLeftOptionBit |
               kLeftCommandBit;
    if (has(mask, kControl | kOption))
        return kControl | kOption | kNonCoalesced | kLeftControlBit | kLeftOptionBit;
    if (has(mask, kControl | kCommand))
        return kControlCommandDownFlags;
    if (has(mask, kCommand | kShift))
        return kCommand | kShift | kNonCoalesced | kLeftCommandBit | kLeftShiftBit;
    if (has(mask, kControl))
        return kControlDownFlags;
    if (has(mask, kCommand))
        return kCommandDownFlags;
    if (has(mask, kShift))
        return kShift | kNonCoalesced | kLeftShiftBit;
    return 0;
}

void appendKey(CGEventSequence& sequence, const ev::CGEventSourceRef& source, CGKeyCode key,
               bool down, std::optional<CGEventFlags> flags) {
    auto event = ev::CGEventCreateKeyboardEvent(source, key, down);
    if (!event)
        return;
    if (flags)
        ev::CGEventSetFlags(event, *flags);
    sequence.push_back(std::move(event));
}

// The user's hot keys as the preferences hold them now. Synchronising is
// cheap while the file is unchanged (nothing is read), and the value is
// copied again only when the domain changed: a table of a few hundred
// entries is then not copied for every action.
const platform::Value* currentHotKeys() {
    static const platform::String domain(kTLSymbolicHotKeysDomain);
    static const platform::String key(kTLSymbolicHotKeysKey);
    static std::uint64_t copiedAt = 0;  // generation of the domain when copied
    static std::optional<platform::Value> hotKeys;
    platform::CFPreferencesAppSynchronize(domain);
    if (const auto generation = platform::preferencesGeneration(domain); generation != copiedAt) {
        hotKeys = platform::CFPreferencesCopyAppValue(key, domain);
        copiedAt = generation;
    }
    return hotKeys ? &*hotKeys : nullptr;
}

// The user's entry for action, if the stored hot keys have one.
const platform::Dictionary* userEntry(std::string_view action) {
    const platform::Value* hotKeys = currentHotKeys();
    if (!hotKeys || !hotKeys->isDictionary())
        return nullptr;
    const platform::Value* entryValue = hotKeys->asDictionary()->find(platform::String(action));
    return entryValue ? entryValue->asDictionary() : nullptr;
}

const platform::String kEnabledKey("enabled");

// The key and modifiers of an enabled entry; false for none, one turned off
// or one whose parameters cannot be read.
bool parametersOf(const platform::Dictionary* entry, CGKeyCode* keyCodePtr,
                  CGEventFlags* modifiersPtr) {
    static const platform::String kValue("value");
    static const platform::String kParameters("parameters");
    if (!entry || entry->boolean(kEnabledKey) != true)
        return false;

    const platform::Dictionary* value = entry->dictionary(kValue);
    const platform::Value* parametersValue = value ? value->find(kParameters) : nullptr;
    const platform::Array* parameters = parametersValue ? parametersValue->asArray() : nullptr;
    if (!parameters || parameters->size() < 3)
        return false;

    auto keyCode = integralNumber((*parameters)[1], std::numeric_limits<std::int16_t>::min(),
                                  std::numeric_limits<std::int16_t>::max());
    auto modifiers = integralNumber((*parameters)[2], std::numeric_limits<std::int64_t>::min(),
                                    std::numeric_limits<std::int64_t>::max());
    if (!keyCode || !modifiers)
        return false;

    *keyCodePtr = static_cast<CGKeyCode>(static_cast<std::int16_t>(*keyCode));
    *modifiersPtr = static_cast<CGEventFlags>(*modifiers);
    return true;
}

}  // namespace

bool tl_CGEventSequenceGetParametersForAction(std::string_view action, CGKeyCode* primaryKeyCodePtr,
                                              CGEventFlags* modifiersPtr) {
    requireArgument(primaryKeyCodePtr != nullptr, __func__, "primaryKeyCodePtr != NULL");
    requireArgument(modifiersPtr != nullptr, __func__, "modifiersPtr != NULL");
    return parametersOf(userEntry(action), primaryKeyCodePtr, modifiersPtr);
}

void tl_CGEventSequenceAppendModifiers(CGEventSequence& sequence, CGEventFlags mask, bool down) {
    auto source = ev::CGEventSourceCreate(ev::kCGEventSourceStateHIDSystemState);

    if (mask & kShift)
        appendKey(sequence, source, kKeyLeftShift, down, std::nullopt);

    if (has(mask, kControl | kCommand)) {
        // Both modifiers travel together: left control, then left command,
        // each carrying the combined flags.
        const CGEventFlags flags = down ? kControlCommandDownFlags : kModifierUpFlags;
        appendKey(sequence, source, kKeyLeftControl, down, flags);
        appendKey(sequence, source, kKeyLeftCommand, down, flags);
        return;
    }

    if (mask & kControl)
        appendKey(sequence, source, kKeyLeftControl, down,
                  down ? kControlDownFlags : kModifierUpFlags);
    if (mask & kOption)
        appendKey(sequence, source, kKeyLeftOption, down, std::nullopt);
    if (mask & kCommand)
        appendKey(sequence, source, kKeyLeftCommand, down,
                  down ? kCommandDownFlags : kModifierUpFlags);
}

void tl_CGEventSequenceAppendKeypress(CGEventSequence& sequence, CGKeyCode keyCode,
                                      CGEventFlags mask) {
    auto source = ev::CGEventSourceCreate(ev::kCGEventSourceStateHIDSystemState);
    appendKey(sequence, source, keyCode, true, keyDownFlags(mask));
    appendKey(sequence, source, keyCode, false, std::nullopt);
}

CGEventSequence tl_CGEventSequenceCreateForKeys(CGKeyCode keyCode, CGEventFlags modifiers) {
    CGEventSequence sequence;
    tl_CGEventSequenceAppendModifiers(sequence, modifiers, true);
    tl_CGEventSequenceAppendKeypress(sequence, keyCode, modifiers);
    tl_CGEventSequenceAppendModifiers(sequence, modifiers, false);
    return sequence;
}

std::optional<CGEventSequence> tl_CGEventSequenceCreateForAction(std::string_view action) {
    CGKeyCode keyCode = 0;
    CGEventFlags modifiers = 0;
    if (!tl_CGEventSequenceGetParametersForAction(action, &keyCode, &modifiers)) {
        const BuiltInKey* builtIn = nullptr;
        for (const auto& key : kBuiltInKeys) {
            if (key.action == action) {
                builtIn = &key;
                break;
            }
        }
        if (!builtIn)
            return std::nullopt;
        keyCode = builtIn->keyCode;
        modifiers = builtIn->modifiers;
    }
    return tl_CGEventSequenceCreateForKeys(keyCode, modifiers);
}

namespace {

void postSequence(ev::EventService& events, const CGEventSequence& sequence) {
    for (const auto& event : sequence)
        events.post(event);
}

}  // namespace

bool tl_PostActionSequence(std::string_view action, ev::EventService& events) {
    // On a real desktop the user's own stored shortcut still comes first;
    // otherwise the desktop says how it does the action (its binding, its
    // service or its window manager) instead of the built-in keys.
    if (auto* desktop = platform::actions::desktopActions()) {
        const platform::Dictionary* entry = userEntry(action);
        CGKeyCode keyCode = 0;
        CGEventFlags modifiers = 0;
        if (parametersOf(entry, &keyCode, &modifiers)) {
            postSequence(events, tl_CGEventSequenceCreateForKeys(keyCode, modifiers));
            return true;
        }
        // An entry the user turned off: the gesture does nothing, rather
        // than the desktop's own way.
        if (entry && entry->boolean(kEnabledKey) == false)
            return false;
        return desktop->perform(action, [&events](const platform::actions::KeyChord& chord) {
            postSequence(events, tl_CGEventSequenceCreateForKeys(chord.keyCode, chord.modifiers));
        });
    }
    auto sequence = tl_CGEventSequenceCreateForAction(action);
    if (!sequence)
        return false;
    postSequence(events, *sequence);
    return true;
}

}  // namespace tact
