// The agent's side of a private bus, for the tests that start the real
// tactprefs: records the control notifications and answers as the agent.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Notifications.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace tact::test {

class AgentStandIn {
  public:
    explicit AgentStandIn(const std::string& busAddress) {
        loop_ = platform::makeRealRunLoop(false);
        std::string error;
        center_ = platform::makeBusNotificationCenterAt(*loop_, busAddress, &error);
        if (!center_) {
            ADD_FAILURE() << "cannot join the private bus: " << error;
            return;
        }
        observation_ = center_->addObserver(
            platform::String(kControlNotification), platform::String(kControlObject),
            [this](const platform::Notification& n) { control.push_back(n.userInfo); });
    }

    bool ok() const { return center_ != nullptr; }

    void send(const std::optional<platform::Dictionary>& userInfo) {
        center_->post(platform::String(kZyvTouchEventNotification),
                      platform::String(kMultiTouchSupportObject), userInfo);
        pump(std::chrono::milliseconds(20));
    }

    // Runs the loop for a while: sends what is queued, receives what came.
    void pump(std::chrono::milliseconds duration) {
        platform::Timer stop = loop_->addTimer(duration.count() / 1000.0, 0,
                                               [this](platform::Timer&) { loop_->stop(); });
        loop_->run();
    }
    template <typename Pred>
    bool pumpUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            pump(std::chrono::milliseconds(10));
        }
        return true;
    }

    // Waits for a control notification holding key = true.
    bool waitFor(std::string_view key) {
        return pumpUntil([&] {
            for (const auto& info : control)
                if (info && info->boolean(platform::String(key)) == true)
                    return true;
            return false;
        });
    }

    std::vector<std::optional<platform::Dictionary>> control;

  private:
    std::unique_ptr<platform::RunLoop> loop_;
    std::unique_ptr<platform::NotificationCenter> center_;
    platform::Observation observation_;
};

// The information reply of a frame with ten touch points, hardware 1.23 and
// firmware 12.34.5 - 2.1 (its boot-parameter block holds U+0000).
inline platform::Dictionary exampleInformationReply() {
    using platform::String;
    return platform::Dictionary{
        {String(kKeyDriverVersion), "2.0"},
        {String(kKeyIsDeviceReady), true},
        {String(kKeySerialNumber), "ZT-0042"},
        {String(kKeyBootParam), String::fromUnits(std::u16string{0x0195, 0x0000, 0x0000, 0x0000,
                                                                 0x007B, 0x3039, 0x0000, 0xA000})},
        {String(kKeyType), "IR-32"},
        {String(kKeyShipTime), "07:08:09"},
        {String(kKeyShipDate), "2019-5-6"},
        {String(kKeyProductID), 22118},
    };
}

}  // namespace tact::test
