#include "prefpane/PaneLabels.hpp"

#include <QLabel>

namespace tact {
namespace {
// Dark enough to read on a light window, plainly not the normal text colour.
constexpr const char* kWarningStyle = "color: #a04000;";
}  // namespace

QLabel* makeHeading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QLabel* makeNote(const QString& text, QWidget* parent) {
    auto* note = new QLabel(text, parent);
    note->setWordWrap(true);
    QFont font = note->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    note->setFont(font);
    return note;
}

void setWarning(QLabel* label, bool warning) {
    label->setStyleSheet(warning ? QString::fromLatin1(kWarningStyle) : QString());
}

}  // namespace tact
