// The end of the agent's touch log, shown read-only so that a person sees
// what the log holds without opening it.
#pragma once

#include <QPlainTextEdit>

namespace tact::log {

class LogTail : public QPlainTextEdit {
    Q_OBJECT
  public:
    // At most this much of the file's end is read.
    static constexpr qint64 kTailBytes = 16 * 1024;

    explicit LogTail(QWidget* parent = nullptr);

    // Shows the end of the file at path, or why there is nothing to show.
    void showFile(const QString& path);
};

}  // namespace tact::log
