#include "painter/AppDelegate.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QVBoxLayout>

#include "common/Notifications.hpp"
#include "qtsupport/FrameScreen.hpp"

namespace tact {

AppDelegate::AppDelegate(platform::NotificationCenter& center, QObject* parent)
    : QObject(parent), center_(center) {
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
            &AppDelegate::applicationStateChanged);
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::awakeFromNib() {
    // The screen the frame covers, so that touches land where they are
    // painted, whichever screen the pointer is on.
    if (window)
        coverScreen(*window, frameScreen());
}

void AppDelegate::applicationDidFinishLaunching() {
    if (!window)
        return;
    window->installEventFilter(this);
    window->show();
    window->activateWindow();
}

void AppDelegate::applicationDidBecomeActive() {
    postTouchTestMode(true);
}

void AppDelegate::applicationWillResignActive() {
    postTouchTestMode(false);
}

void AppDelegate::applicationWillTerminate() {
    // The windows go away after this; their state changes tell nobody.
    terminated_ = true;
    active_ = false;
    postTouchTestMode(false);
}

void AppDelegate::closeWithNotification() {
    QCoreApplication::quit();
}

void AppDelegate::applicationStateChanged(Qt::ApplicationState state) {
    const bool active = state == Qt::ApplicationActive;
    if (terminated_ || active == active_)
        return;
    active_ = active;
    if (active)
        applicationDidBecomeActive();
    else
        applicationWillResignActive();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window && event->type() == QEvent::Close)
        closeWithNotification();
    return QObject::eventFilter(watched, event);
}

void AppDelegate::postTouchTestMode(bool on) {
    center_.post(kControlNotification, kControlObject,
                 platform::Dictionary{{platform::String(kKeyTouchTestMode), platform::Value(on)}});
}

std::unique_ptr<QWidget> loadMainInterface(AppDelegate& delegate,
                                           platform::NotificationCenter& center,
                                           platform::RunLoop& loop) {
    auto window = std::make_unique<QWidget>();
    window->setWindowTitle(QStringLiteral("Tactpaint"));
    // The layout and the view belong to the window, as Qt children do.
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* view = new TouchView(center, loop, window.get());
    layout->addWidget(view);
    delegate.window = window.get();
    delegate.touchView = view;
    return window;
}

}  // namespace tact
