// The calibrator's view and delegate in this process, on Qt's offscreen
// platform (its one default screen, or two monitors side by side), with the
// real run loop inside Qt's loop, an in-process notification centre standing
// in for the bus, and a temporary preferences folder.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QWindow>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "calibrator/AppDelegate.hpp"
#include "calibrator/CalibrateView.hpp"
#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "qtsupport/QtRunLoopBridge.hpp"
#include "tests/support/QtTestSupport.hpp"
#include "tests/support/TempDir.hpp"

namespace tact {
namespace {

using namespace std::chrono_literals;
using test::spinFor;
using test::spinUntil;

platform::Dictionary tap(std::int64_t x, std::int64_t y) {
    return platform::Dictionary{
        {kKeyTapLocation, platform::Dictionary{{"touchX", x}, {"touchY", y}}},
        {kKeyActiveTouchCount, 1},
    };
}

// Two monitors: the primary, and a smaller one to its right and lower down.
const QRect kPrimaryMonitor(0, 0, 1920, 1080);
const QRect kSecondMonitor(1920, 140, 1280, 800);

// The offscreen platform with the two monitors, "DP-1" and "HDMI-1", and
// windows without frames.
std::string twoMonitors() {
    static test::TempDir dir;
    auto screen = [](const char* name, const QRect& r) {
        return "{\"name\": \"" + std::string(name) + "\", \"x\": " + std::to_string(r.x()) +
               ", \"y\": " + std::to_string(r.y()) + ", \"width\": " + std::to_string(r.width()) +
               ", \"height\": " + std::to_string(r.height()) +
               ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}";
    };
    const std::string config = dir.file("two-monitors.json");
    test::writeFile(config, "{\"screens\": [" + screen("DP-1", kPrimaryMonitor) + ", " +
                                screen("HDMI-1", kSecondMonitor) +
                                "], \"windowFrameMargins\": false}\n");
    return "offscreen:configfile=" + config;
}

class CalibratorInProcess : public ::testing::Test {
  protected:
    // platform: Qt's platform for the test ("offscreen:configfile=...").
    explicit CalibratorInProcess(const std::string& platform = {}) : qt_(platform) {}

    // What is in the preferences before the calibrator starts.
    virtual void storePreferences() {}

    void SetUp() override {
        platform::setPreferencesDirectory(prefsDir_.path());
        storePreferences();
        loop_ = platform::makeRealRunLoop(false);
        bridge_ = std::make_unique<QtRunLoopBridge>(*loop_);
        center_ = platform::makeLocalNotificationCenter(*loop_);
        controlObservation_ = center_->addObserver(
            kControlNotification, kControlObject, [this](const platform::Notification& n) {
                // The question whether an agent runs is counted apart.
                if (n.userInfo && n.userInfo->contains(kKeyNeedSerialNumber))
                    ++asked_;
                else
                    control_.push_back(n.userInfo);
            });
        delegate_ = std::make_unique<AppDelegate>(*center_, *loop_);
        window_ = loadMainInterface(*delegate_, *center_);
        view_ = delegate_->_calibrateView;
        ASSERT_NE(view_, nullptr);
        recorded_ = std::make_unique<QSignalSpy>(view_, &CalibrateView::targetRecorded);
        // As the program does.
        QObject::connect(&qt_.app(), &QCoreApplication::aboutToQuit, delegate_.get(),
                         &AppDelegate::applicationWillTerminate);
        delegate_->awakeFromNib();
        delegate_->applicationDidFinishLaunching();
    }

    void TearDown() override {
        recorded_.reset();
        window_.reset();
        delegate_.reset();
        controlObservation_.remove();
        center_.reset();
        bridge_.reset();
        loop_.reset();
    }

    // Sends an agent notification and lets it arrive.
    void send(const std::optional<platform::Dictionary>& userInfo) {
        center_->post(kZyvTouchEventNotification, kMultiTouchSupportObject, userInfo);
        ++sent_;
    }
    void sendTaps(int count, std::int64_t x, std::int64_t y) {
        for (int i = 0; i < count; ++i)
            send(tap(x, y));
    }
    void lift() { send(std::nullopt); }
    // Waits until everything sent so far was delivered and drawn.
    void settle() {
        // The centre delivers in posting order; a marker posted last tells
        // when the rest has arrived.
        bool arrived = false;
        auto marker = center_->addObserver("calibrator-test-marker", "",
                                           [&](const platform::Notification&) { arrived = true; });
        center_->post("calibrator-test-marker", "", std::nullopt);
        ASSERT_TRUE(spinUntil([&] { return arrived; }));
        spinFor(20ms);
    }
    // Waits until the view has drawn (and so recorded) the target of stage.
    bool waitForTarget(int stage) {
        return spinUntil([&] {
            for (const auto& args : *recorded_)
                if (args.at(0).toInt() == stage)
                    return true;
            return false;
        });
    }

    std::optional<platform::Dictionary> control(std::string_view key, bool value) {
        return platform::Dictionary{{platform::String(key), value}};
    }

    test::OffscreenApp qt_;
    test::TempDir prefsDir_;
    std::unique_ptr<platform::RunLoop> loop_;
    std::unique_ptr<QtRunLoopBridge> bridge_;
    std::unique_ptr<platform::NotificationCenter> center_;
    platform::Observation controlObservation_;
    std::vector<std::optional<platform::Dictionary>> control_;
    int asked_ = 0;
    std::unique_ptr<AppDelegate> delegate_;
    std::unique_ptr<QWidget> window_;
    CalibrateView* view_ = nullptr;
    std::unique_ptr<QSignalSpy> recorded_;
    int sent_ = 0;
};

TEST_F(CalibratorInProcess, StartsAtTheFirstTargetWithTheFullCountAndTellsTheAgent) {
    EXPECT_TRUE(view_->isCalibrateOn());
    EXPECT_EQ(view_->stage(), 0);
    EXPECT_EQ(view_->downCounter(), QString("100"));
    ASSERT_TRUE(spinUntil([&] { return !control_.empty(); }));
    EXPECT_EQ(control_, (std::vector{control(kKeyCalibrateInProgress, true)}));

    // The window covers the main screen; the first target sits a tenth of the
    // screen in from its top-left corner, in screen points.
    const QRectF screen = view_->screenRect();
    ASSERT_FALSE(screen.isEmpty());
    EXPECT_EQ(window_->size(), screen.size().toSize());
    ASSERT_TRUE(waitForTarget(0));
    EXPECT_DOUBLE_EQ(view_->referencePoints()[0].x, double(0.1f) * screen.width());
    EXPECT_DOUBLE_EQ(view_->referencePoints()[0].y,
                     screen.height() - double(0.9f) * screen.height());

    // Starting again while a run is on changes nothing and tells nobody.
    view_->calibrateOn();
    spinFor(50ms);
    EXPECT_EQ(control_.size(), 1u);
}

TEST_F(CalibratorInProcess, CountsDownAndALiftBefore100RestartsTheTarget) {
    ASSERT_TRUE(waitForTarget(0));
    sendTaps(99, 5000, 5000);
    settle();
    EXPECT_EQ(view_->downCounter(), QString("1"));
    EXPECT_EQ(view_->tapCount(), 1);

    lift();
    settle();
    EXPECT_EQ(view_->stage(), 0);
    EXPECT_EQ(view_->downCounter(), QString("100"));
    EXPECT_EQ(view_->tapCount(), 100);

    // The discarded samples leave no trace in the target's average.
    sendTaps(100, 3000, 3100);
    settle();
    EXPECT_EQ(view_->stage(), 1);
    EXPECT_EQ(view_->samplePoints()[0], (CalibrationPoint{3000, 3100}));
}

TEST_F(CalibratorInProcess, SamplesAfterTheHundredthWaitForALift) {
    ASSERT_TRUE(waitForTarget(0));
    sendTaps(100, 3000, 3100);
    settle();
    ASSERT_EQ(view_->stage(), 1);
    EXPECT_FALSE(view_->tapToggle());
    EXPECT_EQ(view_->downCounter(), QString("100"));

    // The finger still rests on the first target: nothing counts.
    sendTaps(150, 9999, 9999);
    settle();
    EXPECT_EQ(view_->stage(), 1);
    EXPECT_EQ(view_->tapCount(), 100);
    EXPECT_EQ(view_->downCounter(), QString("100"));

    lift();
    sendTaps(100, 3200, 29000);
    settle();
    EXPECT_EQ(view_->stage(), 2);
    EXPECT_EQ(view_->samplePoints()[1], (CalibrationPoint{3200, 29000}));
}

TEST_F(CalibratorInProcess, AveragesWithIntegerDivision) {
    ASSERT_TRUE(waitForTarget(0));
    // 99 x 3277 + 3276 = 327,699: the average is 3276, not 3276.99. Each
    // coordinate is taken as an unsigned 32-bit value, so -1 counts as
    // 4294967295.
    for (int i = 0; i < 99; ++i)
        send(tap(3277, -1));
    send(tap(3276, -1));
    settle();
    ASSERT_EQ(view_->stage(), 1);
    EXPECT_EQ(view_->samplePoints()[0].x, 3276.0);
    EXPECT_EQ(view_->samplePoints()[0].y, 4294967295.0);
}

TEST_F(CalibratorInProcess, IgnoresAgentNotificationsWithoutALocation) {
    ASSERT_TRUE(waitForTarget(0));
    sendTaps(10, 3000, 3000);
    send(platform::Dictionary{{kKeyDriverVersion, "2.0"}});
    send(platform::Dictionary{{kKeyIsDeviceReady, false}});
    send(platform::Dictionary{{kKeyTapLocation, "not a dictionary"}});
    // Not addressed to the calibrator at all.
    center_->post(kZyvTouchEventNotification, "another object", tap(1, 1));
    center_->post(kMTouchReportNotification, kMultiTouchSupportObject, tap(1, 1));
    settle();
    EXPECT_EQ(view_->tapCount(), 90);
    EXPECT_EQ(view_->downCounter(), QString("90"));
}

TEST_F(CalibratorInProcess, AFullRunStoresTheFitTellsTheAgentAndQuitsOneSecondLater) {
    // A frame mounted slightly skewed: the raw corners form a parallelogram,
    // so an affine map sends them exactly onto the targets.
    const CalibrationPoints raw{{{3000, 3500}, {3200, 29000}, {29500, 29300}, {29300, 3800}}};
    bool quitting = false;
    QObject::connect(&qt_.app(), &QCoreApplication::aboutToQuit, [&] { quitting = true; });
    for (int stage = 0; stage < kCalibrationPointCount; ++stage) {
        ASSERT_TRUE(waitForTarget(stage)) << "target " << stage;
        ASSERT_EQ(view_->stage(), stage);
        // Jitter around the point that averages out exactly.
        for (int i = 0; i < 100; ++i) {
            const int d = i % 2 ? 7 : -7;
            send(tap(std::int64_t(raw[stage].x) + d, std::int64_t(raw[stage].y) - d));
        }
        lift();
        settle();
    }
    EXPECT_EQ(view_->stage(), -1);
    EXPECT_FALSE(view_->isCalibrateOn());
    EXPECT_EQ(view_->downCounter(), QString("OK"));
    EXPECT_EQ(view_->samplePoints(), raw);

    EXPECT_EQ(control_, (std::vector{control(kKeyCalibrateInProgress, true),
                                     control(kKeyPreferenceReload, true),
                                     control(kKeyCalibrateInProgress, false)}));

    // What another process reads from the domain.
    platform::setPreferencesDirectory(prefsDir_.path());
    ASSERT_TRUE(platform::CFPreferencesAppSynchronize(kZyvTouchSetting));
    auto stored = platform::CFPreferencesCopyAppValue(kZyvTouchCoefficients, kZyvTouchSetting);
    ASSERT_TRUE(stored && stored->isDictionary());
    const platform::Dictionary& k = *stored->asDictionary();
    EXPECT_EQ(k.size(), 8u);
    const QRectF screen = view_->screenRect();
    EXPECT_EQ(k.number(kZyvTouchCoefficientKWIDTH), screen.width());
    EXPECT_EQ(k.number(kZyvTouchCoefficientKHEIGHT), screen.height());
    for (int i = 0; i < kCalibrationPointCount; ++i) {
        const CalibrationPoint s = raw[i];
        const CalibrationPoint r = view_->referencePoints()[i];
        EXPECT_NEAR(*k.number(kZyvTouchCoefficientKX1) * s.x +
                        *k.number(kZyvTouchCoefficientKX2) * s.y +
                        *k.number(kZyvTouchCoefficientKX3),
                    r.x, 1e-6)
            << "target " << i;
        EXPECT_NEAR(*k.number(kZyvTouchCoefficientKY1) * s.x +
                        *k.number(kZyvTouchCoefficientKY2) * s.y +
                        *k.number(kZyvTouchCoefficientKY3),
                    r.y, 1e-6)
            << "target " << i;
    }

    // One second after the last target the application quits; it does not
    // tell the agent a second time.
    const auto finished = std::chrono::steady_clock::now();
    QTimer::singleShot(5s, &qt_.app(), [] { QCoreApplication::exit(3); });
    EXPECT_EQ(QApplication::exec(), 0);
    const auto waited = std::chrono::steady_clock::now() - finished;
    EXPECT_TRUE(quitting);
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 3s);
    spinFor(50ms);
    EXPECT_EQ(control_.size(), 3u);
}

TEST_F(CalibratorInProcess, EscapeQuitsAndTellsTheAgentCalibrationIsOff) {
    ASSERT_TRUE(waitForTarget(0));
    sendTaps(40, 3000, 3000);
    settle();
    QTimer::singleShot(0, view_, [this] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(view_, &press);
    });
    QTimer::singleShot(5s, &qt_.app(), [] { QCoreApplication::exit(3); });
    EXPECT_EQ(QApplication::exec(), 0);
    ASSERT_TRUE(spinUntil([&] { return control_.size() >= 2; }));
    spinFor(20ms);
    EXPECT_EQ(control_, (std::vector{control(kKeyCalibrateInProgress, true),
                                     control(kKeyCalibrateInProgress, false)}));
    EXPECT_FALSE(view_->isCalibrateOn());
    EXPECT_EQ(view_->stage(), -1);
    // Nothing was stored, and late taps go nowhere.
    EXPECT_FALSE(platform::CFPreferencesCopyAppValue(kZyvTouchCoefficients, kZyvTouchSetting));
    EXPECT_FALSE(view_->Tap(nullptr));
    view_->calibrateOff();
    spinFor(20ms);
    EXPECT_EQ(control_.size(), 2u);
}

}  // namespace
}  // namespace tact

namespace tact {
namespace {

// "ScreenOutput" as stored, and the monitor the calibrator should cover.
struct ScreenCase {
    const char* stored;
    const char* monitor;
    const char* label;  // for the test's name
};

void PrintTo(const ScreenCase& c, std::ostream* os) {
    *os << '"' << c.stored << "\" covers " << c.monitor;
}

class CalibratorOnTwoMonitors : public CalibratorInProcess,
                                public ::testing::WithParamInterface<ScreenCase> {
  protected:
    CalibratorOnTwoMonitors() : CalibratorInProcess(twoMonitors()) {}

    void storePreferences() override {
        platform::CFPreferencesSetAppValue(kZyvTouchScreenOutput,
                                           platform::Value(GetParam().stored), kZyvTouchSetting);
        EXPECT_TRUE(platform::CFPreferencesAppSynchronize(kZyvTouchSetting));
    }
};

TEST_P(CalibratorOnTwoMonitors, CoversTheFramesMonitorAndMeasuresTargetsFromItsCorner) {
    const QRect monitor =
        std::string(GetParam().monitor) == "HDMI-1" ? kSecondMonitor : kPrimaryMonitor;
    ASSERT_TRUE(waitForTarget(0));
    ASSERT_TRUE(window_->windowHandle());
    EXPECT_EQ(window_->windowHandle()->screen()->name(), GetParam().monitor);
    EXPECT_TRUE(window_->isFullScreen());
    EXPECT_EQ(window_->geometry(), monitor);
    EXPECT_EQ(view_->mapToGlobal(QPoint(0, 0)), monitor.topLeft());
    EXPECT_EQ(view_->screenRect(), QRectF(monitor));

    // Target positions count from that monitor's top-left corner, wherever
    // it lies on the desktop: the agent maps touches onto that monitor.
    EXPECT_DOUBLE_EQ(view_->referencePoints()[0].x, double(0.1f) * monitor.width());
    EXPECT_DOUBLE_EQ(view_->referencePoints()[0].y,
                     monitor.height() - double(0.9f) * monitor.height());

    // Finishing stores that monitor's size with the map.
    const CalibrationPoints raw{{{3000, 3500}, {3200, 29000}, {29500, 29300}, {29300, 3800}}};
    for (int stage = 0; stage < kCalibrationPointCount; ++stage) {
        ASSERT_TRUE(waitForTarget(stage)) << "target " << stage;
        sendTaps(100, std::int64_t(raw[stage].x), std::int64_t(raw[stage].y));
        lift();
        settle();
    }
    ASSERT_TRUE(platform::CFPreferencesAppSynchronize(kZyvTouchSetting));
    auto stored = platform::CFPreferencesCopyAppValue(kZyvTouchCoefficients, kZyvTouchSetting);
    ASSERT_TRUE(stored && stored->isDictionary());
    EXPECT_EQ(stored->asDictionary()->number(kZyvTouchCoefficientKWIDTH), monitor.width());
    EXPECT_EQ(stored->asDictionary()->number(kZyvTouchCoefficientKHEIGHT), monitor.height());
}

INSTANTIATE_TEST_SUITE_P(StoredOutput, CalibratorOnTwoMonitors,
                         ::testing::Values(ScreenCase{"HDMI-1", "HDMI-1", "Connected"},
                                           // The primary monitor serves for one that is
                                           // not connected now, or when none is chosen.
                                           ScreenCase{"HDMI-2", "DP-1", "NotConnected"},
                                           ScreenCase{"", "DP-1", "NoneChosen"}),
                         [](const ::testing::TestParamInfo<ScreenCase>& info) {
                             return std::string(info.param.label);
                         });

// No agent answers the calibrator's question within a few seconds: the view
// says so and offers a button that quits; the first word from an agent takes
// it back.
TEST_F(CalibratorInProcess, SaysWhenNoAgentAnswersAndOffersToQuit) {
    ASSERT_TRUE(waitForTarget(0));
    EXPECT_EQ(asked_, 1);
    EXPECT_FALSE(view_->agentMissing());
    ASSERT_TRUE(spinUntil([&] { return view_->agentMissing(); }, 6s));
    auto* quit = view_->findChild<QPushButton*>();
    ASSERT_NE(quit, nullptr);
    EXPECT_TRUE(quit->isVisible());
    std::filesystem::create_directories(TACT_SCREENSHOT_DIR);
    EXPECT_TRUE(window_->grab().save(TACT_SCREENSHOT_DIR "/tactcalib-no-agent.png"));
    QSignalSpy cancelled(view_, &CalibrateView::cancelRequested);
    quit->click();
    EXPECT_EQ(cancelled.count(), 1);

    lift();  // an agent after all
    settle();
    EXPECT_FALSE(view_->agentMissing());
    EXPECT_FALSE(quit->isVisible());
}

}  // namespace
}  // namespace tact
