// The HID manager on the virtual backend, and the virtual frame itself: what
// the agent's device layer sees of a frame.
#include "agent/simulator/VirtualFrame.hpp"
#include "platform/hid/HID.hpp"
#include "platform/runloop/RunLoop.hpp"

#include "tests/platform/hid/Descriptors.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>

namespace {

using namespace platform::hid;
using platform::Array;
using platform::Dictionary;
using platform::Value;
using Bytes = std::vector<std::uint8_t>;
using Contact = VirtualFrame::Contact;

struct Events {
    std::vector<IOHIDDeviceRef> matched;
    std::vector<IOHIDDeviceRef> removed;
    struct Report {
        IOReturn result;
        void* sender;
        IOHIDReportType type;
        std::uint32_t reportID;
        Bytes bytes;
    };
    std::vector<Report> reports;
    std::function<void(const IOHIDDeviceRef&)> whenRemoved;
    std::function<void(const IOHIDDeviceRef&)> whenMatched;
    void* manager = nullptr;
};

void onMatched(void* context, IOReturn result, void* sender, IOHIDDeviceRef device) {
    auto* e = static_cast<Events*>(context);
    EXPECT_EQ(result, kIOReturnSuccess);
    EXPECT_EQ(sender, e->manager);
    e->matched.push_back(device);
    if (e->whenMatched)
        e->whenMatched(device);
}

void onRemoved(void* context, IOReturn result, void* sender, IOHIDDeviceRef device) {
    auto* e = static_cast<Events*>(context);
    EXPECT_EQ(result, kIOReturnSuccess);
    EXPECT_EQ(sender, e->manager);
    e->removed.push_back(device);
    if (e->whenRemoved)
        e->whenRemoved(device);
}

void onReport(void* context, IOReturn result, void* sender, IOHIDReportType type,
              std::uint32_t reportID, std::uint8_t* report, long length) {
    static_cast<Events*>(context)->reports.push_back(
        {result, sender, type, reportID, Bytes(report, report + length)});
}

// A contact without width and height.
Contact at(std::uint8_t flags, std::uint8_t id, std::uint16_t x, std::uint16_t y) {
    Contact c;
    c.flags = flags;
    c.id = id;
    c.x = x;
    c.y = y;
    return c;
}

Bytes command(std::uint8_t code, std::uint8_t parameter = 0) {
    Bytes c(63, 0);
    c[0] = 2;
    c[1] = code;
    c[2] = parameter;
    return c;
}

Dictionary agentMatching(bool debug) {
    Dictionary pair{{"DeviceUsagePage", debug ? 255 : 13}, {"DeviceUsage", debug ? 1 : 4}};
    Dictionary d{{"DeviceUsagePairs", Array{pair}}, {"VendorID", 9161}};
    if (debug)
        d.set("MaxFeatureReportSize", 63);
    return d;
}

class VirtualFrameTest : public ::testing::Test {
  protected:
    // A manager set up the way the agent sets up its two.
    IOHIDManagerRef makeManager(bool debug, Events& events,
                                std::uint32_t options = kIOHIDOptionsTypeSeizeDevice,
                                IOReturn expected = kIOReturnSuccess) {
        auto m = IOHIDManagerCreate(kIOHIDOptionsTypeNone, backend);
        events.manager = m.get();
        IOHIDManagerSetDeviceMatching(m, agentMatching(debug));
        IOHIDManagerRegisterDeviceMatchingCallback(m, onMatched, &events);
        IOHIDManagerRegisterDeviceRemovalCallback(m, onRemoved, &events);
        IOHIDManagerScheduleWithRunLoop(m, *loop);
        EXPECT_EQ(IOHIDManagerOpen(m, options), expected);
        return m;
    }

    // Opens a matched device and registers a receive buffer for its input.
    void listen(const IOHIDDeviceRef& device, Events& events, long size = 64) {
        ASSERT_EQ(IOHIDDeviceOpen(device, kIOHIDOptionsTypeNone), kIOReturnSuccess);
        buffers.push_back(std::make_unique<Bytes>(static_cast<std::size_t>(size)));
        IOHIDDeviceRegisterInputReportCallback(device, buffers.back()->data(), size, onReport,
                                               &events);
    }

    IOReturn send(const IOHIDDeviceRef& device, const Bytes& report, long reportID = 2) {
        return IOHIDDeviceSetReport(device, kIOHIDReportTypeOutput, reportID, report.data(),
                                    static_cast<long>(report.size()));
    }

    std::shared_ptr<VirtualFrame> attach(VirtualFrame::Config config = {}) {
        auto frame = std::make_shared<VirtualFrame>(std::move(config));
        EXPECT_TRUE(backend->attach(frame));
        return frame;
    }

    std::unique_ptr<platform::RunLoop> loop = platform::makeVirtualRunLoop(800000000.0);
    std::shared_ptr<VirtualBackend> backend = std::make_shared<VirtualBackend>();
    std::vector<std::unique_ptr<Bytes>> buffers;
};

// --- managers and devices --------------------------------------------------

TEST_F(VirtualFrameTest, FramePresentAtOpenIsMatchedFromTheRunLoop) {
    attach();
    Events touch, debug;
    auto touchManager = makeManager(false, touch);
    auto debugManager = makeManager(true, debug);
    EXPECT_TRUE(touch.matched.empty()) << "matching must not run inside IOHIDManagerOpen";
    loop->run();
    ASSERT_EQ(touch.matched.size(), 1u);
    ASSERT_EQ(debug.matched.size(), 1u);

    const auto& t = touch.matched[0];
    EXPECT_TRUE(IOHIDDeviceConformsTo(t, 13, 4));
    EXPECT_FALSE(IOHIDDeviceConformsTo(t, 255, 1));
    EXPECT_EQ(IOHIDDeviceGetProperty(t, "VendorID"), Value(0x23C9));
    EXPECT_EQ(IOHIDDeviceGetProperty(t, "ProductID"), Value(0x5666));
    EXPECT_EQ(IOHIDDeviceGetProperty(t, "MaxInputReportSize"), Value(62));
    EXPECT_EQ(IOHIDDeviceGetProperty(t, "Transport"), Value("Virtual"));
    EXPECT_EQ(IOHIDDeviceGetProperty(t, "ReportDescriptor"),
              Value(platform::Data(tact::test::hid::frameTouchDescriptor())));

    const auto& d = debug.matched[0];
    EXPECT_TRUE(IOHIDDeviceConformsTo(d, 255, 1));
    EXPECT_EQ(IOHIDDeviceGetProperty(d, "MaxInputReportSize"), Value(64));
    EXPECT_EQ(IOHIDDeviceGetProperty(d, "MaxOutputReportSize"), Value(63));
    EXPECT_EQ(IOHIDDeviceGetProperty(d, "MaxFeatureReportSize"), Value(63));
    EXPECT_EQ(IOHIDDeviceGetProperty(d, "ReportDescriptor"),
              Value(platform::Data(tact::test::hid::frameDebugDescriptor())));
}

TEST_F(VirtualFrameTest, AttachDetachAndAttachAgain) {
    Events touch, debug;
    auto touchManager = makeManager(false, touch);
    auto debugManager = makeManager(true, debug);
    loop->run();
    EXPECT_TRUE(touch.matched.empty());  // no frame: open succeeds and waits

    auto frame = attach();
    EXPECT_FALSE(backend->attach(frame));  // already attached
    EXPECT_TRUE(touch.matched.empty()) << "callbacks come from the run loop";
    loop->run();
    ASSERT_EQ(touch.matched.size(), 1u);
    ASSERT_EQ(debug.matched.size(), 1u);

    EXPECT_TRUE(backend->detach(frame));
    EXPECT_FALSE(backend->detach(frame));
    loop->run();
    ASSERT_EQ(touch.removed.size(), 1u);
    ASSERT_EQ(debug.removed.size(), 1u);
    EXPECT_EQ(touch.removed[0], touch.matched[0]);
    EXPECT_EQ(debug.removed[0], debug.matched[0]);
    EXPECT_FALSE(frame->isAttached());

    EXPECT_TRUE(backend->attach(frame));
    loop->run();
    ASSERT_EQ(touch.matched.size(), 2u);
    EXPECT_NE(touch.matched[1], touch.matched[0]);  // a new device each attachment
    EXPECT_EQ(debug.matched.size(), 2u);
}

TEST_F(VirtualFrameTest, AttachAndDetachBeforeTheLoopRuns) {
    Events touch;
    auto manager = makeManager(false, touch);
    auto frame = attach();
    backend->detach(frame);
    loop->run();
    // Both events are delivered, in order.
    ASSERT_EQ(touch.matched.size(), 1u);
    ASSERT_EQ(touch.removed.size(), 1u);
    EXPECT_EQ(IOHIDDeviceOpen(touch.matched[0], 0), kIOReturnNoDevice);
}

TEST_F(VirtualFrameTest, RemovalWhileOpenClosesAfterTheCallback) {
    auto frame = attach();
    Events touch;
    auto manager = makeManager(false, touch);
    loop->run();
    ASSERT_EQ(touch.matched.size(), 1u);
    listen(touch.matched[0], touch);
    EXPECT_TRUE(frame->isSeized(VirtualFrame::Interface::Touch));

    // What the agent does on removal: unregister, close; both succeed.
    IOReturn closeResult = -1;
    touch.whenRemoved = [&](const IOHIDDeviceRef& d) {
        IOHIDDeviceRegisterInputReportCallback(d, nullptr, 0, nullptr, nullptr);
        closeResult = IOHIDDeviceClose(d, 0);
    };
    ASSERT_TRUE(frame->sendTouches({at(7, 1, 100, 200)}));  // pending in the loop
    backend->detach(frame);
    loop->run();
    EXPECT_EQ(closeResult, kIOReturnSuccess);
    EXPECT_TRUE(touch.reports.empty()) << "a report pending at detach is dropped";
    EXPECT_FALSE(frame->isSeized(VirtualFrame::Interface::Touch));
    EXPECT_EQ(send(touch.matched[0], command(0x10)), kIOReturnNoDevice);
}

TEST_F(VirtualFrameTest, SeizeIsExclusiveAndReleasedOnClose) {
    auto frame = attach();
    Events first, second, plain;
    auto seizing = makeManager(false, first);
    EXPECT_TRUE(frame->isSeized(VirtualFrame::Interface::Touch));
    EXPECT_FALSE(frame->isSeized(VirtualFrame::Interface::Debug));
    makeManager(false, second, kIOHIDOptionsTypeSeizeDevice, kIOReturnExclusiveAccess);
    makeManager(false, plain, kIOHIDOptionsTypeNone, kIOReturnExclusiveAccess);

    loop->run();
    ASSERT_EQ(first.matched.size(), 1u);
    listen(first.matched[0], first);
    EXPECT_EQ(IOHIDManagerClose(seizing, 0), kIOReturnSuccess);
    EXPECT_FALSE(frame->isSeized(VirtualFrame::Interface::Touch));
    EXPECT_EQ(IOHIDManagerClose(seizing, 0), kIOReturnNotOpen);

    Events later;
    makeManager(false, later, kIOHIDOptionsTypeNone);  // free again
    EXPECT_FALSE(frame->isSeized(VirtualFrame::Interface::Touch));
}

TEST_F(VirtualFrameTest, ManagerGoneReleasesItsDevices) {
    auto frame = attach();
    Events touch;
    auto manager = makeManager(false, touch);
    loop->run();
    ASSERT_EQ(touch.matched.size(), 1u);
    listen(touch.matched[0], touch);
    manager.reset();
    EXPECT_FALSE(frame->isSeized(VirtualFrame::Interface::Touch));
    frame->sendTouches({});
    loop->run();
    EXPECT_TRUE(touch.reports.empty());
    EXPECT_EQ(IOHIDDeviceOpen(touch.matched[0], 0), kIOReturnNoDevice);
}

TEST_F(VirtualFrameTest, UnscheduledManagerCatchesUpWhenScheduledAgain) {
    auto frame = attach();
    Events touch;
    auto manager = makeManager(false, touch);
    loop->run();
    ASSERT_EQ(touch.matched.size(), 1u);
    IOHIDManagerUnscheduleFromRunLoop(manager);
    backend->detach(frame);
    loop->run();
    EXPECT_TRUE(touch.removed.empty());
    IOHIDManagerScheduleWithRunLoop(manager, *loop);
    loop->run();
    EXPECT_EQ(touch.removed.size(), 1u);
}

TEST_F(VirtualFrameTest, OpenedBeforeScheduled) {
    auto frame = attach();
    Events touch;
    auto m = IOHIDManagerCreate(kIOHIDOptionsTypeNone, backend);
    touch.manager = m.get();
    IOHIDManagerSetDeviceMatching(m, agentMatching(false));
    IOHIDManagerRegisterDeviceMatchingCallback(m, onMatched, &touch);
    ASSERT_EQ(IOHIDManagerOpen(m, kIOHIDOptionsTypeSeizeDevice), kIOReturnSuccess);
    EXPECT_TRUE(frame->isSeized(VirtualFrame::Interface::Touch));
    loop->run();
    EXPECT_TRUE(touch.matched.empty()) << "no run loop, no callbacks";

    IOHIDManagerScheduleWithRunLoop(m, *loop);
    loop->run();
    ASSERT_EQ(touch.matched.size(), 1u);
    listen(touch.matched[0], touch, 62);
    frame->sendTouches({at(7, 1, 2, 3)});
    loop->run();
    EXPECT_EQ(touch.reports.size(), 1u) << "input arrives on the loop scheduled later";
}

TEST_F(VirtualFrameTest, NullAndClosedRefs) {
    IOHIDDeviceRef none;
    IOHIDManagerRef noManager;
    EXPECT_EQ(IOHIDDeviceOpen(none, 0), kIOReturnBadArgument);
    EXPECT_EQ(IOHIDDeviceClose(none, 0), kIOReturnBadArgument);
    EXPECT_FALSE(IOHIDDeviceConformsTo(none, 13, 4));
    EXPECT_FALSE(IOHIDDeviceGetProperty(none, "VendorID"));
    EXPECT_EQ(IOHIDManagerOpen(noManager, 0), kIOReturnBadArgument);
    IOHIDManagerScheduleWithRunLoop(noManager, *loop);  // nothing happens

    attach();
    Events touch;
    auto manager = makeManager(false, touch);
    loop->run();
    ASSERT_EQ(touch.matched.size(), 1u);
    const auto& d = touch.matched[0];
    EXPECT_EQ(IOHIDDeviceClose(d, 0), kIOReturnNotOpen);
    EXPECT_EQ(IOHIDDeviceOpen(d, 0), kIOReturnSuccess);
    EXPECT_EQ(IOHIDDeviceClose(d, 0), kIOReturnSuccess);
    EXPECT_EQ(IOHIDDeviceClose(d, 0), kIOReturnNotOpen);
    long length = 0;
    Bytes buffer(64);
    EXPECT_EQ(IOHIDDeviceGetReport(d, kIOHIDReportTypeFeature, 10, buffer.data(), &length),
              kIOReturnBadArgument);
    EXPECT_EQ(ioReturnText(kIOReturnNotPermitted), "not permitted");
    EXPECT_EQ(ioReturnText(0x1234), "error 0x1234");
}

// --- the debug channel -----------------------------------------------------

class HandshakeTest : public VirtualFrameTest {
  protected:
    // Opens the device that carries the debug channel.
    IOHIDDeviceRef debugChannel(const VirtualFrame::Config& config) {
        frame = attach(config);
        const bool single = config.product == 0x5668;
        manager = makeManager(!single, events);
        loop->run();
        EXPECT_EQ(events.matched.size(), 1u);
        if (events.matched.empty())
            return nullptr;
        listen(events.matched[0], events);
        return events.matched[0];
    }

    Bytes answerTo(const IOHIDDeviceRef& device, const Bytes& request) {
        events.reports.clear();
        EXPECT_EQ(send(device, request), kIOReturnSuccess);
        loop->run();
        EXPECT_EQ(events.reports.size(), 1u);
        return events.reports.empty() ? Bytes{} : events.reports[0].bytes;
    }

    std::shared_ptr<VirtualFrame> frame;
    Events events;
    IOHIDManagerRef manager;
};

VirtualFrame::Config exampleConfig() {
    VirtualFrame::Config c;
    c.bootparam = {40, 1, 2, 3, 4, 5, 6, 7, 110, 0, 0xEF, 0x07, 9, 8, 10, 0xA0};
    c.serial = "SN-1";
    c.type = "T-1";
    c.shiptime = 1577836800;  // 0x5E0BE100
    c.ledsH = 100;
    c.ledsV = 60;
    return c;
}

TEST_F(HandshakeTest, BootParametersAndDeviceInformation) {
    auto device = debugChannel(exampleConfig());
    ASSERT_TRUE(device);

    Bytes boot(64, 0);
    boot[0] = 1;
    boot[1] = 0x10;
    const auto& bp = exampleConfig().bootparam;
    std::copy(bp.begin(), bp.end(), boot.begin() + 3);
    EXPECT_EQ(answerTo(device, command(0x10)), boot);
    EXPECT_EQ(events.reports[0].reportID, 1u);
    EXPECT_EQ(events.reports[0].result, kIOReturnSuccess);
    EXPECT_EQ(events.reports[0].sender, device.get());

    Bytes info(64, 0);
    info[0] = 1;
    info[1] = 0x17;
    const Bytes tail = {0x00, 0xE1, 0x0B, 0x5E, 'S', 'N', '-', '1', 0, 'T', '-', '1', 0};
    std::copy(tail.begin(), tail.end(), info.begin() + 15);
    EXPECT_EQ(answerTo(device, command(0x17)), info);
}

TEST_F(HandshakeTest, FrameBlockInThreePackets) {
    auto device = debugChannel(exampleConfig());
    ASSERT_TRUE(device);
    EXPECT_EQ(send(device, command(0x21, 2)), kIOReturnSuccess);
    loop->run();
    ASSERT_EQ(events.reports.size(), 3u);
    Bytes block;
    const std::uint8_t codes[] = {0x30, 0x31, 0x32};
    const std::size_t lengths[] = {16, 16, 8};
    for (int i = 0; i < 3; ++i) {
        const Bytes& r = events.reports[static_cast<std::size_t>(i)].bytes;
        ASSERT_EQ(r.size(), 64u);
        EXPECT_EQ(r[0], 1);
        EXPECT_EQ(r[1], codes[i]);
        ASSERT_EQ(r[2], lengths[i]);
        block.insert(block.end(), r.begin() + 3, r.begin() + 3 + r[2]);
    }
    EXPECT_EQ(block, frame->frameBlock());
    ASSERT_EQ(block.size(), VirtualFrame::kFrameBlockSize);
    EXPECT_EQ(block[7] | block[8] << 8, 100);
    EXPECT_EQ(block[9] | block[10] << 8, 60);
    const unsigned sum = std::accumulate(block.begin(), block.end() - 1, 0u);
    EXPECT_EQ(block.back(), sum % 256);

    // The acknowledgement and unknown commands get no answer.
    events.reports.clear();
    send(device, command(0x21, 0));
    send(device, command(0x55));
    loop->run();
    EXPECT_TRUE(events.reports.empty());

    // Every command is in the log, in order, with the bytes as written.
    std::vector<Bytes> written;
    for (const auto& r : frame->requests())
        if (!r.isGet && r.type == kIOHIDReportTypeOutput) {
            EXPECT_EQ(r.interface, VirtualFrame::Interface::Debug);
            written.push_back(r.bytes);
        }
    EXPECT_EQ(written, (std::vector<Bytes>{command(0x21, 2), command(0x21, 0), command(0x55)}));
}

TEST_F(HandshakeTest, Variants) {
    auto config = exampleConfig();
    config.shiptime.reset();
    config.badFrameChecksum = true;
    auto device = debugChannel(config);
    ASSERT_TRUE(device);
    Bytes info = answerTo(device, command(0x17));
    ASSERT_EQ(info.size(), 64u);
    EXPECT_EQ(Bytes(info.begin() + 15, info.begin() + 19), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&info[19])), "SN-1");

    const Bytes block = frame->frameBlock();
    const unsigned sum = std::accumulate(block.begin(), block.end() - 1, 0u);
    EXPECT_EQ(block.back(), (sum + 1) % 256);
}

TEST_F(HandshakeTest, FrameWithoutDebugAnswersNothing) {
    auto config = exampleConfig();
    config.debug = false;
    auto device = debugChannel(config);
    ASSERT_TRUE(device);
    for (auto c : {command(0x10), command(0x17), command(0x21, 2)})
        EXPECT_EQ(send(device, c), kIOReturnSuccess);
    loop->run();
    EXPECT_TRUE(events.reports.empty());
    EXPECT_EQ(frame->requests().size(), 3u);
}

TEST_F(HandshakeTest, SingleInterfaceFrameAnswersOnTheTouchInterface) {
    auto config = exampleConfig();
    config.product = 0x5668;
    Events debugEvents;
    auto debugManager = makeManager(true, debugEvents);
    auto device = debugChannel(config);
    ASSERT_TRUE(device);
    EXPECT_TRUE(debugEvents.matched.empty()) << "no separate debug interface";
    EXPECT_TRUE(IOHIDDeviceConformsTo(device, 13, 4));
    EXPECT_EQ(IOHIDDeviceGetProperty(device, "ProductID"), Value(0x5668));
    EXPECT_EQ(IOHIDDeviceGetProperty(device, "MaxInputReportSize"), Value(64));
    EXPECT_EQ(IOHIDDeviceGetProperty(device, "MaxOutputReportSize"), Value(63));
    EXPECT_EQ(IOHIDDeviceGetProperty(device, "ReportDescriptor"),
              Value(platform::Data(tact::test::hid::frameTouchDescriptor(true))));

    Bytes boot = answerTo(device, command(0x10));
    ASSERT_EQ(boot.size(), 64u);
    EXPECT_EQ(events.reports[0].reportID, 1u);  // the response as report 1 of the touch interface
    EXPECT_EQ(boot[1], 0x10);
    EXPECT_EQ(frame->requests().back().interface, VirtualFrame::Interface::Touch);

    // Touch reports still come as report 10 on the same device.
    events.reports.clear();
    frame->sendTouches({at(7, 3, 1, 2)});
    loop->run();
    ASSERT_EQ(events.reports.size(), 1u);
    EXPECT_EQ(events.reports[0].reportID, 10u);
}

TEST_F(VirtualFrameTest, FeatureReports) {
    auto config = exampleConfig();
    config.bootparam[15] = 0x60;
    attach(config);
    Events touch, debug;
    auto touchManager = makeManager(false, touch);
    auto debugManager = makeManager(true, debug);
    loop->run();
    ASSERT_EQ(touch.matched.size(), 1u);
    ASSERT_EQ(debug.matched.size(), 1u);

    Bytes buffer(64, 0xEE);
    long length = 64;
    EXPECT_EQ(
        IOHIDDeviceGetReport(touch.matched[0], kIOHIDReportTypeFeature, 10, buffer.data(), &length),
        kIOReturnSuccess);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), (Bytes{10, 6}));
    length = 64;
    EXPECT_EQ(
        IOHIDDeviceGetReport(touch.matched[0], kIOHIDReportTypeFeature, 11, buffer.data(), &length),
        kIOReturnSuccess);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), (Bytes{11, 2, 0}));
    length = 64;
    EXPECT_EQ(
        IOHIDDeviceGetReport(debug.matched[0], kIOHIDReportTypeFeature, 2, buffer.data(), &length),
        kIOReturnSuccess);
    EXPECT_EQ(length, 63);
    length = 64;
    EXPECT_EQ(
        IOHIDDeviceGetReport(touch.matched[0], kIOHIDReportTypeFeature, 12, buffer.data(), &length),
        kIOReturnUnsupported);
    // The touch interface of a two-interface frame takes no commands.
    EXPECT_EQ(send(touch.matched[0], command(0x10)), kIOReturnUnsupported);
}

// --- touch reports ---------------------------------------------------------

Bytes touchReport(std::uint8_t count, const Bytes& records) {
    Bytes r(62, 0);
    r[0] = 10;
    std::copy(records.begin(), records.end(), r.begin() + 1);
    r[61] = count;
    return r;
}

std::vector<Bytes> encode(const VirtualFrame& frame, const std::vector<Contact>& contacts) {
    std::vector<Bytes> reports;
    std::string error;
    EXPECT_TRUE(frame.encodeTouches(contacts, &reports, &error)) << error;
    return reports;
}

TEST(VirtualFrameEncoding, LayoutFromBootParameters) {
    auto layout = [](std::uint8_t bootloader, std::uint8_t flags) {
        VirtualFrame::Config c;
        c.bootparam = {};
        c.bootparam[0] = bootloader;
        c.bootparam[15] = flags;
        return VirtualFrame(c).recordLayout();
    };
    using L = VirtualFrame::RecordLayout;
    EXPECT_EQ(layout(40, 0x00), L::TenByteSplit);
    EXPECT_EQ(layout(40 | 0x80, 0x05), L::TenByteSplit);
    EXPECT_EQ(layout(39 | 0x80, 0x35), L::TenByte);  // the high bit is not part of the version
    EXPECT_EQ(layout(0, 0x10), L::TenByte);
    EXPECT_EQ(layout(0, 0x60), L::TenByte);
    EXPECT_EQ(layout(0, 0x00), L::SixByte);  // no boot parameters
    EXPECT_EQ(layout(30, 0x75), L::SixByte);
    EXPECT_EQ(layout(30, 0x05), L::SixByte);
    EXPECT_EQ(layout(30, 0xA0), L::SixByte);
}

TEST(VirtualFrameEncoding, TenByteRecords) {
    VirtualFrame frame;  // bootloader 40
    auto reports =
        encode(frame, {Contact{7, 5, 0x1234, 0x2345, 0x0102, 0x0304}, at(6, 9, 32767, 0)});
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], touchReport(2, {7, 5, 0x34, 0x12, 0x45, 0x23, 0x02, 0x01, 0x04, 0x03,  //
                                          6, 9, 0xFF, 0x7F, 0,    0,    0,    0,    0,    0}));
    // No contact: one report with count 0.
    EXPECT_EQ(encode(frame, {}), (std::vector<Bytes>{touchReport(0, {})}));
}

TEST(VirtualFrameEncoding, SplitAboveSixContacts) {
    VirtualFrame frame;
    std::vector<Contact> contacts;
    for (std::uint8_t i = 0; i < 8; ++i)
        contacts.push_back(Contact{7, i, static_cast<std::uint16_t>(i * 100), 50, 10, 20});
    auto reports = encode(frame, contacts);
    ASSERT_EQ(reports.size(), 2u);
    auto record = [](std::uint8_t id) {
        const std::uint16_t x = static_cast<std::uint16_t>(id * 100);
        return Bytes{7,
                     id,
                     static_cast<std::uint8_t>(x & 0xFF),
                     static_cast<std::uint8_t>(x >> 8),
                     50,
                     0,
                     10,
                     0,
                     20,
                     0};
    };
    Bytes first, second;
    for (std::uint8_t i = 0; i < 6; ++i) {
        auto r = record(i);
        first.insert(first.end(), r.begin(), r.end());
    }
    for (std::uint8_t i = 6; i < 8; ++i) {
        auto r = record(i);
        second.insert(second.end(), r.begin(), r.end());
    }
    EXPECT_EQ(reports[0], touchReport(8, first));   // the total count, six records
    EXPECT_EQ(reports[1], touchReport(0, second));  // count 0, the rest at 1, 11, ...

    contacts.resize(10, Contact{});
    EXPECT_EQ(encode(frame, contacts).size(), 2u);
    contacts.push_back(Contact{});
    std::string error;
    EXPECT_FALSE(frame.encodeTouches(contacts, nullptr, &error));
    EXPECT_NE(error.find("at most 10"), std::string::npos) << error;
}

TEST(VirtualFrameEncoding, OlderFrames) {
    VirtualFrame::Config ten;
    ten.bootparam = {};
    ten.bootparam[0] = 30;
    ten.bootparam[15] = 0x35;
    VirtualFrame tenByte(ten);
    std::vector<Contact> six(6, Contact{7, 1, 2, 3, 4, 5});
    auto reports = encode(tenByte, six);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0][61], 6);
    EXPECT_EQ(Bytes(reports[0].begin() + 51, reports[0].begin() + 61),
              (Bytes{7, 1, 2, 0, 3, 0, 4, 0, 5, 0}));
    six.push_back(Contact{});
    std::string error;
    EXPECT_FALSE(tenByte.encodeTouches(six, nullptr, &error));  // never split
    EXPECT_NE(error.find("at most 6"), std::string::npos) << error;

    VirtualFrame::Config sixCfg = ten;
    sixCfg.bootparam[15] = 0x75;
    VirtualFrame sixByte(sixCfg);
    std::vector<Contact> contacts;
    Bytes records;
    for (std::uint8_t i = 0; i < 10; ++i) {
        // Width and height have no place in 6-byte records.
        contacts.push_back(Contact{7, i, static_cast<std::uint16_t>(0x100 + i), 0x7FFF, 9, 9});
        records.insert(records.end(), {7, i, i, 0x01, 0xFF, 0x7F});
    }
    EXPECT_EQ(encode(sixByte, contacts), (std::vector<Bytes>{touchReport(10, records)}));
    contacts.push_back(Contact{});
    EXPECT_FALSE(sixByte.encodeTouches(contacts, nullptr, &error));
}

TEST(VirtualFrameEncoding, Config) {
    VirtualFrame::Config c;
    EXPECT_EQ(VirtualFrame::checkConfig(c), "");
    EXPECT_EQ(VirtualFrame(c).config().product, 0x5666);
    c.serial = std::string(30, 'S');
    c.type = std::string(13, 'T');
    EXPECT_EQ(VirtualFrame::checkConfig(c), "");  // 43 bytes fit
    c.type += "T";
    EXPECT_NE(VirtualFrame::checkConfig(c), "");
    VirtualFrame cut(c);  // the frame cuts what does not fit
    EXPECT_EQ(cut.config().serial.size() + cut.config().type.size(), 43u);
    c.serial = std::string("A\0B", 3);
    c.type = "T";
    EXPECT_NE(VirtualFrame::checkConfig(c), "");
}

TEST_F(VirtualFrameTest, TouchReportsReachTheInputCallback) {
    auto frame = attach();
    Events touch;
    auto manager = makeManager(false, touch);
    loop->run();
    ASSERT_EQ(touch.matched.size(), 1u);
    listen(touch.matched[0], touch, 62);

    std::vector<Contact> eight(8, at(7, 1, 2, 3));
    ASSERT_TRUE(frame->sendTouches(eight));
    loop->run();
    ASSERT_EQ(touch.reports.size(), 2u);
    EXPECT_EQ(touch.reports[0].reportID, 10u);
    EXPECT_EQ(touch.reports[0].type, kIOHIDReportTypeInput);
    EXPECT_EQ(touch.reports[0].bytes.size(), 62u);
    EXPECT_EQ(touch.reports[0].bytes[61], 8);
    EXPECT_EQ(touch.reports[1].bytes[61], 0);

    // Raw reports go as given; the report ID is their first byte.
    touch.reports.clear();
    const Bytes raw = {1, 0x10, 0, 40};
    ASSERT_TRUE(frame->sendRaw(raw));
    std::string error;
    EXPECT_FALSE(frame->sendRaw({}, &error));
    EXPECT_FALSE(error.empty());
    loop->run();
    ASSERT_EQ(touch.reports.size(), 1u);
    EXPECT_EQ(touch.reports[0].reportID, 1u);
    EXPECT_EQ(touch.reports[0].bytes, raw);

    // A report longer than the buffer is cut to it.
    touch.reports.clear();
    ASSERT_TRUE(frame->sendRaw(Bytes(100, 10)));
    loop->run();
    ASSERT_EQ(touch.reports.size(), 1u);
    EXPECT_EQ(touch.reports[0].bytes.size(), 62u);
    EXPECT_EQ(touch.reports[0].result, kIOReturnSuccess);

    // Unregistered: nothing arrives.
    touch.reports.clear();
    IOHIDDeviceRegisterInputReportCallback(touch.matched[0], nullptr, 0, nullptr, nullptr);
    frame->sendTouches({});
    loop->run();
    EXPECT_TRUE(touch.reports.empty());

    // Detached: sending still encodes, and nothing arrives.
    backend->detach(frame);
    EXPECT_TRUE(frame->sendTouches({Contact{}}));
    EXPECT_FALSE(frame->sendTouches(std::vector<Contact>(11)));
    loop->run();
    EXPECT_TRUE(touch.reports.empty());
}

TEST_F(VirtualFrameTest, ReportsAtTheSameVirtualTime) {
    auto frame = attach(exampleConfig());
    Events debug;
    auto manager = makeManager(true, debug);
    auto* virtualLoop = loop.get();
    const double start = virtualLoop->absoluteTime();
    loop->run();
    ASSERT_EQ(debug.matched.size(), 1u);
    listen(debug.matched[0], debug);
    // A handshake driven from the callbacks completes without time passing.
    debug.reports.clear();
    send(debug.matched[0], command(0x10));
    loop->run();
    send(debug.matched[0], command(0x17));
    loop->run();
    send(debug.matched[0], command(0x21, 2));
    loop->run();
    EXPECT_EQ(debug.reports.size(), 5u);
    EXPECT_EQ(virtualLoop->absoluteTime(), start);
}

}  // namespace
