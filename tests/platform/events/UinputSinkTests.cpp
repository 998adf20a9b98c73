// The uinput sink on this machine's real /dev/uinput, whatever state it is in.
#include <gtest/gtest.h>

#include <unistd.h>

#include "platform/events/UinputSink.hpp"

using namespace platform::events;

TEST(UinputSinkTest, OpensOrSaysWhyNot) {
    const bool usable = ::access(kUinputPath, W_OK) == 0;
    std::string error;
    auto sink = UinputSink::open(1920, 1080, &error);
    if (!usable) {
        // No device, or not ours to write: a clear reason, and nothing else
        // breaks (the caller runs on without injecting).
        EXPECT_FALSE(sink);
        EXPECT_NE(error.find("/dev/uinput"), std::string::npos) << error;
        EXPECT_NE(error.find("udev rule"), std::string::npos) << error;
        EXPECT_NE(error.find("see README, Install"), std::string::npos) << error;
        EXPECT_FALSE(UinputSink::open(1920, 1080, nullptr));
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
}
