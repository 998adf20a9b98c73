// The device layer and the debug-channel handshake, against virtual frames.
// The converter is one per process, so every test here shares one agent
// environment and starts and stops the device layer around itself.
#include <gtest/gtest.h>

#include <cstdlib>

#include "agent/device/AgentMain.hpp"
#include "agent/device/DeviceLayer.hpp"
#include "agent/simulator/VirtualFrame.hpp"
#include "common/Notifications.hpp"
#include "platform/hid/HID.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/VirtualRunLoop.hpp"
#include "tests/agent/ConverterFixture.hpp"
#include "tests/support/TempDir.hpp"

using namespace tact;
using platform::hid::VirtualFrame;
using tact::test::ReportBuilder;

namespace {

struct SharedAgent {
    SharedAgent()
        : loop(800000000.0),
          notifications(platform::makeLocalNotificationCenter(loop)),
          environment{loop, *notifications, desktop} {
        setenv("TZ", "UTC", 1);
        tzset();
        platform::setPreferencesDirectory(prefs.path());
        platform::setMainRunLoop(&loop);
        ZyvTouchConverter::setSharedEnvironment(&environment);
        observation = notifications->addObserver(
            platform::String(kZyvTouchEventNotification),
            platform::String(kMultiTouchSupportObject),
            [this](const platform::Notification& n) { posted.push_back(n); });
    }
    tact::test::TempDir prefs;
    platform::VirtualRunLoop loop;
    std::unique_ptr<platform::NotificationCenter> notifications;
    platform::VirtualDesktop desktop;
    AgentEnvironment environment;
    platform::Observation observation;
    std::vector<platform::Notification> posted;
};

SharedAgent& shared() {
    static SharedAgent agent;
    return agent;
}

std::string keyText(const platform::Notification& n, const char* key) {
    if (!n.userInfo)
        return "<none>";
    const platform::Value* v = n.userInfo->find(platform::String(key));
    return v ? platform::describe(*v) : "<absent>";
}

}  // namespace

class DeviceLayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        agent = &shared();
        backend = std::make_shared<platform::hid::VirtualBackend>();
        platform::hid::setBackend(backend);
        agent->posted.clear();
    }
    void TearDown() override {
        agentStop();
        platform::hid::setBackend(nullptr);
    }

    // Attaches a frame, starts the device layer and lets the handshake run.
    std::shared_ptr<VirtualFrame> start(platform::hid::VirtualFrameConfig config) {
        auto frame = std::make_shared<VirtualFrame>(config);
        backend->attach(frame);
        EXPECT_TRUE(agentStart(agent->environment));
        agent->loop.run();
        return frame;
    }
    ZyvTouchConverter& converter() { return ZyvTouchConverter::sharedConverter(); }

    SharedAgent* agent = nullptr;
    std::shared_ptr<platform::hid::VirtualBackend> backend;
};

TEST_F(DeviceLayerTest, HandshakeOnTheTouchInterface) {
    platform::hid::VirtualFrameConfig config;
    config.product = 0x5668;
    config.serial = "SN-1";
    config.type = "T-1";
    config.shiptime = 1577836800;
    auto frame = start(config);

    ASSERT_EQ(agent->posted.size(), 2u);
    EXPECT_EQ(keyText(agent->posted[0], "Driver Version"), "\"2.0\"");
    const auto& info = agent->posted[1];
    EXPECT_EQ(keyText(info, "IsDeviceReady"), "true");
    EXPECT_EQ(keyText(info, "SerialNumber"), "\"SN-1\"");
    EXPECT_EQ(keyText(info, "Type"), "\"T-1\"");
    EXPECT_EQ(keyText(info, "ShipDate"), "\"2020-1-1\"");
    EXPECT_EQ(keyText(info, "ShipTime"), "\"00:00:00\"");
    EXPECT_EQ(info.userInfo->size(), 5u);

    // Commands in order: boot parameters, information (answered with the
    // response's report ID), frame block, then the acknowledgement.
    std::vector<std::pair<int, int>> commands;
    std::vector<long> ids;
    for (const auto& r : frame->requests()) {
        if (r.isGet || r.type != platform::hid::kIOHIDReportTypeOutput)
            continue;
        ASSERT_EQ(r.bytes.size(), 63u);
        EXPECT_EQ(r.bytes[0], 2);
        commands.emplace_back(r.bytes[1], r.bytes[2]);
        ids.push_back(r.reportID);
    }
    EXPECT_EQ(commands,
              (std::vector<std::pair<int, int>>{{0x10, 0}, {0x17, 0}, {0x21, 2}, {0x21, 0}}));
    EXPECT_EQ(ids, (std::vector<long>{2, 1, 2, 1}));

    // Hardware 110 with 100 x 60 LEDs: a 26-inch diagonal.
    EXPECT_EQ(converter().inchSize(), 26);
    EXPECT_EQ(converter().getDeviceID(), 0x5668);
    EXPECT_TRUE(deviceLayer().bReady);

    // The information reply now has all eight keys.
    agent->notifications->post(platform::String(kControlNotification),
                               platform::String(kControlObject),
                               platform::Dictionary{{"NeedSerialNumber", true}});
    agent->loop.run();
    ASSERT_EQ(agent->posted.size(), 3u);
    EXPECT_EQ(agent->posted[2].userInfo->size(), 8u);
    EXPECT_EQ(keyText(agent->posted[2], "ProductID"), "22120");
    const platform::String* bootparam =
        agent->posted[2].userInfo->string(platform::String("BOOTPARAM"));
    ASSERT_NE(bootparam, nullptr);
    EXPECT_EQ(bootparam->units()[0], 40);  // bootloader 40, reset type 0
}

TEST_F(DeviceLayerTest, SeparateDebugInterfaceAndNoShipTime) {
    platform::hid::VirtualFrameConfig config;
    config.product = 0x5666;
    config.shiptime.reset();
    start(config);
    ASSERT_EQ(agent->posted.size(), 2u);
    for (const char* key : {"SerialNumber", "Type", "ShipDate", "ShipTime"}) {
        EXPECT_EQ(keyText(agent->posted[1], key), "\"N/A\"") << key;
    }
}

TEST_F(DeviceLayerTest, BadFrameBlockIsDropped) {
    auto& c = converter();
    c.set_inchSize(32);
    platform::hid::VirtualFrameConfig config;
    config.badFrameChecksum = true;
    auto frame = start(config);
    EXPECT_EQ(c.inchSize(), 32);
    int acknowledgements = 0;
    for (const auto& r : frame->requests()) {
        if (!r.isGet && r.bytes.size() > 2 && r.bytes[1] == 0x21 && r.bytes[2] == 0) {
            ++acknowledgements;
        }
    }
    EXPECT_EQ(acknowledgements, 0);
}

TEST_F(DeviceLayerTest, FrameWithoutDebugChannelStillTracksTouches) {
    platform::hid::VirtualFrameConfig config;
    config.debug = false;
    config.bootparam = {};  // never learnt: 6-byte records are assumed
    auto frame = start(config);
    EXPECT_EQ(agent->posted.size(), 1u);  // the driver version only
    // The frame encodes with its own layout (6-byte records for all-zero boot parameters).
    ASSERT_TRUE(frame->sendTouches({{7, 3, 16384, 8192, {}, {}}}));
    agent->loop.run();
    auto& c = converter();
    ASSERT_TRUE(c.fingerToTransducerFind(3));
    EXPECT_EQ(c.transducerTouches[*c.fingerToTransducerFind(3)]->positionX, 0.5);
}

TEST_F(DeviceLayerTest, RemovalAnnouncesAndStopsDecoding) {
    auto frame = start({});
    agent->posted.clear();
    backend->detach(frame);
    agent->loop.run();
    ASSERT_EQ(agent->posted.size(), 1u);
    EXPECT_EQ(keyText(agent->posted[0], "IsDeviceReady"), "false");
    EXPECT_EQ(agent->posted[0].userInfo->size(), 1u);
    EXPECT_FALSE(deviceLayer().bReady);

    // Reports that arrive now change nothing.
    auto& c = converter();
    ReportBuilder r;
    r.add10(7, 9, 100, 100).count(1);
    myTouchInputReportCallback(nullptr, platform::hid::kIOReturnSuccess, nullptr,
                               platform::hid::kIOHIDReportTypeInput, 10, r.bytes.data(),
                               static_cast<long>(r.bytes.size()));
    EXPECT_FALSE(c.fingerToTransducerFind(9));

    // Plugging it in again starts over.
    backend->attach(frame);
    agent->loop.run();
    EXPECT_TRUE(deviceLayer().bReady);
    EXPECT_EQ(keyText(agent->posted.back(), "IsDeviceReady"), "true");
}

TEST_F(DeviceLayerTest, HostileDebugResponsesAreBounded) {
    start({});
    auto& s = deviceLayer();
    s.FrameDone = 0;
    s.FrameLen = 0;
    // Truncated responses of every kind, and a frame packet that claims more
    // payload than it carries.
    std::vector<std::vector<std::uint8_t>> responses = {{1},
                                                        {1, 0x10},
                                                        {1, 0x10, 0, 40},
                                                        {1, 0x17, 0, 0, 0},
                                                        {1, 0x30, 200, 1, 2},
                                                        {1, 0x31, 255},
                                                        {1, 0x32, 10, 1, 2, 3}};
    for (auto& r : responses) {
        myDebugDevInputReportCallback(nullptr, platform::hid::kIOReturnSuccess, nullptr,
                                      platform::hid::kIOHIDReportTypeInput, 1, r.data(),
                                      static_cast<long>(r.size()));
    }
    // A block that would grow past 255 bytes is dropped, not wrapped.
    s.FrameDone = 0;
    std::vector<std::uint8_t> big(3 + 200, 0);
    big[0] = 1;
    big[1] = 0x30;
    big[2] = 200;
    myDebugDevInputReportCallback(nullptr, 0, nullptr, platform::hid::kIOHIDReportTypeInput, 1,
                                  big.data(), static_cast<long>(big.size()));
    big[1] = 0x31;
    myDebugDevInputReportCallback(nullptr, 0, nullptr, platform::hid::kIOHIDReportTypeInput, 1,
                                  big.data(), static_cast<long>(big.size()));
    EXPECT_EQ(s.FrameLen, 0);
    EXPECT_EQ(s.FrameDone, 0);
    agent->loop.run();
}

// Frames that answer the handshake badly: out of order, twice over, with a
// block longer than a block can be, or gone halfway through. None of it
// sticks: the next frame plugged in gets the whole handshake and its touches
// are followed.
TEST_F(DeviceLayerTest, HostileHandshakesLeaveTheAgentWaitingForTheNextFrame) {
    using Bytes = std::vector<std::uint8_t>;
    const VirtualFrame reference;  // what a well-behaved frame answers
    const auto& good = reference.config();
    Bytes boot{1, 0x10, 0};
    boot.insert(boot.end(), good.bootparam.begin(), good.bootparam.end());
    Bytes info(19, 0);
    info[0] = 1;
    info[1] = 0x17;
    info.insert(info.end(), good.serial.begin(), good.serial.end());
    info.push_back(0);
    const Bytes block = reference.frameBlock();
    std::vector<Bytes> packets;  // first, middle, last
    for (std::size_t at = 0; at < block.size(); at += 16) {
        const std::size_t n = std::min<std::size_t>(16, block.size() - at);
        const std::uint8_t code = at == 0 ? 0x30 : at + n == block.size() ? 0x32 : 0x31;
        Bytes p{1, code, static_cast<std::uint8_t>(n)};
        p.insert(p.end(), block.begin() + static_cast<long>(at),
                 block.begin() + static_cast<long>(at + n));
        packets.push_back(std::move(p));
    }
    ASSERT_EQ(packets.size(), 3u);

    auto& c = converter();
    platform::hid::VirtualFrameConfig silent;
    silent.debug = false;  // answers nothing by itself: the test answers for it
    struct Case {
        const char* name;
        std::vector<Bytes> answers;
        bool leaveMidway = false;
    };
    std::vector<Bytes> over255{packets[0]};
    over255.insert(over255.end(), 16, packets[1]);
    over255.push_back(packets[2]);
    const Case cases[] = {
        {"out of order", {packets[2], packets[1], packets[0], info, boot, packets[1]}},
        {"repeated",
         {boot, boot, info, info, packets[0], packets[0], packets[1], packets[2], packets[2],
          packets[0], packets[1], packets[2]}},
        {"over 255 bytes", over255},
        {"gone mid-handshake", {boot, info, packets[0]}, true},
    };
    bool started = false;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        c.set_inchSize(32);
        auto hostile = std::make_shared<VirtualFrame>(silent);
        if (!started) {
            start(silent).swap(hostile);
            started = true;
        } else {
            backend->attach(hostile);
            agent->loop.run();
        }
        for (const auto& a : k.answers) {
            ASSERT_TRUE(hostile->sendDebugRaw(a));
            if (!k.leaveMidway)
                agent->loop.run();
        }
        if (std::string(k.name) == "over 255 bytes") {
            EXPECT_EQ(c.inchSize(), 32);
        }
        // Gone with answers still on their way (dropped), or unplugged after.
        backend->detach(hostile);
        agent->loop.run();
        EXPECT_FALSE(deviceLayer().bReady);

        c.set_inchSize(32);
        agent->posted.clear();
        auto next = std::make_shared<VirtualFrame>();
        backend->attach(next);
        agent->loop.run();
        EXPECT_EQ(c.inchSize(), 26);
        ASSERT_FALSE(agent->posted.empty());
        EXPECT_EQ(keyText(agent->posted.back(), "IsDeviceReady"), "true");
        EXPECT_EQ(keyText(agent->posted.back(), "SerialNumber"), "\"VF-000001\"");
        ASSERT_TRUE(next->sendTouches({{7, 3, 16384, 8192, {}, {}}}));
        agent->loop.run();
        EXPECT_TRUE(c.fingerToTransducerFind(3));
        ASSERT_TRUE(next->sendTouches({}));
        agent->loop.run();
        backend->detach(next);
        agent->loop.run();
    }
}

// A frame the agent cannot have (here another program holds it): the agent
// posts nothing and ends with 1, a failure a service manager acts on.
TEST_F(DeviceLayerTest, AFrameThatWillNotOpenEndsTheAgentWithAFailure) {
    auto frame = std::make_shared<VirtualFrame>(platform::hid::VirtualFrameConfig{});
    backend->attach(frame);
    std::unique_ptr<platform::hid::Connection> holder;
    ASSERT_EQ(backend->devices().front()->open(nullptr, true, {}, &holder),
              platform::hid::kIOReturnSuccess);

    EXPECT_EQ(agentMain(agent->environment, FrameWait{0, {"/nonexistent", "/nonexistent"}}), 1);
    EXPECT_TRUE(agent->posted.empty());
    EXPECT_FALSE(deviceLayer().hidManager);

    holder.reset();  // let go: the next start has it
    EXPECT_TRUE(agentStart(agent->environment));
    agent->loop.run();
    EXPECT_TRUE(deviceLayer().bReady);
}

// A frame that arrives while it cannot be opened (no access yet, here held
// by another program) is taken as soon as udev reports it again, as it does
// after a rule reload: the running agent needs no restart.
TEST_F(DeviceLayerTest, AFrameThatCouldNotBeOpenedIsTakenOnTheNextChange) {
    ASSERT_TRUE(agentStart(agent->environment));
    agent->loop.run();
    auto frame = std::make_shared<VirtualFrame>(platform::hid::VirtualFrameConfig{});
    backend->attach(frame);
    std::unique_ptr<platform::hid::Connection> holder;
    ASSERT_EQ(backend->devices().front()->open(nullptr, true, {}, &holder),
              platform::hid::kIOReturnSuccess);
    agent->loop.run();
    EXPECT_FALSE(deviceLayer().bReady);

    holder.reset();
    EXPECT_TRUE(backend->change(frame));
    agent->loop.run();
    EXPECT_TRUE(deviceLayer().bReady);
    ASSERT_FALSE(agent->posted.empty());
    EXPECT_EQ(keyText(agent->posted.back(), "IsDeviceReady"), "true");

    // Further changes leave the open frame alone.
    const auto posted = agent->posted.size();
    EXPECT_TRUE(backend->change(frame));
    agent->loop.run();
    EXPECT_TRUE(deviceLayer().bReady);
    EXPECT_EQ(agent->posted.size(), posted);
}
