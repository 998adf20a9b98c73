// The Linux backend: sysfs walking on a sysfs tree laid out by the test, the
// hidraw connection on FIFOs and plain files standing in for device nodes,
// and the real backend on this machine.
#include "platform/hid/HID.hpp"
#include "platform/hid/linux/LinuxBackend.hpp"
#include "platform/runloop/RunLoop.hpp"

#include "tests/platform/hid/Descriptors.hpp"
#include "tests/platform/hid/FakeSysfs.hpp"
#include "tests/support/ResultChecks.hpp"
#include "tests/support/TempDir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace platform::hid;
using namespace platform::hid::linux_hid;
using tact::test::errorOf;
using tact::test::TempDir;
using tact::test::hid::FakeSysfs;
using Bytes = std::vector<std::uint8_t>;

std::string bytes(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

Bytes keyboardDescriptor() {
    return tact::test::hid::bootKeyboardDescriptor();
}

TEST(LinuxHidSysfs, DescribesHidrawNodes) {
    FakeSysfs fake;
    const auto touch = fake.addHid("0003:23C9:5666.0001", "0003:000023C9:00005666",
                                   tact::test::hid::frameTouchDescriptor(), 3, 7);
    const auto debug = fake.addHid("0003:23C9:5666.0002", "0003:000023C9:00005666",
                                   tact::test::hid::frameDebugDescriptor(), 4);
    EXPECT_EQ(scanHidraw(fake.sys()), (std::vector<std::string>{touch, debug}));

    auto node = describeHidraw(touch, fake.dev());
    ASSERT_TRUE(node) << errorOf(node);
    const auto& d = node->description;
    EXPECT_EQ(d.path, touch);
    EXPECT_EQ(d.vendorID, 0x23C9u);
    EXPECT_EQ(d.productID, 0x5666u);
    EXPECT_EQ(d.product, "Quux Touch Frame");
    EXPECT_EQ(d.serialNumber, "SN123");
    EXPECT_EQ(d.transport, "USB");
    EXPECT_EQ(d.usagePairs, (std::vector<UsagePair>{{13, 4}}));
    EXPECT_TRUE(d.usesReportIDs);
    EXPECT_EQ(d.maxInputReportSize, 62u);
    EXPECT_EQ(d.maxFeatureReportSize, 3u);
    EXPECT_EQ(node->devnode, fake.devnode("hidraw3"));
    EXPECT_EQ(evdevNodesOf(node->hidSyspath, fake.dev()),
              (std::vector<std::string>{fake.devnode("input/event7")}));

    auto dbg = describeHidraw(debug, fake.dev());
    ASSERT_TRUE(dbg) << errorOf(dbg);
    EXPECT_EQ(dbg->description.usagePairs, (std::vector<UsagePair>{{255, 1}}));
    EXPECT_EQ(dbg->description.maxFeatureReportSize, 63u);
    EXPECT_TRUE(evdevNodesOf(dbg->hidSyspath, fake.dev()).empty());

    // The backend on this tree sees both and follows nothing.
    auto backend = makeLinuxBackend({fake.sys(), fake.dev()});
    auto devices = backend->devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[1]->description().maxOutputReportSize, 63u);
}

TEST(LinuxHidSysfs, SkipsNodesThatAreNotUsable) {
    FakeSysfs fake;
    const auto good =
        fake.addHid("0003:046D:C31C.0001", "0003:0000046D:0000C31C", keyboardDescriptor(), 0);
    const auto badId =
        fake.addHid("0003:046D:C31C.0002", "0003:nothex:0000C31C", keyboardDescriptor(), 1);
    const auto hostile = fake.addHid("0003:046D:C31C.0003", "0003:0000046D:0000C31C",
                                     Bytes{0x09, 0x01, 0xA1, 0x01}, 2);
    const auto noDescriptor =
        fake.addHid("0003:046D:C31C.0004", "0005:0000046D:0000C31C", keyboardDescriptor(), 5);
    fs::remove(fs::path(noDescriptor) / "device" / "report_descriptor");
    const auto orphan =
        fake.addHid("0003:046D:C31C.0005", "0003:0000046D:0000C31C", keyboardDescriptor(), 6);
    fs::remove(fs::path(orphan) / "device");

    EXPECT_EQ(errorOf(describeHidraw(good, fake.dev())), "");
    for (const auto& path : {badId, hostile, noDescriptor, orphan})
        EXPECT_FALSE(errorOf(describeHidraw(path, fake.dev())).empty()) << path;
    auto devices = makeLinuxBackend({fake.sys(), fake.dev()})->devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]->description().path, good);
    EXPECT_EQ(devices[0]->description().maxOutputReportSize, 1u);
}

TEST(LinuxHidSysfs, SmallParsers) {
    auto id = parseHidID("0003:000023C9:00005668");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->bus, 3u);
    EXPECT_EQ(id->vendor, 0x23C9u);
    EXPECT_EQ(id->product, 0x5668u);
    EXPECT_FALSE(parseHidID("0003:23C9"));
    EXPECT_FALSE(parseHidID("0003::5668"));
    EXPECT_FALSE(parseHidID("0003:123456789:1"));
    EXPECT_EQ(transportName(0x05), "Bluetooth");
    EXPECT_EQ(transportName(0x18), "I2C");
    EXPECT_EQ(transportName(0x99), "");

    EXPECT_EQ(ioReturnFromErrno(EACCES), kIOReturnNotPermitted);
    EXPECT_EQ(ioReturnFromErrno(EPERM), kIOReturnNotPermitted);
    EXPECT_EQ(ioReturnFromErrno(ENODEV), kIOReturnNoDevice);
    EXPECT_EQ(ioReturnFromErrno(ENOENT), kIOReturnNoDevice);
    EXPECT_EQ(ioReturnFromErrno(EBUSY), kIOReturnExclusiveAccess);
    EXPECT_EQ(ioReturnFromErrno(ENOTTY), kIOReturnUnsupported);
    EXPECT_EQ(ioReturnFromErrno(EIO), kIOReturnError);
}

// --- connections -----------------------------------------------------------

std::unique_ptr<Connection> openFirst(Backend& backend, bool seize, IOReturn* result) {
    auto devices = backend.devices();
    std::unique_ptr<Connection> c;
    *result = devices.empty() ? kIOReturnNoDevice : devices[0]->open(nullptr, seize, {}, &c);
    return c;
}

TEST(LinuxHidConnection, OutputReportsAreWrittenAsTheyTravel) {
    FakeSysfs fake;
    fake.addHid("0003:23C9:5666.0002", "0003:000023C9:00005666",
                tact::test::hid::frameDebugDescriptor(), 4);
    fake.makeFile("hidraw4");
    auto backend = makeLinuxBackend({fake.sys(), fake.dev()});
    IOReturn r;
    auto c = openFirst(*backend, false, &r);
    ASSERT_EQ(r, kIOReturnSuccess);
    Bytes command(63, 0);
    command[0] = 2;
    command[1] = 0x10;
    EXPECT_EQ(c->setReport(kIOHIDReportTypeOutput, 2, command), kIOReturnSuccess);
    EXPECT_EQ(tact::test::readFile(fake.devnode("hidraw4")), bytes(command));

    // A plain file knows no HIDIOCGFEATURE: the ioctl's refusal comes back.
    Bytes feature(64);
    std::size_t length = 0;
    EXPECT_EQ(c->getReport(kIOHIDReportTypeFeature, 2, feature, &length), kIOReturnUnsupported);
}

TEST(LinuxHidConnection, UnnumberedOutputGetsReportNumberZero) {
    FakeSysfs fake;
    fake.addHid("0003:046D:C31C.0001", "0003:0000046D:0000C31C", keyboardDescriptor(), 0);
    fake.makeFile("hidraw0");
    auto backend = makeLinuxBackend({fake.sys(), fake.dev()});
    IOReturn r;
    auto c = openFirst(*backend, false, &r);
    ASSERT_EQ(r, kIOReturnSuccess);
    EXPECT_EQ(c->setReport(kIOHIDReportTypeOutput, 0, Bytes{0x02}), kIOReturnSuccess);
    EXPECT_EQ(tact::test::readFile(fake.devnode("hidraw0")), bytes({0x00, 0x02}));
}

TEST(LinuxHidConnection, SeizeGrabsEveryEventNode) {
    FakeSysfs fake;
    fake.addHid("0003:23C9:5666.0001", "0003:000023C9:00005666",
                tact::test::hid::frameTouchDescriptor(), 3, 7);
    fake.makeFile("hidraw3");
    auto backend = makeLinuxBackend({fake.sys(), fake.dev()});

    // The event node is not there (yet): nothing to hold, the open succeeds.
    IOReturn r;
    auto c = openFirst(*backend, true, &r);
    EXPECT_EQ(r, kIOReturnSuccess);
    c.reset();

    // A node that refuses EVIOCGRAB fails the seize, and the manager's open.
    fake.makeFile("input/event7");
    c = openFirst(*backend, true, &r);
    EXPECT_EQ(r, kIOReturnUnsupported);
    EXPECT_FALSE(c);
    c = openFirst(*backend, false, &r);  // without seize the grab is not tried
    EXPECT_EQ(r, kIOReturnSuccess);
    c.reset();

    auto manager = IOHIDManagerCreate(0, backend);
    IOHIDManagerSetDeviceMatching(manager, platform::Dictionary{});
    EXPECT_EQ(IOHIDManagerOpen(manager, kIOHIDOptionsTypeSeizeDevice), kIOReturnUnsupported);
    EXPECT_EQ(IOHIDManagerOpen(manager, kIOHIDOptionsTypeNone), kIOReturnSuccess);
}

TEST(LinuxHidConnection, PermissionProblemsAreNamed) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root opens any node";
    FakeSysfs fake;
    fake.addHid("0003:23C9:5666.0001", "0003:000023C9:00005666",
                tact::test::hid::frameTouchDescriptor(), 3);
    fake.makeFile("hidraw3");
    fs::permissions(fake.devnode("hidraw3"), fs::perms::none);
    auto backend = makeLinuxBackend({fake.sys(), fake.dev()});
    testing::internal::CaptureStderr();
    auto manager = IOHIDManagerCreate(0, backend);
    IOHIDManagerSetDeviceMatching(manager, platform::Dictionary{});
    EXPECT_EQ(IOHIDManagerOpen(manager, kIOHIDOptionsTypeSeizeDevice), kIOReturnNotPermitted);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(fake.devnode("hidraw3")), std::string::npos) << err;
    EXPECT_NE(err.find("Permission denied"), std::string::npos) << err;
    EXPECT_NE(err.find("install the udev rule: see README, Install"), std::string::npos) << err;
}

TEST(LinuxHidConnection, EventNodesOutOfReachAreRetriedThenNamed) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root opens any node";
    FakeSysfs fake;
    fake.addHid("0003:23C9:5666.0001", "0003:000023C9:00005666",
                tact::test::hid::frameTouchDescriptor(), 3, 7);
    fake.makeFile("hidraw3");
    fake.makeFile("input/event7");
    fs::permissions(fake.devnode("input/event7"), fs::perms::none);
    auto backend = makeLinuxBackend({fake.sys(), fake.dev()});
    auto loop = platform::makeVirtualRunLoop(0);
    auto devices = backend->devices();
    ASSERT_EQ(devices.size(), 1u);

    // The open goes through (udev may still be granting access), and the
    // grab is tried again for a while before the problem is named.
    testing::internal::CaptureStderr();
    std::unique_ptr<Connection> c;
    EXPECT_EQ(devices[0]->open(loop.get(), true, {}, &c), kIOReturnSuccess);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    loop->run();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(fake.devnode("input/event7")), std::string::npos) << err;
    EXPECT_NE(err.find("install the udev rule: see README, Install"), std::string::npos) << err;
}

struct Seen {
    std::vector<IOHIDDeviceRef> matched;
    std::vector<std::pair<std::uint32_t, Bytes>> reports;
    platform::RunLoop* loop = nullptr;
    std::function<void(const IOHIDDeviceRef&)> whenMatched;
};

TEST(LinuxHidConnection, InputReportsFromTheNodeReachTheCallback) {
    FakeSysfs fake;
    fake.addHid("0003:23C9:5666.0001", "0003:000023C9:00005666",
                tact::test::hid::frameTouchDescriptor(), 3);
    fake.makeFifo("hidraw3");
    auto backend = makeLinuxBackend({fake.sys(), fake.dev()});
    auto loop = platform::makeRealRunLoop(false);

    Seen seen;
    seen.loop = loop.get();
    Bytes buffer(62);
    Bytes report(62, 0);
    report[0] = 10;
    report[1] = 7;
    report[61] = 1;
    int writer = -1;
    seen.whenMatched = [&](const IOHIDDeviceRef& device) {
        ASSERT_EQ(IOHIDDeviceOpen(device, 0), kIOReturnSuccess);
        IOHIDDeviceRegisterInputReportCallback(
            device, buffer.data(), 62,
            [](void* context, IOReturn result, void*, IOHIDReportType, std::uint32_t id,
               std::uint8_t* bytes, long length) {
                auto* s = static_cast<Seen*>(context);
                EXPECT_EQ(result, kIOReturnSuccess);
                s->reports.emplace_back(id, Bytes(bytes, bytes + length));
                s->loop->stop(0);
            },
            &seen);
        // The connection holds the FIFO open for reading: write a report in.
        writer = ::open(fake.devnode("hidraw3").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(::write(writer, report.data(), report.size()), 62);
    };

    auto manager = IOHIDManagerCreate(0, backend);
    IOHIDManagerSetDeviceMatching(manager, platform::Dictionary{{"VendorID", 9161}});
    IOHIDManagerRegisterDeviceMatchingCallback(
        manager,
        [](void* context, IOReturn, void*, IOHIDDeviceRef device) {
            auto* s = static_cast<Seen*>(context);
            s->matched.push_back(device);
            s->whenMatched(device);
        },
        &seen);
    IOHIDManagerScheduleWithRunLoop(manager, *loop);
    ASSERT_EQ(IOHIDManagerOpen(manager, kIOHIDOptionsTypeNone), kIOReturnSuccess);
    auto guard = loop->addTimer(10.0, 0, [&](platform::Timer&) { loop->stop(1); });
    EXPECT_EQ(loop->run(), 0) << "no report arrived";
    ASSERT_EQ(seen.matched.size(), 1u);
    ASSERT_EQ(seen.reports.size(), 1u);
    EXPECT_EQ(seen.reports[0].first, 10u);
    EXPECT_EQ(seen.reports[0].second, report);

    if (writer >= 0)
        ::close(writer);

    // The node goes away while the manager is not watching; when it is
    // scheduled again it notices: removal callback, then the node is closed
    // (a FIFO without a reader refuses a non-blocking writer).
    fs::remove(fs::path(fake.sys()) / "class/hidraw/hidraw3");
    IOHIDManagerUnscheduleFromRunLoop(manager);
    int removed = 0;
    IOHIDManagerRegisterDeviceRemovalCallback(
        manager,
        [](void* context, IOReturn, void*, IOHIDDeviceRef) { ++*static_cast<int*>(context); },
        &removed);
    IOHIDManagerScheduleWithRunLoop(manager, *loop);
    auto stop = loop->addTimer(0.05, 0, [&](platform::Timer&) { loop->stop(0); });
    loop->run();
    EXPECT_EQ(removed, 1);
    const int late = ::open(fake.devnode("hidraw3").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_LT(late, 0);
    EXPECT_EQ(errno, ENXIO);
    if (late >= 0)
        ::close(late);
    EXPECT_EQ(IOHIDManagerClose(manager, 0), kIOReturnSuccess);
}

// --- this machine ----------------------------------------------------------

TEST(LinuxHidHere, ManagersOpenAndWaitWhenNoFrameIsAttached) {
    auto backend = makeLinuxBackend();
    for (const auto& d : backend->devices())
        if (d->description().vendorID == 0x23C9)
            GTEST_SKIP() << "a frame is attached to this machine";

    platform::Dictionary pair{{"DeviceUsagePage", 13}, {"DeviceUsage", 4}};
    platform::Dictionary matching{{"DeviceUsagePairs", platform::Array{pair}}, {"VendorID", 9161}};
    int matched = 0;
    auto count = [](void* context, IOReturn, void*, IOHIDDeviceRef) {
        ++*static_cast<int*>(context);
    };

    // On the real loop, with the udev monitor.
    {
        auto loop = platform::makeRealRunLoop(false);
        auto manager = IOHIDManagerCreate(0, backend);
        IOHIDManagerSetDeviceMatching(manager, matching);
        IOHIDManagerRegisterDeviceMatchingCallback(manager, count, &matched);
        IOHIDManagerScheduleWithRunLoop(manager, *loop);
        EXPECT_EQ(IOHIDManagerOpen(manager, kIOHIDOptionsTypeSeizeDevice), kIOReturnSuccess);
        auto stop = loop->addTimer(0.05, 0, [&](platform::Timer&) { loop->stop(0); });
        EXPECT_EQ(loop->run(), 0);
        EXPECT_EQ(IOHIDManagerClose(manager, 0), kIOReturnSuccess);
        IOHIDManagerUnscheduleFromRunLoop(manager);
    }
    // On a virtual loop, which has no sd-event: only what is there is seen.
    {
        auto loop = platform::makeVirtualRunLoop(0);
        auto manager = IOHIDManagerCreate(0, backend);
        IOHIDManagerSetDeviceMatching(manager, matching);
        IOHIDManagerRegisterDeviceMatchingCallback(manager, count, &matched);
        IOHIDManagerScheduleWithRunLoop(manager, *loop);
        EXPECT_EQ(IOHIDManagerOpen(manager, kIOHIDOptionsTypeSeizeDevice), kIOReturnSuccess);
        loop->run();
    }
    EXPECT_EQ(matched, 0);

    // The default backend is this one's kind, and setBackend can replace it.
    EXPECT_TRUE(currentBackend());
    auto mine = makeLinuxBackend({"/nonexistent", "/dev"});
    setBackend(mine);
    EXPECT_EQ(currentBackend(), mine);
    EXPECT_TRUE(currentBackend()->devices().empty());
    setBackend(nullptr);
    EXPECT_NE(currentBackend(), mine);
}

}  // namespace
