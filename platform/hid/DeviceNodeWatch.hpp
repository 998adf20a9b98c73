// News of device nodes appearing or changing their permissions (a udev rule
// reloaded and triggered, logind granting the active session an ACL, a
// replug): for a program that waits until it may open a node.
#pragma once

#include "platform/runloop/RunLoop.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/values/Error.hpp"

namespace platform::hid {

class DeviceNodeWatch {
  public:
    virtual ~DeviceNodeWatch() = default;
};

// Calls changed (from loop) whenever a node in one of the folders is created,
// moved in or has its mode, owner or ACL changed. Folders that do not exist
// are skipped; an error when none can be watched.
Result<std::unique_ptr<DeviceNodeWatch>> watchDeviceNodes(RunLoop& loop,
                                                          const std::vector<std::string>& folders,
                                                          std::function<void()> changed);

}  // namespace platform::hid
