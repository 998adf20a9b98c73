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

constexpr std::string_view kBrowser = "com.apple.Safari";
constexpr std::string_view kViewer = "com.apple.Preview";

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
    const auto cannot = [&](const std::string& why) {
        return std::vector<std::string>{"cannot read the application table " + path + ": " + why};
    };
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        if ((errno == ENOENT || errno == ENOTDIR) && missingIsFine)
            return {};
        return cannot(std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return cannot(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return cannot("not a regular file");
    if (st.st_size > kMaxFileSize)
        return cannot("larger than " + std::to_string(kMaxFileSize) + " bytes");
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return cannot(std::strerror(errno));
        if (n == 0)
            break;
        // It may have grown since fstat.
        if (text.size() + static_cast<std::size_t>(n) > static_cast<std::size_t>(kMaxFileSize))
            return cannot("larger than " + std::to_string(kMaxFileSize) + " bytes");
        text.append(buffer, static_cast<std::size_t>(n));
    }
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
