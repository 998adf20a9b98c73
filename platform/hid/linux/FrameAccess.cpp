// Looking for the frame in sysfs and trying its nodes in /dev.
#include "platform/hid/FrameAccess.hpp"

#include "platform/hid/linux/LinuxBackend.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace platform::hid {

namespace {

namespace fs = std::filesystem;

// Worse states sort higher.
int severity(NodeAccess access) {
    switch (access) {
        case NodeAccess::Openable:
            return 0;
        case NodeAccess::Absent:
            return 1;
        case NodeAccess::OtherError:
            return 2;
        case NodeAccess::PermissionDenied:
            return 3;
    }
    return 0;
}

}  // namespace

NodeAccess FrameAccess::hidrawAccess() const {
    if (interfaces.empty())
        return NodeAccess::Absent;
    NodeAccess worst = NodeAccess::Openable;
    for (const auto& i : interfaces) {
        if (severity(i.hidraw.access) > severity(worst))
            worst = i.hidraw.access;
    }
    return worst;
}

std::string FrameAccess::hidrawNodeIn(NodeAccess access) const {
    for (const auto& i : interfaces) {
        if (i.hidraw.access == access)
            return i.hidraw.devnode;
    }
    return {};
}

FrameNode probeNode(const std::string& devnode, bool readWrite) {
    FrameNode node{devnode, NodeAccess::Openable, 0};
    const int fd = ::open(devnode.c_str(),
                          (readWrite ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        ::close(fd);
        return node;
    }
    node.error = errno;
    if (node.error == ENOENT || node.error == ENODEV || node.error == ENXIO)
        node.access = NodeAccess::Absent;
    else if (node.error == EACCES || node.error == EPERM)
        node.access = NodeAccess::PermissionDenied;
    else
        node.access = NodeAccess::OtherError;
    return node;
}

std::string nodeAccessText(const FrameNode& node) {
    switch (node.access) {
        case NodeAccess::Openable:
            return "openable";
        case NodeAccess::Absent:
            return "absent";
        case NodeAccess::PermissionDenied:
            return "permission denied";
        case NodeAccess::OtherError:
            break;
    }
    return std::strerror(node.error);
}

FrameAccess checkFrameAccess(const FrameAccessRoots& roots) {
    FrameAccess access;
    for (const auto& syspath : linux_hid::scanHidraw(roots.sysfsRoot)) {
        std::error_code ec;
        const fs::path hid = fs::canonical(fs::path(syspath) / "device", ec);
        if (ec)
            continue;
        auto hidUevent = linux_hid::readUevent((hid / "uevent").string());
        auto id =
            hidUevent.count("HID_ID") ? linux_hid::parseHidID(hidUevent["HID_ID"]) : std::nullopt;
        if (!id || id->vendor != kFrameVendor)
            continue;
        auto rawUevent = linux_hid::readUevent((fs::path(syspath) / "uevent").string());
        std::string devname = rawUevent.count("DEVNAME") ? rawUevent["DEVNAME"]
                                                         : fs::path(syspath).filename().string();
        if (devname.empty() || devname.find("..") != std::string::npos)
            continue;
        FrameInterface frame;
        frame.syspath = syspath;
        frame.productID = id->product;
        frame.name = hidUevent["HID_NAME"];
        frame.hidraw = probeNode(roots.devRoot + "/" + devname, true);
        for (const auto& event : linux_hid::evdevNodesOf(hid.string(), roots.devRoot))
            frame.events.push_back(probeNode(event, false));
        access.interfaces.push_back(std::move(frame));
    }
    return access;
}

std::string frameAccessSummary(const FrameAccess& access) {
    switch (access.hidrawAccess()) {
        case NodeAccess::Absent:
            if (!access.present())
                return "no frame is connected";
            return "the frame's node is missing (" + access.hidrawNodeIn(NodeAccess::Absent) + ")";
        case NodeAccess::PermissionDenied:
            return "the frame cannot be opened: permission (" +
                   access.hidrawNodeIn(NodeAccess::PermissionDenied) + ")";
        case NodeAccess::OtherError: {
            for (const auto& i : access.interfaces) {
                if (i.hidraw.access == NodeAccess::OtherError)
                    return "the frame cannot be opened: " + nodeAccessText(i.hidraw) + " (" +
                           i.hidraw.devnode + ")";
            }
            break;
        }
        case NodeAccess::Openable:
            break;
    }
    return "the frame is ready (" + access.interfaces.front().hidraw.devnode + ")";
}

std::string_view frameAccessRemedy() {
    return "Install the udev rule 70-tact.rules where udev reads it (/usr/lib/udev/rules.d,\n"
           "/etc/udev/rules.d; `udevadm test /sys/class/mem/null 2>&1 | grep rules.d`\n"
           "lists the files it reads), then run\n"
           "  sudo udevadm control --reload-rules\n"
           "  sudo udevadm trigger --action=change --subsystem-match=hidraw "
           "--subsystem-match=input --subsystem-match=misc\n"
           "or plug the frame in again. Access goes to the user of the active local session.";
}

}  // namespace platform::hid
