// inotify on the device folders: IN_ATTRIB covers chmod, chown and ACLs.
#include "platform/hid/DeviceNodeWatch.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace platform::hid {

namespace {

class InotifyWatch final : public DeviceNodeWatch {
  public:
    explicit InotifyWatch(int fd) : fd_(fd) {}
    ~InotifyWatch() override {
        source_.remove();
        ::close(fd_);
    }
    InotifyWatch(const InotifyWatch&) = delete;
    InotifyWatch& operator=(const InotifyWatch&) = delete;

    int fd() const { return fd_; }
    void listen(RunLoop& loop, std::function<void()> changed) {
        source_ = loop.addFd(fd_, POLLIN, [this, changed = std::move(changed)](std::uint32_t) {
            // What changed does not matter: the caller looks again.
            alignas(inotify_event) std::array<char, 4096> buffer;
            bool any = false;
            while (::read(fd_, buffer.data(), buffer.size()) > 0)
                any = true;
            if (any)
                changed();
        });
    }

  private:
    int fd_;
    FdSource source_;
};

}  // namespace

Result<std::unique_ptr<DeviceNodeWatch>> watchDeviceNodes(RunLoop& loop,
                                                          const std::vector<std::string>& folders,
                                                          std::function<void()> changed) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return Error{Reason::Failed, std::string("inotify: ") + std::strerror(errno)};
    auto watch = std::make_unique<InotifyWatch>(fd);
    bool watching = false;
    std::string lastFailure = "no folder to watch";
    for (const auto& folder : folders) {
        if (::inotify_add_watch(fd, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB) >= 0)
            watching = true;
        else
            lastFailure = folder + ": " + std::strerror(errno);
    }
    if (!watching)
        return Error{Reason::Unavailable, lastFailure};
    watch->listen(loop, std::move(changed));
    return std::unique_ptr<DeviceNodeWatch>(std::move(watch));
}

}  // namespace platform::hid
