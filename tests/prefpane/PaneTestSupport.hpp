// What the settings pane's in-process tests share: a QApplication on Qt's
// offscreen platform with one 1920 x 1080 screen (or the monitors a test
// describes), a private home, answering
// modal dialogs, and a notification centre that notes what the preferences
// file held at the moment each control notification was posted.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/prefs/PlistCodec.hpp"
#include "platform/prefs/Preferences.hpp"
#include "tests/support/QtTestSupport.hpp"
#include "tests/support/TempDir.hpp"

namespace tact::test {

inline constexpr int kScreenWidth = 1920;
inline constexpr int kScreenHeight = 1080;

// One entry of the offscreen platform's "screens".
inline std::string screenEntry(const std::string& name, int x, int y, int width, int height) {
    return "{\"name\": \"" + name + "\", \"x\": " + std::to_string(x) +
           ", \"y\": " + std::to_string(y) + ", \"width\": " + std::to_string(width) +
           ", \"height\": " + std::to_string(height) +
           ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}";
}

// The environment of one test: HOME and XDG_CONFIG_HOME in a fresh folder
// (so the documents folder is <home>/Documents and starts missing), the
// preferences there too, and the offscreen platform with a 1920 x 1080 screen
// or the given ones (screenEntry, comma-separated).
class PaneTestEnvironment {
  public:
    explicit PaneTestEnvironment(const std::string& screens = screenEntry("main", 0, 0,
                                                                          kScreenWidth,
                                                                          kScreenHeight)) {
        const std::string platformConfig = dir_.file("screens.json");
        writeFile(platformConfig, "{\"screens\": [" + screens + "]}\n");
        qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + platformConfig).c_str());
        qputenv("HOME", home().c_str());
        qputenv("XDG_CONFIG_HOME", config().c_str());
        platform::setPreferencesDirectory(config());
        app_ = std::make_unique<OffscreenApp>();
    }
    std::string home() const { return dir_.path(); }
    std::string config() const { return dir_.file(".config"); }
    std::string documents() const { return dir_.file("Documents"); }
    std::string prefsFile() const { return platform::preferencesPath(kZyvTouchSetting); }

    // The domain as its file holds it now (empty when there is none).
    platform::Dictionary onDisk() const {
        auto value = platform::plist::parse(readFile(prefsFile()));
        if (value && value->asDictionary())
            return *value->asDictionary();
        return {};
    }

  private:
    TempDir dir_;
    std::unique_ptr<OffscreenApp> app_;
};

// Answers the next modal dialog: once one is up, calls handle with it.
class ModalResponder {
  public:
    explicit ModalResponder(std::function<void(QWidget*)> handle) : handle_(std::move(handle)) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible())
                return;
            timer_.stop();
            answered_ = true;
            handle_(modal);
        });
        timer_.start();
    }
    bool answered() const { return answered_; }

  private:
    std::function<void(QWidget*)> handle_;
    QTimer timer_;
    bool answered_ = false;
};

// One control notification as it was posted, with the preferences file as
// it was at that moment.
struct PostedControl {
    std::optional<platform::Dictionary> userInfo;
    platform::Dictionary onDisk;
};

// A notification centre that passes everything to a real in-process centre
// and, for each control notification, notes what the file held then: a
// "PreferenceReload" must find the values already saved.
class ProbingCenter : public platform::NotificationCenter {
  public:
    ProbingCenter(platform::NotificationCenter& inner, const PaneTestEnvironment& env)
        : inner_(inner), env_(env) {}

    bool post(const platform::String& name, const platform::String& object,
              const std::optional<platform::Dictionary>& userInfo) override {
        if (name == platform::String(kControlNotification) &&
            object == platform::String(kControlObject))
            controls.push_back({userInfo, env_.onDisk()});
        return inner_.post(name, object, userInfo);
    }
    platform::Observation addObserver(const platform::String& name, const platform::String& object,
                                      Callback callback) override {
        return inner_.addObserver(name, object, std::move(callback));
    }

    std::vector<PostedControl> controls;

  private:
    platform::NotificationCenter& inner_;
    const PaneTestEnvironment& env_;
};

}  // namespace tact::test
