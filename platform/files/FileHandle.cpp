#include "platform/files/FileHandle.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace platform {

FileHandle::FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileHandle::~FileHandle() {
    close();
}

void FileHandle::close() {
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
}

std::optional<FileHandle> FileHandle::openExistingForWriting(const std::string& path,
                                                             OpenError* error) {
    auto fail = [error](OpenError::Kind kind, std::string reason) -> std::optional<FileHandle> {
        if (error)
            *error = OpenError{kind, std::move(reason)};
        return std::nullopt;
    };
    // Look before opening: opening a device node can have effects of its own.
    struct stat before {};
    if (::lstat(path.c_str(), &before) != 0)
        return fail(OpenError::Kind::Failed, std::strerror(errno));
    if (S_ISLNK(before.st_mode))
        return fail(OpenError::Kind::Link, "a symbolic link");
    if (!S_ISREG(before.st_mode))
        return fail(OpenError::Kind::NotRegular, "not a regular file");
    // O_NOFOLLOW refuses a link swapped in meanwhile; O_NONBLOCK keeps a FIFO
    // swapped in from blocking the open.
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ELOOP)
            return fail(OpenError::Kind::Link, "a symbolic link");
        return fail(OpenError::Kind::Failed, std::strerror(errno));
    }
    FileHandle handle(fd);
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return fail(OpenError::Kind::Failed, std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(OpenError::Kind::NotRegular, "not a regular file");
    if (st.st_dev != before.st_dev || st.st_ino != before.st_ino)
        return fail(OpenError::Kind::Failed, "replaced while it was being opened");
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return handle;
}

bool FileHandle::isSameFileAs(const std::string& path) const {
    struct stat mine {};
    struct stat other {};
    if (fd_ < 0 || path.empty() || fstat(fd_, &mine) != 0 || ::stat(path.c_str(), &other) != 0)
        return false;
    return mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

bool FileHandle::write(std::span<const std::byte> bytes) {
    if (fd_ < 0)
        return false;
    const auto* p = reinterpret_cast<const char*>(bytes.data());
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace platform
