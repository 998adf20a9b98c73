// A converter on virtual parts, all handed to it in its environment: a
// virtual run loop (its only clock), the in-process notification centre, a
// virtual desktop and its preference domain in a fresh preferences folder.
// Its event service is the process's, because the hot-key sequences and the
// gesture encoders the converter calls still post there.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/VirtualRunLoop.hpp"
#include "tests/agent/ScopedLogLevel.hpp"
#include "tests/support/TempDir.hpp"

namespace tact::test {

class ConverterFixture : public ::testing::Test {
  protected:
    ConverterFixture()
        : loop(800000000.0),
          notifications(platform::makeLocalNotificationCenter(loop)),
          environment{loop, *notifications, desktop, events, preferences} {
        platform::setPreferencesDirectory(prefsDir.path());
        agentEvents = notifications->addObserver(
            platform::String(kZyvTouchEventNotification),
            platform::String(kMultiTouchSupportObject),
            [this](const platform::Notification& n) { posted.push_back(n); });
    }
    // Stores preferences as the pane would (set, then synchronise).
    void storePreference(std::string_view key, const platform::Value& value) {
        preferences.setAppValue(platform::String(key), value);
        ASSERT_TRUE(preferences.synchronize());
    }

    ZyvTouchConverter& makeConverter() {
        converter = std::make_unique<ZyvTouchConverter>(environment);
        return *converter;
    }

    // Sends a control notification and lets the loop deliver it.
    void control(platform::Dictionary userInfo) {
        notifications->post(platform::String(kControlNotification),
                            platform::String(kControlObject), std::move(userInfo));
        loop.run();
    }

    TempDir prefsDir;
    platform::VirtualRunLoop loop;
    std::unique_ptr<platform::NotificationCenter> notifications;
    platform::VirtualDesktop desktop;
    platform::PreferenceDomain preferences{platform::String(kZyvTouchSetting)};
    // The converter's own event service: nothing it posts may reach the
    // process's.
    platform::events::EventService events;
    AgentEnvironment environment;
    platform::Observation agentEvents;
    std::vector<platform::Notification> posted;
    std::unique_ptr<ZyvTouchConverter> converter;
};

// Builds touch reports byte by byte.
struct ReportBuilder {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(62, 0);
    std::size_t records = 0;

    ReportBuilder() { bytes[0] = 10; }
    ReportBuilder& add10(std::uint8_t flags, std::uint8_t id, std::uint16_t x, std::uint16_t y,
                         std::uint16_t w = 0, std::uint16_t h = 0) {
        std::size_t at = 1 + 10 * records++;
        std::uint8_t r[10] = {flags,           id,
                              std::uint8_t(x), std::uint8_t(x >> 8),
                              std::uint8_t(y), std::uint8_t(y >> 8),
                              std::uint8_t(w), std::uint8_t(w >> 8),
                              std::uint8_t(h), std::uint8_t(h >> 8)};
        std::copy(r, r + 10, bytes.begin() + long(at));
        return *this;
    }
    ReportBuilder& add6(std::uint8_t flags, std::uint8_t id, std::uint16_t x, std::uint16_t y) {
        std::size_t at = 1 + 6 * records++;
        std::uint8_t r[6] = {flags,           id,
                             std::uint8_t(x), std::uint8_t(x >> 8),
                             std::uint8_t(y), std::uint8_t(y >> 8)};
        std::copy(r, r + 6, bytes.begin() + long(at));
        return *this;
    }
    ReportBuilder& count(std::uint8_t c) {
        bytes[61] = c;
        return *this;
    }
    std::span<const std::uint8_t> span() const { return bytes; }
};

}  // namespace tact::test
