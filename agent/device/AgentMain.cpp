#include "agent/device/AgentMain.hpp"

#include "agent/device/DeviceLayer.hpp"
#include "common/Notifications.hpp"
#include "platform/log/SystemLog.hpp"

namespace tact {

bool agentStart(AgentEnvironment& environment) {
    platform::systemLog(platform::LogLevel::Info, "Hello, World!");
    ZyvTouchConverter::setSharedEnvironment(&environment);
    deviceLayer().bReady = false;
    if (!registerDeivceNotify() || !registerDebugDeivceNotify())
        return false;
    ZyvTouchConverter::sharedConverter();
    environment.notifications.post(platform::String(kZyvTouchEventNotification),
                                   platform::String(kMultiTouchSupportObject),
                                   platform::Dictionary{{kKeyDriverVersion, kDriverVersion}});
    return true;
}

// Leaving (SIGTERM, or a manager that would not open): let go of every
// device, so the desktop gets the frame back.
void agentStop() {
    resetDeviceLayer();
}

int agentMain(AgentEnvironment& environment) {
    if (agentStart(environment))
        environment.loop.run();
    agentStop();
    return 0;
}

}  // namespace tact
