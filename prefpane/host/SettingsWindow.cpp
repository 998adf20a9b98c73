#include "prefpane/host/SettingsWindow.hpp"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QListWidget>
#include <QShowEvent>
#include <QStackedWidget>

#include "platform/log/SystemLog.hpp"

namespace tact {

SettingsWindow::SettingsWindow(std::vector<std::unique_ptr<LoadedPaneLibrary>> libraries,
                               const PaneContext& context, const QStringList& folders,
                               QWidget* parent)
    : QWidget(parent), libraries_(std::move(libraries)) {
    auto* layout = new QHBoxLayout(this);
    list_ = new QListWidget(this);
    list_->setMaximumWidth(180);
    list_->hide();
    layout->addWidget(list_);
    stack_ = new QStackedWidget(this);
    layout->addWidget(stack_, 1);

    empty_ = new QLabel(this);
    empty_->setAlignment(Qt::AlignCenter);
    empty_->setWordWrap(true);
    empty_->setText(
        tr("No settings panes were found in:\n%1").arg(folders.join(QLatin1Char('\n'))));
    stack_->addWidget(empty_);

    connect(list_, &QListWidget::currentRowChanged, this, &SettingsWindow::showPane);

    for (const auto& library : libraries_) {
        if (auto pane = library->instantiate(context))
            addPane(std::move(pane));
    }
    updateTitle();
}

SettingsWindow::~SettingsWindow() {
    unselect();
    // The panes own their views: take them out of the window, then let the
    // panes (and with them their views) go before the libraries and the window.
    for (auto& pane : panes_) {
        if (QWidget* view = pane->mainView()) {
            stack_->removeWidget(view);
            view->setParent(nullptr);
        }
    }
    panes_.clear();
    libraries_.clear();
}

void SettingsWindow::addPane(std::unique_ptr<PreferencePane> pane) {
    if (!pane)
        return;
    QWidget* view = pane->loadMainView();
    if (!view) {
        platform::systemLog(platform::LogLevel::Warning,
                            "panes: " + pane->label().toStdString() + " has no view");
        return;
    }
    stack_->addWidget(view);
    list_->addItem(pane->label());
    panes_.push_back(std::move(pane));
    list_->setVisible(panes_.size() > 1);
    if (current_ < 0)
        showPane(0);
}

PreferencePane* SettingsWindow::pane(int index) const {
    if (index < 0 || index >= paneCount())
        return nullptr;
    return panes_[static_cast<std::size_t>(index)].get();
}

void SettingsWindow::showPane(int index) {
    if (index < 0 || index >= paneCount() || index == current_)
        return;
    const bool wasSelected = selected_;
    unselect();
    current_ = index;
    stack_->setCurrentWidget(pane(index)->mainView());
    {
        const QSignalBlocker blocker(list_);
        list_->setCurrentRow(index);
    }
    updateTitle();
    if (wasSelected || isVisible())
        select();
}

void SettingsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    select();
}

void SettingsWindow::hideEvent(QHideEvent* event) {
    unselect();
    QWidget::hideEvent(event);
}

void SettingsWindow::closeEvent(QCloseEvent* event) {
    unselect();
    QWidget::closeEvent(event);
}

void SettingsWindow::select() {
    PreferencePane* shown = pane(current_);
    if (selected_ || !shown)
        return;
    selected_ = true;
    shown->willSelect();
    shown->didSelect();
    emit paneSelected(current_);
}

void SettingsWindow::unselect() {
    PreferencePane* shown = pane(current_);
    if (!selected_ || !shown)
        return;
    selected_ = false;
    shown->willUnselect();
    shown->didUnselect();
    emit paneUnselected(current_);
}

void SettingsWindow::updateTitle() {
    const PreferencePane* shown = pane(current_);
    setWindowTitle(shown ? shown->label() : tr("Settings"));
}

}  // namespace tact
