// The uinput sink: when a new screen geometry needs a new device, and the
// sink on this machine's real /dev/uinput, whatever state it is in.
#include <gtest/gtest.h>

#include <unistd.h>

#include "platform/events/UinputSink.hpp"

using namespace platform::events;

// Two monitors side by side, the primary on the left; a device's axes are
// fixed when it is made, its placement is not.
TEST(UinputSinkTest, OnlyANewDesktopSizeNeedsANewDevice) {
    const TranslationState current({0, 0, 1920, 1080, 0, 0, 3840, 1080});
    struct Case {
        const char* change;
        ScreenGeometry next;
        GeometryChange expected;
    };
    const Case cases[] = {
        {"none", {0, 0, 1920, 1080, 0, 0, 3840, 1080}, GeometryChange::None},
        {"the frame's output is now the right one",
         {1920, 0, 1920, 1080, 0, 0, 3840, 1080},
         GeometryChange::Placement},
        {"the other monitor moved to the left",
         {0, 0, 1920, 1080, -1920, 0, 3840, 1080},
         GeometryChange::Placement},
        {"the main screen's mode changed within the box",
         {0, 0, 1280, 1024, 0, 0, 3840, 1080},
         GeometryChange::Placement},
        {"less than a point", {0, 0, 1920, 1080, 0, 0, 3840.2, 1080}, GeometryChange::Placement},
        {"the other monitor unplugged",
         {0, 0, 1920, 1080, 0, 0, 1920, 1080},
         GeometryChange::Device},
        {"the other monitor rotated", {0, 0, 1920, 1080, 0, 0, 3000, 1920}, GeometryChange::Device},
        {"a third monitor below", {0, 0, 1920, 1080, 0, 0, 3840, 2160}, GeometryChange::Device},
    };
    for (const Case& c : cases)
        EXPECT_EQ(geometryChange(current, c.next), c.expected) << c.change;
}

TEST(UinputSinkTest, OpensOrSaysWhyNot) {
    const bool usable = ::access(kUinputPath, W_OK) == 0;
    std::string error;
    const ScreenGeometry twoMonitors{1920, 0, 1920, 1080, 0, 0, 3840, 1080};
    auto sink = UinputSink::open(twoMonitors, &error);
    if (!usable) {
        // No device, or not ours to write: a clear reason, and nothing else
        // breaks (the caller runs on without injecting).
        EXPECT_FALSE(sink);
        EXPECT_NE(error.find("/dev/uinput"), std::string::npos) << error;
        EXPECT_NE(error.find("udev rule"), std::string::npos) << error;
        EXPECT_NE(error.find("see README, Install"), std::string::npos) << error;
        EXPECT_FALSE(UinputSink::open(twoMonitors, nullptr));
        return;
    }
    // A writable /dev/uinput: the device is made and takes every kind of event.
    ASSERT_TRUE(sink) << error;
    EXPECT_EQ(sink->deviceNode().rfind("/dev/input/", 0), 0u) << sink->deviceNode();
    sink->post(*CGEventCreateMouseEvent(nullptr, kCGEventMouseMoved, CGPoint{5, 5}, 0));
    sink->post(*CGEventCreateKeyboardEvent(nullptr, 131, false));
    sink->post(*CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 2, 1, 0));
    auto gesture = CGEventCreate(nullptr);
    CGEventSetType(gesture, kCGEventGesture);
    sink->post(*gesture);
    EXPECT_EQ(sink->droppedGestures(), 1u);
    EXPECT_EQ(sink->failedEvents(), 0u);

    // A left button held across a new desktop size: released on the old
    // device, the new one takes events.
    sink->post(*CGEventCreateMouseEvent(nullptr, kCGEventLeftMouseDown, CGPoint{5, 5}, 0));
    sink->setScreenGeometry({0, 0, 1920, 1080, 0, 0, 1920, 1080});
    EXPECT_EQ(sink->deviceNode().rfind("/dev/input/", 0), 0u) << sink->deviceNode();
    sink->post(*CGEventCreateMouseEvent(nullptr, kCGEventLeftMouseUp, CGPoint{5, 5}, 0));
    EXPECT_EQ(sink->failedEvents(), 0u);
}
