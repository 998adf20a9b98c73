// Notification payloads of any shape: control notifications to the agent's
// converter (every control key, values of every type), and the agent's own
// notifications to the calibrator, whose delegate hands tap locations to the
// calibrate view, all through one local notification centre.
//
// Input: operations, each an opcode byte (modulo 4) and its operands:
//   0 a control notification to the agent: a dictionary (FuzzInput.hpp)
//   1 an agent notification to the calibrator: a dictionary
//   2 a run of taps: a location dictionary and a repeat count byte (the
//     calibrator takes 100 samples per target), then the finger lifts when
//     the count byte is odd
//   3 a notification without user information: to the agent (even byte) or
//     the calibrator (odd)
// Between operations the loop runs; at the end the calibration starts over.
#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "calibrator/AppDelegate.hpp"
#include "calibrator/CalibrateView.hpp"
#include "common/Notifications.hpp"
#include "fuzz/FuzzInput.hpp"
#include "fuzz/QtOffscreen.hpp"
#include "platform/desktop/Desktop.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/VirtualRunLoop.hpp"

using namespace tact;

namespace {

struct World {
    World()
        : loop(800000000.0),
          notifications(platform::makeLocalNotificationCenter(loop)),
          environment{loop, *notifications, desktop} {
        setenv("TZ", "UTC", 1);
        tzset();
        platform::setSystemLogLevel(platform::LogLevel::Error);
        platform::setPreferencesDirectory(scratch.path());
        platform::setMainRunLoop(&loop);
        ZyvTouchConverter::setSharedEnvironment(&environment);
        ZyvTouchConverter::sharedConverter();  // observes control notifications

        view = std::make_unique<CalibrateView>(*notifications);
        delegate = std::make_unique<AppDelegate>(*notifications, loop);
        delegate->_calibrateView = view.get();
        delegate->awakeFromNib();                   // starts the run
        delegate->applicationDidFinishLaunching();  // observes the agent
        loop.runUntil(loop.absoluteTime());
    }
    fuzz::ScratchDir scratch;
    fuzz::OffscreenApp app;
    platform::VirtualRunLoop loop;
    std::unique_ptr<platform::NotificationCenter> notifications;
    platform::VirtualDesktop desktop;
    AgentEnvironment environment;
    std::unique_ptr<CalibrateView> view;
    std::unique_ptr<AppDelegate> delegate;
};

World& world() {
    static World w;
    return w;
}

void toAgent(World& w, const std::optional<platform::Dictionary>& info) {
    w.notifications->post(platform::String(kControlNotification), platform::String(kControlObject),
                          info);
}

void toCalibrator(World& w, const std::optional<platform::Dictionary>& info) {
    w.notifications->post(platform::String(kZyvTouchEventNotification),
                          platform::String(kMultiTouchSupportObject), info);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    World& w = world();
    fuzz::Reader in({data, size});
    for (int ops = 0; !in.atEnd() && ops < 1024; ++ops) {
        switch (in.u8() % 4) {
            case 0: {
                platform::Dictionary info = fuzz::decodeDictionary(in, 1);
                fuzz::confineLogPath(info, w.scratch.path());
                toAgent(w, info);
                break;
            }
            case 1:
                toCalibrator(w, fuzz::decodeDictionary(in, 1));
                break;
            case 2: {
                const platform::Value location = fuzz::decodeValue(in, 2);
                const std::uint8_t repeat = in.u8();
                const platform::Dictionary info{{"TapLocation", location}};
                for (int i = 0; i <= repeat / 2; ++i)
                    toCalibrator(w, info);
                if (repeat & 1)
                    toCalibrator(w, std::nullopt);
                break;
            }
            default:
                if (in.u8() & 1)
                    toCalibrator(w, std::nullopt);
                else
                    toAgent(w, std::nullopt);
                break;
        }
        w.loop.runUntil(w.loop.absoluteTime() + 0.01);
    }

    // Start over: the agent out of calibration and test mode, a new run.
    toAgent(w, platform::Dictionary{
                   {"calibrateInProgress", false}, {"TouchTestMode", false}, {"LogTrigger", 0}});
    w.view->calibrateOff();
    w.view->calibrateOn();
    w.loop.runUntil(w.loop.absoluteTime() + 2.0);
    QCoreApplication::processEvents();  // repaints, as Qt's own loop would
    return 0;
}
