// Whether this user can reach the touch frame: is a frame (USB vendor 23c9)
// on the system, which hidraw and input event nodes it has, and can each be
// opened the way the agent opens it. A plain look at sysfs and /dev, nothing
// is kept open; the roots can be moved so tests lay out trees of their own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::hid {

inline constexpr std::uint32_t kFrameVendor = 0x23C9;

enum class NodeAccess {
    Absent,            // no such node (sysfs names it, /dev does not have it)
    Openable,          // opened and closed again
    PermissionDenied,  // EACCES or EPERM: the udev rule is not in effect
    OtherError,        // anything else (busy, not a device, ...); see the errno
};

struct FrameNode {
    std::string devnode;  // e.g. /dev/hidraw3, /dev/input/event7
    NodeAccess access = NodeAccess::Absent;
    int error = 0;  // errno of the failed open
};

// One HID interface of the frame.
struct FrameInterface {
    std::string syspath;  // the hidraw node's sysfs path
    std::uint32_t productID = 0;
    std::string name;  // as the frame calls itself (HID_NAME)
    FrameNode hidraw;
    std::vector<FrameNode> events;  // the evdev nodes the agent grabs
};

struct FrameAccess {
    std::vector<FrameInterface> interfaces;  // in sysfs order; empty: no frame

    bool present() const { return !interfaces.empty(); }
    // The worst of the hidraw nodes (permission denied before other errors
    // before absent); Absent when no frame is present.
    NodeAccess hidrawAccess() const;
    // The first hidraw node in that state, or empty.
    std::string hidrawNodeIn(NodeAccess access) const;
};

struct FrameAccessRoots {
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";
};

FrameAccess checkFrameAccess(const FrameAccessRoots& roots = {});

// Opens the node read-write (hidraw) or read-only (evdev) as the agent does,
// and closes it at once.
FrameNode probeNode(const std::string& devnode, bool readWrite);

// "openable", "permission denied", "absent", or the errno's text.
std::string nodeAccessText(const FrameNode& node);

// One line for people: "no frame is connected", "the frame cannot be opened:
// permission (/dev/hidraw3)", "the frame is ready (/dev/hidraw3)", ...
std::string frameAccessSummary(const FrameAccess& access);

// What gives this user access: the udev rule where udev reads it and the
// udevadm commands that apply it. Several lines, no trailing line break.
std::string_view frameAccessRemedy();

}  // namespace platform::hid
