// What the painter's in-process tests share: a QApplication on Qt's offscreen
// platform with one 1920 x 1080 screen and windows without frames, and
// waiting in Qt's event loop.
#pragma once

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <memory>
#include <string>

#include "tests/support/TempDir.hpp"

namespace tact::test {

inline constexpr int kScreenWidth = 1920;
inline constexpr int kScreenHeight = 1080;

class OffscreenPainterApp {
  public:
    OffscreenPainterApp() {
        const std::string config = dir_.file("screens.json");
        writeFile(config, "{\"screens\": [{\"name\": \"main\", \"x\": 0, \"y\": 0, \"width\": " +
                              std::to_string(kScreenWidth) +
                              ", \"height\": " + std::to_string(kScreenHeight) +
                              ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}], "
                              "\"windowFrameMargins\": false}");
        qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str());
        qputenv("XDG_RUNTIME_DIR", dir_.path().c_str());
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    QApplication& app() { return *app_; }

  private:
    TempDir dir_;
    static inline int argc_ = 1;
    static inline char name_[] = "painter-tests";
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
