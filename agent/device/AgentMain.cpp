#include "agent/device/AgentMain.hpp"

#include <memory>

#include "agent/device/DeviceLayer.hpp"
#include "common/Notifications.hpp"
#include "platform/hid/DeviceNodeWatch.hpp"
#include "platform/log/SystemLog.hpp"

namespace tact {

namespace {

// While waiting, the nodes are tried again on every change, and at this
// interval in case a change went unseen.
constexpr double kRetrySeconds = 5.0;

// Opens both managers, then creates the converter and announces the driver
// version. Nothing is posted when a manager would not open.
bool openDeviceLayer(AgentEnvironment& environment) {
    deviceLayer().bReady = false;
    if (!registerDeivceNotify() || !registerDebugDeivceNotify()) {
        resetDeviceLayer();
        return false;
    }
    ZyvTouchConverter::sharedConverter();
    environment.notifications.post(platform::String(kZyvTouchEventNotification),
                                   platform::String(kMultiTouchSupportObject),
                                   platform::Dictionary{{kKeyDriverVersion, kDriverVersion}});
    return true;
}

// Says why the frame could not be opened and what gives access.
void explain(const FrameWait& wait) {
    const auto access = platform::hid::checkFrameAccess(wait.roots);
    std::string line = platform::hid::frameAccessSummary(access);
    if (access.hidrawAccess() == platform::hid::NodeAccess::PermissionDenied)
        line += ". " + std::string(platform::hid::frameAccessRemedy());
    platform::systemLog(platform::LogLevel::Error, line);
}

// Waits on the loop for the frame to open; the loop stops with 1 at the
// deadline, and goes on as the running agent once the managers opened.
class FrameAccessWait {
  public:
    FrameAccessWait(AgentEnvironment& environment, const FrameWait& wait)
        : environment_(environment), roots_(wait.roots) {
        if (auto nodes = platform::hid::watchDeviceNodes(
                environment.loop, {wait.roots.devRoot, wait.roots.devRoot + "/input"},
                [this] { retry(); }))
            nodes_ = std::move(*nodes);
        else
            platform::systemLog(platform::LogLevel::Warning, "cannot follow the device nodes (" +
                                                                 nodes.error().detail +
                                                                 "); trying every few seconds");
        retryTimer_ = environment.loop.addTimer(kRetrySeconds, kRetrySeconds,
                                                [this](platform::Timer&) { retry(); });
        deadline_ = environment.loop.addTimer(wait.seconds, 0, [this](platform::Timer&) {
            platform::systemLog(platform::LogLevel::Error,
                                "the frame did not become openable; giving up");
            environment_.loop.stop(1);
        });
        // Said once the watch is there: a change from now on is seen.
        platform::systemLog(platform::LogLevel::Notice, "waiting up to " +
                                                            std::to_string(int(wait.seconds)) +
                                                            " s for the frame to become openable");
    }

  private:
    void retry() {
        // Trying the managers while the nodes still refuse us would only
        // repeat their diagnostics.
        if (done_ || platform::hid::checkFrameAccess(roots_).hidrawAccess() ==
                         platform::hid::NodeAccess::PermissionDenied)
            return;
        if (!openDeviceLayer(environment_))
            return;
        done_ = true;
        platform::systemLog(platform::LogLevel::Notice, "the frame is open now");
        // Destroyed from the loop, not from inside their own callbacks.
        environment_.loop.post([this] {
            nodes_.reset();
            retryTimer_.invalidate();
            deadline_.invalidate();
        });
    }

    AgentEnvironment& environment_;
    platform::hid::FrameAccessRoots roots_;
    std::unique_ptr<platform::hid::DeviceNodeWatch> nodes_;
    platform::Timer retryTimer_;
    platform::Timer deadline_;
    bool done_ = false;
};

}  // namespace

bool agentStart(AgentEnvironment& environment) {
    platform::systemLog(platform::LogLevel::Info, "Hello, World!");
    ZyvTouchConverter::setSharedEnvironment(&environment);
    return openDeviceLayer(environment);
}

// Leaving (SIGTERM, or a manager that would not open): let go of every
// device, so the desktop gets the frame back.
void agentStop() {
    resetDeviceLayer();
}

int agentMain(AgentEnvironment& environment, const FrameWait& wait) {
    int status = 0;
    if (agentStart(environment)) {
        status = environment.loop.run();
    } else {
        explain(wait);
        if (wait.seconds > 0) {
            FrameAccessWait waiting(environment, wait);
            status = environment.loop.run();
        } else {
            status = 1;
        }
    }
    agentStop();
    return status;
}

}  // namespace tact
