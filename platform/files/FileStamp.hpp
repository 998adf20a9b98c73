// What tells that a file changed without reading it: its identity (device,
// inode), size and modification time. Readers that re-read a file only when
// it changed compare stamps.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    bool regular = false;  // a regular file (not a folder, FIFO or device)
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// The stamp of the file at path (links followed); nothing when there is none.
inline std::optional<FileStamp> fileStamp(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return FileStamp{static_cast<std::uint64_t>(st.st_dev),
                     static_cast<std::uint64_t>(st.st_ino),
                     static_cast<std::uint64_t>(st.st_size),
                     st.st_mtim.tv_sec,
                     st.st_mtim.tv_nsec,
                     S_ISREG(st.st_mode)};
}

}  // namespace platform
