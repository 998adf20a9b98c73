// The settings' Applications tab: the applications four-finger swipes act
// in, as browsers (back and forward) and as document viewers (page turns).
// The list is the shipped table with the user's own file over it; adding and
// removing change only the user's file (a shipped entry is taken out by a
// "none" line), which the agent reads again when it changes.
#pragma once

#include <QString>
#include <QWidget>

#include "platform/desktop/ApplicationTable.hpp"

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace tact::applications {

class ApplicationsTab : public QWidget {
    Q_OBJECT
  public:
    explicit ApplicationsTab(platform::ApplicationTablePaths paths, QWidget* parent = nullptr);

    // Reads both tables again and lists them.
    void reload();

    // Adds name as "browser" or "viewer"; false (and the reason shown) when
    // it cannot be stored.
    bool addApplication(const QString& name, const QString& kind);
    // Takes name out of both lists; false (reason shown) when it cannot.
    bool removeApplication(const QString& name);

    QListWidget* browsers = nullptr;
    QListWidget* viewers = nullptr;
    QComboBox* newName = nullptr;
    QComboBox* newKind = nullptr;
    QPushButton* addButton = nullptr;
    QPushButton* removeButton = nullptr;
    QLabel* message = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    // Saves table; done is said when it worked, the reason when not.
    bool store(const platform::UserApplicationTable& table, const QString& done);
    void fillRunning();
    void showMessage(const QString& text, bool problem);

    platform::ApplicationTablePaths paths_;
};

}  // namespace tact::applications
