// Device responses and touch reports of any length and content, through a
// virtual frame and the device layer into the converter, mixed with frames
// coming and going, time passing and control notifications.
//
// Input: one configuration byte (bit 0: the single-interface product, bit 1:
// no debug channel, bit 2: a bad frame-block checksum), then operations, each
// an opcode byte (taken modulo 8) and its operands:
//   0 raw touch report: length byte (255: a 16-bit length follows), bytes
//   1 debug response straight to the callback: report ID, length byte, bytes
//   2 touches in the frame's own layout: count byte, per contact flags, id,
//     x (16-bit), y (16-bit)
//   3 time passes: 16-bit milliseconds
//   4 the frame is detached, or attached again
//   5 a control notification (a dictionary, see FuzzInput.hpp)
//   6 a different frame replaces it: configuration byte, 16 boot-parameter
//     bytes, LEDs along each edge (16-bit each)
//   7 an application becomes active: length byte, name
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "agent/device/AgentMain.hpp"
#include "agent/device/DeviceLayer.hpp"
#include "agent/simulator/VirtualFrame.hpp"
#include "common/Notifications.hpp"
#include "fuzz/FuzzInput.hpp"
#include "platform/desktop/Desktop.hpp"
#include "platform/events/Events.hpp"
#include "platform/hid/HID.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/VirtualRunLoop.hpp"

using namespace tact;
using platform::hid::VirtualFrame;

namespace {

// Every event the converter posts is serialised and read back: the round
// trip must give the same bytes.
class RoundTripSink : public platform::events::EventSink {
  public:
    void post(const platform::events::CGEvent& event) override {
        auto ref = std::make_unique<platform::events::CGEvent>(event);
        const auto data = platform::events::CGEventCreateData(ref);
        auto back = platform::events::CGEventCreateFromData(data);
        if (!back || platform::events::CGEventCreateData(back) != data)
            std::abort();
    }
};

struct Agent {
    Agent()
        : loop(800000000.0),
          notifications(platform::makeLocalNotificationCenter(loop)),
          environment{loop, *notifications, desktop} {
        setenv("TZ", "UTC", 1);
        tzset();
        platform::setSystemLogLevel(platform::LogLevel::Error);
        platform::setPreferencesDirectory(scratch.path());
        platform::setMainRunLoop(&loop);
        platform::events::setEventSink(&sink);
        ZyvTouchConverter::setSharedEnvironment(&environment);
    }
    fuzz::ScratchDir scratch;
    platform::VirtualRunLoop loop;
    std::unique_ptr<platform::NotificationCenter> notifications;
    platform::VirtualDesktop desktop;
    AgentEnvironment environment;
    RoundTripSink sink;
};

Agent& agent() {
    static Agent a;
    return a;
}

platform::hid::VirtualFrameConfig configFrom(std::uint8_t bits) {
    platform::hid::VirtualFrameConfig config;
    if (bits & 1)
        config.product = VirtualFrame::kSingleInterfaceProduct;
    config.debug = (bits & 2) == 0;
    config.badFrameChecksum = (bits & 4) != 0;
    return config;
}

void settle(Agent& a) {
    a.loop.runUntil(a.loop.absoluteTime());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Agent& a = agent();
    fuzz::Reader in({data, size});

    auto backend = std::make_shared<platform::hid::VirtualBackend>();
    platform::hid::setBackend(backend);
    auto frame = std::make_shared<VirtualFrame>(configFrom(in.u8()));
    backend->attach(frame);
    if (!agentStart(a.environment))
        std::abort();
    settle(a);

    for (int ops = 0; !in.atEnd() && ops < 4096; ++ops) {
        switch (in.u8() % 8) {
            case 0: {
                std::size_t length = in.u8();
                if (length == 255)
                    length = in.u16() % 16385;
                auto bytes = in.bytes(length);
                frame->sendRaw(bytes);
                break;
            }
            case 1: {
                const std::uint32_t reportID = in.u8();
                auto bytes = in.bytes(in.u8());
                if (reportID == 0xFF) {
                    // Through the frame's debug channel, out of turn.
                    frame->sendDebugRaw(bytes);
                    break;
                }
                // The callback is handed a buffer of exactly the report's size.
                auto buffer = std::make_unique<std::uint8_t[]>(bytes.size());
                std::copy(bytes.begin(), bytes.end(), buffer.get());
                myDebugDevInputReportCallback(nullptr, platform::hid::kIOReturnSuccess, nullptr,
                                              platform::hid::kIOHIDReportTypeInput, reportID,
                                              bytes.empty() ? nullptr : buffer.get(),
                                              static_cast<long>(bytes.size()));
                break;
            }
            case 2: {
                std::vector<platform::hid::VirtualFrameContact> contacts(in.u8() % 12);
                for (auto& c : contacts) {
                    c.flags = in.u8();
                    c.id = in.u8();
                    c.x = in.u16();
                    c.y = in.u16();
                }
                frame->sendTouches(contacts);
                break;
            }
            case 3:
                a.loop.runUntil(a.loop.absoluteTime() + in.u16() / 1000.0);
                break;
            case 4:
                if (frame->isAttached())
                    backend->detach(frame);
                else
                    backend->attach(frame);
                break;
            case 5: {
                platform::Dictionary info = fuzz::decodeDictionary(in, 1);
                fuzz::confineLogPath(info, a.scratch.path());
                a.notifications->post(platform::String(kControlNotification),
                                      platform::String(kControlObject), info);
                break;
            }
            case 6: {
                auto config = configFrom(in.u8());
                for (auto& b : config.bootparam)
                    b = in.u8();
                config.ledsH = in.u16();
                config.ledsV = in.u16();
                backend->detach(frame);
                frame = std::make_shared<VirtualFrame>(config);
                backend->attach(frame);
                break;
            }
            default: {
                auto name = in.bytes(in.u8());
                a.desktop.activateApplication(std::string(name.begin(), name.end()));
                break;
            }
        }
        settle(a);
    }

    // The frame leaves; whatever was running (momentum, timers) winds down.
    backend->detach(frame);
    a.loop.runUntil(a.loop.absoluteTime() + 10.0);
    agentStop();
    platform::hid::setBackend(nullptr);
    return 0;
}
