// The painter's application delegate: puts the window on the main screen (the
// one the frame covers, see qtsupport/FrameScreen.hpp), as large as it,
// quits when the window closes, and keeps the agent in touch test mode while
// the painter is the active application.
#pragma once

#include <QObject>
#include <QWidget>

#include <memory>

#include "painter/TouchView.hpp"
#include "platform/notify/NotificationCenter.hpp"

namespace tact {

class AppDelegate : public QObject {
    Q_OBJECT
  public:
    // Control notifications go to center, which must outlive the delegate.
    // The delegate follows the application's state from construction on.
    explicit AppDelegate(platform::NotificationCenter& center, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Outlets: the window and the view that fills it.
    QWidget* window = nullptr;
    TouchView* touchView = nullptr;
    QWidget* myWindow() const { return window; }
    TouchView* myTouchView() const { return touchView; }

    // Puts the window on the main screen, as large as it.
    void awakeFromNib();
    // Quits when the window closes; shows the window.
    void applicationDidFinishLaunching();
    void applicationDidBecomeActive();
    void applicationWillResignActive();
    void applicationWillTerminate();
    void closeWithNotification();

    // What the application's state changes mean for the agent.
    void applicationStateChanged(Qt::ApplicationState state);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void postTouchTestMode(bool on);

    platform::NotificationCenter& center_;
    bool active_ = false;
    bool terminated_ = false;
};

// The main interface: a window holding one TouchView that fills it, connected
// to the delegate's outlets. The caller keeps the window for as long as the
// delegate uses it; center and loop must outlive the window.
std::unique_ptr<QWidget> loadMainInterface(AppDelegate& delegate,
                                           platform::NotificationCenter& center,
                                           platform::RunLoop& loop);

}  // namespace tact
