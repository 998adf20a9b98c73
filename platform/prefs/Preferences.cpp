#include "platform/prefs/Preferences.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/files/FileStamp.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/prefs/FolderWatch.hpp"
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
// Text in the file

// Length of the well-formed UTF-8 sequence at s[i] (shortest form, no
// surrogate, at most U+10FFFF), or 0 when none starts there. String applies
// the same rule when it decodes text, so what passes here reads back exactly.
std::size_t utf8SequenceAt(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80)
        return 1;
    const std::size_t need = (c >= 0xC2 && c <= 0xDF)   ? 1
                             : (c >= 0xE0 && c <= 0xEF) ? 2
                             : (c >= 0xF0 && c <= 0xF4) ? 3
                                                        : 0;
    if (need == 0 || i + need >= s.size())
        return 0;
    char32_t v = c & (0x3F >> need);
    for (std::size_t k = 1; k <= need; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (v < kMin[need] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    return need + 1;
}

bool isUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8SequenceAt(s, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

// s for a log line: every byte that is not part of UTF-8 text as \xNN.
std::string printable(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        if (const std::size_t n = utf8SequenceAt(s, i); n != 0) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(s[i]));
            out += buf;
            ++i;
        }
    }
    return out;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Where a top-level key's value holds text that is not UTF-8: the parsed
// values have U+FFFD in its place, and saving them would put that in the
// file for good, so such a key is not used at all.
struct BadText {
    std::string rawKey;  // the top-level key as its bytes in the file
    std::string where;   // the path inside its value, empty for the value or the key itself
    bool inKey = false;  // the text is a key (the top-level one when where is empty)
};

// Looks through libplist's own nodes, which still hold the bytes of the
// file, for strings and keys that are not UTF-8.
class BadTextFinder {
  public:
    std::vector<BadText> found;

    void top(plist_t root) {
        forEachEntry(root, [&](const char* key, plist_t item) {
            const std::string rawKey = key;
            if (!isUtf8(rawKey)) {
                found.push_back({rawKey, "", true});
                return;
            }
            std::string where;
            bool inKey = false;
            if (scan(item, "", where, inKey))
                found.push_back({rawKey, where, inKey});
        });
    }

  private:
    template <typename Fn>
    static void forEachEntry(plist_t dict, Fn&& fn) {
        plist_dict_iter rawIter = nullptr;
        plist_dict_new_iter(dict, &rawIter);
        std::unique_ptr<void, FreeDeleter> iter(rawIter);
        if (!iter)
            return;
        for (;;) {
            char* rawKey = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(dict, iter.get(), &rawKey, &item);
            std::unique_ptr<char, FreeDeleter> key(rawKey);
            if (!item)
                break;
            if (key)
                fn(key.get(), item);
        }
    }

    // True at the first bad text inside node, with its path in where.
    static bool scan(plist_t node, const std::string& path, std::string& where, bool& inKey) {
        switch (plist_get_node_type(node)) {
            case PLIST_STRING: {
                std::uint64_t len = 0;
                const char* p = plist_get_string_ptr(node, &len);
                if (p && !isUtf8(std::string_view(p, len))) {
                    where = path;
                    return true;
                }
                return false;
            }
            case PLIST_ARRAY: {
                const std::uint32_t n = plist_array_get_size(node);
                for (std::uint32_t i = 0; i < n; ++i) {
                    plist_t item = plist_array_get_item(node, i);
                    if (item && scan(item, path + "/" + std::to_string(i), where, inKey))
                        return true;
                }
                return false;
            }
            case PLIST_DICT: {
                bool hit = false;
                forEachEntry(node, [&](const char* key, plist_t item) {
                    if (hit)
                        return;
                    const std::string inner = path + "/" + printable(key);
                    if (!isUtf8(key)) {
                        where = inner;
                        inKey = true;
                        hit = true;
                    } else {
                        hit = scan(item, inner, where, inKey);
                    }
                });
                return hit;
            }
            default:
                return false;
        }
    }
};

// The keys of a property list that hold text that is not UTF-8. Only called
// on bytes plist::parse() accepted, so libplist is safe on them.
std::vector<BadText> findBadText(std::string_view bytes) {
    // libplist turns binary UTF-16 and XML character references into UTF-8
    // of its own making, and copies everything else as it stands: plain UTF-8
    // XML without references holds nothing to find.
    const bool binary = bytes.starts_with("bplist");
    if (!binary && isUtf8(bytes) && bytes.find("&#") == std::string_view::npos)
        return {};
    plist_t raw = nullptr;
    const auto size = static_cast<std::uint32_t>(bytes.size());
    if (binary) {
        plist_from_bin(bytes.data(), size, &raw);
    } else {
        plist_from_xml(bytes.data(), size, &raw);  // numbers are not looked at
    }
    plist::Node root(raw);
    BadTextFinder finder;
    if (root && plist_get_node_type(root.get()) == PLIST_DICT)
        finder.top(root.get());
    return finder.found;
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
    // Keys left out because their text is not UTF-8; the file's bytes are
    // kept then, to be put aside before the file is rewritten.
    std::vector<std::string> refused;
    std::string bytes;
};

// Reads the domain file. Never waits on another process: it takes no lock
// (writers replace the file in one rename, so it is always whole) and opens
// without blocking, so a FIFO in the file's place is refused, not waited on.
Snapshot readDomainFile(const std::string& path) {
    Snapshot snap;
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
    auto value = plist::parse(bytes);
    if (!value) {
        snap.state = Snapshot::State::Corrupt;
        snap.problem = value.error().detail;
    } else if (!value->isDictionary()) {
        snap.state = Snapshot::State::Corrupt;
        snap.problem = std::string("its top level is ") + Value::typeName(value->type()) +
                       ", not a dictionary";
    } else {
        snap.state = Snapshot::State::Valid;
        snap.values = std::move(*value->asDictionary());
        for (const BadText& bad : findBadText(bytes)) {
            snap.values.erase(String(std::string_view(bad.rawKey)));
            std::string name = "\"" + printable(bad.rawKey) + "\"";
            if (bad.where.empty() && bad.inKey) {
                name += " (in its name)";
            } else if (!bad.where.empty()) {
                name +=
                    " (at " + printable(bad.rawKey) + bad.where + (bad.inKey ? ", a key)" : ")");
            }
            snap.refused.push_back(std::move(name));
        }
        if (!snap.refused.empty())
            snap.bytes = std::move(bytes);
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

// How long a save waits for another program to release the domain's lock.
constexpr std::chrono::milliseconds kLockWait{3000};

// An exclusive flock on "<file>.lock", taken only to save: the domain file
// itself is replaced by rename, so a lock on it would go with the old file.
// Readers take no lock, so only other saves (and people editing under the
// lock) can hold it, and a save waits for them at most kLockWait.
class DomainLock {
  public:
    enum class Failure { None, Busy, Other };

    static std::optional<DomainLock> take(const std::string& lockPath, Failure* failure,
                                          std::string* error) {
        *failure = Failure::Other;
        // The lock is only ever a regular file of its own: never a folder, a
        // FIFO (opening one can block) or a link to some other file.
        struct stat st {};
        if (::lstat(lockPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            *error = "its lock " + lockPath + " is " + kindOf(st.st_mode) +
                     ", not a regular file; remove it";
            return std::nullopt;
        }
        Fd fd(::open(lockPath.c_str(),
                     O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600));
        if (!fd) {
            *error = "cannot open its lock " + lockPath + ": " +
                     (errno == ELOOP ? std::string("a symbolic link") : errnoText(errno));
            return std::nullopt;
        }
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            *error = "its lock " + lockPath + " is " + kindOf(st.st_mode) +
                     ", not a regular file; remove it";
            return std::nullopt;
        }
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        // Short pauses: a save that finds the lock taken by a busy writer
        // must still catch it free between that writer's saves.
        auto pause = std::chrono::milliseconds(1);
        while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK) {
                *error = "cannot lock " + lockPath + ": " + errnoText(errno);
                return std::nullopt;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                *failure = Failure::Busy;
                *error = "another program holds its lock " + lockPath + " (waited " +
                         std::to_string(kLockWait.count() / 1000) + " s)";
                return std::nullopt;
            }
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
            pause = std::min(pause * 2, std::chrono::milliseconds(10));
        }
        *failure = Failure::None;
        return DomainLock(std::move(fd));
    }

  private:
    explicit DomainLock(Fd fd) : fd_(std::move(fd)) {}

    static std::string kindOf(mode_t mode) {
        if (S_ISDIR(mode))
            return "a folder";
        if (S_ISFIFO(mode))
            return "a FIFO";
        if (S_ISLNK(mode))
            return "a symbolic link";
        if (S_ISSOCK(mode))
            return "a socket";
        if (S_ISCHR(mode) || S_ISBLK(mode))
            return "a device";
        return "not a file";
    }

    Fd fd_;  // closing it releases the lock
};

// The file a save replaces: path itself, or, when path is a symbolic link
// (a dotfile manager's, say), the file it finally points to, which need not
// exist yet. The link stays as it is.
std::optional<std::string> saveTarget(const std::string& path, std::string* error) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        std::string link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
            *error = "cannot read the symbolic link " + current + ": " +
                     (n < 0 ? errnoText(errno) : std::string("too long"));
            return std::nullopt;
        }
        link.resize(static_cast<std::size_t>(n));
        if (link.empty()) {
            *error = "the symbolic link " + current + " is empty";
            return std::nullopt;
        }
        if (link[0] != '/')
            link = current.substr(0, current.rfind('/') + 1) + link;
        current = std::move(link);
    }
    *error = "too many levels of symbolic links at " + path;
    return std::nullopt;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

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

void syncFolder(const std::string& dir) {
    if (Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dirFd) {
        ::fsync(dirFd.get());
    }
}

// Writes content to path through a temporary file in the same folder, so
// that readers see either the old file or the new one, whole.
bool replaceFile(const std::string& path, const std::string& content, mode_t mode,
                 std::string* error) {
    const std::string dir = folderOf(path);
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
    syncFolder(dir);  // the rename is durable once the folder is
    return true;
}

// "<path><suffix>", or "<path><suffix>.1", ".2"... when earlier ones remain;
// make(name) creates it without replacing anything and fails with EEXIST
// when name is taken.
template <typename Make>
bool besideUnused(const std::string& path, const std::string& suffix, Make&& make,
                  std::string* madeAs, std::string* error) {
    for (int n = 0; n < 1000; ++n) {
        std::string name = path + suffix + (n == 0 ? "" : "." + std::to_string(n));
        if (make(name)) {
            *madeAs = name;
            return true;
        }
        if (errno == EEXIST)
            continue;
        *error = "cannot keep " + path + " as " + name + ": " + errnoText(errno);
        return false;
    }
    *error = "cannot keep " + path + " aside: too many " + suffix + " files";
    return false;
}

// Renames a file that cannot be read as a property list to
// "<name>.corrupt", or ".corrupt.1", ".corrupt.2"... when earlier ones remain.
bool moveAside(const std::string& path, std::string* movedTo, std::string* error) {
    return besideUnused(
        path, ".corrupt",
        [&](const std::string& target) {
            if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
                0)
                return true;
            if (errno != EINVAL && errno != ENOSYS)
                return false;
            // A file system without no-replace renames; we hold the domain lock.
            struct stat st {};
            if (::lstat(target.c_str(), &st) == 0) {
                errno = EEXIST;
                return false;
            }
            return ::rename(path.c_str(), target.c_str()) == 0;
        },
        movedTo, error);
}

// Keeps a copy of bytes, the file as it was read, as "<path>.invalid-utf8"
// (".1", ".2"... beside earlier ones, which are never replaced).
bool keepCopy(const std::string& path, const std::string& bytes, std::string* keptAs,
              std::string* error) {
    return besideUnused(
        path, ".invalid-utf8",
        [&](const std::string& name) {
            Fd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
            if (!fd)
                return false;
            if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || !fd.close()) {
                const int err = errno;
                ::unlink(name.c_str());
                errno = err == EEXIST ? EIO : err;
                return false;
            }
            syncFolder(folderOf(name));
            return true;
        },
        keptAs, error);
}

// ---------------------------------------------------------------------------
// Domains

struct DomainState {
    std::string fileName;  // "<domain>.plist"
    bool loaded = false;
    Dictionary values;  // as read at the last synchronise
    // This process's writes since then, in order; nullopt removes the key.
    std::vector<std::pair<String, std::optional<Value>>> pending;
    std::string reported;  // identity of the last file state we complained about
    // The file may have changed since it was read: the folder watch named it.
    bool stale = false;
    // The folder watch does not see this file's changes (it is a symbolic
    // link, or the folder is not watched): its stamp is compared instead.
    bool byStamp = false;
    std::optional<FileStamp> stamp;  // of the file as read, when byStamp
    std::uint64_t generation = 0;    // see preferencesGeneration()
};

struct Store {
    std::mutex mutex;
    std::string directory;  // set by setPreferencesDirectory; empty: the default
    std::string resolved;   // the folder in use, looked up once
    std::map<String, DomainState> domains;
    // Tells which domain files changed, so that synchronising a domain whose
    // file did not change reads nothing.
    FolderWatch watch;
    std::uint64_t generations = 0;  // the last generation handed out
    std::uint64_t fileReads = 0;
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

const std::string& directoryLocked(Store& s) {
    if (s.resolved.empty())
        s.resolved = s.directory.empty() ? defaultDirectory() : s.directory;
    return s.resolved;
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
    const bool bad = snap.state == Snapshot::State::Corrupt ||
                     snap.state == Snapshot::State::Unreadable || !snap.refused.empty();
    if (!bad) {
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
    } else if (snap.state == Snapshot::State::Unreadable) {
        systemLog(LogLevel::Warning,
                  "preferences file " + path + " cannot be read (" + snap.problem + ")");
    }
    if (!snap.refused.empty()) {
        // One entry names them all (the log limits entries of a kind).
        std::string keys;
        for (const std::string& key : snap.refused)
            keys += (keys.empty() ? "" : ", ") + key;
        std::string ignored;
        const std::string keptAs = saveTarget(path, &ignored).value_or(path) + ".invalid-utf8";
        systemLog(LogLevel::Warning, "preferences file " + path +
                                         ": text that is not valid UTF-8 in " +
                                         (snap.refused.size() == 1 ? "key " : "keys ") + keys +
                                         "; not used, and the file is kept as it is in " + keptAs +
                                         " before new values are saved");
    }
}

// The domain's state, made on first use; nullptr (with a log entry) when the
// domain cannot name a file.
DomainState* domainState(Store& s, const String& applicationID) {
    if (auto it = s.domains.find(applicationID); it != s.domains.end())
        return &it->second;
    auto name = fileName(applicationID);
    if (!name)
        return nullptr;
    DomainState& st = s.domains[applicationID];
    st.fileName = std::move(*name);
    st.generation = ++s.generations;
    return &st;
}

std::string domainPath(Store& s, const DomainState& st) {
    return directoryLocked(s) + "/" + st.fileName;
}

// Marks the domains whose files the folder watch named since the last look.
void noteChanges(Store& s) {
    if (!s.watch.watching())
        return;
    FolderWatch::Changes changes = s.watch.take();
    for (auto& [id, st] : s.domains) {
        if (changes.everything) {
            st.stale = true;
            continue;
        }
        for (const std::string& name : changes.names) {
            if (name == st.fileName)
                st.stale = true;
        }
    }
}

// How the domain will notice that its file changed: through the folder
// watch, or, for a file the watch does not see, by its stamp. Taken before
// the file is read (a change during the read then shows at the next look),
// or after this process wrote it under the lock.
void takeStamp(Store& s, DomainState& st, const std::string& path) {
    struct stat link {};
    st.byStamp =
        !s.watch.watching() || (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode));
    st.stamp = st.byStamp ? fileStamp(path) : std::nullopt;
}

// Reads a domain file, watching its folder first so that every change after
// the read is seen. When the folder watch starts afresh, what it missed is
// unknown, so every domain is read again at its next synchronise.
Snapshot readWatched(Store& s, DomainState& st, const std::string& path) {
    const std::string& dir = directoryLocked(s);
    if (s.watch.watching() && s.watch.folder() == dir) {
        noteChanges(s);
    } else if (s.watch.watch(dir)) {
        for (auto& [id, other] : s.domains)
            other.stale = true;
    }
    takeStamp(s, st, path);
    ++s.fileReads;
    return readDomainFile(path);
}

// The cache now holds what the file says.
void markRead(Store& s, DomainState& st) {
    st.stale = false;
    st.loaded = true;
    st.generation = ++s.generations;
}

// Whether the cache still holds what the domain file says, found without
// opening or reading the file: one read of the folder watch, or, for a file
// it does not see, one stat.
bool upToDate(Store& s, DomainState& st) {
    if (!st.loaded)
        return false;
    noteChanges(s);
    if (st.stale)
        return false;
    return !st.byStamp || fileStamp(domainPath(s, st)) == st.stamp;
}

// Reads the domain file into the cache. Takes no lock and creates nothing.
void load(Store& s, DomainState& st) {
    const std::string path = domainPath(s, st);
    Snapshot snap = readWatched(s, st, path);
    report(st, path, snap);
    st.values = snap.state == Snapshot::State::Valid ? std::move(snap.values) : Dictionary();
    markRead(s, st);
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

bool synchronize(Store& s, DomainState& st) {
    if (st.pending.empty()) {
        if (!upToDate(s, st))
            load(s, st);
        return true;
    }
    const std::string& dir = directoryLocked(s);
    const std::string path = dir + "/" + st.fileName;

    // No folder yet means no file: nothing to lock or read, and the folder is
    // only made when there is something to write.
    if (!isDirectory(dir)) {
        Dictionary next;
        applyPending(next, st.pending);
        if (next.empty()) {
            st.pending.clear();
            st.values = Dictionary();
            takeStamp(s, st, path);
            markRead(s, st);
            return true;
        }
        std::string error;
        if (!makeDirectories(dir, &error)) {
            systemLog(LogLevel::Error, "preferences: cannot save " + path + ": " + error);
            return false;
        }
    }

    // The lock stays beside the name the programs use; the file written is
    // the one a symbolic link there points to.
    std::string error;
    DomainLock::Failure failure = DomainLock::Failure::None;
    auto lock = DomainLock::take(path + ".lock", &failure, &error);
    if (!lock) {
        systemLog(failure == DomainLock::Failure::Busy ? LogLevel::Warning : LogLevel::Error,
                  "preferences: cannot save " + path + " now: " + error +
                      "; the changes are kept for the next save");
        return false;
    }
    const auto target = saveTarget(path, &error);
    if (!target) {
        systemLog(LogLevel::Error, "preferences: cannot save " + path + ": " + error);
        return false;
    }
    Snapshot snap = readWatched(s, st, path);
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

    auto xml = plist::toXml(Value(next), path);
    if (!xml) {
        systemLog(LogLevel::Error, "preferences: cannot save " + path + ": " + xml.error().detail);
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
            if (!moveAside(*target, &movedTo, &error)) {
                systemLog(LogLevel::Error, "preferences: cannot save " + path + ": " + error);
                return false;
            }
            systemLog(LogLevel::Warning, "preferences: moved unusable " + path + " to " + movedTo);
        }
        if (!snap.refused.empty()) {
            // The keys left out would be gone from the new file: the old one
            // is kept as it was, byte for byte.
            std::string keptAs;
            if (!keepCopy(*target, snap.bytes, &keptAs, &error)) {
                systemLog(LogLevel::Error, "preferences: cannot save " + path + ": " + error);
                return false;
            }
            systemLog(LogLevel::Warning, "preferences: kept " + path +
                                             ", which holds text that is not valid UTF-8, as " +
                                             keptAs + " before saving");
        }
        const mode_t mode = snap.state == Snapshot::State::Valid ? snap.mode : 0600;
        if (!replaceFile(*target, *xml, mode, &error)) {
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
    // What the watch has told about this file so far is this save or came
    // before the read above: the lock kept other saves out in between.
    noteChanges(s);
    takeStamp(s, st, path);
    markRead(s, st);
    return true;
}

}  // namespace

std::optional<Value> CFPreferencesCopyAppValue(const String& key, const String& applicationID) {
    try {
        Store& s = store();
        std::lock_guard guard(s.mutex);
        DomainState* st = domainState(s, applicationID);
        if (!st)
            return std::nullopt;
        for (auto it = st->pending.rbegin(); it != st->pending.rend(); ++it) {
            if (it->first == key)
                return it->second;
        }
        if (!st->loaded)
            load(s, *st);
        if (const Value* v = st->values.find(key))
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
        Store& s = store();
        std::lock_guard guard(s.mutex);
        DomainState* st = domainState(s, applicationID);
        if (!st)
            return;
        std::erase_if(st->pending, [&](const auto& entry) { return entry.first == key; });
        st->pending.emplace_back(key, value);
        st->generation = ++s.generations;
    } catch (const std::exception& e) {
        systemLog(LogLevel::Error, std::string("preferences: ") + e.what());
    }
}

bool CFPreferencesAppSynchronize(const String& applicationID) {
    try {
        Store& s = store();
        std::lock_guard guard(s.mutex);
        DomainState* st = domainState(s, applicationID);
        return st && synchronize(s, *st);
    } catch (const std::exception& e) {
        systemLog(LogLevel::Error, std::string("preferences: ") + e.what());
        return false;
    }
}

std::uint64_t preferencesGeneration(const String& applicationID) {
    Store& s = store();
    std::lock_guard guard(s.mutex);
    const DomainState* st = domainState(s, applicationID);
    return st ? st->generation : 0;
}

std::uint64_t preferencesFileReads() {
    Store& s = store();
    std::lock_guard guard(s.mutex);
    return s.fileReads;
}

void setPreferencesDirectory(const std::string& directory) {
    Store& s = store();
    std::lock_guard guard(s.mutex);
    s.directory = directory;
    s.resolved.clear();
    s.domains.clear();
    s.watch.stop();
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
