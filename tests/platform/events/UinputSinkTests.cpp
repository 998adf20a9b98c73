// The uinput sink: when a new screen geometry needs a new device, what it
// writes (one write per synchronised frame, seen through a packet socket in
// place of the device), and the sink on this machine's real /dev/uinput,
// whatever state it is in.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/input.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <vector>

#include "platform/events/UinputSink.hpp"
#include "tests/support/ResultChecks.hpp"

using namespace platform::events;
using tact::test::errorOf;
using tact::test::valueOf;

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
    const ScreenGeometry twoMonitors{1920, 0, 1920, 1080, 0, 0, 3840, 1080};
    auto opened = UinputSink::open(twoMonitors);
    if (!usable) {
        // No device, or not ours to write: a clear reason, and nothing else
        // breaks (the caller runs on without injecting).
        const std::string error = errorOf(opened);
        EXPECT_NE(error.find("/dev/uinput"), std::string::npos) << error;
        EXPECT_NE(error.find("udev rule"), std::string::npos) << error;
        EXPECT_NE(error.find("see README, Install"), std::string::npos) << error;
        // A clause for the caller's sentence: what follows is the caller's to say.
        EXPECT_EQ(error.find("not injected"), std::string::npos) << error;
        return;
    }
    // A writable /dev/uinput: the device is made and takes every kind of event.
    auto sink = valueOf(std::move(opened));
    ASSERT_TRUE(sink);
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

namespace {

using Frame = std::vector<InputEvent>;

// What the sink wrote, one packet per write(2).
std::vector<Frame> writes(int fd) {
    std::vector<Frame> out;
    std::array<input_event, 64> raw{};
    for (;;) {
        const ssize_t n = ::recv(fd, raw.data(), sizeof raw, MSG_DONTWAIT);
        if (n <= 0)
            return out;
        Frame frame;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof(input_event); ++i)
            frame.push_back({raw[i].type, raw[i].code, raw[i].value});
        out.push_back(frame);
    }
}

CGEventRef magnify(double magnification) {
    auto event = CGEventCreate(nullptr);
    CGEventSetType(event, kCGEventGesture);
    CGEventSetIntegerValueField(event, 110, 8);
    CGEventSetDoubleValueField(event, 113, magnification);
    return event;
}

}  // namespace

TEST(UinputSinkTest, EachSynchronisedFrameIsOneWrite) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    const int device = fds[1];
    auto sink = UinputSink::writingTo(fds[0], {0, 0, 1920, 1080, 0, 0, 1920, 1080});
    const InputEvent syn{EV_SYN, SYN_REPORT, 0};
    auto rotate = CGEventCreate(nullptr);
    CGEventSetType(rotate, kCGEventGesture);
    CGEventSetIntegerValueField(rotate, 110, 5);
    struct Case {
        const char* what;
        CGEventRef event;
        std::vector<Frame> expected;
    };
    const Case cases[] = {
        {"a move",
         CGEventCreateMouseEvent(nullptr, kCGEventLeftMouseDragged, {10, 20}, 0),
         {{{EV_ABS, ABS_X, 10}, {EV_ABS, ABS_Y, 20}, syn}}},
        {"a press where it happens",
         CGEventCreateMouseEvent(nullptr, kCGEventLeftMouseDown, {10, 20}, 0),
         {{{EV_ABS, ABS_X, 10}, {EV_ABS, ABS_Y, 20}, syn}, {{EV_KEY, BTN_LEFT, 1}, syn}}},
        {"a scroll",
         CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 1, 40, 0),
         {{{EV_REL, REL_WHEEL_HI_RES, 120}, {EV_REL, REL_WHEEL, 1}, syn}}},
        {"a zoom of two steps",
         magnify(0.25),
         {{{EV_KEY, KEY_LEFTCTRL, 1}, syn},
          {{EV_REL, REL_WHEEL_HI_RES, 240}, {EV_REL, REL_WHEEL, 2}, syn},
          {{EV_KEY, KEY_LEFTCTRL, 0}, syn}}},
        {"a rotation (no evdev form)", std::move(rotate), {}},
    };
    for (const Case& c : cases) {
        sink->post(*c.event);
        EXPECT_EQ(writes(device), c.expected) << c.what;
    }
    EXPECT_EQ(sink->failedEvents(), 0u);
    EXPECT_EQ(sink->droppedGestures(), 1u);

    // The button still down is let go, in one frame, when the desktop
    // changes size under it.
    sink->setScreenGeometry({0, 0, 1280, 800, 0, 0, 1280, 800});
    EXPECT_EQ(writes(device), (std::vector<Frame>{{{EV_KEY, BTN_LEFT, 0}, syn}}));
    sink->post(*CGEventCreateMouseEvent(nullptr, kCGEventMouseMoved, {5000, 5000}, 0));
    EXPECT_EQ(writes(device),
              (std::vector<Frame>{{{EV_ABS, ABS_X, 1279}, {EV_ABS, ABS_Y, 799}, syn}}));
    ::close(device);
}

TEST(UinputSinkTest, AFailedWriteIsCountedAndSaid) {
    const int readOnly = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    auto sink = UinputSink::writingTo(readOnly, {0, 0, 100, 100, 0, 0, 100, 100});
    testing::internal::CaptureStderr();
    sink->post(*CGEventCreateMouseEvent(nullptr, kCGEventMouseMoved, {1, 1}, 0));
    sink->post(*magnify(1));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sink->failedEvents(), 2u);
    EXPECT_NE(log.find("uinput: writing an event failed: Bad file descriptor (1 events lost)"),
              std::string::npos)
        << log;
}
