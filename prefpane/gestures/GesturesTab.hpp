// The settings' Gestures tab: one row per gesture, the action it carries
// out and what that does on this desktop right now (the user's own shortcut,
// else the desktop's way as the agent resolves it). Per action a person can
// record a keystroke, go back to the desktop's default, or turn it off; each
// change is stored where the agent reads it and then announced.
//
// The rows are read again when the tab is shown and whenever the user's
// shortcut store or the desktop's shortcut settings change on disk.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <string>
#include <string_view>

class QFileSystemWatcher;
class QLabel;
class QPushButton;
class QTimer;

namespace platform::actions {
class DesktopActions;
}

namespace tact::gestures {

class ShortcutRecorder;

class GesturesTab : public QWidget {
    Q_OBJECT
  public:
    // desktop may be null (nothing known about the desktop); changed is
    // called after every stored change.
    GesturesTab(platform::actions::DesktopActions* desktop, std::function<void()> changed,
                QWidget* parent = nullptr);
    ~GesturesTab() override;

    // Reads the store and the desktop again and shows what each action does.
    void refresh();

    // The controls of one action's row (null for an action not listed).
    ShortcutRecorder* recordButton(std::string_view action) const;
    QPushButton* defaultButton(std::string_view action) const;
    QPushButton* offButton(std::string_view action) const;
    QLabel* nowLabel(std::string_view action) const;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    struct Row {
        QLabel* now = nullptr;
        ShortcutRecorder* record = nullptr;
        QPushButton* standard = nullptr;
        QPushButton* off = nullptr;
    };
    const Row* row(std::string_view action) const;
    template <class Widget>
    Widget* part(std::string_view action, Widget* Row::*member) const {
        const Row* r = row(action);
        return r ? r->*member : nullptr;
    }
    void stored(std::string_view action, bool saved);
    void watchSettings();

    platform::actions::DesktopActions* desktop_;
    std::function<void()> changed_;
    std::map<std::string, Row, std::less<>> rows_;
    QFileSystemWatcher* watcher_ = nullptr;
    QTimer* settle_ = nullptr;
};

}  // namespace tact::gestures
