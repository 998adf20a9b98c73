// The desktop actions that swipes and pinches carry out, as the keystrokes
// the user's shortcuts (or the built-in keys) define.
#include "agent/converter/ZyvTouchConverter.hpp"
#include "agent/hotkeys/HotkeyEvents.hpp"
#include "agent/touchevents/TouchEvents.hpp"

namespace tact {
namespace {

constexpr std::string_view SwipeActionIgnore = "---";
constexpr std::string_view kSafari = "com.apple.Safari";
constexpr std::string_view kPreview = "com.apple.Preview";

// Which pinch action was sent last (lives for the whole process).
bool wasActionExposeDesktop = true;
bool wasActionLaunchPad = false;

}  // namespace

std::string_view ZyvTouchConverter::actionForSwipe(std::uint32_t direction) const {
    switch (direction) {
        case kSwipeUp:
            return kTLEventActionExposeAll;
        case kSwipeDown:
            return kTLEventActionExposeApplication;
        case kSwipeLeft:
            return kTLEventActionControlRight;
        case kSwipeRight:
            return kTLEventActionControlLeft;
        default:
            return {};
    }
}

std::string_view ZyvTouchConverter::actionFor4FingersSwipe(std::uint32_t direction) const {
    std::string_view app;
    if (_activeApplicationBundleId)
        app = *_activeApplicationBundleId;
    if (app == kSafari) {
        switch (direction) {
            case kSwipeLeft:
                return kTLEventActionCommandRightbracket;
            case kSwipeRight:
                return kTLEventActionCommandLeftbracket;
            default:
                return SwipeActionIgnore;
        }
    }
    if (app == kPreview) {
        switch (direction) {  // up and down are crossed in a document
            case kSwipeUp:
                return kTLEventActionDownArrow;
            case kSwipeDown:
                return kTLEventActionUpArrow;
            case kSwipeLeft:
                return kTLEventActionRightArrow;
            case kSwipeRight:
                return kTLEventActionLeftArrow;
            default:
                return SwipeActionIgnore;
        }
    }
    return SwipeActionIgnore;
}

std::string_view ZyvTouchConverter::actionFor5FingersSwipe(std::uint32_t direction) const {
    switch (direction) {
        case kSwipeUp:
        case kSwipeDown:
            return kTLEventActionLaunchPad;
        case kSwipeLeft:
        case kSwipeRight:
            return kTLEventActionExposeDesktop;
        default:
            return SwipeActionIgnore;
    }
}

void ZyvTouchConverter::performSwipe(std::string_view action, std::uint32_t direction,
                                     bool noneIsGesture) {
    _logger.logf(kLogGestures, "swipe action:%.*s", static_cast<int>(action.size()),
                 action.empty() ? "(null)" : action.data());
    if (action.empty()) {
        if (noneIsGesture) {
            gestureInfo.set(platform::String(kTLInfoKeyGestureSubtype),
                            std::int64_t{kTLGestureSubtypeSwipe});
            gestureInfo.set(platform::String(kTLInfoKeySwipeDirection), std::int64_t{direction});
        }
        return;
    }
    if (action == SwipeActionIgnore)
        return;
    tl_PostActionSequence(action, environment.events);
}

void ZyvTouchConverter::actionWithSwipe(std::uint32_t direction) {
    performSwipe(actionForSwipe(direction), direction, true);
}

void ZyvTouchConverter::actionWith4FingersSwipe(std::uint32_t direction) {
    performSwipe(actionFor4FingersSwipe(direction), direction, true);
}

void ZyvTouchConverter::actionWith5FingersSwipe(std::uint32_t direction) {
    performSwipe(actionFor5FingersSwipe(direction), direction, true);
}

std::string_view ZyvTouchConverter::actionWithName(std::string_view name) {
    static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
        {"Ignore", SwipeActionIgnore}, {"Show Desktop", "36"}, {"App Expos\xC3\xA9", "33"},
        {"Expos\xC3\xA9", "32"},       {"Dashboard", "62"},    {"Spaces", "75"},
    };
    for (const auto& [display, action] : kNames) {
        if (display == name)
            return action;
    }
    return {};
}

void ZyvTouchConverter::actionWithPinch(std::int64_t d) {
    _logger.logf(kLogGestures, "4Fingers Pinch with direction %d", static_cast<int>(d));
    std::string_view action;
    if (systemVersion.minor < 8) {
        action = d == kPinchClose ? kTLEventActionLaunchPad : kTLEventActionExposeDesktop;
    } else if (d == kPinchClose) {
        action =
            wasActionExposeDesktop ? KTLEventActionEscapeExposeDesktop : kTLEventActionLaunchPad;
        wasActionLaunchPad = true;
        wasActionExposeDesktop = false;
    } else {
        action = wasActionLaunchPad ? KTLEventActionEscape : kTLEventActionExposeDesktop;
        wasActionLaunchPad = false;
        wasActionExposeDesktop = true;
    }
    tl_PostActionSequence(action, environment.events);
}

}  // namespace tact
