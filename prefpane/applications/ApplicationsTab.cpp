#include "prefpane/applications/ApplicationsTab.hpp"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <string>

#include "prefpane/PaneLabels.hpp"
#include "prefpane/applications/RunningApplications.hpp"

namespace tact::applications {
namespace {

// Marks the list entries the user's own file gives.
const int kYoursRole = Qt::UserRole + 1;

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

ApplicationsTab::ApplicationsTab(platform::ApplicationTablePaths paths, QWidget* parent)
    : QWidget(parent), paths_(std::move(paths)) {
    auto* outer = new QVBoxLayout(this);
    auto* intro = new QLabel(
        tr("Four-finger swipes go back and forward in browsers and turn pages in document "
           "and image viewers. An application is known by its window class or application id "
           "(upper and lower case are the same)."),
        this);
    intro->setWordWrap(true);
    outer->addWidget(intro);

    auto* lists = new QGridLayout();
    browsers = new QListWidget(this);
    viewers = new QListWidget(this);
    for (QListWidget* list : {browsers, viewers}) {
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        list->setSortingEnabled(true);
    }
    lists->addWidget(makeHeading(tr("Browsers"), this), 0, 0);
    lists->addWidget(makeHeading(tr("Document and image viewers"), this), 0, 1);
    lists->addWidget(browsers, 1, 0);
    lists->addWidget(viewers, 1, 1);
    outer->addLayout(lists, 1);

    auto* addRow = new QHBoxLayout();
    addRow->addWidget(new QLabel(tr("Application:"), this));
    newName = new QComboBox(this);
    newName->setEditable(true);
    newName->setInsertPolicy(QComboBox::NoInsert);
    newName->lineEdit()->setPlaceholderText(tr("a running application, or type its class"));
    newName->setMinimumWidth(260);
    addRow->addWidget(newName, 1);
    newKind = new QComboBox(this);
    newKind->addItem(tr("Browser"), QStringLiteral("browser"));
    newKind->addItem(tr("Document viewer"), QStringLiteral("viewer"));
    addRow->addWidget(newKind);
    addButton = new QPushButton(tr("Add"), this);
    addRow->addWidget(addButton);
    addRow->addSpacing(20);
    removeButton = new QPushButton(tr("Remove Selected"), this);
    addRow->addWidget(removeButton);
    outer->addLayout(addRow);

    message = new QLabel(this);
    message->setWordWrap(true);
    message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    outer->addWidget(message);
    showMessage(tr("Your changes go to %1.").arg(qs(paths_.user)), false);

    connect(addButton, &QPushButton::clicked, this, [this] {
        if (addApplication(newName->currentText(), newKind->currentData().toString()))
            newName->setEditText(QString());
    });
    connect(removeButton, &QPushButton::clicked, this, [this] {
        for (QListWidget* list : {browsers, viewers}) {
            if (QListWidgetItem* item = list->currentItem(); item && item->isSelected()) {
                removeApplication(item->data(Qt::UserRole).toString());
                return;
            }
        }
    });
    // One selection between both lists.
    connect(browsers, &QListWidget::itemSelectionChanged, this, [this] {
        if (!browsers->selectedItems().isEmpty())
            viewers->clearSelection();
    });
    connect(viewers, &QListWidget::itemSelectionChanged, this, [this] {
        if (!viewers->selectedItems().isEmpty())
            browsers->clearSelection();
    });
    reload();
}

void ApplicationsTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    reload();
    fillRunning();
}

void ApplicationsTab::fillRunning() {
    const QString typed = newName->currentText();
    newName->clear();
    newName->addItems(runningApplicationClasses());
    newName->setEditText(typed);
}

void ApplicationsTab::reload() {
    platform::ApplicationTable table;
    std::vector<std::string> problems;
    if (!paths_.shipped.empty())
        problems = table.addFile(paths_.shipped, true);
    platform::ApplicationTable yours;
    if (!paths_.user.empty()) {
        auto more = table.addFile(paths_.user, true);
        problems.insert(problems.end(), more.begin(), more.end());
        yours.addFile(paths_.user, true);
    }
    browsers->clear();
    viewers->clear();
    for (const auto& [name, identifier] : table.entries()) {
        QListWidget* list = identifier == platform::kBrowserIdentifier  ? browsers
                            : identifier == platform::kViewerIdentifier ? viewers
                                                                        : nullptr;
        if (!list)
            continue;
        const bool mine = yours.entries().contains(name);
        auto* item = new QListWidgetItem(mine ? tr("%1  (yours)").arg(qs(name)) : qs(name));
        item->setData(Qt::UserRole, qs(name));
        item->setData(kYoursRole, mine);
        list->addItem(item);
    }
    if (!problems.empty())
        showMessage(qs(problems.front()), true);
}

bool ApplicationsTab::addApplication(const QString& name, const QString& kind) {
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty()) {
        showMessage(tr("Choose a running application or type its window class first."), true);
        return false;
    }
    platform::UserApplicationTable table(paths_.user);
    std::string error;
    if (!table.load(&error) || !table.set(trimmed.toStdString(), kind.toStdString(), &error)) {
        showMessage(tr("%1 cannot be added: %2").arg(trimmed, qs(error)), true);
        return false;
    }
    return store(table, tr("%1 added; the agent uses it from the next swipe.").arg(trimmed));
}

bool ApplicationsTab::removeApplication(const QString& name) {
    platform::UserApplicationTable table(paths_.user);
    std::string error;
    if (!table.load(&error)) {
        showMessage(qs(error), true);
        return false;
    }
    const std::string key = name.toStdString();
    table.erase(key);
    // A name the shipped table still knows is taken out by a line of the user's own.
    platform::ApplicationTable shipped;
    if (!paths_.shipped.empty())
        shipped.addFile(paths_.shipped, true);
    shipped.add(table.text(), paths_.user);
    if (shipped.lookup(platform::WindowApplication{key, key, {}}) &&
        !table.set(key, "none", &error)) {
        showMessage(tr("%1 cannot be removed: %2").arg(name, qs(error)), true);
        return false;
    }
    return store(table, tr("%1 removed.").arg(name));
}

bool ApplicationsTab::store(const platform::UserApplicationTable& table, const QString& done) {
    std::string error;
    if (!table.save(&error)) {
        showMessage(tr("Not saved: %1").arg(qs(error)), true);
        return false;
    }
    reload();
    showMessage(done, false);
    return true;
}

void ApplicationsTab::showMessage(const QString& text, bool problem) {
    message->setText(text);
    setWarning(message, problem);
}

}  // namespace tact::applications
