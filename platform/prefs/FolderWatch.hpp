// Which files of one folder were written, created, replaced, moved or
// removed since the last look, told by the kernel (inotify) without opening
// or reading any of them. Looking costs one read that does not wait.
#pragma once

#include <string>
#include <vector>

namespace platform {

class FolderWatch {
  public:
    // What happened since the last look.
    struct Changes {
        std::vector<std::string> names;  // files of the folder, in the order told
        // Names were lost (too many at once) or the folder itself was moved
        // or removed: any file may have changed, and the watch has stopped.
        bool everything = false;
    };

    FolderWatch() = default;
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Watches folder from now on, instead of what was watched before. False
    // when it cannot (no such folder, no inotify left): nothing is watched.
    bool watch(const std::string& folder);
    void stop();
    bool watching() const { return watch_ >= 0; }
    const std::string& folder() const { return folder_; }

    // Reads what the kernel has queued, without waiting. Nothing is
    // allocated when nothing happened.
    Changes take();

  private:
    int fd_ = -1;
    int watch_ = -1;
    std::string folder_;
};

}  // namespace platform
