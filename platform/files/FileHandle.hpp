// An open file, closed when the handle goes away.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace platform {

class FileHandle {
  public:
    FileHandle() = default;
    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    // Why a file was not opened: it is a symbolic link, it is not a regular
    // file, or something else went wrong (missing, no permission, ...).
    struct OpenError {
        enum class Kind { Failed, Link, NotRegular };
        Kind kind = Kind::Failed;
        std::string reason;
    };

    // Opens an existing regular file for writing at its start, without
    // creating or truncating it. A symbolic link is refused, not followed
    // (links among the folders of the path are followed). Anything else
    // (missing, a link, a directory, a FIFO, a device, no permission) gives
    // nullopt and, in *error, the reason.
    static std::optional<FileHandle> openExistingForWriting(const std::string& path,
                                                            OpenError* error = nullptr);

    // Whether the open file is the one at path (same device and inode, links
    // followed): another name of the same file counts. False when nothing is
    // open or there is no file at path.
    bool isSameFileAs(const std::string& path) const;

    bool isOpen() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }

    // Writes all bytes at the current position; false on a write error.
    bool write(std::span<const std::byte> bytes);
    bool write(std::string_view text) { return write(std::as_bytes(std::span(text))); }

    void close();

  private:
    explicit FileHandle(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace platform
