#include "platform/events/Translate.hpp"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>

namespace platform::events {
namespace {

// Virtual key codes (the ANSI layout's positions) and their evdev keys, by
// virtual key code.
constexpr std::pair<CGKeyCode, std::uint16_t> kKeyTable[] = {
    {0, KEY_A},           {1, KEY_S},
    {2, KEY_D},           {3, KEY_F},
    {4, KEY_H},           {5, KEY_G},
    {6, KEY_Z},           {7, KEY_X},
    {8, KEY_C},           {9, KEY_V},
    {10, KEY_102ND},  // the extra key of ISO keyboards
    {11, KEY_B},          {12, KEY_Q},
    {13, KEY_W},          {14, KEY_E},
    {15, KEY_R},          {16, KEY_Y},
    {17, KEY_T},          {18, KEY_1},
    {19, KEY_2},          {20, KEY_3},
    {21, KEY_4},          {22, KEY_6},
    {23, KEY_5},          {24, KEY_EQUAL},
    {25, KEY_9},          {26, KEY_7},
    {27, KEY_MINUS},      {28, KEY_8},
    {29, KEY_0},          {30, KEY_RIGHTBRACE},
    {31, KEY_O},          {32, KEY_U},
    {33, KEY_LEFTBRACE},  {34, KEY_I},
    {35, KEY_P},          {36, KEY_ENTER},
    {37, KEY_L},          {38, KEY_J},
    {39, KEY_APOSTROPHE}, {40, KEY_K},
    {41, KEY_SEMICOLON},  {42, KEY_BACKSLASH},
    {43, KEY_COMMA},      {44, KEY_SLASH},
    {45, KEY_N},          {46, KEY_M},
    {47, KEY_DOT},        {48, KEY_TAB},
    {49, KEY_SPACE},      {50, KEY_GRAVE},
    {51, KEY_BACKSPACE},  // "delete" left of the cursor
    {53, KEY_ESC},        {54, KEY_RIGHTMETA},
    {55, KEY_LEFTMETA},  // command
    {56, KEY_LEFTSHIFT},  {57, KEY_CAPSLOCK},
    {58, KEY_LEFTALT},  // option
    {59, KEY_LEFTCTRL},   {60, KEY_RIGHTSHIFT},
    {61, KEY_RIGHTALT},   {62, KEY_RIGHTCTRL},
    {63, KEY_FN},         {64, KEY_F17},
    {65, KEY_KPDOT},      {67, KEY_KPASTERISK},
    {69, KEY_KPPLUS},     {71, KEY_NUMLOCK},  // keypad clear, where a PC keypad has num lock
    {72, KEY_VOLUMEUP},   {73, KEY_VOLUMEDOWN},
    {74, KEY_MUTE},       {75, KEY_KPSLASH},
    {76, KEY_KPENTER},    {78, KEY_KPMINUS},
    {79, KEY_F18},        {80, KEY_F19},
    {81, KEY_KPEQUAL},    {82, KEY_KP0},
    {83, KEY_KP1},        {84, KEY_KP2},
    {85, KEY_KP3},        {86, KEY_KP4},
    {87, KEY_KP5},        {88, KEY_KP6},
    {89, KEY_KP7},        {90, KEY_F20},
    {91, KEY_KP8},        {92, KEY_KP9},
    {93, KEY_YEN},        {94, KEY_RO},
    {95, KEY_KPJPCOMMA},  {96, KEY_F5},
    {97, KEY_F6},         {98, KEY_F7},
    {99, KEY_F3},         {100, KEY_F8},
    {101, KEY_F9},        {102, KEY_HANJA},    // eisu, the second language key
    {103, KEY_F11},       {104, KEY_HANGEUL},  // kana, the first language key
    {105, KEY_F13},       {106, KEY_F16},
    {107, KEY_F14},       {109, KEY_F10},
    {110, KEY_COMPOSE},  // the context menu key
    {111, KEY_F12},       {113, KEY_F15},
    {114, KEY_INSERT},  // "help", where a PC keyboard has insert
    {115, KEY_HOME},      {116, KEY_PAGEUP},
    {117, KEY_DELETE},  // forward delete
    {118, KEY_F4},        {119, KEY_END},
    {120, KEY_F2},        {121, KEY_PAGEDOWN},
    {122, KEY_F1},        {123, KEY_LEFT},
    {124, KEY_RIGHT},     {125, KEY_DOWN},
    {126, KEY_UP},        {131, KEY_ALL_APPLICATIONS},  // the application launcher
    {160, KEY_SCALE},                                   // the all-windows overview
};
constexpr std::size_t kKeyCount = std::size(kKeyTable);

constexpr bool tableIsSorted() {
    for (std::size_t i = 1; i < kKeyCount; ++i) {
        if (kKeyTable[i - 1].first >= kKeyTable[i].first)
            return false;
    }
    return true;
}
static_assert(tableIsSorted());

constexpr std::array<std::uint16_t, kKeyCount> makeKeyCodes() {
    std::array<std::uint16_t, kKeyCount> codes{};
    for (std::size_t i = 0; i < kKeyCount; ++i)
        codes[i] = kKeyTable[i].second;
    return codes;
}
constexpr std::array<std::uint16_t, kKeyCount> kKeyCodes = makeKeyCodes();

std::int32_t clampToInt32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Positions and sizes are kept within +-2^30 points, so that an origin plus
// an offset fits in 32 bits.
constexpr double kCoordinateLimit = 1 << 30;

std::int32_t whole(double v) {
    if (std::isnan(v))
        return 0;
    return static_cast<std::int32_t>(
        std::lround(std::clamp(v, -kCoordinateLimit, kCoordinateLimit)));
}

// The last whole offset on an extent: its size less one, 0 for an empty one.
std::int32_t lastOffset(double extent) {
    return std::max(whole(extent) - 1, 0);
}

std::int32_t offsetOn(double v, double extent) {
    if (std::isnan(v))
        return 0;
    return whole(std::clamp(v, 0.0, static_cast<double>(lastOffset(extent))));
}

std::int32_t axisValue(std::int32_t position, std::int32_t origin, std::int32_t max) {
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(std::int64_t{position} - origin, 0, max));
}

// One axis of the device: the main screen's span, within the desktop's
// when it has one; its origin and largest value (at least 1).
void axis(double screen, double screenExtent, double desktop, double desktopExtent, bool hasDesktop,
          std::int32_t& origin, std::int32_t& max) {
    std::int64_t first = whole(screen);
    std::int64_t last = first + lastOffset(screenExtent);
    if (hasDesktop) {
        first = std::min<std::int64_t>(first, whole(desktop));
        last =
            std::max<std::int64_t>(last, std::int64_t{whole(desktop)} + whole(desktopExtent) - 1);
    }
    origin = static_cast<std::int32_t>(first);
    max = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(last - first, 1, static_cast<std::int64_t>(kCoordinateLimit)));
}

void sync(InputEvents& out) {
    out.push_back({EV_SYN, SYN_REPORT, 0});
}

void position(const CGEvent& event, const TranslationState& state, InputEvents& out) {
    if (!event.location)
        return;
    const DesktopPosition at = placeOnDesktop(state.geometry, *event.location);
    out.push_back({EV_ABS, ABS_X, axisValue(at.x, state.originX, state.maxX)});
    out.push_back({EV_ABS, ABS_Y, axisValue(at.y, state.originY, state.maxY)});
    sync(out);
}

void button(std::uint16_t code, std::int32_t value, InputEvents& out) {
    out.push_back({EV_KEY, code, value});
    sync(out);
}

// One wheel: its high-resolution step, and the notches the running remainder
// has completed.
void wheel(std::int64_t hiRes, std::int64_t& remainder, std::uint16_t hiResCode,
           std::uint16_t notchCode, InputEvents& out) {
    const std::int32_t step = clampToInt32(hiRes);
    if (step == 0)
        return;
    out.push_back({EV_REL, hiResCode, step});
    remainder += step;
    const std::int64_t notches = remainder / kHiResPerNotch;
    if (notches != 0) {
        out.push_back({EV_REL, notchCode, clampToInt32(notches)});
        remainder -= notches * kHiResPerNotch;
    }
}

void scroll(const CGEvent& event, TranslationState& state, InputEvents& out) {
    const ScrollDeltas d = scrollDeltas(event);
    // Our horizontal wheel is positive to the left, evdev's to the right; the
    // vertical wheels agree (positive scrolls up).
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
    const std::int64_t vertical = std::clamp<std::int64_t>(d.wheel1, -kLimit, kLimit);
    const std::int64_t horizontal = -std::clamp<std::int64_t>(d.wheel2, -kLimit, kLimit);
    const std::size_t before = out.size();
    if (d.units == kCGScrollEventUnitLine) {
        // Whole notches: the remainders of pixel scrolling are left alone.
        if (vertical != 0) {
            out.push_back({EV_REL, REL_WHEEL_HI_RES, clampToInt32(vertical * kHiResPerNotch)});
            out.push_back({EV_REL, REL_WHEEL, clampToInt32(vertical)});
        }
        if (horizontal != 0) {
            out.push_back({EV_REL, REL_HWHEEL_HI_RES, clampToInt32(horizontal * kHiResPerNotch)});
            out.push_back({EV_REL, REL_HWHEEL, clampToInt32(horizontal)});
        }
    } else {
        wheel(vertical * kHiResPerPixel, state.verticalRemainder, REL_WHEEL_HI_RES, REL_WHEEL, out);
        wheel(horizontal * kHiResPerPixel, state.horizontalRemainder, REL_HWHEEL_HI_RES, REL_HWHEEL,
              out);
    }
    if (out.size() != before)
        sync(out);
}

// A magnify gesture's fields: its subtype, its magnification (a float) and
// the phase of the short form (absent in the full form, whose gestures end
// with an end event of their own).
constexpr CGEventField kGestureSubtype = 110;
constexpr CGEventField kGestureMagnification = 113;
constexpr CGEventField kGesturePhase = 132;
constexpr std::int64_t kSubtypeMagnify = 8;
constexpr std::int64_t kPhaseBegan = 1;
constexpr std::int64_t kPhaseEnded = 4;

std::optional<std::int64_t> integerField(const CGEvent& event, CGEventField field) {
    auto it = event.fields.find(field);
    if (it == event.fields.end())
        return std::nullopt;
    if (const auto* i = std::get_if<std::int64_t>(&it->second))
        return *i;
    return std::nullopt;
}

double doubleField(const CGEvent& event, CGEventField field) {
    auto it = event.fields.find(field);
    if (it == event.fields.end())
        return 0;
    if (const auto* d = std::get_if<double>(&it->second))
        return *d;
    return static_cast<double>(std::get<std::int64_t>(it->second));
}

// Control held around whole wheel notches, each change its own frame.
void zoom(std::int32_t steps, InputEvents& out) {
    if (steps == 0)
        return;
    button(KEY_LEFTCTRL, 1, out);
    out.push_back({EV_REL, REL_WHEEL_HI_RES, steps * kHiResPerNotch});
    out.push_back({EV_REL, REL_WHEEL, steps});
    sync(out);
    button(KEY_LEFTCTRL, 0, out);
}

}  // namespace

bool isMagnifyGesture(const CGEvent& event) {
    return event.type == kCGEventGesture && integerField(event, kGestureSubtype) == kSubtypeMagnify;
}

std::int32_t zoomSteps(const CGEvent& event, double& remainder) {
    if (!isMagnifyGesture(event)) {
        remainder = 0;
        return 0;
    }
    const std::optional<std::int64_t> phase = integerField(event, kGesturePhase);
    if (phase == kPhaseEnded) {
        remainder = 0;
        return 0;
    }
    if (phase == kPhaseBegan)
        remainder = 0;
    double magnification = doubleField(event, kGestureMagnification);
    if (std::isnan(magnification))
        magnification = 0;
    // Held to the cap before scaling, so that infinities stay finite.
    constexpr double kCap = kMaxZoomStepsPerEvent;
    const double steps =
        std::clamp(remainder + std::clamp(magnification, -kCap, kCap) * kZoomStepsPerMagnification,
                   -kCap, kCap);
    const double whole = std::trunc(steps);
    remainder = steps - whole;  // none left beyond the cap
    return static_cast<std::int32_t>(whole);
}

DesktopPosition placeOnDesktop(const ScreenGeometry& geometry, CGPoint p) {
    return {whole(geometry.x) + offsetOn(p.x, geometry.width),
            whole(geometry.y) + offsetOn(p.y, geometry.height)};
}

TranslationState::TranslationState(const ScreenGeometry& g) {
    setGeometry(g);
}

void TranslationState::setGeometry(const ScreenGeometry& g) {
    geometry = g;
    // A desktop without a box of its own (not known) is the main screen.
    const bool hasDesktop = whole(g.desktopWidth) >= 1 && whole(g.desktopHeight) >= 1;
    axis(g.x, g.width, g.desktopX, g.desktopWidth, hasDesktop, originX, maxX);
    axis(g.y, g.height, g.desktopY, g.desktopHeight, hasDesktop, originY, maxY);
}

GeometryChange geometryChange(const TranslationState& current, const ScreenGeometry& next) {
    if (next == current.geometry)
        return GeometryChange::None;
    const TranslationState probe(next);
    return probe.maxX == current.maxX && probe.maxY == current.maxY ? GeometryChange::Placement
                                                                    : GeometryChange::Device;
}

std::optional<std::uint16_t> evdevKeyCode(CGKeyCode key) {
    auto it = std::lower_bound(std::begin(kKeyTable), std::end(kKeyTable), key,
                               [](const auto& entry, CGKeyCode k) { return entry.first < k; });
    if (it == std::end(kKeyTable) || it->first != key)
        return std::nullopt;
    return it->second;
}

std::span<const std::uint16_t> evdevKeyCodes() {
    return kKeyCodes;
}

std::vector<InputEvent> translate(const CGEvent& event, TranslationState& state) {
    InputEvents out;
    translate(event, state, out);
    return std::vector<InputEvent>(out.begin(), out.end());
}

void translate(const CGEvent& event, TranslationState& state, InputEvents& out) {
    out.clear();
    // Every event passes here: any but a magnify ends a zoom's part step.
    const std::int32_t zoomBy = zoomSteps(event, state.zoomRemainder);
    switch (event.type) {
        case kCGEventMouseMoved:
        case kCGEventLeftMouseDragged:
            position(event, state, out);
            break;
        case kCGEventLeftMouseDown:
        case kCGEventLeftMouseUp:
        case kCGEventRightMouseDown:
        case kCGEventRightMouseUp: {
            const bool left =
                event.type == kCGEventLeftMouseDown || event.type == kCGEventLeftMouseUp;
            const bool down =
                event.type == kCGEventLeftMouseDown || event.type == kCGEventRightMouseDown;
            position(event, state, out);
            button(left ? BTN_LEFT : BTN_RIGHT, down ? 1 : 0, out);
            break;
        }
        case kCGEventKeyDown:
        case kCGEventKeyUp: {
            auto it = event.fields.find(kCGKeyboardEventKeycode);
            if (it == event.fields.end())
                break;
            const auto* code = std::get_if<std::int64_t>(&it->second);
            if (!code || *code < 0 || *code > std::numeric_limits<CGKeyCode>::max())
                break;
            if (auto key = evdevKeyCode(static_cast<CGKeyCode>(*code)))
                button(*key, event.type == kCGEventKeyDown ? 1 : 0, out);
            break;
        }
        case kCGEventScrollWheel:
            scroll(event, state, out);
            break;
        case kCGEventGesture:
            zoom(zoomBy, out);  // other gestures than magnify give no steps
            break;
        default:
            break;  // null events have no evdev form
    }
}

}  // namespace platform::events
