#include "prefpane/host/Workspace.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <utility>

#include "platform/log/SystemLog.hpp"

#ifndef TACT_INSTALL_PREFIX
#define TACT_INSTALL_PREFIX "/usr/local"
#endif

namespace tact {

Workspace::Workspace(QStringList programFolders) : programFolders_(std::move(programFolders)) {}

Workspace::~Workspace() = default;

QStringList Workspace::defaultProgramFolders() {
    QStringList folders;
    const QString here = QCoreApplication::applicationDirPath();
    if (!here.isEmpty())
        folders << here;
    const QString installed = QDir::cleanPath(QStringLiteral(TACT_INSTALL_PREFIX "/bin"));
    if (!folders.contains(installed))
        folders << installed;
    return folders;
}

QString Workspace::programName(const QString& applicationPath) {
    static const QString suffix = QStringLiteral(".app");
    QString name = applicationPath;
    while (name.endsWith(QLatin1Char('/')))
        name.chop(1);
    name = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
    if (!name.endsWith(suffix, Qt::CaseInsensitive) || name.size() == suffix.size())
        return {};
    name.chop(suffix.size());
    return name.toLower();
}

QString Workspace::programForApplication(const QString& applicationPath) const {
    const QString name = programName(applicationPath);
    if (name.isEmpty())
        return {};
    for (const QString& folder : programFolders_) {
        const QFileInfo candidate(QDir(folder).filePath(name));
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.absoluteFilePath();
    }
    return {};
}

bool Workspace::launchApplication(const QString& applicationPath, QString* error) {
    QString reason;
    const QString program = programForApplication(applicationPath);
    if (program.isEmpty()) {
        const QString name = programName(applicationPath);
        if (name.isEmpty())
            reason = QStringLiteral("%1 does not name an application").arg(applicationPath);
        else
            reason = QStringLiteral("no program %1 in %2")
                         .arg(name, programFolders_.join(QStringLiteral(", ")));
    } else if (!QProcess::startDetached(program, {})) {
        reason = QStringLiteral("%1 could not be started").arg(program);
    }
    if (reason.isEmpty())
        return true;
    platform::systemLog(platform::LogLevel::Error, QStringLiteral("workspace: cannot launch %1: %2")
                                                       .arg(applicationPath, reason)
                                                       .toStdString());
    if (error)
        *error = reason;
    return false;
}

}  // namespace tact
