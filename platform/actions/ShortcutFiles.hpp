// The shortcut files of KDE Plasma (kglobalshortcutsrc) and Xfce (the xfconf
// channel "xfce4-keyboard-shortcuts"), read when first asked for and again
// whenever the file changes (its size, time or identity), so a shortcut the
// user changes applies without a restart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/actions/syntax/DesktopFiles.hpp"
#include "platform/files/FileStamp.hpp"

namespace platform::actions {

// A file read again when it changes. Files larger than 4 MiB, and files
// that cannot be read, read as absent.
class WatchedFile {
  public:
    // The first of the candidates that exists is the file.
    explicit WatchedFile(std::vector<std::string> candidates);

    // The file's text when it changed since the last call (or on the first
    // call), else nothing. changed is set when the text is new.
    const std::optional<std::string>& text(bool* changed);
    // The file in use, empty when none exists.
    const std::string& path() const { return path_; }

  private:
    std::vector<std::string> candidates_;
    std::string path_;
    std::optional<FileStamp> stamp_;
    std::optional<std::string> text_;
    bool read_ = false;
};

class ShortcutFiles {
  public:
    // configHome: ${XDG_CONFIG_HOME:-$HOME/.config}; configDirs: the
    // folders of ${XDG_CONFIG_DIRS:-/etc/xdg}, for Xfce's system defaults.
    ShortcutFiles(std::string configHome, std::vector<std::string> configDirs);
    // Folders from the environment.
    static ShortcutFiles fromEnvironment();

    const KdeShortcutFile& kde();
    const XfceShortcutFile& xfce();
    const std::string& kdePath() const { return kdeFile_.path(); }
    const std::string& xfcePath() const { return xfceFile_.path(); }

  private:
    WatchedFile kdeFile_;
    WatchedFile xfceFile_;
    KdeShortcutFile kde_;
    XfceShortcutFile xfce_;
};

}  // namespace platform::actions
