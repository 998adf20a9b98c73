// Posted events as evdev events for the virtual input device.
#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <cmath>
#include <limits>
#include <set>

#include "platform/events/Translate.hpp"

using namespace platform::events;
using Input = std::vector<InputEvent>;

namespace {

constexpr InputEvent kSyn{EV_SYN, SYN_REPORT, 0};

CGEvent mouse(CGEventType type, double x, double y) {
    return *CGEventCreateMouseEvent(nullptr, type, CGPoint{x, y}, 0);
}

CGEvent pixels(std::int32_t vertical, std::int32_t horizontal) {
    return *CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 2, vertical,
                                          horizontal);
}

// A gesture as the sinks get it: through its serialised form, which keeps
// the magnification as a float.
CGEvent gesture(std::int64_t subtype, std::int64_t phase = 2, double magnification = 0) {
    auto e = CGEventCreate(nullptr);
    CGEventSetType(e, kCGEventGesture);
    CGEventSetIntegerValueField(e, 110, subtype);
    CGEventSetIntegerValueField(e, 132, phase);
    CGEventSetDoubleValueField(e, 113, magnification);
    return *CGEventCreateFromData(CGEventCreateData(e));
}

CGEvent magnify(double magnification) {
    return gesture(8, 2, magnification);
}

// n zoom steps: control down, n notches up (in) or down (out), control up.
Input zoomed(std::int32_t n) {
    if (n == 0)
        return {};
    return {{EV_KEY, KEY_LEFTCTRL, 1},
            kSyn,
            {EV_REL, REL_WHEEL_HI_RES, n * 120},
            {EV_REL, REL_WHEEL, n},
            kSyn,
            {EV_KEY, KEY_LEFTCTRL, 0},
            kSyn};
}

}  // namespace

TEST(TranslateTest, PointerMovesAreAbsolutePositions) {
    TranslationState state({0, 0, 1920, 1080});
    EXPECT_EQ(state.maxX, 1919);
    EXPECT_EQ(state.maxY, 1079);
    const Input expected = {{EV_ABS, ABS_X, 960}, {EV_ABS, ABS_Y, 540}, kSyn};
    EXPECT_EQ(translate(mouse(kCGEventMouseMoved, 960, 540), state), expected);
    EXPECT_EQ(translate(mouse(kCGEventLeftMouseDragged, 960.4, 539.6), state), expected);

    // Rounded, and held to the screen.
    EXPECT_EQ(translate(mouse(kCGEventMouseMoved, -5, 5000), state),
              (Input{{EV_ABS, ABS_X, 0}, {EV_ABS, ABS_Y, 1079}, kSyn}));
    EXPECT_EQ(translate(mouse(kCGEventMouseMoved, 1919.6, 1e300), state),
              (Input{{EV_ABS, ABS_X, 1919}, {EV_ABS, ABS_Y, 1079}, kSyn}));
    EXPECT_EQ(translate(mouse(kCGEventMouseMoved, std::nan(""), -INFINITY), state),
              (Input{{EV_ABS, ABS_X, 0}, {EV_ABS, ABS_Y, 0}, kSyn}));

    // A degenerate screen still has a range.
    TranslationState tiny({0, 0, 0, -3});
    EXPECT_EQ(tiny.maxX, 1);
    EXPECT_EQ(tiny.maxY, 1);
}

// Monitors of 1920x1080 unless said otherwise; geometry is the main screen,
// then the desktop's box.
TEST(PlaceOnDesktopTest, PositionsLandOnTheMainScreenOnly) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* layout;
        ScreenGeometry geometry;
        CGPoint at;
        DesktopPosition expected;
    };
    const Case cases[] = {
        {"one monitor, centre", {0, 0, 1920, 1080, 0, 0, 1920, 1080}, {960, 540}, {960, 540}},
        {"main left, centre", {0, 0, 1920, 1080, 0, 0, 3840, 1080}, {960, 540}, {960, 540}},
        {"main left, beyond its right edge",
         {0, 0, 1920, 1080, 0, 0, 3840, 1080},
         {2500, 540},
         {1919, 540}},
        {"main right, centre", {1920, 0, 1920, 1080, 0, 0, 3840, 1080}, {960, 540}, {2880, 540}},
        {"main right, beyond its left edge",
         {1920, 0, 1920, 1080, 0, 0, 3840, 1080},
         {-1, 540},
         {1920, 540}},
        {"main above, beyond its bottom",
         {0, 0, 1920, 1080, 0, 0, 1920, 2160},
         {960, 1500},
         {960, 1079}},
        {"main below, corner", {0, 1080, 1920, 1080, 0, 0, 1920, 2160}, {0, 0}, {0, 1080}},
        {"main below, beyond its top",
         {0, 1080, 1920, 1080, 0, 0, 1920, 2160},
         {960, -300},
         {960, 1080}},
        {"a monitor left of 0,0", {0, 0, 1920, 1080, -1920, 0, 3840, 1080}, {-5, 540}, {0, 540}},
        {"main above and left of 0,0",
         {-1280, -1024, 1280, 1024, -1280, -1024, 3200, 2104},
         {1279.6, 1023.6},
         {-1, -1}},
        {"main 2560x1440 right of a smaller one",
         {1920, 0, 2560, 1440, 0, 0, 4480, 1440},
         {2560, 1440},
         {4479, 1439}},
        {"main portrait beside a landscape",
         {1920, 0, 1080, 1920, 0, 0, 3000, 1920},
         {540, 960},
         {2460, 960}},
        {"main landscape beside a portrait, below its bottom",
         {0, 0, 1920, 1080, 0, 0, 3000, 1920},
         {960, 1500},
         {960, 1079}},
        {"rounded to a whole point",
         {1920, 0, 1920, 1080, 0, 0, 3840, 1080},
         {10.5, 0.4},
         {1931, 0}},
        {"not a number", {1920, 0, 1920, 1080, 0, 0, 3840, 1080}, {kNaN, kNaN}, {1920, 0}},
        {"huge", {1920, 0, 1920, 1080, 0, 0, 3840, 1080}, {1e300, -INFINITY}, {3839, 0}},
        {"nonsense geometry",
         {kNaN, -1e300, INFINITY, kNaN},
         {1e300, 1e300},
         {1073741823, -1073741824}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(placeOnDesktop(c.geometry, c.at), c.expected) << c.layout;
}

TEST(TranslateTest, TheAxesSpanTheWholeDesktop) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* layout;
        ScreenGeometry geometry;
        std::int32_t originX, originY, maxX, maxY;
    };
    const Case cases[] = {
        {"no desktop box: the main screen", {100, 50, 1920, 1080}, 100, 50, 1919, 1079},
        {"side by side", {1920, 0, 1920, 1080, 0, 0, 3840, 1080}, 0, 0, 3839, 1079},
        {"negative origins", {0, 0, 1920, 1080, -1920, -200, 3840, 1280}, -1920, -200, 3839, 1279},
        {"portrait beside landscape", {1920, 0, 1080, 1920, 0, 0, 3000, 1920}, 0, 0, 2999, 1919},
        {"a box without the main screen grows",
         {1920, 0, 1920, 1080, 0, 0, 1920, 1080},
         0,
         0,
         3839,
         1079},
        {"nonsense box: the main screen",
         {0, 0, 1920, 1080, kNaN, kNaN, kNaN, kNaN},
         0,
         0,
         1919,
         1079},
    };
    for (const Case& c : cases) {
        const TranslationState state(c.geometry);
        EXPECT_EQ(state.originX, c.originX) << c.layout;
        EXPECT_EQ(state.originY, c.originY) << c.layout;
        EXPECT_EQ(state.maxX, c.maxX) << c.layout;
        EXPECT_EQ(state.maxY, c.maxY) << c.layout;
    }

    // The primary on the right: its centre is the right half's centre, and
    // its left edge never reaches the monitor beside it.
    TranslationState state({1920, 0, 1920, 1080, 0, 0, 3840, 1080});
    EXPECT_EQ(translate(mouse(kCGEventMouseMoved, 960, 540), state),
              (Input{{EV_ABS, ABS_X, 2880}, {EV_ABS, ABS_Y, 540}, kSyn}));
    EXPECT_EQ(
        translate(mouse(kCGEventLeftMouseDown, -50, 2000), state),
        (Input{{EV_ABS, ABS_X, 1920}, {EV_ABS, ABS_Y, 1079}, kSyn, {EV_KEY, BTN_LEFT, 1}, kSyn}));
    // A monitor left of 0,0: the axes start at its left edge.
    state.setGeometry({0, 0, 1920, 1080, -1920, 0, 3840, 1080});
    EXPECT_EQ(translate(mouse(kCGEventMouseMoved, 0, 0), state),
              (Input{{EV_ABS, ABS_X, 1920}, {EV_ABS, ABS_Y, 0}, kSyn}));
}

TEST(TranslateTest, ButtonsComeAfterTheirPosition) {
    TranslationState state({0, 0, 1920, 1080});
    const Input at = {{EV_ABS, ABS_X, 10}, {EV_ABS, ABS_Y, 20}, kSyn};
    auto with = [&](std::uint16_t code, int value) {
        Input i = at;
        i.push_back({EV_KEY, code, value});
        i.push_back(kSyn);
        return i;
    };
    EXPECT_EQ(translate(mouse(kCGEventLeftMouseDown, 10, 20), state), with(BTN_LEFT, 1));
    EXPECT_EQ(translate(mouse(kCGEventLeftMouseUp, 10, 20), state), with(BTN_LEFT, 0));
    EXPECT_EQ(translate(mouse(kCGEventRightMouseDown, 10, 20), state), with(BTN_RIGHT, 1));
    EXPECT_EQ(translate(mouse(kCGEventRightMouseUp, 10, 20), state), with(BTN_RIGHT, 0));

    // The type decides the button, as for a left click turned into its release.
    auto e = CGEventCreateMouseEvent(nullptr, kCGEventRightMouseDown, CGPoint{10, 20}, 0);
    EXPECT_EQ(translate(*e, state), with(BTN_RIGHT, 1));

    // A button event without a location presses where the pointer is.
    CGEvent bare;
    bare.type = kCGEventLeftMouseDown;
    EXPECT_EQ(translate(bare, state), (Input{{EV_KEY, BTN_LEFT, 1}, kSyn}));
}

TEST(TranslateTest, PixelScrollingGivesHighResolutionStepsAndWholeNotches) {
    TranslationState state({0, 0, 1920, 1080});
    // 40 pixels make a notch: 30 pixels are 90 units, no notch yet.
    EXPECT_EQ(translate(pixels(30, 0), state), (Input{{EV_REL, REL_WHEEL_HI_RES, 90}, kSyn}));
    EXPECT_EQ(state.verticalRemainder, 90);
    // 20 more: 150 units in all, one notch and 30 left.
    EXPECT_EQ(translate(pixels(20, 0), state),
              (Input{{EV_REL, REL_WHEEL_HI_RES, 60}, {EV_REL, REL_WHEEL, 1}, kSyn}));
    EXPECT_EQ(state.verticalRemainder, 30);
    // Turning back uses up the remainder first.
    EXPECT_EQ(translate(pixels(-10, 0), state), (Input{{EV_REL, REL_WHEEL_HI_RES, -30}, kSyn}));
    EXPECT_EQ(state.verticalRemainder, 0);
    // Many notches at once; downward is negative, as in evdev.
    EXPECT_EQ(translate(pixels(-130, 0), state),
              (Input{{EV_REL, REL_WHEEL_HI_RES, -390}, {EV_REL, REL_WHEEL, -3}, kSyn}));
    EXPECT_EQ(state.verticalRemainder, -30);

    // Horizontal: our positive is to the left, evdev's to the right.
    EXPECT_EQ(translate(pixels(0, 40), state),
              (Input{{EV_REL, REL_HWHEEL_HI_RES, -120}, {EV_REL, REL_HWHEEL, -1}, kSyn}));
    EXPECT_EQ(translate(pixels(0, -5), state), (Input{{EV_REL, REL_HWHEEL_HI_RES, 15}, kSyn}));
    EXPECT_EQ(state.horizontalRemainder, 15);

    // Both wheels in one frame; a zero step gives nothing.
    EXPECT_EQ(translate(pixels(1, -1), state),
              (Input{{EV_REL, REL_WHEEL_HI_RES, 3}, {EV_REL, REL_HWHEEL_HI_RES, 3}, kSyn}));
    EXPECT_TRUE(translate(pixels(0, 0), state).empty());

    // Steps past the evdev value range are held to it.
    TranslationState big({0, 0, 100, 100});
    CGEvent huge = pixels(0, 0);
    huge.fields[kCGScrollWheelEventPointDeltaAxis1] = std::int64_t{INT64_MAX};
    auto out = translate(huge, big);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], (InputEvent{EV_REL, REL_WHEEL_HI_RES, INT32_MAX}));
    EXPECT_EQ(out[1], (InputEvent{EV_REL, REL_WHEEL, INT32_MAX / 120}));
}

TEST(TranslateTest, LineScrollingIsWholeNotches) {
    TranslationState state({0, 0, 1920, 1080});
    state.verticalRemainder = 50;
    auto lines = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitLine, 2, 2, -1);
    EXPECT_EQ(translate(*lines, state), (Input{{EV_REL, REL_WHEEL_HI_RES, 240},
                                               {EV_REL, REL_WHEEL, 2},
                                               {EV_REL, REL_HWHEEL_HI_RES, 120},
                                               {EV_REL, REL_HWHEEL, 1},
                                               kSyn}));
    EXPECT_EQ(state.verticalRemainder, 50);
}

TEST(TranslateTest, KeysUseTheTable) {
    TranslationState state({0, 0, 1920, 1080});
    auto down = CGEventCreateKeyboardEvent(nullptr, 123, true);
    auto up = CGEventCreateKeyboardEvent(nullptr, 123, false);
    EXPECT_EQ(translate(*down, state), (Input{{EV_KEY, KEY_LEFT, 1}, kSyn}));
    EXPECT_EQ(translate(*up, state), (Input{{EV_KEY, KEY_LEFT, 0}, kSyn}));
    // Flags carry no key presses of their own.
    CGEventSetFlags(down, 0x140109);
    EXPECT_EQ(translate(*down, state), (Input{{EV_KEY, KEY_LEFT, 1}, kSyn}));

    // Keys without an evdev code, and nonsense key fields, give nothing.
    EXPECT_TRUE(translate(*CGEventCreateKeyboardEvent(nullptr, 52, true), state).empty());
    EXPECT_TRUE(translate(*CGEventCreateKeyboardEvent(nullptr, 0xFFFF, true), state).empty());
    CGEvent odd;
    odd.type = kCGEventKeyDown;
    EXPECT_TRUE(translate(odd, state).empty());
    odd.fields[kCGKeyboardEventKeycode] = std::int64_t{-1};
    EXPECT_TRUE(translate(odd, state).empty());
    odd.fields[kCGKeyboardEventKeycode] = std::int64_t{0x10000};
    EXPECT_TRUE(translate(odd, state).empty());
}

TEST(TranslateTest, KeyTableCoversTheLayout) {
    // The keys of our keystroke sequences and hot keys.
    const std::pair<CGKeyCode, std::uint16_t> expected[] = {
        {0, KEY_A},
        {1, KEY_S},
        {2, KEY_D},
        {6, KEY_Z},
        {12, KEY_Q},
        {18, KEY_1},
        {29, KEY_0},
        {33, KEY_LEFTBRACE},
        {30, KEY_RIGHTBRACE},
        {36, KEY_ENTER},
        {48, KEY_TAB},
        {49, KEY_SPACE},
        {51, KEY_BACKSPACE},
        {53, KEY_ESC},
        {55, KEY_LEFTMETA},
        {56, KEY_LEFTSHIFT},
        {58, KEY_LEFTALT},
        {59, KEY_LEFTCTRL},
        {122, KEY_F1},
        {120, KEY_F2},
        {99, KEY_F3},
        {118, KEY_F4},
        {96, KEY_F5},
        {97, KEY_F6},
        {98, KEY_F7},
        {100, KEY_F8},
        {101, KEY_F9},
        {109, KEY_F10},
        {103, KEY_F11},
        {111, KEY_F12},
        {123, KEY_LEFT},
        {124, KEY_RIGHT},
        {125, KEY_DOWN},
        {126, KEY_UP},
        {115, KEY_HOME},
        {119, KEY_END},
        {116, KEY_PAGEUP},
        {121, KEY_PAGEDOWN},
        {117, KEY_DELETE},
        {82, KEY_KP0},
        {92, KEY_KP9},
        {76, KEY_KPENTER},
        {131, KEY_ALL_APPLICATIONS},
        {160, KEY_SCALE},
    };
    for (const auto& [key, code] : expected)
        EXPECT_EQ(evdevKeyCode(key), code) << key;

    // Every letter and digit, each to its own key.
    const char* letters = "asdfhgzxcv?bqweryt123465=97-80]ou[ip?lj'k;\\,/nm.";
    std::set<std::uint16_t> seen;
    for (CGKeyCode key = 0; letters[key]; ++key) {
        if (letters[key] == '?')
            continue;
        auto code = evdevKeyCode(key);
        ASSERT_TRUE(code) << key;
        EXPECT_TRUE(seen.insert(*code).second) << key;
    }
    EXPECT_EQ(seen.size(), 46u);
    for (CGKeyCode key : {52, 66, 68, 70, 77, 108, 112, 127, 128, 200, 0xFFFF})
        EXPECT_FALSE(evdevKeyCode(key)) << key;

    // The device enables every key of the table, each once.
    auto codes = evdevKeyCodes();
    std::set<std::uint16_t> unique(codes.begin(), codes.end());
    EXPECT_EQ(unique.size(), codes.size());
    EXPECT_TRUE(unique.count(KEY_LEFTMETA));
    EXPECT_TRUE(unique.count(KEY_LEFTCTRL));  // for zooming
    EXPECT_TRUE(unique.count(KEY_ALL_APPLICATIONS));
}

TEST(TranslateTest, MagnifyZoomsWithControlAndTheWheel) {
    // Each case starts afresh; every event is followed by the steps it gives.
    const struct {
        const char* name;
        std::vector<std::pair<CGEvent, std::int32_t>> events;
    } cases[] = {
        {"spreading adds up part steps",
         {{gesture(8, 1, 0.04), 0}, {magnify(0.04), 0}, {magnify(0.04), 1}, {magnify(0.25), 2}}},
        {"closing zooms out, using up the part step first",
         {{magnify(0.0625), 0}, {magnify(-0.125), 0}, {magnify(-0.125), -1}}},
        {"ends, new magnifies and other events clear the part step",
         {{magnify(0.0625), 0},
          {gesture(8, 4), 0},
          {magnify(0.0625), 0},
          {gesture(62), 0},
          {magnify(0.0625), 0},
          {gesture(8, 1, 0.0625), 0},
          {*CGEventCreate(nullptr), 0},
          {magnify(0.0625), 0},
          {gesture(5), 0},
          {magnify(0.0625), 0}}},
        {"nonsense is held to the cap, and its excess not kept",
         {{magnify(INFINITY), kMaxZoomStepsPerEvent},
          {magnify(-1e30), -kMaxZoomStepsPerEvent},
          {magnify(0.0625), 0},
          {magnify(std::nan("")), 0},
          {magnify(0.0625), 1}}},
    };
    for (const auto& c : cases) {
        TranslationState state({0, 0, 1920, 1080});
        for (std::size_t i = 0; i < c.events.size(); ++i) {
            const auto& [event, steps] = c.events[i];
            EXPECT_EQ(translate(event, state), zoomed(steps)) << c.name << ", event " << i;
        }
    }
    // The sinks count every gesture but magnify as dropped.
    EXPECT_TRUE(isMagnifyGesture(gesture(8, 4)));
    for (std::int64_t other : {0, 5, 16, 61, 62})
        EXPECT_FALSE(isMagnifyGesture(gesture(other))) << other;
}

TEST(TranslateTest, EventsWithoutAnEvdevForm) {
    TranslationState state({0, 0, 1920, 1080});
    auto gesture = CGEventCreate(nullptr);
    EXPECT_TRUE(translate(*gesture, state).empty());  // null event
    CGEventSetType(gesture, kCGEventGesture);
    CGEventSetIntegerValueField(gesture, 110, 8);  // a magnify without a magnification
    EXPECT_TRUE(translate(*gesture, state).empty());
    CGEventSetType(gesture, 7);
    EXPECT_TRUE(translate(*gesture, state).empty());
}
