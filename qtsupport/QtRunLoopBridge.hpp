// Runs the program's real run loop inside Qt's event loop, for the programs
// with windows: the notification centre, timers and other run-loop sources
// deliver their callbacks on the Qt main thread, between Qt's own events.
//
// The bridge watches the loop's descriptor with a QSocketNotifier and runs
// whatever is ready when it becomes readable; when a round stops early because
// more is ready, a zero-timeout timer continues it after Qt's pending events.
// A stop() of the loop (a stop signal of a loop made with stopOnSignals) ends
// Qt's event loop with the same code.
#pragma once

#include <QObject>
#include <QTimer>

namespace platform {
class RunLoop;
}

class QSocketNotifier;

namespace tact {

class QtRunLoopBridge : public QObject {
    Q_OBJECT
  public:
    // The loop must be a real run loop and outlive the bridge. Runs what is
    // already ready as soon as Qt's event loop runs.
    explicit QtRunLoopBridge(platform::RunLoop& loop, QObject* parent = nullptr);
    ~QtRunLoopBridge() override;

    // False when the loop cannot be embedded (the reason is logged).
    bool isActive() const;

    // Asks for a round soon: after Qt code used the loop in a way that does
    // not show on its descriptor.
    void schedule();

  private:
    void pump();

    platform::RunLoop& loop_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer again_;
    bool failed_ = false;
};

}  // namespace tact
