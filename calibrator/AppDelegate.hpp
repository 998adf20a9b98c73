// The calibrator's application delegate: sets the window up on the main
// screen (the one the frame covers, see qtsupport/FrameScreen.hpp), starts
// the run, feeds the agent's calibration taps to the view and quits one
// second after the last target.
#pragma once

#include <QObject>
#include <QWidget>

#include <memory>

#include "calibrator/CalibrateView.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace tact {

class AppDelegate : public QObject {
    Q_OBJECT
  public:
    // Notifications come from center; the exit timer runs on loop. Both must
    // outlive the delegate.
    AppDelegate(platform::NotificationCenter& center, platform::RunLoop& loop,
                QObject* parent = nullptr);
    ~AppDelegate() override;

    // Outlets: the full-screen window and the view that fills it.
    QWidget* window = nullptr;
    CalibrateView* _calibrateView = nullptr;

    // Puts the window on the main screen, as large as it, and starts the run.
    void awakeFromNib();
    // Shows the window full screen and starts observing the agent.
    void applicationDidFinishLaunching();
    // Stops observing and ends the run, telling the agent so.
    void applicationWillTerminate();
    void callbackWithNotification(const platform::Notification& notification);
    void doExit(platform::Timer& timer);
    void exit();

  private:
    platform::NotificationCenter& center_;
    platform::RunLoop& loop_;
    platform::Observation observation_;
    platform::Timer exitTimer_;
    platform::Timer agentTimer_;  // how long the agent has to answer
    bool agentAnswered_ = false;
};

// The main interface: a window holding one CalibrateView that fills it,
// connected to the delegate's outlets; Escape on the view quits. The caller
// keeps the window for as long as the delegate uses it.
std::unique_ptr<QWidget> loadMainInterface(AppDelegate& delegate,
                                           platform::NotificationCenter& center);

}  // namespace tact
