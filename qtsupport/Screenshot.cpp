#include "qtsupport/Screenshot.hpp"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

#include <cstdio>

#include "platform/log/SystemLog.hpp"

namespace tact {

bool saveScreenshot(QWidget& window, const std::string& path, std::string_view program) {
    QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    QPixmap pixmap = screen ? screen->grabWindow(0) : QPixmap();
    if (pixmap.isNull())
        pixmap = window.grab();
    if (pixmap.isNull() || !pixmap.save(QString::fromStdString(path), "PNG")) {
        platform::systemLog(platform::LogLevel::Error, "cannot write the screenshot to " + path);
        return false;
    }
    std::printf("%.*s: screenshot written to %s\n", static_cast<int>(program.size()),
                program.data(), path.c_str());
    std::fflush(stdout);
    return true;
}

}  // namespace tact
