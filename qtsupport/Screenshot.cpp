#include "qtsupport/Screenshot.hpp"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

#include <cstdio>
#include <cstring>

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

bool takeScreenshotOption(int& i, int argc, char** argv, std::string* path, std::string* error) {
    constexpr const char* kOption = "--screenshot";
    constexpr std::size_t kLength = 12;
    const char* arg = argv[i];
    if (std::strcmp(arg, kOption) == 0) {
        if (i + 1 >= argc) {
            *error = "--screenshot needs a file name";
            return true;
        }
        *path = argv[++i];
    } else if (std::strncmp(arg, kOption, kLength) == 0 && arg[kLength] == '=') {
        *path = arg + kLength + 1;
    } else {
        return false;
    }
    if (path->empty())
        *error = "--screenshot needs a file name";
    return true;
}

}  // namespace tact
