// Finding and loading pane plug-ins.
//
// Panes are shared libraries ("*.so") in pane folders. The default folders
// are <folder of the running program>/../lib/tact/panes - which is where the
// build tree puts them (build/bin/tactprefs, build/lib/tact/panes) and where
// an installed tactprefs finds the installed ones - and then
// <install prefix>/lib/tact/panes. Folders are searched in order and files in
// name order; a file name found in an earlier folder hides the same name in
// later ones.
#pragma once

#include <QLibrary>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

#include "prefpane/host/PreferencePane.hpp"

namespace tact {

// One loaded plug-in. The library stays loaded for as long as this lives;
// destroy every pane it made before it.
struct LoadedPaneLibrary {
    QString path;
    QString principalClass;
    std::unique_ptr<QLibrary> library;
    PaneFactoryFunction factory = nullptr;

    // A new pane of the principal class, or nullptr (logged).
    std::unique_ptr<PreferencePane> instantiate(const PaneContext& context) const;
};

// <running program's folder>/../lib/tact/panes, then <prefix>/lib/tact/panes.
QStringList defaultPaneFolders();

// Loads one plug-in file; nullptr (with the reason logged and in *error)
// when it is no pane of this interface version.
std::unique_ptr<LoadedPaneLibrary> loadPaneLibrary(const QString& path, QString* error = nullptr);

// Loads every pane plug-in in folders; files that are no panes are logged
// and skipped.
std::vector<std::unique_ptr<LoadedPaneLibrary>> loadPaneLibraries(const QStringList& folders);

}  // namespace tact
