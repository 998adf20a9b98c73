#include "prefpane/log/LogTail.hpp"

#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QScrollBar>

namespace tact::log {

LogTail::LogTail(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
}

void LogTail::showFile(const QString& path) {
    if (path.trimmed().isEmpty()) {
        setPlainText(tr("No log file chosen yet."));
        return;
    }
    const QFileInfo info(path);
    if (!info.exists()) {
        setPlainText(tr("%1 is not there yet.").arg(path));
        return;
    }
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        setPlainText(tr("%1 cannot be read.").arg(path));
        return;
    }
    const qint64 size = file.size();
    const qint64 start = size > kTailBytes ? size - kTailBytes : 0;
    file.seek(start);
    QString text = QString::fromUtf8(file.read(kTailBytes));
    // A cut line at the start is left out.
    if (start > 0) {
        const qsizetype newline = text.indexOf(QLatin1Char('\n'));
        text = newline < 0 ? QString() : text.mid(newline + 1);
    }
    setPlainText(text.isEmpty() ? tr("%1 is empty: nothing logged yet.").arg(path) : text);
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

}  // namespace tact::log
