// The agent's side of a private bus, for the tests that start one of the real
// programs (the calibrator, the painter, the settings): it posts what the
// agent posts, records the control notifications the program sends and, when
// asked to, answers the question whether the agent runs as the agent does.
//
// Posting only queues a message: the stand-in's own loop sends it while it is
// pumped (send() pumps briefly, post() does not). ProgramWithAgent below is
// the fixture of such tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Notifications.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "tests/support/LoopWait.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/Subprocess.hpp"

namespace tact::test {

class AgentStandIn {
  public:
    explicit AgentStandIn(const std::string& busAddress) {
        loop_ = platform::makeRealRunLoop(false);
        auto center = platform::makeBusNotificationCenterAt(*loop_, busAddress);
        if (!center) {
            ADD_FAILURE() << "cannot join the private bus: " << center.error().detail;
            return;
        }
        center_ = std::move(*center);
        observation_ = center_->addObserver(
            platform::String(kControlNotification), platform::String(kControlObject),
            [this](const platform::Notification& n) { onControl(n.userInfo); });
    }

    bool ok() const { return center_ != nullptr; }

    // From now on a control notification that asks for the agent
    // (NeedSerialNumber) is answered with reply at once and not recorded.
    void answerQuestionsWith(platform::Dictionary reply) { answer_ = std::move(reply); }

    // Queues a notification from the agent ("ZYVTouch Event" unless named).
    void post(const std::optional<platform::Dictionary>& userInfo,
              std::string_view name = kZyvTouchEventNotification) {
        center_->post(platform::String(name), platform::String(kMultiTouchSupportObject), userInfo);
    }
    // Posts and pumps until it has gone out.
    void send(const std::optional<platform::Dictionary>& userInfo,
              std::string_view name = kZyvTouchEventNotification) {
        post(userInfo, name);
        pump(std::chrono::milliseconds(20));
    }

    // Runs the loop for a while: sends what is queued, receives what came.
    void pump(std::chrono::milliseconds duration) { runLoopFor(*loop_, duration); }
    template <typename Pred>
    bool pumpUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return runLoopUntil(*loop_, pred, limit);
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

    // Waits until count control notifications came, then a while longer for
    // any that should not come; returns all that came.
    const std::vector<std::optional<platform::Dictionary>>& controlsAfter(std::size_t count) {
        pumpUntil([&] { return control.size() >= count; });
        pump(std::chrono::milliseconds(100));
        return control;
    }

    // The control notifications received, in order.
    std::vector<std::optional<platform::Dictionary>> control;

  private:
    void onControl(const std::optional<platform::Dictionary>& userInfo) {
        if (answer_ && userInfo && userInfo->contains(platform::String(kKeyNeedSerialNumber))) {
            post(*answer_);
            return;
        }
        control.push_back(userInfo);
    }

    std::unique_ptr<platform::RunLoop> loop_;
    std::unique_ptr<platform::NotificationCenter> center_;
    platform::Observation observation_;
    std::optional<platform::Dictionary> answer_;
};

// A test that starts one of the programs on a private bus, with the stand-in
// as the agent.
class ProgramWithAgent : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok()) << bus_.error();
        agent_ = std::make_unique<AgentStandIn>(bus_.address());
        ASSERT_TRUE(agent_->ok());
    }

    // Reads the program's output until this very line.
    static bool expectLine(BackgroundProcess& program, const std::string& wanted) {
        std::string line;
        while (program.readLine(line)) {
            if (line == wanted)
                return true;
        }
        ADD_FAILURE() << "the program never printed: " << wanted;
        return false;
    }

    PrivateBus bus_;
    std::unique_ptr<AgentStandIn> agent_;
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
