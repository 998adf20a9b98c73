// The settings pane in this process, on Qt's offscreen platform with a
// 1920 x 1080 screen: the real run loop inside Qt's loop, an in-process
// notification centre standing in for the bus, a private home folder and
// preferences folder, and a workspace whose programs are small scripts.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "calibrator/solver/CalibrationSolver.hpp"
#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/prefs/PlistCodec.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "prefpane/MultitouchPrefsPane.hpp"
#include "prefpane/host/Workspace.hpp"
#include "qtsupport/QtRunLoopBridge.hpp"
#include "tests/prefpane/PaneFixture.hpp"
#include "tests/prefpane/PaneTestSupport.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/PrivateWeston.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace tact {
namespace {

using namespace std::chrono_literals;
using platform::Dictionary;
using platform::String;
using platform::Value;
using test::control;
using test::informationReply;
using test::ModalResponder;
using test::PaneInProcess;
using test::spinFor;
using test::spinUntil;

// --- device information ---------------------------------------------------

TEST_F(PaneInProcess, ShowingAsksTheAgentAndFillsTheFieldsFromItsReply) {
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(pane_->_tabViews->currentIndex(), 0);
    EXPECT_TRUE(center_->controls.empty());

    pane_->didSelect();
    EXPECT_EQ(postedUserInfo(),
              (std::vector<std::optional<Dictionary>>{control(kKeyNeedSerialNumber, true)}));
    EXPECT_FALSE(pane_->isSerialNumberAlive());

    sendFromAgent(informationReply());
    EXPECT_TRUE(pane_->isSerialNumberAlive());
    EXPECT_EQ(pane_->_driverVersion->text(), "2.0");
    EXPECT_EQ(pane_->_serialNumber->text(), "ZT-0042");
    EXPECT_EQ(pane_->_deviceType->text(), "IR-32");
    EXPECT_EQ(pane_->_shipDateTime->text(), "2019-5-6");
    EXPECT_EQ(pane_->_shipTime->text(), "07:08:09");
    EXPECT_EQ(pane_->_maxTouchPoints->text(), "10");
    EXPECT_EQ(pane_->_hardwareVersion->text(), "1.23");
    EXPECT_EQ(pane_->_firmwareVersion->text(), "12.34.5 - 2.1");

    // The frame goes away: the version stays, the other seven are cleared.
    sendFromAgent(Dictionary{{String(kKeyIsDeviceReady), false}});
    EXPECT_FALSE(pane_->isSerialNumberAlive());
    EXPECT_EQ(pane_->_driverVersion->text(), "2.0");
    EXPECT_EQ(pane_->_serialNumber->text(), "");
    for (QLabel* field : {pane_->_deviceType, pane_->_shipDateTime, pane_->_shipTime,
                          pane_->_maxTouchPoints, pane_->_hardwareVersion, pane_->_firmwareVersion})
        EXPECT_EQ(field->text(), "N/A");
}

TEST_F(PaneInProcess, AgentPayloadsAreReadDefensively) {
    ASSERT_NO_FATAL_FAILURE(loadWithDevice());

    // Nothing at all, and notifications of other kinds, change nothing.
    sendFromAgent(std::nullopt);
    sendFromAgent(Dictionary{{String(kKeyTapLocation), Dictionary{{"touchX", 5}}}});
    EXPECT_EQ(pane_->_serialNumber->text(), "ZT-0042");
    EXPECT_TRUE(pane_->isSerialNumberAlive());

    // A reply that ends early leaves the later fields as they were.
    sendFromAgent(Dictionary{{String(kKeyDriverVersion), "2.1"},
                             {String(kKeyIsDeviceReady), true},
                             {String(kKeySerialNumber), "ZT-0043"}});
    EXPECT_EQ(pane_->_driverVersion->text(), "2.1");
    EXPECT_EQ(pane_->_serialNumber->text(), "ZT-0043");
    EXPECT_EQ(pane_->_deviceType->text(), "IR-32");
    EXPECT_EQ(pane_->_firmwareVersion->text(), "12.34.5 - 2.1");

    // Values of the wrong type are skipped, the rest is still shown; a
    // number counts as yes or no, a short block is read as far as it goes.
    sendFromAgent(Dictionary{{String(kKeyDriverVersion), 3},
                             {String(kKeyIsDeviceReady), 1},
                             {String(kKeySerialNumber), Dictionary{}},
                             {String(kKeyBootParam), String::fromUnits(u"\u0102")},
                             {String(kKeyType), "IR-40"},
                             {String(kKeyShipTime), 7},
                             {String(kKeyShipDate), "2020-1-2"}});
    EXPECT_TRUE(pane_->isSerialNumberAlive());
    EXPECT_EQ(pane_->_driverVersion->text(), "2.1");
    EXPECT_EQ(pane_->_serialNumber->text(), "ZT-0043");
    EXPECT_EQ(pane_->_deviceType->text(), "IR-40");
    EXPECT_EQ(pane_->_shipTime->text(), "07:08:09");
    EXPECT_EQ(pane_->_shipDateTime->text(), "2020-1-2");
    EXPECT_EQ(pane_->_maxTouchPoints->text(), "0");
    EXPECT_EQ(pane_->_hardwareVersion->text(), "0.0");
    EXPECT_EQ(pane_->_firmwareVersion->text(), "0.0.0 - 0.2");

    // A readiness that is neither yes nor no counts as absent; a block of
    // the wrong type is skipped.
    sendFromAgent(Dictionary{{String(kKeyIsDeviceReady), "no"}});
    EXPECT_TRUE(pane_->isSerialNumberAlive());
    sendFromAgent(Dictionary{{String(kKeyIsDeviceReady), true}, {String(kKeyBootParam), 12}});
    EXPECT_EQ(pane_->_maxTouchPoints->text(), "0");
}

TEST_F(PaneInProcess, HidingStopsListeningAndStoresTheLogSwitch) {
    ASSERT_NO_FATAL_FAILURE(load());
    pane_->didSelect();
    pane_->didUnselect();
    EXPECT_EQ(env_.onDisk().boolean(String(kZyvTouchLogStart)), false);
    sendFromAgent(informationReply());
    EXPECT_EQ(pane_->_serialNumber->text(), "");
    EXPECT_FALSE(pane_->isSerialNumberAlive());

    // Shown again, it asks again and listens again.
    pane_->didSelect();
    sendFromAgent(informationReply());
    EXPECT_EQ(pane_->_serialNumber->text(), "ZT-0042");
    ASSERT_TRUE(clickLogSwitch().isEmpty());
    ASSERT_TRUE(pane_->_triggerLog->isChecked());
    pane_->didUnselect();
    EXPECT_EQ(env_.onDisk().boolean(String(kZyvTouchLogStart)), true);
}

// --- preferences on loading -----------------------------------------------

TEST_F(PaneInProcess, LoadingShowsWhatIsStored) {
    storeOnDisk(Dictionary{{String(kZyvTouchClickDuration), 5.0},
                           {String(kZyvTouchSuccessiveClickDuration), "fast"},
                           {String(kZyvTouchGestureMoveThreshold), 17},
                           {String(kZyvTouchLogFile), "/var/tmp/touch.log"},
                           {String(kZyvTouchLogStart), true}});
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(pane_->_clickDuration->value(), 5);
    // Not a number: the control keeps its reset level.
    EXPECT_EQ(pane_->_successiveClickDuration->value(), 12);
    EXPECT_EQ(pane_->_gestureMoveThreshold->value(), 17);
    EXPECT_EQ(pane_->_logURL->text(), "/var/tmp/touch.log");
    EXPECT_TRUE(pane_->_triggerLog->isChecked());
    EXPECT_TRUE(pane_->_logURL->isReadOnly());
    EXPECT_FALSE(pane_->_selectLogURL->isEnabled());
    // Showing what is stored writes nothing and tells nobody.
    spinFor(20ms);
    EXPECT_TRUE(center_->controls.empty());
    EXPECT_EQ(env_.onDisk().string(String(kZyvTouchSuccessiveClickDuration))->toUtf8Lossy(),
              "fast");
}

TEST_F(PaneInProcess, LevelControlsHoldTheResetLevels) {
    ASSERT_NO_FATAL_FAILURE(load());
    for (QSlider* slider :
         {pane_->_clickDuration, pane_->_successiveClickDuration, pane_->_gestureMoveThreshold}) {
        EXPECT_EQ(slider->minimum(), MultitouchPrefsPane::kMinimumLevel);
        EXPECT_EQ(slider->maximum(), MultitouchPrefsPane::kMaximumLevel);
    }
    EXPECT_EQ(pane_->_clickDuration->value(), 8);
    EXPECT_EQ(pane_->_successiveClickDuration->value(), 12);
    EXPECT_EQ(pane_->_gestureMoveThreshold->value(), 10);
}

// --- tuning ---------------------------------------------------------------

TEST_F(PaneInProcess, EachLevelControlSavesItsLevelThenAsksTheAgentToReload) {
    ASSERT_NO_FATAL_FAILURE(load());
    struct Case {
        QSlider* slider;
        std::string_view key;
        int level;
    };
    const Case cases[] = {{pane_->_clickDuration, kZyvTouchClickDuration, 15},
                          {pane_->_successiveClickDuration, kZyvTouchSuccessiveClickDuration, 3},
                          {pane_->_gestureMoveThreshold, kZyvTouchGestureMoveThreshold, 20}};
    for (const Case& c : cases) {
        center_->controls.clear();
        c.slider->setValue(c.level);
        ASSERT_EQ(center_->controls.size(), 1u) << c.key;
        EXPECT_EQ(center_->controls[0].userInfo, control(kKeyPreferenceReload, true));
        // Saved as a real holding the level, before the agent was told.
        const Value* saved = center_->controls[0].onDisk.find(String(c.key));
        ASSERT_NE(saved, nullptr) << c.key;
        EXPECT_EQ(*saved, Value(double(c.level))) << c.key;
    }
    // One step from the keyboard is one more level, saved the same way.
    center_->controls.clear();
    pane_->_clickDuration->triggerAction(QAbstractSlider::SliderSingleStepSub);
    ASSERT_EQ(center_->controls.size(), 1u);
    EXPECT_EQ(center_->controls[0].onDisk.number(String(kZyvTouchClickDuration)), 14.0);
}

TEST_F(PaneInProcess, ScrollArrowKeySavesItsBooleanThenAsksTheAgentToReload) {
    storeOnDisk(Dictionary{{String(kZyvTouchScrollArrowKey), true}});
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_TRUE(pane_->_scrollArrowKey->isChecked());
    EXPECT_FALSE(pane_->_scrollArrowKey->toolTip().isEmpty());
    for (bool expected : {false, true}) {
        center_->controls.clear();
        pane_->_scrollArrowKey->click();
        ASSERT_EQ(center_->controls.size(), 1u);
        EXPECT_EQ(center_->controls[0].userInfo, control(kKeyPreferenceReload, true));
        const Value* saved = center_->controls[0].onDisk.find(String(kZyvTouchScrollArrowKey));
        ASSERT_NE(saved, nullptr);
        EXPECT_EQ(*saved, Value(expected));
    }
}

TEST_F(PaneInProcess, TuningResetSavesAllThreeLevelsAndReloadsOnce) {
    ASSERT_NO_FATAL_FAILURE(load());
    pane_->_clickDuration->setValue(1);
    pane_->_successiveClickDuration->setValue(20);
    pane_->_gestureMoveThreshold->setValue(2);
    pane_->_scrollArrowKey->click();
    center_->controls.clear();

    pane_->tuningResetButton->click();
    ASSERT_EQ(center_->controls.size(), 1u);
    EXPECT_EQ(center_->controls[0].userInfo, control(kKeyPreferenceReload, true));
    const Dictionary& saved = center_->controls[0].onDisk;
    EXPECT_EQ(*saved.find(String(kZyvTouchClickDuration)), Value(8.0));
    EXPECT_EQ(*saved.find(String(kZyvTouchSuccessiveClickDuration)), Value(12.0));
    EXPECT_EQ(*saved.find(String(kZyvTouchGestureMoveThreshold)), Value(10.0));
    EXPECT_EQ(*saved.find(String(kZyvTouchScrollArrowKey)), Value(false));
    EXPECT_FALSE(pane_->_scrollArrowKey->isChecked());
    EXPECT_EQ(pane_->_clickDuration->value(), 8);
    EXPECT_EQ(pane_->_successiveClickDuration->value(), 12);
    EXPECT_EQ(pane_->_gestureMoveThreshold->value(), 10);
}

TEST_F(PaneInProcess, CalibrationResetSavesTheUncalibratedMapForTheMainScreen) {
    ASSERT_NO_FATAL_FAILURE(load());
    pane_->resetCoefficientButton->click();
    ASSERT_EQ(center_->controls.size(), 1u);
    EXPECT_EQ(center_->controls[0].userInfo, control(kKeyPreferenceReload, true));
    const Dictionary* k = center_->controls[0].onDisk.dictionary(String(kZyvTouchCoefficients));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->size(), 8u);
    auto coefficient = [&](std::string_view key) {
        const Value* value = k->find(String(key));
        EXPECT_TRUE(value && value->isReal()) << key;
        return value && value->isReal() ? *value->asReal() : NAN;
    };
    EXPECT_NEAR(coefficient(kZyvTouchCoefficientKX1), 0.05859375, 1e-12);
    EXPECT_NEAR(coefficient(kZyvTouchCoefficientKY2), 0.032958984375, 1e-12);
    for (auto key : {kZyvTouchCoefficientKX2, kZyvTouchCoefficientKX3, kZyvTouchCoefficientKY1,
                     kZyvTouchCoefficientKY3})
        EXPECT_NEAR(coefficient(key), 0.0, 1e-12) << key;
    EXPECT_EQ(coefficient(kZyvTouchCoefficientKWIDTH), 1920.0);
    EXPECT_EQ(coefficient(kZyvTouchCoefficientKHEIGHT), 1080.0);

    // The very numbers the calibrator's solver gives for these pairs.
    const double lo = double(0.1f), hi = double(0.9f);
    const double a = 3276.800048828125, b = 29491.19921875;
    const CalibrationPoints targets{{{lo * 1920, lo * 1080},
                                     {hi * 1920, lo * 1080},
                                     {lo * 1920, hi * 1080},
                                     {hi * 1920, hi * 1080}}};
    const CalibrationPoints samples{{{a, a}, {b, a}, {a, b}, {b, b}}};
    CalibrationCoefficients KX{}, KY{};
    ASSERT_TRUE(getCalibrateCoefficient(targets, samples, KX, KY));
    EXPECT_EQ(coefficient(kZyvTouchCoefficientKX1), KX[0]);
    EXPECT_EQ(coefficient(kZyvTouchCoefficientKX3), KX[2]);
    EXPECT_EQ(coefficient(kZyvTouchCoefficientKY2), KY[1]);
    EXPECT_EQ(coefficient(kZyvTouchCoefficientKY3), KY[2]);
}

// --- the monitor the frame covers ------------------------------------------

class PaneOnTwoMonitors : public PaneInProcess {
  protected:
    // The primary monitor, and a smaller one to its right and lower down.
    PaneOnTwoMonitors()
        : PaneInProcess(test::screenEntry("DP-1", 0, 0, 1920, 1080) + ", " +
                        test::screenEntry("HDMI-1", 1920, 140, 1280, 800)) {}

    QStringList screenChoices() const {
        QStringList texts;
        for (int i = 0; i < pane_->_screenOutput->count(); ++i)
            texts << pane_->_screenOutput->itemText(i);
        return texts;
    }
    // A choice from the keyboard, as a person makes it: one key, one choice.
    void choose(Qt::Key key) { QTest::keyClick(pane_->_screenOutput, key); }
    // "ScreenOutput" in the file when the agent was told to reload.
    const Value* outputAtReload() const {
        EXPECT_EQ(center_->controls.size(), 1u);
        if (center_->controls.size() != 1u)
            return nullptr;
        EXPECT_EQ(center_->controls[0].userInfo, control(kKeyPreferenceReload, true));
        return center_->controls[0].onDisk.find(String(kZyvTouchScreenOutput));
    }
};

TEST_F(PaneOnTwoMonitors, TheScreenChoiceListsTheMonitorsAndStoresTheChosenOne) {
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(screenChoices(), (QStringList{"Primary monitor (default)", "DP-1 — 1920×1080 at 0,0",
                                            "HDMI-1 — 1280×800 at 1920,140"}));
    EXPECT_EQ(pane_->_screenOutput->currentIndex(), 0);
    spinFor(20ms);
    EXPECT_TRUE(center_->controls.empty());

    // The second monitor: saved before the agent is told to reload.
    choose(Qt::Key_End);
    const Value* saved = outputAtReload();
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(*saved, Value("HDMI-1"));

    // The calibration reset now spreads the frame over that monitor.
    center_->controls.clear();
    pane_->resetCoefficientButton->click();
    ASSERT_EQ(center_->controls.size(), 1u);
    const Dictionary* k = center_->controls[0].onDisk.dictionary(String(kZyvTouchCoefficients));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->number(String(kZyvTouchCoefficientKWIDTH)), 1280.0);
    EXPECT_EQ(k->number(String(kZyvTouchCoefficientKHEIGHT)), 800.0);

    // The primary monitor by its name, then the default: no key at all.
    center_->controls.clear();
    choose(Qt::Key_Up);
    saved = outputAtReload();
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(*saved, Value("DP-1"));
    center_->controls.clear();
    choose(Qt::Key_Home);
    EXPECT_EQ(outputAtReload(), nullptr);
}

TEST_F(PaneOnTwoMonitors, AStoredMonitorThatIsNotConnectedStaysChosenUntilAnotherIs) {
    storeOnDisk(Dictionary{{String(kZyvTouchScreenOutput), "HDMI-2"}});
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(screenChoices(),
              (QStringList{"Primary monitor (default)", "DP-1 — 1920×1080 at 0,0",
                           "HDMI-1 — 1280×800 at 1920,140", "HDMI-2 (not connected)"}));
    EXPECT_EQ(pane_->_screenOutput->currentText(), "HDMI-2 (not connected)");
    // Showing it writes nothing and tells nobody.
    spinFor(20ms);
    EXPECT_TRUE(center_->controls.empty());
    const Dictionary onDisk = env_.onDisk();
    ASSERT_NE(onDisk.find(String(kZyvTouchScreenOutput)), nullptr);
    EXPECT_EQ(*onDisk.find(String(kZyvTouchScreenOutput)), Value("HDMI-2"));

    // Another monitor chosen: the absent one leaves the list.
    choose(Qt::Key_Up);
    const Value* saved = outputAtReload();
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(*saved, Value("HDMI-1"));
    EXPECT_EQ(screenChoices().size(), 3);
    EXPECT_EQ(pane_->_screenOutput->currentText(), "HDMI-1 — 1280×800 at 1920,140");
}

// Monitors coming and going on a real X server: Xwayland, whose RandR
// monitors Qt's xcb platform reports as screens. A monitor is added and
// removed with xrandr, as a desktop's display settings would.
TEST(PaneOnAnXServer, TheScreenChoiceFollowsMonitorsComingAndGoing) {
    test::PrivateWeston weston(test::WestonOptions{.outputs = 1});
    if (!weston.installed() || test::findOnPath("xrandr").empty())
        GTEST_SKIP() << "needs weston, Xwayland, Xvfb and xrandr";
    ASSERT_TRUE(weston.ok()) << weston.error();
    const std::string display = weston.xwaylandDisplay();
    auto xrandr = [&](std::vector<std::string> args) {
        args.insert(args.begin(), test::findOnPath("xrandr"));
        const auto result = test::runProcess(args, {"DISPLAY=" + display});
        EXPECT_EQ(result.exitCode, 0) << result.err;
    };

    const QByteArray oldDisplay = qgetenv("DISPLAY");
    qputenv("DISPLAY", display.c_str());
    test::TempDir prefs;
    platform::setPreferencesDirectory(prefs.path());
    {
        test::OffscreenApp qt("xcb");
        auto loop = platform::makeRealRunLoop(false);
        QtRunLoopBridge bridge(*loop);
        auto center = platform::makeLocalNotificationCenter(*loop);
        int reloads = 0;
        auto observation = center->addObserver(String(kControlNotification), String(kControlObject),
                                               [&](const platform::Notification&) { ++reloads; });
        Workspace workspace(QStringList{});
        PaneContext context;
        context.runLoop = loop.get();
        context.notificationCenter = center.get();
        context.workspace = &workspace;
        MultitouchPrefsPane pane(context);
        ASSERT_NE(pane.loadMainView(), nullptr);
        pane.mainView()->show();
        QComboBox* choice = pane._screenOutput;
        const int connected = choice->count();
        ASSERT_EQ(connected, 1 + QGuiApplication::screens().size());

        // A monitor comes: it is listed, and can be chosen.
        xrandr({"--setmonitor", "TACT-1", "400/100x300/75+20+10", "none"});
        const QString label = QString::fromUtf8("TACT-1 — 400×300 at 20,10");
        ASSERT_TRUE(spinUntil([&] { return choice->findText(label) >= 0; }))
            << choice->itemText(choice->count() - 1).toStdString();
        EXPECT_EQ(choice->count(), connected + 1);
        EXPECT_EQ(choice->currentIndex(), 0);
        QTest::keyClick(choice, Qt::Key_End);
        ASSERT_EQ(choice->currentText(), label);
        ASSERT_TRUE(spinUntil([&] { return reloads == 1; }));
        EXPECT_EQ(
            *platform::CFPreferencesCopyAppValue(String(kZyvTouchScreenOutput), kZyvTouchSetting),
            Value("TACT-1"));

        // It goes: still the choice, said to be away; nothing is stored.
        xrandr({"--delmonitor", "TACT-1"});
        ASSERT_TRUE(spinUntil([&] { return choice->findText(label) < 0; }));
        EXPECT_EQ(choice->currentText(), "TACT-1 (not connected)");
        EXPECT_EQ(choice->count(), connected + 1);

        // It comes back, elsewhere.
        xrandr({"--setmonitor", "TACT-1", "400/100x300/75+40+0", "none"});
        ASSERT_TRUE(spinUntil([&] { return choice->currentText().startsWith("TACT-1 — "); }));
        EXPECT_EQ(choice->currentText(), QString::fromUtf8("TACT-1 — 400×300 at 40,0"));
        EXPECT_EQ(choice->count(), connected + 1);
        spinFor(50ms);
        EXPECT_EQ(reloads, 1);
    }
    qputenv("DISPLAY", oldDisplay);
}

// --- the log switch -------------------------------------------------------

TEST_F(PaneInProcess, TheLogSwitchNeedsAConnectedFrame) {
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(clickLogSwitch(), "Please make sure Zyvtouch Screen is connected!");
    EXPECT_FALSE(pane_->_triggerLog->isChecked());
    EXPECT_TRUE(center_->controls.empty());
    // The same alert, every time.
    QMessageBox* alert = pane_->deviceAlert();
    EXPECT_EQ(clickLogSwitch(), "Please make sure Zyvtouch Screen is connected!");
    EXPECT_EQ(pane_->deviceAlert(), alert);
}

TEST_F(PaneInProcess, LoggingIntoATypedPathPostsThatPathAndLocksTheControls) {
    ASSERT_NO_FATAL_FAILURE(loadWithDevice());
    test::TempDir logs;
    const std::string path = logs.file("touch.log");
    test::writeFile(path, "abcdef");
    pane_->_logURL->setText(QString::fromStdString(path));

    ASSERT_EQ(clickLogSwitch(), "");
    EXPECT_TRUE(pane_->_triggerLog->isChecked());
    EXPECT_EQ(postedUserInfo(),
              (std::vector<std::optional<Dictionary>>{
                  Dictionary{{String(kKeyLogTrigger), true}, {String(kKeyLogURL), String(path)}}}));
    EXPECT_TRUE(pane_->_logURL->isReadOnly());
    EXPECT_FALSE(pane_->_selectLogURL->isEnabled());
    // The file is left as it was; the agent writes into it.
    EXPECT_EQ(test::readFile(path), "abcdef");
    EXPECT_EQ(env_.onDisk().string(String(kZyvTouchLogFile))->toUtf8Lossy(), path);

    center_->controls.clear();
    ASSERT_EQ(clickLogSwitch(), "");
    EXPECT_FALSE(pane_->_triggerLog->isChecked());
    EXPECT_EQ(postedUserInfo(),
              (std::vector<std::optional<Dictionary>>{control(kKeyLogTrigger, false)}));
    EXPECT_FALSE(pane_->_logURL->isReadOnly());
    EXPECT_TRUE(pane_->_selectLogURL->isEnabled());
}

TEST_F(PaneInProcess, ATypedFileThatIsMissingIsMadeForTheAgent) {
    ASSERT_NO_FATAL_FAILURE(loadWithDevice());
    test::TempDir logs;
    const std::string path = logs.file("new.log");
    // A file URL typed in is taken as its local path.
    pane_->_logURL->setText(QString::fromStdString("file://" + path));
    ASSERT_EQ(clickLogSwitch(), "");
    EXPECT_TRUE(test::fileExists(path));
    EXPECT_EQ(pane_->_logURL->text().toStdString(), path);
    EXPECT_EQ(postedUserInfo(),
              (std::vector<std::optional<Dictionary>>{
                  Dictionary{{String(kKeyLogTrigger), true}, {String(kKeyLogURL), String(path)}}}));
}

TEST_F(PaneInProcess, LoggingWithoutAPathStartsANewFileInTheDocumentsFolder) {
    ASSERT_NO_FATAL_FAILURE(loadWithDevice());
    ASSERT_FALSE(QFileInfo::exists(documents()));

    ASSERT_EQ(clickLogSwitch(), "");
    EXPECT_TRUE(pane_->_triggerLog->isChecked());
    const QString path = pane_->_logURL->text();
    const QFileInfo file(path);
    EXPECT_EQ(file.absolutePath(), documents());
    EXPECT_TRUE(file.isFile());
    EXPECT_EQ(file.size(), 0);
    EXPECT_TRUE(file.fileName().startsWith("multitouch_")) << path.toStdString();
    EXPECT_TRUE(file.fileName().endsWith(".log")) << path.toStdString();
    bool isNumber = false;
    file.completeBaseName().mid(11).toDouble(&isNumber);
    EXPECT_TRUE(isNumber) << path.toStdString();

    // Logging really starts, into that file.
    EXPECT_EQ(
        postedUserInfo(),
        (std::vector<std::optional<Dictionary>>{Dictionary{
            {String(kKeyLogTrigger), true}, {String(kKeyLogURL), String(path.toStdString())}}}));
    EXPECT_TRUE(pane_->_logURL->isReadOnly());
    EXPECT_FALSE(pane_->_selectLogURL->isEnabled());
}

TEST_F(PaneInProcess, AnUnusableTypedPathAlsoGetsANewFile) {
    ASSERT_NO_FATAL_FAILURE(loadWithDevice());
    test::TempDir logs;
    for (const std::string& typed :
         {std::string("relative.log"), logs.path(), logs.file("no-such-folder/x.log")}) {
        center_->controls.clear();
        pane_->_logURL->setText(QString::fromStdString(typed));
        ASSERT_EQ(clickLogSwitch(), "") << typed;
        const QString path = pane_->_logURL->text();
        EXPECT_EQ(QFileInfo(path).absolutePath(), documents()) << typed;
        ASSERT_EQ(center_->controls.size(), 1u) << typed;
        EXPECT_EQ(center_->controls[0].userInfo->string(String(kKeyLogURL))->toUtf8Lossy(),
                  path.toStdString());
        ASSERT_EQ(clickLogSwitch(), "");  // off again
    }
}

TEST_F(PaneInProcess, LoggingStaysOffWhenTheNewFileCannotBeMade) {
    ASSERT_NO_FATAL_FAILURE(loadWithDevice());
    // A file where the documents folder should be.
    test::writeFile(env_.documents(), "");

    const QString text = clickLogSwitch();
    EXPECT_TRUE(text.startsWith("log file: " + documents() + "/multitouch_")) << text.toStdString();
    EXPECT_TRUE(text.endsWith(".log cannot be created!")) << text.toStdString();
    EXPECT_FALSE(pane_->_triggerLog->isChecked());
    EXPECT_EQ(pane_->_logURL->text(), "");
    EXPECT_FALSE(pane_->_logURL->isReadOnly());
    EXPECT_TRUE(center_->controls.empty());
}

TEST_F(PaneInProcess, AChosenLogFileIsStoredAsItsLocalPath) {
    ASSERT_NO_FATAL_FAILURE(load());
    test::TempDir logs;
    // Characters a URL would escape.
    const std::string path = logs.file("touch log %41 #1.txt");
    test::writeFile(path, "");

    bool wasFileDialog = false;
    ModalResponder responder([&](QWidget* modal) {
        auto* panel = qobject_cast<QFileDialog*>(modal);
        wasFileDialog = panel != nullptr;
        if (!panel) {
            modal->close();
            return;
        }
        EXPECT_EQ(panel->fileMode(), QFileDialog::ExistingFile);
        panel->selectFile(QString::fromStdString(path));
        // Accepting checks the file, as the Open button does.
        static_cast<QDialog*>(panel)->accept();
    });
    pane_->_selectLogURL->click();
    ASSERT_TRUE(wasFileDialog);
    EXPECT_EQ(pane_->_logURL->text().toStdString(), path);
    EXPECT_EQ(env_.onDisk().string(String(kZyvTouchLogFile))->toUtf8Lossy(), path);
    EXPECT_TRUE(center_->controls.empty());
}

TEST_F(PaneInProcess, ACancelledChooserChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(load());
    pane_->_logURL->setText("/var/tmp/kept.log");
    ModalResponder responder([&](QWidget* modal) { modal->close(); });
    pane_->_selectLogURL->click();
    ASSERT_TRUE(responder.answered());
    EXPECT_EQ(pane_->_logURL->text(), "/var/tmp/kept.log");
    EXPECT_FALSE(env_.onDisk().contains(String(kZyvTouchLogFile)));
}

// --- starting the companion applications ---------------------------------

TEST_F(PaneInProcess, LaunchingNeedsAConnectedFrame) {
    ASSERT_NO_FATAL_FAILURE(load());
    for (QPushButton* button : {pane_->openCalibraterButton, pane_->openPainterButton}) {
        EXPECT_EQ(answeringAlert([&] { button->click(); }),
                  "Please make sure Zyvtouch Screen is connected!");
    }
    spinFor(100ms);
    EXPECT_FALSE(test::fileExists(programs_.file("tactcalib.started")));
    EXPECT_FALSE(test::fileExists(programs_.file("tactpaint.started")));
}

TEST_F(PaneInProcess, LaunchingStartsOurProgramsForTheApplicationPaths) {
    ASSERT_NO_FATAL_FAILURE(loadWithDevice());
    pane_->openCalibraterButton->click();
    ASSERT_TRUE(spinUntil([&] { return test::fileExists(programs_.file("tactcalib.started")); }));
    EXPECT_EQ(test::readFile(programs_.file("tactcalib.started")),
              programs_.file("tactcalib") + "\n");
    pane_->openPainterButton->click();
    ASSERT_TRUE(spinUntil([&] { return test::fileExists(programs_.file("tactpaint.started")); }));

    // Without the program it says so instead of doing nothing.
    std::filesystem::remove(programs_.file("tactpaint"));
    const QString text = answeringAlert([&] { pane_->openPainterButton->click(); });
    EXPECT_TRUE(
        text.startsWith("/Applications/Tactpaint.app cannot be started: no program "
                        "tactpaint in "))
        << text.toStdString();
}

}  // namespace
}  // namespace tact
