#include "platform/prefs/Preferences.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/log/SystemLog.hpp"
#include "platform/prefs/PlistCodec.hpp"

namespace platform {
namespace {

// An open file descriptor, closed when it goes.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now and reports whether the close succeeded.
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

  private:
    void reset() {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }
    int fd_ = -1;
};

std::string errnoText(int err) {
    return std::strerror(err);
}

// ---------------------------------------------------------------------------
// Files

struct Snapshot {
    enum class State { Missing, Valid, Corrupt, Unreadable };
    State state = State::Missing;
    Dictionary values;
    std::string problem;   // why it is corrupt or unreadable
    std::string identity;  // which version of the file this is, for diagnostics
    mode_t mode = 0600;
};

Snapshot readDomainFile(const std::string& path) {
    Snapshot snap;
    // O_NONBLOCK: a FIFO put in the file's place must not hang the reader
    // before the regular-file check below refuses it.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT)
            return snap;
        snap.state = Snapshot::State::Unreadable;
        snap.problem = errnoText(errno);
        snap.identity = "error:" + snap.problem;
        return snap;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        snap.state = Snapshot::State::Unreadable;
        snap.problem = "not a regular file";
        snap.identity = "error:" + snap.problem;
        return snap;
    }
    snap.mode = st.st_mode & 07777;
    snap.identity = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
                    std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
                    std::to_string(st.st_mtim.tv_nsec);
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            snap.state = Snapshot::State::Unreadable;
            snap.problem = errnoText(errno);
            return snap;
        }
        if (n == 0)
            break;
        bytes.append(buf, static_cast<std::size_t>(n));
        if (bytes.size() > plist::kMaxBytes)
            break;  // parse() names the size
    }
    std::string error;
    auto value = plist::parse(bytes, &error);
    if (!value) {
        snap.state = Snapshot::State::Corrupt;
        snap.problem = error;
    } else if (!value->isDictionary()) {
        snap.state = Snapshot::State::Corrupt;
        snap.problem = std::string("its top level is ") + Value::typeName(value->type()) +
                       ", not a dictionary";
    } else {
        snap.state = Snapshot::State::Valid;
        snap.values = std::move(*value->asDictionary());
    }
    return snap;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p; the folders it makes are private to the user.
bool makeDirectories(const std::string& dir, std::string* error) {
    if (isDirectory(dir))
        return true;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        std::string part = dir.substr(0, pos);
        if (part.empty() || isDirectory(part))
            continue;
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create " + part + ": " + errnoText(errno);
            return false;
        }
    }
    if (!isDirectory(dir)) {
        *error = dir + " is not a folder";
        return false;
    }
    return true;
}

// flock on "<file>.lock"; the domain file itself is replaced by rename, so a
// lock on it would be lost with the old file.
class DomainLock {
  public:
    static std::optional<DomainLock> take(const std::string& lockPath, bool exclusive,
                                          std::string* error) {
        Fd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600));
        if (!fd && !exclusive)
            fd = Fd(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) {
            *error = "cannot open " + lockPath + ": " + errnoText(errno);
            return std::nullopt;
        }
        while (::flock(fd.get(), exclusive ? LOCK_EX : LOCK_SH) != 0) {
            if (errno == EINTR)
                continue;
            *error = "cannot lock " + lockPath + ": " + errnoText(errno);
            return std::nullopt;
        }
        return DomainLock(std::move(fd));
    }

  private:
    explicit DomainLock(Fd fd) : fd_(std::move(fd)) {}
    Fd fd_;  // closing it releases the lock
};

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writes content to path through a temporary file in the same folder, so
// that readers see either the old file or the new one, whole.
bool replaceFile(const std::string& dir, const std::string& path, const std::string& content,
                 mode_t mode, std::string* error) {
    std::string temp = path + ".XXXXXX";
    Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        *error = "cannot create a file in " + dir + ": " + errnoText(errno);
        return false;
    }
    struct Remove {
        const std::string& name;
        bool keep = false;
        ~Remove() {
            if (!keep)
                ::unlink(name.c_str());
        }
    } remove{temp};
    if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), content) || ::fsync(fd.get()) != 0 ||
        !fd.close()) {
        *error = "cannot write " + temp + ": " + errnoText(errno);
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + temp + " to " + path + ": " + errnoText(errno);
        return false;
    }
    remove.keep = true;
    // The rename is durable once the folder is.
    if (Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dirFd) {
        ::fsync(dirFd.get());
    }
    return true;
}

// Renames a file that cannot be read as a property list to
// "<name>.corrupt", or ".corrupt.1", ".corrupt.2"... when earlier ones remain.
bool moveAside(const std::string& path, std::string* movedTo, std::string* error) {
    for (int n = 0; n < 1000; ++n) {
        std::string target = path + ".corrupt" + (n == 0 ? "" : "." + std::to_string(n));
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            *movedTo = target;
            return true;
        }
        if (errno == EEXIST)
            continue;
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system without no-replace renames; we hold the domain lock.
            struct stat st {};
            if (::lstat(target.c_str(), &st) == 0)
                continue;
            if (::rename(path.c_str(), target.c_str()) == 0) {
                *movedTo = target;
                return true;
            }
        }
        *error = "cannot move " + path + " to " + target + ": " + errnoText(errno);
        return false;
    }
    *error = "cannot move " + path + " aside: too many .corrupt files";
    return false;
}

// ---------------------------------------------------------------------------
// Domains

struct DomainState {
    bool loaded = false;
    Dictionary values;  // as read at the last synchronise
    // This process's writes since then, in order; nullopt removes the key.
    std::vector<std::pair<String, std::optional<Value>>> pending;
    std::string reported;  // identity of the last file state we complained about
};

struct Store {
    std::mutex mutex;
    std::string directory;  // set by setPreferencesDirectory; empty: the default
    std::map<String, DomainState> domains;
};

Store& store() {
    static Store s;
    return s;
}

std::string defaultDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is invalid and ignored.
    if (xdg && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.config";
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) {
        return std::string(pw->pw_dir) + "/.config";
    }
    return "/tmp";
}

std::string directoryLocked(const Store& s) {
    return s.directory.empty() ? defaultDirectory() : s.directory;
}

// The domain as a file name, or nullopt (with a log entry) when it cannot be one.
std::optional<std::string> fileName(const String& domain) {
    auto name = domain.utf8();
    if (!name || name->empty() || *name == "." || *name == ".." ||
        name->find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
        systemLog(LogLevel::Error,
                  "preferences: \"" + domain.toUtf8Lossy() + "\" cannot name a preferences file");
        return std::nullopt;
    }
    return *name + ".plist";
}

void report(DomainState& st, const std::string& path, const Snapshot& snap) {
    if (snap.state != Snapshot::State::Corrupt && snap.state != Snapshot::State::Unreadable) {
        st.reported.clear();
        return;
    }
    if (st.reported == snap.identity)
        return;
    st.reported = snap.identity;
    if (snap.state == Snapshot::State::Corrupt) {
        systemLog(LogLevel::Warning, "preferences file " + path +
                                         " is not a usable property list (" + snap.problem +
                                         "); its values are ignored, and it is moved to " + path +
                                         ".corrupt before new values are saved");
    } else {
        systemLog(LogLevel::Warning,
                  "preferences file " + path + " cannot be read (" + snap.problem + ")");
    }
}

// Reads the domain file under a shared lock into the cache.
void load(DomainState& st, const std::string& path) {
    Snapshot snap;
    if (::access(path.c_str(), F_OK) == 0) {
        std::string error;
        auto lock = DomainLock::take(path + ".lock", false, &error);  // unlocked if we can't
        snap = readDomainFile(path);
    } else {
        snap = readDomainFile(path);  // missing (or unreachable: reported)
    }
    report(st, path, snap);
    st.values = snap.state == Snapshot::State::Valid ? std::move(snap.values) : Dictionary();
    st.loaded = true;
}

void applyPending(Dictionary& d,
                  const std::vector<std::pair<String, std::optional<Value>>>& pending) {
    for (const auto& [key, value] : pending) {
        if (value) {
            d.set(key, *value);
        } else {
            d.erase(key);
        }
    }
}

bool synchronize(DomainState& st, const std::string& dir, const std::string& path) {
    if (st.pending.empty()) {
        load(st, path);
        return true;
    }

    // No folder yet means no file: nothing to lock or read, and the folder is
    // only made when there is something to write.
    if (!isDirectory(dir)) {
        Dictionary next;
        applyPending(next, st.pending);
        if (next.empty()) {
            st.pending.clear();
            st.values = Dictionary();
            st.loaded = true;
            return true;
        }
        std::string error;
        if (!makeDirectories(dir, &error)) {
            systemLog(LogLevel::Error, "preferences: cannot save " + path + ": " + error);
            return false;
        }
    }

    std::string error;
    auto lock = DomainLock::take(path + ".lock", true, &error);
    if (!lock) {
        systemLog(LogLevel::Error, "preferences: cannot save " + path + ": " + error);
        return false;
    }
    Snapshot snap = readDomainFile(path);
    report(st, path, snap);
    if (snap.state == Snapshot::State::Unreadable) {
        systemLog(LogLevel::Error, "preferences: not saving " + path +
                                       ", which exists but cannot be read (" + snap.problem + ")");
        return false;
    }
    const bool corrupt = snap.state == Snapshot::State::Corrupt;
    Dictionary base = snap.state == Snapshot::State::Valid ? std::move(snap.values) : Dictionary();
    Dictionary next = base;
    applyPending(next, st.pending);

    auto xml = plist::toXml(Value(next), path, &error);
    if (!xml) {
        systemLog(LogLevel::Error, "preferences: cannot save " + path + ": " + error);
        return false;
    }
    bool changed = true;  // a corrupt file is always replaced
    if (snap.state == Snapshot::State::Missing) {
        changed = !next.empty();
    } else if (!corrupt) {
        auto before = plist::toXml(Value(base), path);
        changed = !before || *before != *xml;
    }
    if (changed) {
        if (corrupt) {
            std::string movedTo;
            if (!moveAside(path, &movedTo, &error)) {
                systemLog(LogLevel::Error, "preferences: cannot save " + path + ": " + error);
                return false;
            }
            systemLog(LogLevel::Warning, "preferences: moved unusable " + path + " to " + movedTo);
        }
        const mode_t mode = snap.state == Snapshot::State::Valid ? snap.mode : 0600;
        if (!replaceFile(dir, path, *xml, mode, &error)) {
            systemLog(LogLevel::Error, "preferences: cannot save " + path + ": " + error);
            return false;
        }
        // The cache holds what the file now says (text that could not be
        // written as it was reads back as written).
        if (auto written = plist::parse(*xml); written && written->isDictionary()) {
            next = std::move(*written->asDictionary());
        }
        st.reported.clear();
    }
    st.pending.clear();
    st.values = std::move(next);
    st.loaded = true;
    return true;
}

}  // namespace

std::optional<Value> CFPreferencesCopyAppValue(const String& key, const String& applicationID) {
    try {
        auto name = fileName(applicationID);
        if (!name)
            return std::nullopt;
        Store& s = store();
        std::lock_guard guard(s.mutex);
        DomainState& st = s.domains[applicationID];
        for (auto it = st.pending.rbegin(); it != st.pending.rend(); ++it) {
            if (it->first == key)
                return it->second;
        }
        if (!st.loaded)
            load(st, directoryLocked(s) + "/" + *name);
        if (const Value* v = st.values.find(key))
            return *v;
        return std::nullopt;
    } catch (const std::exception& e) {
        systemLog(LogLevel::Error, std::string("preferences: ") + e.what());
        return std::nullopt;
    }
}

void CFPreferencesSetAppValue(const String& key, const std::optional<Value>& value,
                              const String& applicationID) {
    try {
        if (!fileName(applicationID))
            return;
        Store& s = store();
        std::lock_guard guard(s.mutex);
        auto& pending = s.domains[applicationID].pending;
        std::erase_if(pending, [&](const auto& entry) { return entry.first == key; });
        pending.emplace_back(key, value);
    } catch (const std::exception& e) {
        systemLog(LogLevel::Error, std::string("preferences: ") + e.what());
    }
}

bool CFPreferencesAppSynchronize(const String& applicationID) {
    try {
        auto name = fileName(applicationID);
        if (!name)
            return false;
        Store& s = store();
        std::lock_guard guard(s.mutex);
        const std::string dir = directoryLocked(s);
        return synchronize(s.domains[applicationID], dir, dir + "/" + *name);
    } catch (const std::exception& e) {
        systemLog(LogLevel::Error, std::string("preferences: ") + e.what());
        return false;
    }
}

void setPreferencesDirectory(const std::string& directory) {
    Store& s = store();
    std::lock_guard guard(s.mutex);
    s.directory = directory;
    s.domains.clear();
}

std::string preferencesDirectory() {
    Store& s = store();
    std::lock_guard guard(s.mutex);
    return directoryLocked(s);
}

std::string preferencesPath(const String& applicationID) {
    return preferencesDirectory() + "/" + applicationID.toUtf8Lossy() + ".plist";
}

}  // namespace platform
