#include "prefpane/gestures/ShortcutRecorder.hpp"

#include <QKeyEvent>
#include <QKeySequence>

namespace tact::gestures {
namespace {

bool isModifierKey(int key) {
    switch (key) {
        case Qt::Key_Shift:
        case Qt::Key_Control:
        case Qt::Key_Alt:
        case Qt::Key_AltGr:
        case Qt::Key_Meta:
        case Qt::Key_Super_L:
        case Qt::Key_Super_R:
        case Qt::Key_Hyper_L:
        case Qt::Key_Hyper_R:
            return true;
        default:
            return false;
    }
}

const QString kIdleText = QStringLiteral("Record…");

}  // namespace

std::optional<platform::actions::KeyChord> chordForKey(QKeyCombination combination) {
    if (isModifierKey(combination.key()) || combination.key() == Qt::Key_unknown)
        return std::nullopt;
    const QString text = QKeySequence(combination).toString(QKeySequence::PortableText);
    return platform::actions::parseQtShortcut(text.toStdString());
}

QString chordText(const platform::actions::KeyChord& chord) {
    QString text = QString::fromStdString(platform::actions::describeKeyChord(chord));
    // The arrow keys as the arrows on them.
    static const std::pair<QString, QString> kArrows[] = {
        {QStringLiteral("Left"), QStringLiteral("←")},
        {QStringLiteral("Right"), QStringLiteral("→")},
        {QStringLiteral("Up"), QStringLiteral("↑")},
        {QStringLiteral("Down"), QStringLiteral("↓")}};
    for (const auto& [name, arrow] : kArrows) {
        if (text == name || text.endsWith(QLatin1Char('+') + name)) {
            text.chop(name.size());
            text += arrow;
            break;
        }
    }
    return text;
}

ShortcutRecorder::ShortcutRecorder(QWidget* parent) : QPushButton(kIdleText, parent) {
    setToolTip(tr("Click, then press the keys this gesture should type. Escape cancels."));
    connect(this, &QPushButton::clicked, this, [this] { recording_ ? stop() : start(); });
}

void ShortcutRecorder::start() {
    recording_ = true;
    setText(tr("Press keys…"));
    setFocus(Qt::OtherFocusReason);
}

void ShortcutRecorder::stop() {
    recording_ = false;
    setText(kIdleText);
}

void ShortcutRecorder::keyPressEvent(QKeyEvent* event) {
    if (!recording_) {
        QPushButton::keyPressEvent(event);
        return;
    }
    event->accept();
    const QKeyCombination combination = event->keyCombination();
    if (combination.key() == Qt::Key_Escape && combination.keyboardModifiers() == Qt::NoModifier) {
        stop();
        return;
    }
    if (isModifierKey(combination.key()))
        return;  // the key itself is still to come
    if (auto chord = chordForKey(combination)) {
        stop();
        emit recorded(*chord);
        return;
    }
    setText(tr("Not that key; another…"));
}

void ShortcutRecorder::focusOutEvent(QFocusEvent* event) {
    if (recording_)
        stop();
    QPushButton::focusOutEvent(event);
}

}  // namespace tact::gestures
