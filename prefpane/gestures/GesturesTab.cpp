#include "prefpane/gestures/GesturesTab.hpp"

#include <QDir>
#include <QFileSystemWatcher>
#include <QFont>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdlib>

#include "platform/actions/DesktopActions.hpp"
#include "platform/actions/UserHotKeys.hpp"
#include "platform/prefs/Preferences.hpp"
#include "prefpane/PaneLabels.hpp"
#include "prefpane/gestures/GestureCatalogue.hpp"
#include "prefpane/gestures/ShortcutRecorder.hpp"

namespace tact::gestures {
namespace {

namespace actions = platform::actions;

constexpr int kSettleMilliseconds = 150;

QString qs(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QString capitalised(QString text) {
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

struct Now {
    QString text;
    bool warning = false;
};

// What the agent does for action now.
Now describeNow(std::string_view action, const actions::DesktopActions* desktop) {
    if (auto mine = actions::userHotKey(action)) {
        if (!mine->enabled)
            return {QObject::tr("off: you turned it off"), false};
        if (mine->keys)
            return {QObject::tr("%1 — your own shortcut").arg(chordText(*mine->keys)), false};
        // An enabled entry without a key the agent can read counts as none.
    }
    if (!desktop)
        return {QObject::tr("not known: the desktop is not known here"), true};
    const actions::Resolution r = desktop->resolve(action);
    switch (r.way) {
        case actions::Resolution::Way::Keys: {
            const bool fromDesktop = r.description.find('(') != std::string::npos;
            if (!fromDesktop)
                return {QObject::tr("%1 — the same on every desktop").arg(chordText(r.keys))};
            return {QObject::tr("%1 — %2: %3")
                        .arg(chordText(r.keys), qs(actions::desktopName(desktop->kind())),
                             qs(actions::actionDescription(action)))};
        }
        case actions::Resolution::Way::GlobalShortcut: {
            // The shortcut is run by name; its key says which one it is.
            const QString named = QObject::tr("%1: “%2”")
                                      .arg(qs(actions::desktopName(desktop->kind())),
                                           QString::fromStdString(r.shortcut));
            if (!r.fallbackKeys)
                return {named};
            return {QObject::tr("%1 — %2").arg(chordText(*r.fallbackKeys), named)};
        }
        case actions::Resolution::Way::SwitchDesktop:
        case actions::Resolution::Way::ShowDesktop:
            return {qs(r.description)};
        case actions::Resolution::Way::Nothing:
            break;
    }
    return {qs(r.description), true};
}

// The folders whose files hold shortcuts: the user's store, and where GNOME
// (dconf), KDE (kglobalshortcutsrc) and Xfce (xfconf) keep theirs.
QStringList settingsFolders() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    QStringList folders{QString::fromStdString(platform::preferencesDirectory()), config,
                        config + QStringLiteral("/dconf"),
                        config + QStringLiteral("/xfce4/xfconf/xfce-perchannel-xml")};
    folders.removeDuplicates();
    QStringList present;
    for (const QString& folder : folders) {
        if (QDir(folder).exists())
            present << folder;
    }
    return present;
}

}  // namespace

GesturesTab::GesturesTab(actions::DesktopActions* desktop, std::function<void()> changed,
                         QWidget* parent)
    : QWidget(parent), desktop_(desktop), changed_(std::move(changed)) {
    auto* outer = new QVBoxLayout(this);
    auto* intro = new QLabel(
        tr("What each gesture does on this desktop (%1) now. Record a keystroke to type "
           "instead, go back to the desktop's own way, or turn the action off. The agent "
           "follows at once.")
            .arg(desktop ? qs(actions::desktopName(desktop->kind())) : tr("not known")),
        this);
    intro->setWordWrap(true);
    outer->addWidget(intro);

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* table = new QWidget(scroll);
    auto* grid = new QGridLayout(table);
    grid->setHorizontalSpacing(14);
    grid->setVerticalSpacing(4);
    grid->addWidget(makeHeading(tr("Gesture"), table), 0, 0);
    grid->addWidget(makeHeading(tr("Action"), table), 0, 1);
    grid->addWidget(makeHeading(tr("On this desktop now"), table), 0, 2);
    int line = 1;
    for (const GestureEntry& entry : gestureCatalogue()) {
        grid->addWidget(new QLabel(qs(entry.gesture), table), line, 0);
        if (entry.action.empty()) {
            auto* note = new QLabel(qs(entry.note), table);
            note->setWordWrap(true);
            grid->addWidget(note, line, 1, 1, 3);
            ++line;
            continue;
        }
        grid->addWidget(
            new QLabel(capitalised(qs(actions::actionDescription(entry.action))), table), line, 1);
        Row row;
        row.now = new QLabel(table);
        row.now->setWordWrap(true);
        row.now->setTextInteractionFlags(Qt::TextSelectableByMouse);
        row.record = new ShortcutRecorder(table);
        row.standard = new QPushButton(tr("Default"), table);
        row.standard->setToolTip(tr("Do what the desktop does for this action"));
        row.off = new QPushButton(tr("Off"), table);
        row.off->setToolTip(tr("Do nothing for this gesture"));
        grid->addWidget(row.now, line, 2);
        auto* buttons = new QHBoxLayout();
        buttons->setSpacing(4);
        buttons->addWidget(row.record);
        buttons->addWidget(row.standard);
        buttons->addWidget(row.off);
        grid->addLayout(buttons, line, 3);

        const std::string action(entry.action);
        connect(row.record, &ShortcutRecorder::recorded, this,
                [this, action](const actions::KeyChord& chord) {
                    stored(action, actions::setUserHotKey(action, chord));
                });
        connect(row.standard, &QPushButton::clicked, this,
                [this, action] { stored(action, actions::removeUserHotKey(action)); });
        connect(row.off, &QPushButton::clicked, this,
                [this, action] { stored(action, actions::turnOffUserHotKey(action)); });
        rows_.emplace(action, row);
        ++line;
    }
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(line, 1);
    scroll->setWidget(table);
    outer->addWidget(scroll, 1);

    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(kSettleMilliseconds);
    connect(settle_, &QTimer::timeout, this, [this] { refresh(); });
    watchSettings();
    refresh();
}

GesturesTab::~GesturesTab() = default;

void GesturesTab::watchSettings() {
    watcher_ = new QFileSystemWatcher(this);
    const QStringList folders = settingsFolders();
    if (!folders.isEmpty())
        watcher_->addPaths(folders);
    auto later = [this] {
        // A folder made since (the first shortcut saved) is watched from now on.
        for (const QString& folder : settingsFolders()) {
            if (!watcher_->directories().contains(folder))
                watcher_->addPath(folder);
        }
        settle_->start();
    };
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, later);
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, later);
}

void GesturesTab::refresh() {
    for (auto& [action, row] : rows_) {
        const Now now = describeNow(action, desktop_);
        row.now->setText(now.text);
        setWarning(row.now, now.warning);
        const auto mine = platform::actions::userHotKey(action);
        row.standard->setEnabled(mine.has_value());
        row.off->setEnabled(!mine || mine->enabled);
    }
}

void GesturesTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
}

void GesturesTab::stored(std::string_view action, bool saved) {
    refresh();
    if (!saved) {
        if (const Row* r = row(action)) {
            r->now->setText(tr("could not be saved; the log says why"));
            setWarning(r->now, true);
        }
        return;
    }
    if (changed_)
        changed_();
}

const GesturesTab::Row* GesturesTab::row(std::string_view action) const {
    const auto it = rows_.find(action);
    return it == rows_.end() ? nullptr : &it->second;
}

ShortcutRecorder* GesturesTab::recordButton(std::string_view action) const {
    return part(action, &Row::record);
}

QPushButton* GesturesTab::defaultButton(std::string_view action) const {
    return part(action, &Row::standard);
}

QPushButton* GesturesTab::offButton(std::string_view action) const {
    return part(action, &Row::off);
}

QLabel* GesturesTab::nowLabel(std::string_view action) const {
    return part(action, &Row::now);
}

}  // namespace tact::gestures
