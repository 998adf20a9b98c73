// What the painter's in-process tests share: a QApplication on Qt's offscreen
// platform with one 1920 x 1080 screen (or the monitors a test describes) and
// windows without frames, and waiting in Qt's event loop.
#pragma once

#include <QRect>

#include <string>

#include "tests/support/QtTestSupport.hpp"
#include "tests/support/TempDir.hpp"

namespace tact::test {

inline constexpr int kScreenWidth = 1920;
inline constexpr int kScreenHeight = 1080;

// One entry of the offscreen platform's "screens".
inline std::string screenEntry(const std::string& name, const QRect& r) {
    return "{\"name\": \"" + name + "\", \"x\": " + std::to_string(r.x()) +
           ", \"y\": " + std::to_string(r.y()) + ", \"width\": " + std::to_string(r.width()) +
           ", \"height\": " + std::to_string(r.height()) +
           ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}";
}

class OffscreenPainterApp {
  public:
    // screens: the entries of the platform's "screens", comma-separated.
    explicit OffscreenPainterApp(
        const std::string& screens = screenEntry("main", QRect(0, 0, kScreenWidth, kScreenHeight)))
        : app_("offscreen:configfile=" + writeScreens(screens)) {}
    QApplication& app() { return app_.app(); }

  private:
    std::string writeScreens(const std::string& screens) {
        const std::string config = dir_.file("screens.json");
        writeFile(config, "{\"screens\": [" + screens + "], \"windowFrameMargins\": false}");
        return config;
    }

    TempDir dir_;
    OffscreenApp app_;
};

}  // namespace tact::test
