#include "platform/desktop/ApplicationTable.hpp"
#include "platform/values/Text.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/log/SystemLog.hpp"

namespace platform {
namespace {

// Tables are a few hundred lines; anything far larger is not one.
constexpr off_t kMaxFileSize = 1 << 20;
constexpr std::size_t kMaxLine = 1024;
constexpr std::size_t kMaxName = 255;

constexpr std::string_view kBrowser = kBrowserIdentifier;
constexpr std::string_view kViewer = kViewerIdentifier;

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

using text::asciiLower;

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = asciiLower(c);
    return out;
}

// A name as the table keeps it: no folder, no ".desktop", ASCII lower case.
std::string fold(std::string_view name) {
    if (const auto slash = name.rfind('/'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    constexpr std::string_view suffix = ".desktop";
    if (name.size() > suffix.size() && lowered(name.substr(name.size() - suffix.size())) == suffix)
        name.remove_suffix(suffix.size());
    return lowered(name);
}

// Text from a file as it can stand in a log line.
std::string quoted(std::string_view s) {
    std::string out = "'";
    for (const char ch : s.substr(0, 64)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F) {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    if (s.size() > 64)
        out += "...";
    return out + "'";
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

// Why a line cannot be an entry; empty when it can, with the entry set.
std::string parseLine(std::string_view line, std::string* name,
                      std::optional<std::string>* identifier) {
    if (line.size() > kMaxLine)
        return "a line longer than " + std::to_string(kMaxLine) + " bytes";
    for (const char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && ch != '\t') || c == 0x7F)
            return "a control character";
    }
    const auto w = words(line);
    if (w.size() != 2)
        return "not '<name> <kind>'";
    *name = fold(w[0]);
    if (name->empty() || name->size() > kMaxName)
        return "no usable name in " + quoted(w[0]);
    const std::string kind = lowered(w[1]);
    if (kind == "browser")
        *identifier = std::string(kBrowser);
    else if (kind == "viewer")
        *identifier = std::string(kViewer);
    else if (kind == "none")
        *identifier = std::nullopt;
    else if (w[1].find('.') != std::string_view::npos && w[1].size() <= kMaxName)
        *identifier = std::string(w[1]);
    else
        return "unknown kind " + quoted(w[1]) +
               " (browser, viewer, none, or an identifier with a dot)";
    return {};
}

// Reads a table file into text. A missing file is empty text when
// missingIsFine; anything else that cannot be read gives why.
std::optional<std::string> readTableFile(const std::string& path, bool missingIsFine,
                                         std::string* text) {
    text->clear();
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        if ((errno == ENOENT || errno == ENOTDIR) && missingIsFine)
            return std::nullopt;
        return std::string(std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return std::string(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (st.st_size > kMaxFileSize)
        return "larger than " + std::to_string(kMaxFileSize) + " bytes";
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::string(std::strerror(errno));
        if (n == 0)
            break;
        // It may have grown since fstat.
        if (text->size() + static_cast<std::size_t>(n) > static_cast<std::size_t>(kMaxFileSize))
            return "larger than " + std::to_string(kMaxFileSize) + " bytes";
        text->append(buffer, static_cast<std::size_t>(n));
    }
    return std::nullopt;
}

// The name a line gives an entry to; empty for a comment, a blank line or a
// line that cannot be read.
std::string entryName(std::string_view line) {
    line = line.substr(0, line.find('#'));
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::string name;
    std::optional<std::string> identifier;
    if (line.find_first_not_of(" \t") == std::string_view::npos ||
        !parseLine(line, &name, &identifier).empty())
        return {};
    return name;
}

}  // namespace

std::vector<std::string> ApplicationTable::add(std::string_view text, std::string_view origin) {
    std::vector<std::string> messages;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t") == std::string_view::npos)
            continue;
        std::string name;
        std::optional<std::string> identifier;
        const std::string why = parseLine(line, &name, &identifier);
        if (!why.empty()) {
            messages.push_back(std::string(origin) + ":" + std::to_string(number) + ": " + why +
                               "; line ignored");
            continue;
        }
        entries_.insert_or_assign(std::move(name), std::move(identifier));
    }
    return messages;
}

std::vector<std::string> ApplicationTable::addFile(const std::string& path, bool missingIsFine) {
    std::string text;
    if (auto why = readTableFile(path, missingIsFine, &text))
        return {"cannot read the application table " + path + ": " + *why};
    return add(text, path);
}

std::optional<std::string> ApplicationTable::lookup(const WindowApplication& window) const {
    std::vector<const std::string*> names;
    for (const auto& id : window.applicationIds)
        names.push_back(&id);
    names.push_back(&window.className);
    names.push_back(&window.instance);
    for (const std::string* name : names) {
        const std::string key = fold(*name);
        if (key.empty())
            continue;
        if (const auto it = entries_.find(key); it != entries_.end())
            return it->second;
    }
    return std::nullopt;
}

std::string ApplicationTable::identify(const WindowApplication& window) const {
    if (auto identifier = lookup(window))
        return *identifier;
    return window.className.empty() ? window.instance : window.className;
}

bool UserApplicationTable::load(std::string* error) {
    lines_.clear();
    loaded_ = false;
    std::string text;
    if (auto why = readTableFile(path_, true, &text)) {
        *error = "cannot read " + path_ + ": " + *why;
        return false;
    }
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        lines_.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    loaded_ = true;
    return true;
}

bool UserApplicationTable::set(std::string_view name, std::string_view kind, std::string* error) {
    const std::string line = std::string(name) + " " + std::string(kind);
    std::string folded;
    std::optional<std::string> identifier;
    if (name.find_first_of(" \t#") != std::string_view::npos ||
        kind.find_first_of(" \t#") != std::string_view::npos) {
        *error = "a name or kind with a space or '#'";
        return false;
    }
    if (auto why = parseLine(line, &folded, &identifier); !why.empty()) {
        *error = why;
        return false;
    }
    erase(name);
    lines_.push_back(line);
    return true;
}

bool UserApplicationTable::erase(std::string_view name) {
    const std::string folded = fold(name);
    const auto before = lines_.size();
    std::erase_if(lines_, [&](const std::string& line) { return entryName(line) == folded; });
    return lines_.size() != before;
}

std::string UserApplicationTable::text() const {
    std::string out;
    for (const auto& line : lines_)
        out += line + "\n";
    return out;
}

bool UserApplicationTable::save(std::string* error) const {
    if (!loaded_) {
        *error = path_ + " was not read; it is left as it is";
        return false;
    }
    const std::filesystem::path target(path_);
    std::error_code ec;
    if (target.has_parent_path())
        std::filesystem::create_directories(target.parent_path(), ec);
    if (ec) {
        *error = "cannot make " + target.parent_path().string() + ": " + ec.message();
        return false;
    }
    std::string temporary = path_ + ".XXXXXX";
    const Fd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        *error = "cannot write beside " + path_ + ": " + std::strerror(errno);
        return false;
    }
    const std::string content = text();
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd.get(), content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = "cannot write " + temporary + ": " + std::strerror(errno);
            ::unlink(temporary.c_str());
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    // The file keeps its permissions; a new one is readable by all, as usual.
    struct stat old {};
    ::fchmod(fd.get(), ::stat(path_.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
    if (::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        *error = "cannot replace " + path_ + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

ApplicationTablePaths defaultApplicationTablePaths() {
    ApplicationTablePaths paths;
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && exe.has_parent_path()) {
        paths.shipped =
            (exe.parent_path() / ".." / "share" / "tact" / "applications.table").lexically_normal();
    }
    std::string config;
    // A relative XDG_CONFIG_HOME is invalid and ignored.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        config = std::string(home) + "/.config";
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) {
        config = std::string(pw->pw_dir) + "/.config";
    }
    if (!config.empty())
        paths.user = config + "/tact/applications.table";
    return paths;
}

ApplicationTableFiles::ApplicationTableFiles(ApplicationTablePaths paths)
    : paths_(std::move(paths)) {
    read();
}

void ApplicationTableFiles::read() {
    stamp_ = fileStamp(paths_.user);
    table_ = ApplicationTable();
    std::vector<std::string> messages;
    if (!paths_.shipped.empty())
        messages = table_.addFile(paths_.shipped, false);
    if (!paths_.user.empty()) {
        auto more = table_.addFile(paths_.user, true);
        messages.insert(messages.end(), more.begin(), more.end());
    }
    for (const auto& m : messages)
        systemLog(LogLevel::Warning, m);
    if (systemLogEnabled(LogLevel::Debug)) {
        systemLog(LogLevel::Debug,
                  "application table: " + std::to_string(table_.size()) + " names");
    }
}

const ApplicationTable& ApplicationTableFiles::table() {
    if (fileStamp(paths_.user) != stamp_)
        read();
    return table_;
}

}  // namespace platform
