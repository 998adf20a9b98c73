// The workspace: starts applications by their application path, as panes
// name them ("/Applications/Tactcalib.app"). On this system an application
// path stands for one of our programs: its last component without ".app",
// in lower case ("tactcalib"), looked up in a list of program folders - by
// default the folder of the running program first (so a build tree starts
// its own programs), then the install prefix's bin folder.
#pragma once

#include <QString>
#include <QStringList>

namespace tact {

class Workspace {
  public:
    // Searches programFolders in order.
    explicit Workspace(QStringList programFolders = defaultProgramFolders());
    virtual ~Workspace();

    // The folder of the running program, then <install prefix>/bin.
    static QStringList defaultProgramFolders();

    // "/Applications/Tactcalib.app" -> "tactcalib"; empty when the path does
    // not name an application (no ".app" ending, or nothing before it).
    static QString programName(const QString& applicationPath);

    // Full path of the executable that stands for the application; empty
    // when no folder holds one.
    virtual QString programForApplication(const QString& applicationPath) const;

    // Starts that program on its own (it outlives us), without arguments.
    // False when there is no such program or it cannot be started; the
    // reason goes to the system log and, when given, to *error.
    virtual bool launchApplication(const QString& applicationPath, QString* error = nullptr);

    const QStringList& programFolders() const { return programFolders_; }

  private:
    QStringList programFolders_;
};

}  // namespace tact
