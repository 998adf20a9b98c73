// What the painter's in-process tests share: a QApplication on Qt's offscreen
// platform with one 1920 x 1080 screen and windows without frames, and
// waiting in Qt's event loop.
#pragma once

#include <string>

#include "tests/support/QtTestSupport.hpp"
#include "tests/support/TempDir.hpp"

namespace tact::test {

inline constexpr int kScreenWidth = 1920;
inline constexpr int kScreenHeight = 1080;

class OffscreenPainterApp {
  public:
    OffscreenPainterApp() : app_("offscreen:configfile=" + writeScreens()) {}
    QApplication& app() { return app_.app(); }

  private:
    std::string writeScreens() {
        const std::string config = dir_.file("screens.json");
        writeFile(config, "{\"screens\": [{\"name\": \"main\", \"x\": 0, \"y\": 0, \"width\": " +
                              std::to_string(kScreenWidth) +
                              ", \"height\": " + std::to_string(kScreenHeight) +
                              ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}], "
                              "\"windowFrameMargins\": false}");
        return config;
    }

    TempDir dir_;
    OffscreenApp app_;
};

}  // namespace tact::test
