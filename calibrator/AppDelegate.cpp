#include "calibrator/AppDelegate.hpp"

#include <QApplication>
#include <QVBoxLayout>

#include "common/Notifications.hpp"
#include "platform/log/SystemLog.hpp"
#include "qtsupport/FrameScreen.hpp"

namespace tact {
namespace {

constexpr double kExitDelaySeconds = 1.0;
// How long the agent has to answer before the view says it is not running.
constexpr double kAgentAnswerSeconds = 3.0;

}  // namespace

AppDelegate::AppDelegate(platform::NotificationCenter& center, platform::RunLoop& loop,
                         QObject* parent)
    : QObject(parent), center_(center), loop_(loop) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::awakeFromNib() {
    // The screen the frame covers, whichever screen the pointer is on; the
    // view measures its targets from the same screen's corner.
    if (window)
        coverScreen(*window, frameScreen());
    if (_calibrateView)
        _calibrateView->calibrateOn();
}

void AppDelegate::applicationDidFinishLaunching() {
    if (window) {
        window->showFullScreen();
        window->activateWindow();
    }
    if (_calibrateView)
        _calibrateView->setFocus();
    observation_ = center_.addObserver(
        kZyvTouchEventNotification, kMultiTouchSupportObject,
        [this](const platform::Notification& n) { callbackWithNotification(n); });
    // Whether anyone listens: the agent answers this with its identity.
    center_.post(kControlNotification, kControlObject,
                 platform::Dictionary{{kKeyNeedSerialNumber, true}});
    agentTimer_ = loop_.addTimer(kAgentAnswerSeconds, 0.0, [this](platform::Timer&) {
        if (!agentAnswered_ && _calibrateView) {
            platform::systemLog(platform::LogLevel::Warning,
                                "calibrator: no touch agent answers on the session bus");
            _calibrateView->setAgentMissing(true);
        }
    });
}

void AppDelegate::applicationWillTerminate() {
    observation_.remove();
    if (_calibrateView)
        _calibrateView->calibrateOff();
}

void AppDelegate::callbackWithNotification(const platform::Notification& notification) {
    // Anything from the agent shows that it runs.
    agentAnswered_ = true;
    if (_calibrateView)
        _calibrateView->setAgentMissing(false);
    if (!notification.userInfo) {
        if (_calibrateView)
            _calibrateView->Tap(nullptr);
        return;
    }
    // Agent notifications other than calibration taps carry no location.
    const platform::Value* value = notification.userInfo->find(kKeyTapLocation);
    if (!value)
        return;
    const platform::Dictionary* location = value->asDictionary();
    if (!location) {
        platform::systemLog(platform::LogLevel::Debug,
                            "calibrator: ignored a tap location that is not a dictionary");
        return;
    }
    if (_calibrateView && _calibrateView->Tap(location)) {
        exitTimer_ = loop_.addTimer(kExitDelaySeconds, 0.0,
                                    [this](platform::Timer& timer) { doExit(timer); });
    }
}

void AppDelegate::doExit(platform::Timer&) {
    exit();
}

void AppDelegate::exit() {
    QCoreApplication::quit();
}

std::unique_ptr<QWidget> loadMainInterface(AppDelegate& delegate,
                                           platform::NotificationCenter& center) {
    auto window = std::make_unique<QWidget>();
    window->setWindowTitle(QStringLiteral("Tactcalib"));
    // The layout and the view belong to the window, as Qt children do.
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* view = new CalibrateView(center, window.get());
    layout->addWidget(view);
    delegate.window = window.get();
    delegate._calibrateView = view;
    QObject::connect(view, &CalibrateView::cancelRequested, &delegate, &AppDelegate::exit);
    return window;
}

}  // namespace tact
