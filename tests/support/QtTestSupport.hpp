// What the in-process tests of the programs with windows share: a
// QApplication on Qt's offscreen platform, and waiting in Qt's event loop for
// a condition.
#pragma once

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <memory>
#include <string>

#include "tests/support/TempDir.hpp"

namespace tact::test {

// One QApplication for the lifetime of a test, with a runtime folder of its
// own, on the given platform ("offscreen:configfile=..."); without one, on the
// offscreen platform unless the environment picked another.
class OffscreenApp {
  public:
    explicit OffscreenApp(const std::string& platform = {}) {
        if (!platform.empty())
            qputenv("QT_QPA_PLATFORM", platform.c_str());
        else if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_RUNTIME_DIR", runtimeDir_.path().c_str());
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    QApplication& app() { return *app_; }

  private:
    TempDir runtimeDir_;
    static inline int argc_ = 1;
    static inline char name_[] = "tact-tests";
    static inline char* argv_[] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

// Runs Qt's event loop (and with it the embedded run loop) for a while.
inline void spinFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs Qt's event loop until pred() holds; false after the time limit.
template <typename Pred>
bool spinUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        spinFor(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace tact::test
