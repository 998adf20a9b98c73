#include "platform/prefs/FolderWatch.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>

namespace platform {
namespace {

// A file's content is whole again once its writer closes it or once a new
// file is renamed into its place; creating, removing, moving it away and
// changing its permissions count too. Plain writes do not: the file is only
// half written then.
constexpr std::uint32_t kFileEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB;
constexpr std::uint32_t kFolderGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

}  // namespace

FolderWatch::~FolderWatch() {
    if (fd_ >= 0)
        ::close(fd_);  // takes the watch with it
}

bool FolderWatch::watch(const std::string& folder) {
    stop();
    if (fd_ < 0) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0)
            return false;
    }
    watch_ = ::inotify_add_watch(fd_, folder.c_str(), kFileEvents | kFolderGone | IN_ONLYDIR);
    if (watch_ < 0)
        return false;
    folder_ = folder;
    return true;
}

void FolderWatch::stop() {
    if (watch_ >= 0)
        ::inotify_rm_watch(fd_, watch_);  // what it still queued is told apart by its number
    watch_ = -1;
    folder_.clear();
}

FolderWatch::Changes FolderWatch::take() {
    Changes changes;
    if (fd_ < 0)
        return changes;
    alignas(inotify_event) std::array<std::byte, 4096> buffer;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            changes.everything = watching();  // cannot tell: assume the worst
            stop();
        }
        if (n <= 0)
            break;
        std::span<const std::byte> events(buffer.data(), static_cast<std::size_t>(n));
        while (events.size() >= sizeof(inotify_event)) {
            inotify_event event;
            std::memcpy(&event, events.data(), sizeof event);
            const std::size_t size = sizeof event + event.len;
            if (event.len > events.size() - sizeof event) {
                changes.everything = watching();  // a record cut short
                stop();
                break;
            }
            const auto nameBytes = events.subspan(sizeof event, event.len);
            events = events.subspan(size);
            if (event.mask & IN_Q_OVERFLOW) {
                changes.everything = watching();
                stop();
                continue;
            }
            if (event.wd != watch_ || watch_ < 0)
                continue;  // a folder watched before
            if (event.mask & kFolderGone) {
                changes.everything = true;
                stop();
                continue;
            }
            // The name is padded with NULs to its record's length.
            const auto* text = reinterpret_cast<const char*>(nameBytes.data());
            const std::string_view name(text, ::strnlen(text, nameBytes.size()));
            if (!name.empty())
                changes.names.emplace_back(name);
        }
    }
    return changes;
}

}  // namespace platform
