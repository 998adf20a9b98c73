// Which application the active window belongs to, in the identifiers the
// agent's swipe actions know: browsers are "com.apple.Safari", document and
// image viewers "com.apple.Preview" (see docs/desktop.md, Frontmost
// application). The table comes from a shipped file and the user's own,
// both in the same line format:
//
//   # comment
//   <name> <kind>
//
// where name is a WM_CLASS class or instance, or a desktop file id /
// application id (a trailing ".desktop" is ignored), matched without regard
// to ASCII case, and kind is "browser", "viewer", "none" (the name is
// reported as it is, whatever another entry says), or an identifier of its
// own (anything with a dot). A later line for a name replaces an earlier one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/FileStamp.hpp"

namespace platform {

// The identifiers the kinds "browser" and "viewer" stand for.
inline constexpr std::string_view kBrowserIdentifier = "com.apple.Safari";
inline constexpr std::string_view kViewerIdentifier = "com.apple.Preview";

// What a window says about its application.
struct WindowApplication {
    std::string instance;   // WM_CLASS, the first string
    std::string className;  // WM_CLASS, the second string
    // _GTK_APPLICATION_ID, _KDE_NET_WM_DESKTOP_FILE: the ones it has, in
    // the order they are looked up.
    std::vector<std::string> applicationIds;
};

class ApplicationTable {
  public:
    // Adds the entries of one table text. origin names it in messages
    // (usually the file's path). Returns one message per line that cannot
    // be read, "ORIGIN:LINE: reason"; those lines are left out, the rest
    // is used.
    std::vector<std::string> add(std::string_view text, std::string_view origin);

    // Reads the file at path and adds it. A missing file adds nothing and,
    // when missingIsFine, says nothing; any other file it cannot read (not
    // a regular file, no permission, too large) is one message.
    std::vector<std::string> addFile(const std::string& path, bool missingIsFine);

    // The identifier for a window's application: the first of its
    // application ids, its class and its instance that the table names
    // decides; nullopt when none is named, or the deciding entry is "none".
    std::optional<std::string> lookup(const WindowApplication& window) const;

    // lookup(), else the window's class, else its instance; empty when the
    // window names no application at all.
    std::string identify(const WindowApplication& window) const;

    std::size_t size() const { return entries_.size(); }
    // Every name (as the table keeps it: no ".desktop", ASCII lower case)
    // and its identifier; nullopt for "none".
    const std::map<std::string, std::optional<std::string>, std::less<>>& entries() const {
        return entries_;
    }

  private:
    // Folded name -> identifier; nullopt for "none".
    std::map<std::string, std::optional<std::string>, std::less<>> entries_;
};

// The user's own table file as its lines, so that the settings can change
// the entry of one name and keep every other line (comments, other entries)
// as it was.
class UserApplicationTable {
  public:
    explicit UserApplicationTable(std::string path) : path_(std::move(path)) {}

    // Reads the file; a missing one is an empty table. False, with why, when
    // it cannot be read (then nothing is kept, and saving is refused).
    bool load(std::string* error);

    // name counts as kind ("browser", "viewer", "none" or an identifier with
    // a dot) from now on: its earlier lines go and one line at the end says
    // so. False, with why, when the two cannot stand in the table as a line.
    bool set(std::string_view name, std::string_view kind, std::string* error);

    // Takes every line of name out; true when there was one.
    bool erase(std::string_view name);

    // The table's text as it would be saved.
    std::string text() const;

    // Writes the text atomically (a temporary file renamed over the old one),
    // making the folder when it is missing. False, with why, when it cannot.
    bool save(std::string* error) const;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::vector<std::string> lines_;
    bool loaded_ = false;
};

// Where the tables are read from. An empty path is not read.
struct ApplicationTablePaths {
    std::string shipped;
    std::string user;
};

// The shipped table in ../share/tact/ beside the running program (installed
// and build tree alike), and ${XDG_CONFIG_HOME:-$HOME/.config}/tact/
// applications.table.
ApplicationTablePaths defaultApplicationTablePaths();

// The shipped and the user's table read together, messages logged as
// warnings. The user's file is read again when it has changed.
class ApplicationTableFiles {
  public:
    explicit ApplicationTableFiles(ApplicationTablePaths paths);

    // The table, after reading both files again when the user's file is
    // new, gone, or changed (its modification time, size or inode) since
    // it was last read: one stat() when nothing changed.
    const ApplicationTable& table();
    const ApplicationTablePaths& paths() const { return paths_; }

  private:
    void read();

    ApplicationTablePaths paths_;
    ApplicationTable table_;
    std::optional<FileStamp> stamp_;
};

}  // namespace platform
