#include "prefpane/host/PaneLoader.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include "platform/log/SystemLog.hpp"

#ifndef TACT_INSTALL_PREFIX
#define TACT_INSTALL_PREFIX "/usr/local"
#endif

namespace tact {
namespace {

constexpr const char* kPaneSubfolder = "lib/tact/panes";

void logProblem(const QString& text) {
    platform::systemLog(platform::LogLevel::Warning, ("panes: " + text).toStdString());
}

}  // namespace

std::unique_ptr<PreferencePane> LoadedPaneLibrary::instantiate(const PaneContext& context) const {
    PaneContext withPath = context;
    withPath.bundlePath = path.toStdString();
    std::unique_ptr<PreferencePane> pane(factory ? factory(&withPath) : nullptr);
    if (!pane)
        logProblem(QStringLiteral("%1 made no %2").arg(path, principalClass));
    return pane;
}

QStringList defaultPaneFolders() {
    QStringList folders;
    const QString here = QCoreApplication::applicationDirPath();
    if (!here.isEmpty())
        folders << QDir::cleanPath(here + "/../" + kPaneSubfolder);
    const QString installed =
        QDir::cleanPath(QStringLiteral(TACT_INSTALL_PREFIX "/") + kPaneSubfolder);
    if (!folders.contains(installed))
        folders << installed;
    return folders;
}

std::unique_ptr<LoadedPaneLibrary> loadPaneLibrary(const QString& path, QString* error) {
    auto fail = [&](const QString& reason) -> std::unique_ptr<LoadedPaneLibrary> {
        logProblem(QStringLiteral("%1 is not a settings pane: %2").arg(path, reason));
        if (error)
            *error = reason;
        return nullptr;
    };

    auto library = std::make_unique<QLibrary>(path);
    if (!library->load())
        return fail(library->errorString());

    auto version = reinterpret_cast<PaneInterfaceVersionFunction>(
        library->resolve(kPaneInterfaceVersionSymbol));
    auto principal =
        reinterpret_cast<PanePrincipalClassFunction>(library->resolve(kPanePrincipalClassSymbol));
    if (!version || !principal)
        return fail(QStringLiteral("it exports no %1 and %2")
                        .arg(kPaneInterfaceVersionSymbol, kPanePrincipalClassSymbol));
    if (version() != kPreferencePaneInterfaceVersion)
        return fail(QStringLiteral("it was built for pane interface %1, this host has %2")
                        .arg(version())
                        .arg(kPreferencePaneInterfaceVersion));
    const char* className = principal();
    if (!className || !*className)
        return fail(QStringLiteral("it names no principal class"));

    auto loaded = std::make_unique<LoadedPaneLibrary>();
    loaded->path = path;
    loaded->principalClass = QString::fromUtf8(className);
    loaded->factory = reinterpret_cast<PaneFactoryFunction>(library->resolve(className));
    if (!loaded->factory)
        return fail(QStringLiteral("it exports no factory for its principal class %1")
                        .arg(loaded->principalClass));
    loaded->library = std::move(library);
    return loaded;
}

std::vector<std::unique_ptr<LoadedPaneLibrary>> loadPaneLibraries(const QStringList& folders) {
    std::vector<std::unique_ptr<LoadedPaneLibrary>> panes;
    QSet<QString> seen;
    for (const QString& folder : folders) {
        const QDir dir(folder);
        if (!dir.exists())
            continue;
        const QFileInfoList files =
            dir.entryInfoList({QStringLiteral("*.so")}, QDir::Files, QDir::Name);
        for (const QFileInfo& file : files) {
            if (seen.contains(file.fileName()))
                continue;
            seen.insert(file.fileName());
            if (auto loaded = loadPaneLibrary(file.absoluteFilePath()))
                panes.push_back(std::move(loaded));
        }
    }
    return panes;
}

}  // namespace tact
