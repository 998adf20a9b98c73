// The painter's view and delegate in this process, on Qt's offscreen platform
// with a 1920 x 1080 screen (or two monitors), the real run loop inside Qt's
// loop, an in-process notification centre standing in for the bus and a
// temporary preferences folder.
//
// The painting tick runs on a loop of its own that nobody runs, so each test
// says exactly when a tick happens (doUpdateDirtyRect); one test lets the
// tick run by itself.
#include <gtest/gtest.h>

#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "painter/AppDelegate.hpp"
#include "painter/ReportReader.hpp"
#include "painter/TouchView.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "qtsupport/QtRunLoopBridge.hpp"
#include "tests/painter/PainterTestSupport.hpp"

namespace tact {
namespace {

using namespace std::chrono_literals;
using test::kScreenHeight;
using test::kScreenWidth;
using test::spinFor;
using test::spinUntil;

const QRgb kDarkGrey = qRgb(85, 85, 85);
// Identity 1: (0, 4/7, 0).
const QRgb kGreen = qRgb(0, 146, 0);

struct Contact {
    std::int64_t id;
    float x, y, width, height;
};

platform::Dictionary report(const std::vector<Contact>& contacts) {
    platform::Dictionary info{{kKeyActualCount, static_cast<int>(contacts.size())}};
    for (int i = 0; i < static_cast<int>(contacts.size()); ++i) {
        const Contact& c = contacts[i];
        info.set(reportKey(kKeyFormatFingerID, i), c.id);
        info.set(reportKey(kKeyFormatX, i), c.x);
        info.set(reportKey(kKeyFormatY, i), c.y);
        info.set(reportKey(kKeyFormatWidth, i), c.width);
        info.set(reportKey(kKeyFormatHeight, i), c.height);
    }
    return info;
}

std::optional<platform::Dictionary> control(bool on) {
    return platform::Dictionary{{kKeyTouchTestMode, on}};
}

// Pixels of the paint buffer that differ from dark grey.
int paintedPixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if ((line[x] & 0xFFFFFF) != (kDarkGrey & 0xFFFFFF))
                ++count;
    }
    return count;
}

QRgb rgb(const QImage& image, double x, double y) {
    return image.pixel(static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y))) |
           0xFF000000u;
}

class PainterView : public ::testing::Test {
  protected:
    // screens: the offscreen platform's monitors (test::screenEntry).
    PainterView() { platform::setPreferencesDirectory(prefsDir_.path()); }
    explicit PainterView(const std::string& screens) : qt_(screens) {
        platform::setPreferencesDirectory(prefsDir_.path());
    }

    // tickOnQt: the painting tick runs on the loop inside Qt's loop instead.
    void start(bool tickOnQt = false) {
        loop_ = platform::makeRealRunLoop(false);
        idleLoop_ = platform::makeRealRunLoop(false);
        bridge_ = std::make_unique<QtRunLoopBridge>(*loop_);
        center_ = platform::makeLocalNotificationCenter(*loop_);
        controlObservation_ = center_->addObserver(
            kControlNotification, kControlObject,
            [this](const platform::Notification& n) { control_.push_back(n.userInfo); });
        delegate_ = std::make_unique<AppDelegate>(*center_);
        window_ = loadMainInterface(*delegate_, *center_, tickOnQt ? *loop_ : *idleLoop_);
        view_ = delegate_->myTouchView();
        ASSERT_NE(view_, nullptr);
        painted_ = std::make_unique<QSignalSpy>(view_, &TouchView::painted);
        // As the program does.
        QObject::connect(&qt_.app(), &QCoreApplication::aboutToQuit, delegate_.get(),
                         &AppDelegate::applicationWillTerminate);
        delegate_->awakeFromNib();
        view_->awakeFromNib();
        delegate_->applicationDidFinishLaunching();
        ASSERT_TRUE(spinUntil([&] { return view_->paintBuffer().size() == window_->size(); }));
    }

    void TearDown() override {
        painted_.reset();
        window_.reset();
        delegate_.reset();
        controlObservation_.remove();
        center_.reset();
        bridge_.reset();
        idleLoop_.reset();
        loop_.reset();
    }

    // Sends a report and lets it (and everything before it) arrive.
    void send(const std::optional<platform::Dictionary>& userInfo) {
        center_->post(kMTouchReportNotification, kMultiTouchSupportObject, userInfo);
        settle();
    }
    void settle() {
        bool arrived = false;
        auto marker = center_->addObserver("painter-test-marker", "",
                                           [&](const platform::Notification&) { arrived = true; });
        center_->post("painter-test-marker", "", std::nullopt);
        ASSERT_TRUE(spinUntil([&] { return arrived; }));
    }
    // One painting tick, and the redraw it asks for.
    void tick() {
        view_->doUpdateDirtyRect();
        spinFor(10ms);
    }
    const QImage& buffer() const { return view_->paintBuffer(); }

    test::OffscreenPainterApp qt_;
    test::TempDir prefsDir_;
    std::unique_ptr<platform::RunLoop> loop_;
    std::unique_ptr<platform::RunLoop> idleLoop_;
    std::unique_ptr<QtRunLoopBridge> bridge_;
    std::unique_ptr<platform::NotificationCenter> center_;
    platform::Observation controlObservation_;
    std::vector<std::optional<platform::Dictionary>> control_;
    std::unique_ptr<AppDelegate> delegate_;
    std::unique_ptr<QWidget> window_;
    TouchView* view_ = nullptr;
    std::unique_ptr<QSignalSpy> painted_;
};

TEST_F(PainterView, FillsTheMainScreenWithDarkGreyAndTellsTheAgentWhileActive) {
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(view_->screenRect(), QRectF(0, 0, kScreenWidth, kScreenHeight));
    EXPECT_EQ(window_->size(), QSize(kScreenWidth, kScreenHeight));
    EXPECT_EQ(window_->maximumSize(), QSize(kScreenWidth, kScreenHeight));
    EXPECT_EQ(buffer().size(), QSize(kScreenWidth, kScreenHeight));
    EXPECT_EQ(paintedPixels(buffer()), 0);
    EXPECT_EQ(rgb(window_->grab().toImage(), 700, 400), kDarkGrey);
    EXPECT_TRUE(view_->isPaintingScheduled());

    // Showing the window made the application active.
    ASSERT_TRUE(spinUntil([&] { return !control_.empty(); }));
    EXPECT_EQ(control_, (std::vector{control(true)}));

    // Another application in front, then the painter again. (The offscreen
    // platform has no other applications; the state changes as it sends them.)
    emit qt_.app().applicationStateChanged(Qt::ApplicationInactive);
    emit qt_.app().applicationStateChanged(Qt::ApplicationHidden);
    ASSERT_TRUE(spinUntil([&] { return control_.size() >= 2; }));
    emit qt_.app().applicationStateChanged(Qt::ApplicationActive);
    ASSERT_TRUE(spinUntil([&] { return control_.size() >= 3; }));

    // Quitting tells the agent once more that test mode is over.
    QTimer::singleShot(0, &qt_.app(), [] { QCoreApplication::quit(); });
    QTimer::singleShot(5s, &qt_.app(), [] { QCoreApplication::exit(3); });
    EXPECT_EQ(QApplication::exec(), 0);
    spinFor(20ms);
    EXPECT_EQ(control_,
              (std::vector{control(true), control(false), control(true), control(false)}));
}

TEST_F(PainterView, AReportWithoutTouchesAsksForARedrawAndPaintsNothing) {
    ASSERT_NO_FATAL_FAILURE(start());
    // No user information at all: not a report.
    send(std::nullopt);
    EXPECT_EQ(view_->drawPending(), 0);

    send(platform::Dictionary{{kKeyActualCount, 0}});
    // No count: no touches, but still a report.
    send(platform::Dictionary{{"Unrelated", 1}});
    EXPECT_EQ(view_->drawPending(), 2);
    EXPECT_TRUE(view_->pendingTouches().empty());

    tick();
    ASSERT_EQ(painted_->size(), 1);
    EXPECT_EQ(painted_->at(0), (QList<QVariant>{0, 2}));
    EXPECT_EQ(view_->drawPending(), 0);
    EXPECT_EQ(paintedPixels(buffer()), 0);

    // Without reports a tick does nothing at all.
    tick();
    EXPECT_EQ(painted_->size(), 1);
}

TEST_F(PainterView, TwoReportsOfOneFingerBetweenTwoTicksPaintTwoOvals) {
    ASSERT_NO_FATAL_FAILURE(start());
    send(report({{1, 0.25f, 0.5f, 0.02f, 0.02f}}));
    send(report({{1, 0.75f, 0.5f, 0.02f, 0.02f}}));
    EXPECT_EQ(view_->pendingTouches().size(), 2u);
    EXPECT_EQ(paintedPixels(buffer()), 0) << "nothing is painted before the tick";

    tick();
    ASSERT_EQ(painted_->size(), 1);
    EXPECT_EQ(painted_->at(0), (QList<QVariant>{2, 2}));
    EXPECT_TRUE(view_->pendingTouches().empty());
    EXPECT_EQ(rgb(buffer(), 480, 540), kGreen);
    EXPECT_EQ(rgb(buffer(), 1440, 540), kGreen);
    EXPECT_EQ(rgb(buffer(), 960, 540), kDarkGrey);
    // And the window shows the buffer.
    const QImage shown = window_->grab().toImage();
    EXPECT_EQ(rgb(shown, 480, 540), kGreen);
    EXPECT_EQ(rgb(shown, 1440, 540), kGreen);

    // The paint stays; the next tick adds to it.
    const int before = paintedPixels(buffer());
    send(report({{1, 0.5f, 0.9f, 0.02f, 0.02f}}));
    tick();
    EXPECT_EQ(rgb(buffer(), 480, 540), kGreen);
    EXPECT_EQ(rgb(buffer(), 960, 108), kGreen);
    EXPECT_GT(paintedPixels(buffer()), before);
}

TEST_F(PainterView, PaintsAnOvalOfTheTouchSizeAtItsPlaceInTheFingersColour) {
    ASSERT_NO_FATAL_FAILURE(start());
    // A quarter of the way up the screen from the bottom, in the middle.
    const Contact touch{1, 0.5f, 0.25f, 0.01f, 0.02f};
    const MyTouch made = MyTouch::InitWithReport({1, touch.x, touch.y, touch.width, touch.height});
    // The window's content covers the screen exactly.
    ASSERT_EQ(view_->mapToGlobal(QPoint(0, 0)), QPoint(0, 0));
    const QRectF rect = view_->rectForTouch(made);
    EXPECT_NEAR(rect.width(), 19.2, 1e-5);
    EXPECT_NEAR(rect.height(), 21.6, 1e-5);
    EXPECT_DOUBLE_EQ(rect.center().x(), 960.0);
    EXPECT_DOUBLE_EQ(rect.center().y(), 810.0);

    send(report({touch}));
    tick();
    EXPECT_EQ(rgb(buffer(), 960, 810), kGreen);
    // Inside the oval along its axes, outside just beyond them.
    EXPECT_EQ(rgb(buffer(), 960 + 8, 810), kGreen);
    EXPECT_EQ(rgb(buffer(), 960 - 9, 810), kGreen);
    EXPECT_EQ(rgb(buffer(), 960, 810 + 9), kGreen);
    EXPECT_EQ(rgb(buffer(), 960, 810 - 10), kGreen);
    EXPECT_EQ(rgb(buffer(), 960 + 11, 810), kDarkGrey);
    EXPECT_EQ(rgb(buffer(), 960 - 12, 810), kDarkGrey);
    EXPECT_EQ(rgb(buffer(), 960, 810 + 12), kDarkGrey);
    EXPECT_EQ(rgb(buffer(), 960, 810 - 13), kDarkGrey);
    // An oval, not its rectangle: the corners stay grey.
    EXPECT_EQ(rgb(buffer(), 960 + 8, 810 + 9), kDarkGrey);
    EXPECT_EQ(rgb(buffer(), 960 - 9, 810 - 10), kDarkGrey);
    // About pi/4 of the rectangle's area, with its antialiased rim.
    EXPECT_GT(paintedPixels(buffer()), 3.14159 / 4 * 19.2 * 21.6);
    EXPECT_LT(paintedPixels(buffer()), 19.2 * 21.6);
}

TEST_F(PainterView, ColoursComeFromTheLowEightBitsOfTheFingerIdentifier) {
    auto rgbF = [](std::int64_t id) {
        const auto c = TouchView::colorComponents(id);
        EXPECT_EQ(TouchView::colorForIdentity(id).alphaF(), 1.0f);
        const QColor colour = TouchView::colorForIdentity(id);
        EXPECT_EQ(colour, colour.toRgb());  // an RGB colour
        return std::vector<float>{c[0], c[1], c[2], 1};
    };
    EXPECT_EQ(rgbF(0), (std::vector<float>{0, 0, 0, 1}));
    EXPECT_EQ(rgbF(1), (std::vector<float>{0, 4.0f / 7.0f, 0, 1}));
    EXPECT_EQ(rgbF(2), (std::vector<float>{4.0f / 7.0f, 0, 0, 1}));
    EXPECT_EQ(rgbF(4), (std::vector<float>{0, 0, 2.0f / 3.0f, 1}));
    // 44 = 0b00101100: bits 2, 3 and 5.
    EXPECT_EQ(rgbF(44), (std::vector<float>{0, 2.0f / 7.0f, 1, 1}));
    EXPECT_EQ(rgbF(300), rgbF(44));
    EXPECT_EQ(rgbF(255), (std::vector<float>{1, 1, 1, 1}));
    EXPECT_EQ(rgbF(0x80), (std::vector<float>{1.0f / 7.0f, 0, 0, 1}));
    EXPECT_EQ(rgbF(0x40), (std::vector<float>{0, 1.0f / 7.0f, 0, 1}));
    EXPECT_EQ(rgbF(0x10), (std::vector<float>{2.0f / 7.0f, 0, 0, 1}));

    // On the way through a report: 300 arrives as 44 and is painted so.
    ASSERT_NO_FATAL_FAILURE(start());
    send(report({{300, 0.25f, 0.5f, 0.02f, 0.02f},
                 {44, 0.75f, 0.5f, 0.02f, 0.02f},
                 {0, 0.5f, 0.5f, 0.02f, 0.02f}}));
    ASSERT_EQ(view_->pendingTouches().size(), 3u);
    EXPECT_EQ(view_->pendingTouches()[0].identity, 44);
    tick();
    EXPECT_EQ(rgb(buffer(), 480, 540), qRgb(0, 73, 255));
    EXPECT_EQ(rgb(buffer(), 1440, 540), qRgb(0, 73, 255));
    EXPECT_EQ(rgb(buffer(), 960, 540), qRgb(0, 0, 0));
}

TEST_F(PainterView, ADoubleClickClearsToDarkGreyASingleClickDoesNot) {
    ASSERT_NO_FATAL_FAILURE(start());
    send(report({{1, 0.5f, 0.5f, 0.05f, 0.05f}}));
    tick();
    ASSERT_EQ(rgb(buffer(), 960, 540), kGreen);

    QTest::mouseClick(view_, Qt::LeftButton, {}, QPoint(100, 100));
    spinFor(10ms);
    EXPECT_EQ(rgb(buffer(), 960, 540), kGreen);
    EXPECT_EQ(rgb(window_->grab().toImage(), 960, 540), kGreen);

    QTest::mouseDClick(view_, Qt::LeftButton, {}, QPoint(100, 100));
    spinFor(10ms);
    EXPECT_EQ(paintedPixels(buffer()), 0);
    EXPECT_EQ(rgb(window_->grab().toImage(), 960, 540), kDarkGrey);
}

TEST_F(PainterView, ResizingTheWindowResizesAndClearsThePaint) {
    ASSERT_NO_FATAL_FAILURE(start());
    send(report({{1, 0.1f, 0.9f, 0.05f, 0.05f}}));
    tick();
    ASSERT_GT(paintedPixels(buffer()), 0);

    window_->resize(800, 600);
    ASSERT_TRUE(spinUntil([&] { return buffer().size() == QSize(800, 600); }));
    EXPECT_EQ(paintedPixels(buffer()), 0);

    // Positions stay fractions of the screen, not of the window.
    send(report({{1, 0.25f, 0.75f, 0.01f, 0.01f}}));
    tick();
    EXPECT_EQ(rgb(buffer(), 480, 270), kGreen);

    // The window cannot grow beyond the screen, and neither can the buffer.
    window_->resize(5000, 5000);
    ASSERT_TRUE(spinUntil([&] { return buffer().size() != QSize(800, 600); }));
    EXPECT_EQ(buffer().size(), QSize(kScreenWidth, kScreenHeight));
    EXPECT_EQ(paintedPixels(buffer()), 0);
}

TEST_F(PainterView, HostileReportsAreReadDefensivelyAndNeverPaintGarbage) {
    ASSERT_NO_FATAL_FAILURE(start());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<platform::Dictionary> hostile{
        {{kKeyActualCount, "many"}},
        {{kKeyActualCount, platform::Array{1, 2}}},
        {{kKeyActualCount, -5}, {"0_x", 0.5}},
        {{kKeyActualCount, std::int64_t{1} << 40}},
        {{kKeyActualCount, 1e300}},
        {{kKeyActualCount, nan}},
        {{kKeyActualCount, 3}},
        {{kKeyActualCount, 1},
         {"0_FingerID", platform::Dictionary{{"a", 1}}},
         {"0_x", 0.5},
         {"0_y", 0.5},
         {"0_Width", 0.1},
         {"0_Height", 0.1}},
        {{kKeyActualCount, 1},
         {"0_FingerID", 1},
         {"0_x", nan},
         {"0_y", 0.5},
         {"0_Width", 0.1},
         {"0_Height", 0.1}},
        {{kKeyActualCount, 1},
         {"0_FingerID", 1},
         {"0_x", 0.5},
         {"0_y", 0.5},
         {"0_Width", inf},
         {"0_Height", 0.1}},
        {{kKeyActualCount, 1},
         {"0_FingerID", 1},
         {"0_x", 0.5},
         {"0_y", 0.5},
         {"0_Width", 1e300},
         {"0_Height", 0.1}},
        {{kKeyActualCount, 1},
         {"0_FingerID", 1},
         {"0_x", 0.5},
         {"0_y", platform::Data{1, 2, 3}},
         {"0_Width", 0.1},
         {"0_Height", 0.1}},
    };
    for (const auto& info : hostile)
        send(info);
    EXPECT_EQ(view_->drawPending(), static_cast<int>(hostile.size()));
    EXPECT_TRUE(view_->pendingTouches().empty());

    // Finite but absurd: far off the screen, or far larger than it. Read,
    // but not painted.
    send(report({{1, 1e20f, 0.5f, 0.1f, 0.1f},
                 {1, 0.5f, -3e30f, 0.1f, 0.1f},
                 {1, 0.5f, 0.5f, 1e30f, 1e30f}}));
    EXPECT_EQ(view_->pendingTouches().size(), 3u);
    tick();
    ASSERT_EQ(painted_->size(), 1);
    EXPECT_EQ(painted_->at(0), (QList<QVariant>{3, static_cast<int>(hostile.size()) + 1}));
    EXPECT_EQ(paintedPixels(buffer()), 0);

    // A count far above what is there is capped; the contacts that are there
    // are painted.
    platform::Dictionary capped = report({{1, 0.25f, 0.5f, 0.02f, 0.02f}});
    capped.set(kKeyActualCount, std::int64_t{1} << 40);
    send(capped);
    EXPECT_EQ(view_->pendingTouches().size(), 1u);
    tick();
    EXPECT_EQ(rgb(buffer(), 480, 540), kGreen);
}

TEST_F(PainterView, TouchesWaitingForALateTickAreBounded) {
    ASSERT_NO_FATAL_FAILURE(start());
    std::vector<Contact> full;
    for (int i = 0; i < kMaxTouchesPerReport; ++i)
        full.push_back({1, 0.25f, 0.5f, 0.02f, 0.02f});
    const platform::Dictionary info = report(full);
    const int reports = static_cast<int>(TouchView::kMaxPendingTouches) / kMaxTouchesPerReport + 3;
    for (int i = 0; i < reports; ++i) {
        view_->doReportWithNotification(
            {kMTouchReportNotification, kMultiTouchSupportObject, info});
        ASSERT_LE(view_->pendingTouches().size(), TouchView::kMaxPendingTouches);
    }
    // What could not wait any longer is in the buffer already.
    EXPECT_EQ(rgb(buffer(), 480, 540), kGreen);

    tick();
    ASSERT_EQ(painted_->size(), 1);
    EXPECT_EQ(painted_->at(0), (QList<QVariant>{reports * kMaxTouchesPerReport, reports}));
    EXPECT_TRUE(view_->pendingTouches().empty());
}

TEST_F(PainterView, TheTickPaintsByItself) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    send(report({{1, 0.25f, 0.5f, 0.02f, 0.02f}}));
    send(report({{2, 0.75f, 0.5f, 0.02f, 0.02f}}));
    ASSERT_TRUE(spinUntil([&] { return view_->drawPending() == 0; }));
    ASSERT_TRUE(spinUntil([&] { return !painted_->isEmpty(); }));
    int touches = 0;
    for (const auto& args : *painted_)
        touches += args.at(0).toInt();
    EXPECT_EQ(touches, 2);
    EXPECT_EQ(rgb(buffer(), 480, 540), kGreen);
    EXPECT_EQ(rgb(buffer(), 1440, 540), qRgb(146, 0, 0));
    ASSERT_TRUE(spinUntil([&] { return rgb(window_->grab().toImage(), 1440, 540) != kDarkGrey; }));
}

}  // namespace
}  // namespace tact

namespace tact {
namespace {

// Two monitors: the primary, and a smaller one to its right and lower down.
const QRect kPrimaryMonitor(0, 0, 1920, 1080);
const QRect kSecondMonitor(1920, 140, 1280, 800);

// "ScreenOutput" as stored, and the monitor the painter should cover.
struct ScreenCase {
    const char* stored;
    const char* monitor;
    const char* label;  // for the test's name
};

void PrintTo(const ScreenCase& c, std::ostream* os) {
    *os << '"' << c.stored << "\" covers " << c.monitor;
}

class PainterOnTwoMonitors : public PainterView, public ::testing::WithParamInterface<ScreenCase> {
  protected:
    PainterOnTwoMonitors()
        : PainterView(test::screenEntry("DP-1", kPrimaryMonitor) + ", " +
                      test::screenEntry("HDMI-1", kSecondMonitor)) {}
};

TEST_P(PainterOnTwoMonitors, OpensOnTheFramesMonitorAndPaintsTouchesWhereTheyAre) {
    platform::CFPreferencesSetAppValue(kZyvTouchScreenOutput, platform::Value(GetParam().stored),
                                       kZyvTouchSetting);
    ASSERT_TRUE(platform::CFPreferencesAppSynchronize(kZyvTouchSetting));
    ASSERT_NO_FATAL_FAILURE(start());
    const QRect monitor =
        std::string(GetParam().monitor) == "HDMI-1" ? kSecondMonitor : kPrimaryMonitor;
    ASSERT_TRUE(window_->windowHandle());
    EXPECT_EQ(window_->windowHandle()->screen()->name(), GetParam().monitor);
    EXPECT_EQ(window_->geometry(), monitor);
    EXPECT_EQ(window_->maximumSize(), monitor.size());
    EXPECT_EQ(view_->screenRect(), QRectF(monitor));
    EXPECT_EQ(buffer().size(), monitor.size());

    // Positions are fractions of that monitor, from its bottom-left corner:
    // a touch in the middle, a quarter of the way up, is painted there.
    send(report({{1, 0.5f, 0.25f, 0.01f, 0.02f}}));
    tick();
    EXPECT_EQ(rgb(buffer(), monitor.width() / 2.0, monitor.height() * 0.75), kGreen);
    EXPECT_GT(paintedPixels(buffer()), 0);
}

INSTANTIATE_TEST_SUITE_P(StoredOutput, PainterOnTwoMonitors,
                         ::testing::Values(ScreenCase{"HDMI-1", "HDMI-1", "Connected"},
                                           // The primary monitor serves for one that is
                                           // not connected now, or when none is chosen.
                                           ScreenCase{"HDMI-2", "DP-1", "NotConnected"},
                                           ScreenCase{"", "DP-1", "NoneChosen"}),
                         [](const ::testing::TestParamInfo<ScreenCase>& info) {
                             return std::string(info.param.label);
                         });

}  // namespace
}  // namespace tact
