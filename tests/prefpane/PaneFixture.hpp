// The settings pane in this process, for tests that drive it: the real run
// loop inside Qt's loop on the offscreen platform, an in-process
// notification centre standing in for the bus (probed for what the
// preferences file held at each control notification), a private home and
// preferences folder, and a workspace whose programs are small scripts.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QMessageBox>
#include <QStringList>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Notifications.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/prefs/PlistCodec.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "prefpane/MultitouchPrefsPane.hpp"
#include "prefpane/host/Workspace.hpp"
#include "qtsupport/QtRunLoopBridge.hpp"
#include "tests/prefpane/PaneTestSupport.hpp"
#include "tests/support/AgentStandIn.hpp"
#include "tests/support/QtTestSupport.hpp"
#include "tests/support/TempDir.hpp"

namespace tact::test {

using platform::Dictionary;
using platform::String;
using platform::Value;

inline Dictionary informationReply() {
    return exampleInformationReply();
}

inline Dictionary control(std::string_view key, Value value) {
    return Dictionary{{String(key), std::move(value)}};
}

inline void makeScript(const std::string& path, const std::string& marker) {
    // Written aside and renamed, so the marker appears complete.
    writeFile(path, "#!/bin/sh\necho \"$0\" > '" + marker + ".new' && mv '" + marker + ".new' '" +
                        marker + "'\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

class PaneInProcess : public ::testing::Test {
  public:
    PaneInProcess() = default;
    // screens: the offscreen platform's monitors (test::screenEntry).
    explicit PaneInProcess(const std::string& screens) : env_(screens) {}

    void SetUp() override {
        loop_ = platform::makeRealRunLoop(false);
        bridge_ = std::make_unique<QtRunLoopBridge>(*loop_);
        local_ = platform::makeLocalNotificationCenter(*loop_);
        center_ = std::make_unique<ProbingCenter>(*local_, env_);
        workspace_ =
            std::make_unique<Workspace>(QStringList{QString::fromStdString(programs_.path())});
        makeScript(programs_.file("tactcalib"), programs_.file("tactcalib.started"));
        makeScript(programs_.file("tactpaint"), programs_.file("tactpaint.started"));
    }

    void TearDown() override {
        pane_.reset();
        center_.reset();
        local_.reset();
        bridge_.reset();
        loop_.reset();
    }

    // Makes the pane and loads its view, as the host does.
    PaneContext context() const {
        PaneContext context;
        context.runLoop = loop_.get();
        context.notificationCenter = center_.get();
        context.workspace = workspace_.get();
        return context;
    }

    void load() {
        pane_ = std::make_unique<MultitouchPrefsPane>(context());
        ASSERT_NE(pane_->loadMainView(), nullptr);
        pane_->mainView()->show();
    }

    // Loads and selects the pane, and lets the agent answer as a frame
    // with the example identity would.
    void loadWithDevice() {
        ASSERT_NO_FATAL_FAILURE(load());
        pane_->didSelect();
        sendFromAgent(informationReply());
        ASSERT_TRUE(pane_->isSerialNumberAlive());
        center_->controls.clear();
    }

    // Posts an agent notification and waits until it has been delivered.
    void sendFromAgent(const std::optional<Dictionary>& userInfo) {
        local_->post(String(kZyvTouchEventNotification), String(kMultiTouchSupportObject),
                     userInfo);
        settle();
    }
    void settle() {
        bool arrived = false;
        auto marker = local_->addObserver("pane-test-marker", "",
                                          [&](const platform::Notification&) { arrived = true; });
        local_->post("pane-test-marker", "", std::nullopt);
        ASSERT_TRUE(spinUntil([&] { return arrived; }));
    }

    // Writes the preferences file as another program would.
    void storeOnDisk(const Dictionary& values) {
        std::filesystem::create_directories(env_.config());
        auto xml = platform::plist::toXml(Value(values));
        ASSERT_TRUE(xml);
        writeFile(env_.prefsFile(), *xml);
    }

    std::vector<std::optional<Dictionary>> postedUserInfo() const {
        std::vector<std::optional<Dictionary>> all;
        for (const auto& posted : center_->controls)
            all.push_back(posted.userInfo);
        return all;
    }

    // Runs action and answers the alert it brings up, if any, with its
    // button; returns the alert's informative text (empty without one).
    QString answeringAlert(const std::function<void()>& action) {
        QString alertText;
        QStringList buttons;
        ModalResponder responder([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) {
                ADD_FAILURE() << "a dialog that is no alert came up";
                modal->close();
                return;
            }
            alertText = box->informativeText();
            EXPECT_EQ(box->icon(), QMessageBox::Warning);
            for (QAbstractButton* button : box->buttons())
                buttons << button->text();
            box->buttons().first()->click();
        });
        action();
        if (responder.answered()) {
            EXPECT_EQ(buttons, QStringList{"OK"});
        }
        return alertText;
    }
    QString clickLogSwitch() {
        return answeringAlert([&] { pane_->_triggerLog->click(); });
    }

    QString documents() const { return QString::fromStdString(env_.documents()); }

    PaneTestEnvironment env_;
    TempDir programs_;
    std::unique_ptr<platform::RunLoop> loop_;
    std::unique_ptr<QtRunLoopBridge> bridge_;
    std::unique_ptr<platform::NotificationCenter> local_;
    std::unique_ptr<ProbingCenter> center_;
    std::unique_ptr<Workspace> workspace_;
    std::unique_ptr<MultitouchPrefsPane> pane_;
};

}  // namespace tact::test
