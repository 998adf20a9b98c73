// Posted events as XTEST fake input, and WM_CLASS values as application
// identifiers: pure functions, no display.
#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <set>

#include "platform/desktop/X11Desktop.hpp"
#include "platform/events/Translate.hpp"
#include "platform/events/XTestTranslate.hpp"

using namespace platform::events;
using Fake = std::vector<FakeInput>;

namespace {

CGEvent mouse(CGEventType type, double x, double y) {
    return *CGEventCreateMouseEvent(nullptr, type, CGPoint{x, y}, 0);
}

CGEvent pixels(std::int32_t vertical, std::int32_t horizontal) {
    return *CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 2, vertical,
                                          horizontal);
}

FakeInput motion(std::int16_t x, std::int16_t y) {
    return {kXMotionNotify, 0, x, y};
}

// n clicks of a wheel button.
Fake clicks(std::uint8_t button, int n) {
    Fake out;
    for (int i = 0; i < n; ++i) {
        out.push_back({kXButtonPress, button, 0, 0});
        out.push_back({kXButtonRelease, button, 0, 0});
    }
    return out;
}

CGEvent gesture(std::int64_t subtype, double magnification = 0) {
    CGEvent e;
    e.type = kCGEventGesture;
    e.fields[110] = subtype;
    e.fields[113] = magnification;
    return e;
}

// n zoom steps: left control held around n clicks of button 4 (in) or 5 (out).
Fake zoomed(int n) {
    Fake out = clicks(n > 0 ? kXButtonWheelUp : kXButtonWheelDown, std::abs(n));
    out.insert(out.begin(), {kXKeyPress, kXKeyLeftControl, 0, 0});
    out.push_back({kXKeyRelease, kXKeyLeftControl, 0, 0});
    return out;
}

}  // namespace

TEST(XTestTranslateTest, PointerMovesAreAbsoluteOnTheMainScreen) {
    XTestTranslationState state({0, 0, 1280, 800});
    EXPECT_EQ(translateForXTest(mouse(kCGEventMouseMoved, 640, 400), state),
              (Fake{motion(640, 400)}));
    EXPECT_EQ(translateForXTest(mouse(kCGEventLeftMouseDragged, 640.4, 399.6), state),
              (Fake{motion(640, 400)}));
    // Rounded, and held to the screen.
    EXPECT_EQ(translateForXTest(mouse(kCGEventMouseMoved, -5, 5000), state),
              (Fake{motion(0, 799)}));
    EXPECT_EQ(translateForXTest(mouse(kCGEventMouseMoved, 1e300, std::nan("")), state),
              (Fake{motion(1279, 0)}));

    // A primary output right of another one: positions are the main
    // screen's, the root window's are offset by its origin.
    XTestTranslationState right({1920, 100, 1280, 800});
    EXPECT_EQ(translateForXTest(mouse(kCGEventMouseMoved, 10, 20), right),
              (Fake{motion(1930, 120)}));
    EXPECT_EQ(translateForXTest(mouse(kCGEventMouseMoved, -50, 900), right),
              (Fake{motion(1920, 899)}));

    // X positions are 16 bits: a screen beyond them is held to them.
    XTestTranslationState huge({30000, 0, 1e9, 1e9});
    EXPECT_EQ(translateForXTest(mouse(kCGEventMouseMoved, 1e8, 1e8), huge),
              (Fake{motion(32767, 32767)}));
}

// The same position lands on the same desktop point through either sink: the
// root window's, and the virtual device's axis value plus the desktop's corner.
TEST(XTestTranslateTest, BothSinksPlaceAPositionAlike) {
    const ScreenGeometry layouts[] = {
        {1920, 0, 1920, 1080, 0, 0, 3840, 1080},      // primary right of another
        {0, 1080, 1920, 1080, 0, 0, 1920, 2160},      // primary below another
        {0, 0, 1920, 1080, -1920, -400, 3840, 1480},  // another left of and above 0,0
        {1920, 0, 1080, 1920, 0, 0, 3000, 1920},      // a portrait primary beside a landscape
    };
    const CGPoint points[] = {{0, 0}, {540, 540}, {1079.6, 1919.4}, {-30, 5000}, {4000, -1}};
    for (const ScreenGeometry& g : layouts) {
        XTestTranslationState xtest(g);
        TranslationState uinput(g);
        for (const CGPoint& p : points) {
            const DesktopPosition at = placeOnDesktop(g, p);
            EXPECT_EQ(
                translateForXTest(mouse(kCGEventMouseMoved, p.x, p.y), xtest),
                (Fake{motion(static_cast<std::int16_t>(at.x), static_cast<std::int16_t>(at.y))}))
                << g.x << "," << g.y << " at " << p.x << "," << p.y;
            const std::vector<InputEvent> abs =
                translate(mouse(kCGEventMouseMoved, p.x, p.y), uinput);
            ASSERT_EQ(abs.size(), 3u);
            EXPECT_EQ(abs[0].value + uinput.originX, at.x) << g.x << "," << g.y << " at " << p.x;
            EXPECT_EQ(abs[1].value + uinput.originY, at.y) << g.x << "," << g.y << " at " << p.y;
        }
    }

    // A new main screen: later positions go there.
    XTestTranslationState state(layouts[0]);
    state.geometry = layouts[1];
    EXPECT_EQ(translateForXTest(mouse(kCGEventMouseMoved, 10, 10), state),
              (Fake{motion(10, 1090)}));
}

TEST(XTestTranslateTest, ButtonsPressWhereTheEventIs) {
    XTestTranslationState state({0, 0, 1280, 800});
    EXPECT_EQ(translateForXTest(mouse(kCGEventLeftMouseDown, 10, 20), state),
              (Fake{motion(10, 20), {kXButtonPress, 1, 0, 0}}));
    EXPECT_EQ(translateForXTest(mouse(kCGEventLeftMouseUp, 10, 20), state),
              (Fake{motion(10, 20), {kXButtonRelease, 1, 0, 0}}));
    EXPECT_EQ(translateForXTest(mouse(kCGEventRightMouseDown, 10, 20), state),
              (Fake{motion(10, 20), {kXButtonPress, 3, 0, 0}}));
    EXPECT_EQ(translateForXTest(mouse(kCGEventRightMouseUp, 10, 20), state),
              (Fake{motion(10, 20), {kXButtonRelease, 3, 0, 0}}));

    // Without a location the button goes down where the pointer is.
    CGEvent bare;
    bare.type = kCGEventRightMouseDown;
    EXPECT_EQ(translateForXTest(bare, state), (Fake{{kXButtonPress, 3, 0, 0}}));
}

TEST(XTestTranslateTest, PixelScrollingClicksTheWheelButtonsEveryFortyPixels) {
    XTestTranslationState state({0, 0, 1280, 800});
    // 30 pixels up: no step yet, kept.
    EXPECT_TRUE(translateForXTest(pixels(30, 0), state).empty());
    EXPECT_EQ(state.verticalRemainder, 30);
    // 20 more: one step up (button 4), 10 kept.
    EXPECT_EQ(translateForXTest(pixels(20, 0), state), clicks(kXButtonWheelUp, 1));
    EXPECT_EQ(state.verticalRemainder, 10);
    // Turning back uses up the remainder first: -50 leaves one step down.
    EXPECT_EQ(translateForXTest(pixels(-50, 0), state), clicks(kXButtonWheelDown, 1));
    EXPECT_EQ(state.verticalRemainder, 0);
    EXPECT_EQ(translateForXTest(pixels(-130, 0), state), clicks(kXButtonWheelDown, 3));
    EXPECT_EQ(state.verticalRemainder, -10);

    // Horizontal: positive scrolls left (button 6), negative right (7).
    EXPECT_EQ(translateForXTest(pixels(0, 85), state), clicks(kXButtonWheelLeft, 2));
    EXPECT_EQ(state.horizontalRemainder, 5);
    EXPECT_EQ(translateForXTest(pixels(0, -45), state), clicks(kXButtonWheelRight, 1));
    EXPECT_EQ(state.horizontalRemainder, 0);

    // Both wheels in one event: vertical first.
    Fake both = clicks(kXButtonWheelUp, 1);
    const Fake right = clicks(kXButtonWheelRight, 2);
    both.insert(both.end(), right.begin(), right.end());
    EXPECT_EQ(translateForXTest(pixels(50, -80), state), both);
    EXPECT_TRUE(translateForXTest(pixels(0, 0), state).empty());
}

TEST(XTestTranslateTest, LineStepsAreWholeStepsAndHugeStepsAreCapped) {
    XTestTranslationState state({0, 0, 1280, 800});
    state.verticalRemainder = 25;
    auto lines = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitLine, 2, -2, 1);
    Fake expected = clicks(kXButtonWheelDown, 2);
    const Fake left = clicks(kXButtonWheelLeft, 1);
    expected.insert(expected.end(), left.begin(), left.end());
    EXPECT_EQ(translateForXTest(*lines, state), expected);
    EXPECT_EQ(state.verticalRemainder, 25);

    // Nonsense steps give at most the cap, and keep only a part step.
    CGEvent huge = pixels(0, 0);
    huge.fields[kCGScrollWheelEventPointDeltaAxis1] = std::int64_t{INT64_MAX};
    EXPECT_EQ(translateForXTest(huge, state),
              clicks(kXButtonWheelUp, static_cast<int>(kMaxWheelStepsPerEvent)));
    EXPECT_LT(std::abs(state.verticalRemainder), kPixelsPerWheelStep);
    CGEvent manyLines =
        *CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitLine, 1, INT32_MIN, 0);
    EXPECT_EQ(translateForXTest(manyLines, state),
              clicks(kXButtonWheelDown, static_cast<int>(kMaxWheelStepsPerEvent)));
}

TEST(XTestTranslateTest, KeysAreEvdevKeysPlusEight) {
    XTestTranslationState state({0, 0, 1280, 800});
    auto down = CGEventCreateKeyboardEvent(nullptr, 0, true);   // A
    auto up = CGEventCreateKeyboardEvent(nullptr, 123, false);  // left arrow
    EXPECT_EQ(translateForXTest(*down, state), (Fake{{kXKeyPress, 38, 0, 0}}));
    EXPECT_EQ(translateForXTest(*up, state), (Fake{{kXKeyRelease, 113, 0, 0}}));
    // Modifier flags press nothing of their own.
    CGEventSetFlags(down, 0x140109);
    EXPECT_EQ(translateForXTest(*down, state), (Fake{{kXKeyPress, 38, 0, 0}}));

    EXPECT_EQ(xKeyCode(55), KEY_LEFTMETA + 8);  // command
    EXPECT_EQ(xKeyCode(59), KEY_LEFTCTRL + 8);  // control
    EXPECT_EQ(xKeyCode(131), 212);              // the application launcher
    EXPECT_EQ(xKeyCode(160), KEY_SCALE + 8);    // the all-windows overview
    EXPECT_EQ(xKeyCode(53), 9);                 // escape, X's first key
    // fn is beyond the X key codes; 52 has no key at all.
    EXPECT_EQ(xKeyCode(63), std::nullopt);
    EXPECT_EQ(xKeyCode(52), std::nullopt);
    EXPECT_TRUE(translateForXTest(*CGEventCreateKeyboardEvent(nullptr, 63, true), state).empty());

    // Every key of the evdev table that X can name keeps its own key code.
    std::set<std::uint8_t> seen;
    int named = 0;
    for (int key = 0; key <= 0xFFFF; ++key) {
        const auto evdev = evdevKeyCode(static_cast<CGKeyCode>(key));
        const auto x = xKeyCode(static_cast<CGKeyCode>(key));
        if (!evdev) {
            EXPECT_FALSE(x) << key;
            continue;
        }
        if (*evdev + 8 > 255) {
            EXPECT_FALSE(x) << key;
            continue;
        }
        ASSERT_TRUE(x) << key;
        EXPECT_EQ(*x, *evdev + 8) << key;
        seen.insert(*x);
        ++named;
    }
    EXPECT_EQ(static_cast<int>(seen.size()), named);

    // Nonsense key fields give nothing.
    CGEvent odd;
    odd.type = kCGEventKeyDown;
    EXPECT_TRUE(translateForXTest(odd, state).empty());
    odd.fields[kCGKeyboardEventKeycode] = 3.5;
    EXPECT_TRUE(translateForXTest(odd, state).empty());
    odd.fields[kCGKeyboardEventKeycode] = std::int64_t{-1};
    EXPECT_TRUE(translateForXTest(odd, state).empty());
}

TEST(XTestTranslateTest, MagnifyZoomsWithControlAndTheWheelButtons) {
    EXPECT_EQ(xKeyCode(59), kXKeyLeftControl);
    XTestTranslationState state({0, 0, 1280, 800});
    // Part steps add up (0.625, then 3.75); closing zooms out.
    EXPECT_TRUE(translateForXTest(gesture(8, 0.0625), state).empty());
    EXPECT_EQ(translateForXTest(gesture(8, 0.3125), state), zoomed(3));
    EXPECT_EQ(translateForXTest(gesture(8, -0.375), state), zoomed(-3));
    EXPECT_EQ(translateForXTest(gesture(8, INFINITY), state), zoomed(kMaxZoomStepsPerEvent));
    // Rotation sends nothing, and ends the zoom: its part step is gone.
    EXPECT_TRUE(translateForXTest(gesture(8, 0.0625), state).empty());
    EXPECT_TRUE(translateForXTest(gesture(5, 1), state).empty());
    EXPECT_TRUE(translateForXTest(gesture(8, 0.0625), state).empty());
}

TEST(XTestTranslateTest, GesturesAndNullEventsHaveNoXForm) {
    XTestTranslationState state({0, 0, 1280, 800});
    auto gesture = CGEventCreate(nullptr);
    EXPECT_TRUE(translateForXTest(*gesture, state).empty());
    CGEventSetType(gesture, kCGEventGesture);
    EXPECT_TRUE(translateForXTest(*gesture, state).empty());
}

TEST(WmClassTest, TheClassNamesTheApplication) {
    using platform::applicationFromWmClass;
    using namespace std::string_view_literals;
    EXPECT_EQ(applicationFromWmClass("tact-test\0TactTest\0"sv, true), "TactTest");
    EXPECT_EQ(applicationFromWmClass("navigator\0Firefox-esr"sv, true), "Firefox-esr");
    // Only an instance: that is the name.
    EXPECT_EQ(applicationFromWmClass("xterm\0"sv, true), "xterm");
    EXPECT_EQ(applicationFromWmClass("xterm"sv, true), "xterm");
    EXPECT_EQ(applicationFromWmClass("xterm\0\0"sv, true), "xterm");
    EXPECT_EQ(applicationFromWmClass(""sv, true), "");
    EXPECT_EQ(applicationFromWmClass("\0\0"sv, true), "");
    // STRING is Latin-1; UTF8_STRING is kept as it is.
    EXPECT_EQ(applicationFromWmClass("a\0Caf\xe9\0"sv, true), "Caf\xc3\xa9");
    EXPECT_EQ(applicationFromWmClass("a\0Caf\xc3\xa9\0"sv, false), "Caf\xc3\xa9");
}
