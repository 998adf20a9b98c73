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
                                                             std::string* error) {
    // Look before opening: opening a device node can have effects of its own.
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0) {
        if (error)
            *error = std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(before.st_mode)) {
        if (error)
            *error = "not a regular file";
        return std::nullopt;
    }
    // O_NONBLOCK keeps a FIFO swapped in meanwhile from blocking the open.
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (error)
            *error = std::strerror(errno);
        return std::nullopt;
    }
    FileHandle handle(fd);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != before.st_dev ||
        st.st_ino != before.st_ino) {
        if (error)
            *error = "not a regular file";
        return std::nullopt;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return handle;
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
