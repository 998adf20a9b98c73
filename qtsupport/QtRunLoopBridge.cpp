#include "qtsupport/QtRunLoopBridge.hpp"

#include <QCoreApplication>
#include <QSocketNotifier>

#include "platform/log/SystemLog.hpp"
#include "platform/runloop/Embedding.hpp"

namespace tact {
namespace {

// While the loop is inside one of its own callbacks (a nested Qt event loop
// run from there), retry at this pace instead of spinning.
constexpr int kBusyRetryMilliseconds = 10;

}  // namespace

QtRunLoopBridge::QtRunLoopBridge(platform::RunLoop& loop, QObject* parent)
    : QObject(parent), loop_(loop) {
    again_.setSingleShot(true);
    connect(&again_, &QTimer::timeout, this, &QtRunLoopBridge::pump);

    const int fd = platform::embeddableFd(loop_);
    if (fd < 0) {
        failed_ = true;
        platform::systemLog(platform::LogLevel::Error,
                            "run loop: this loop cannot run inside the window system's loop");
        return;
    }
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &QtRunLoopBridge::pump);
    schedule();
}

QtRunLoopBridge::~QtRunLoopBridge() = default;

bool QtRunLoopBridge::isActive() const {
    return !failed_;
}

void QtRunLoopBridge::schedule() {
    if (failed_)
        return;
    if (!again_.isActive() || again_.remainingTime() > 0)
        again_.start(0);
}

void QtRunLoopBridge::pump() {
    if (failed_)
        return;
    const platform::EmbeddedDispatch dispatched = platform::dispatchReady(loop_);
    // The loop was asked to stop (a stop signal, say): Qt's loop ends instead,
    // so the program leaves the way it does when its window closes.
    if (auto code = platform::takeStopRequest(loop_))
        QCoreApplication::exit(*code);
    switch (dispatched) {
        case platform::EmbeddedDispatch::Idle:
            if (notifier_)
                notifier_->setEnabled(true);
            break;
        case platform::EmbeddedDispatch::MoreReady:
            again_.start(0);
            break;
        case platform::EmbeddedDispatch::Busy:
            // The descriptor stays readable until the outer round is over.
            if (notifier_)
                notifier_->setEnabled(false);
            again_.start(kBusyRetryMilliseconds);
            break;
        case platform::EmbeddedDispatch::Failed:
            failed_ = true;
            again_.stop();
            if (notifier_)
                notifier_->setEnabled(false);
            platform::systemLog(platform::LogLevel::Error,
                                "run loop: stopped running the loop inside the window system's "
                                "loop");
            break;
    }
}

}  // namespace tact
