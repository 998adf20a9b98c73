#include "qtsupport/FrameScreen.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include "common/PreferenceKeys.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/values/Value.hpp"

namespace tact {

QString storedScreenOutput() {
    auto value = platform::CFPreferencesCopyAppValue(platform::String(kZyvTouchScreenOutput),
                                                     kZyvTouchSetting);
    if (!value)
        return {};
    if (const platform::String* name = value->asString())
        return QString::fromStdU16String(name->units());
    platform::systemLog(platform::LogLevel::Warning,
                        "ignored the stored \"ScreenOutput\": " + platform::describe(*value) +
                            " is no output name; the primary screen serves");
    return {};
}

QScreen* screenForOutput(const QString& name) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (!name.isEmpty()) {
        for (QScreen* screen : screens) {
            if (screen->name() == name)
                return screen;
        }
    }
    if (QScreen* primary = QGuiApplication::primaryScreen())
        return primary;
    return screens.isEmpty() ? nullptr : screens.first();
}

QScreen* frameScreen() {
    return screenForOutput(storedScreenOutput());
}

void coverScreen(QWidget& window, QScreen* screen) {
    const QRect frame = screen ? screen->geometry() : QRect();
    // Without a screen there is no size to keep the window to; a zero maximum
    // would make it vanish.
    if (frame.isEmpty())
        return;
    window.setScreen(screen);
    window.setMinimumSize(0, 0);
    window.setMaximumSize(frame.size());
    window.resize(frame.size());
    // A position given before the window is shown is one the window manager
    // keeps, so the window opens on this screen whatever screen has the
    // pointer, and going full screen fills this one.
    window.move(frame.topLeft());
}

}  // namespace tact
