#include "platform/actions/ShortcutFiles.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/log/SystemLog.hpp"

namespace platform::actions {
namespace {

constexpr std::uint64_t kMaxFileSize = 4u << 20;
constexpr const char* kXfceChannel =
    "/xfce4/xfconf/xfce-perchannel-xml/xfce4-keyboard-shortcuts.xml";

std::vector<std::string> xfceCandidates(const std::string& configHome,
                                        const std::vector<std::string>& configDirs) {
    std::vector<std::string> out;
    if (!configHome.empty())
        out.push_back(configHome + kXfceChannel);
    for (const auto& dir : configDirs)
        out.push_back(dir + kXfceChannel);
    return out;
}

}  // namespace

WatchedFile::WatchedFile(std::vector<std::string> candidates)
    : candidates_(std::move(candidates)) {}

const std::optional<std::string>& WatchedFile::text(bool* changed) {
    *changed = false;
    std::string path;
    std::optional<FileStamp> stamp;
    for (const auto& candidate : candidates_) {
        stamp = fileStamp(candidate);
        if (stamp && stamp->regular) {
            path = candidate;
            break;
        }
        stamp.reset();
    }
    if (read_ && path == path_ && stamp == stamp_)
        return text_;
    read_ = true;
    path_ = path;
    stamp_ = stamp;
    text_.reset();
    *changed = true;
    if (path.empty() || stamp->size > kMaxFileSize)
        return text_;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return text_;
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad())
        return text_;
    text_ = all.str();
    return text_;
}

ShortcutFiles::ShortcutFiles(std::string configHome, std::vector<std::string> configDirs)
    : kdeFile_(configHome.empty() ? std::vector<std::string>{}
                                  : std::vector<std::string>{configHome + "/kglobalshortcutsrc"}),
      xfceFile_(xfceCandidates(configHome, configDirs)) {}

ShortcutFiles ShortcutFiles::fromEnvironment() {
    std::string home;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        home = xdg;
    else if (const char* h = std::getenv("HOME"); h && *h)
        home = std::string(h) + "/.config";
    std::vector<std::string> dirs;
    const char* xdgDirs = std::getenv("XDG_CONFIG_DIRS");
    std::string list = xdgDirs && *xdgDirs ? xdgDirs : "/etc/xdg";
    std::size_t start = 0;
    while (start <= list.size()) {
        const auto colon = list.find(':', start);
        std::string dir =
            list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && dir.front() == '/')
            dirs.push_back(dir);
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return ShortcutFiles(home, dirs);
}

const KdeShortcutFile& ShortcutFiles::kde() {
    bool changed = false;
    const auto& text = kdeFile_.text(&changed);
    if (changed) {
        kde_ = text ? KdeShortcutFile::parse(*text) : KdeShortcutFile{};
        if (!kde_.diagnostic().empty())
            systemLog(LogLevel::Warning, kdeFile_.path() + ": " + kde_.diagnostic());
    }
    return kde_;
}

const XfceShortcutFile& ShortcutFiles::xfce() {
    bool changed = false;
    const auto& text = xfceFile_.text(&changed);
    if (changed) {
        xfce_ = text ? XfceShortcutFile::parse(*text) : XfceShortcutFile{};
        if (text && !xfce_.diagnostic().empty())
            systemLog(LogLevel::Warning, xfceFile_.path() + ": " + xfce_.diagnostic());
    }
    return xfce_;
}

}  // namespace platform::actions
