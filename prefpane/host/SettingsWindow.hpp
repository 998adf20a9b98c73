// The settings host's window: shows one pane at a time (with a list to pick
// from when there are several) and drives the shown pane's selection: the
// pane is selected while the window is shown and unselected when the window
// is hidden, closed or destroyed, or when another pane is picked.
#pragma once

#include <QString>
#include <QWidget>

#include <memory>
#include <vector>

#include "prefpane/host/PaneLoader.hpp"
#include "prefpane/host/PreferencePane.hpp"

class QLabel;
class QListWidget;
class QStackedWidget;

namespace tact {

class SettingsWindow : public QWidget {
    Q_OBJECT
  public:
    // Makes one pane of every library (kept alive by the window) and loads
    // their views. folders is only named when there is no pane to show.
    SettingsWindow(std::vector<std::unique_ptr<LoadedPaneLibrary>> libraries,
                   const PaneContext& context, const QStringList& folders = {},
                   QWidget* parent = nullptr);
    // Unselects the shown pane, then destroys the panes before the window.
    ~SettingsWindow() override;

    // Adds a pane made elsewhere (tests, linked-in panes).
    void addPane(std::unique_ptr<PreferencePane> pane);

    int paneCount() const { return static_cast<int>(panes_.size()); }
    PreferencePane* pane(int index) const;
    int currentPane() const { return current_; }
    void showPane(int index);
    // Whether the shown pane is selected now.
    bool isPaneSelected() const { return selected_; }

  signals:
    void paneSelected(int index);
    void paneUnselected(int index);

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void select();
    void unselect();
    void updateTitle();

    std::vector<std::unique_ptr<LoadedPaneLibrary>> libraries_;
    std::vector<std::unique_ptr<PreferencePane>> panes_;
    QListWidget* list_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QLabel* empty_ = nullptr;
    int current_ = -1;
    bool selected_ = false;
};

}  // namespace tact
