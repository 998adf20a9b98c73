// The pane's kinds of text: headings, small explanatory notes, and the
// colour of a line that warns.
#pragma once

#include <QString>

class QLabel;
class QWidget;

namespace tact {

// A bold label over a column or a list.
QLabel* makeHeading(const QString& text, QWidget* parent);

// A smaller, wrapped paragraph that explains the controls above it.
QLabel* makeNote(const QString& text, QWidget* parent);

// Shows label's text in the warning colour, or the normal one.
void setWarning(QLabel* label, bool warning);

}  // namespace tact
