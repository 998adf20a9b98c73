// A button that records a keystroke: clicked, it waits for the next key
// pressed with its modifiers and reports it in the event service's codes.
// Escape alone, or leaving the button, cancels.
#pragma once

#include <QKeyCombination>
#include <QPushButton>

#include <optional>

#include "platform/actions/syntax/KeyChord.hpp"

namespace tact::gestures {

// The keystroke of a Qt key with modifiers (Meta is the Super key); nothing
// for a lone modifier or a key the event service has no code for.
std::optional<platform::actions::KeyChord> chordForKey(QKeyCombination combination);

// How the settings write a keystroke: "Ctrl+Alt+→", "Super+A".
QString chordText(const platform::actions::KeyChord& chord);

class ShortcutRecorder : public QPushButton {
    Q_OBJECT
  public:
    explicit ShortcutRecorder(QWidget* parent = nullptr);

    bool recording() const { return recording_; }

  signals:
    void recorded(const platform::actions::KeyChord& chord);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    void start();
    void stop();

    bool recording_ = false;
};

}  // namespace tact::gestures
