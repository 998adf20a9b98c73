// The Linux backend: one HID interface per hidraw node.
//
// Interfaces are found with sd-device (subsystem "hidraw") and followed with
// an sd-device monitor on the run loop's sd-event (a virtual run loop has
// none: then only the interfaces present are seen). What an interface is comes
// from sysfs: the hidraw node's parent "hid" device gives the bus, vendor and
// product (HID_ID), name (HID_NAME) and serial number (HID_UNIQ) and the
// report descriptor, which gives the usage pairs and the report sizes.
//
// A connection is the hidraw node opened read-write and non-blocking: input
// reports by read() when it is readable, output reports by write(), feature
// reports by HIDIOCGFEATURE/HIDIOCSFEATURE. Seizing takes EVIOCGRAB on every
// evdev node of the same HID device (<hid>/input/input*/event*), so the
// desktop stops handling it, and releases them when the connection closes.
//
// With a sysfs root other than "/sys" (tests) the backend scans
// <root>/class/hidraw instead of asking sd-device and follows nothing.
#pragma once

#include "platform/hid/Backend.hpp"
#include "platform/values/Error.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::hid {

struct LinuxBackendOptions {
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";  // device nodes are <devRoot>/<DEVNAME>
};

std::shared_ptr<Backend> makeLinuxBackend(LinuxBackendOptions options = {});

namespace linux_hid {

// A hidraw node as sysfs describes it.
struct HidrawNode {
    DeviceDescription description;  // path = the hidraw node's sysfs path
    std::string devnode;            // e.g. /dev/hidraw0
    std::string hidSyspath;         // the parent "hid" device
};

// Reads one hidraw node's sysfs directory (<sysfs>/class/hidraw/hidrawN or the
// device path it links to). An error saying why when it is not a usable HID
// interface (no parent hid device, no readable or parsable descriptor).
Result<HidrawNode> describeHidraw(const std::string& hidrawSyspath, const std::string& devRoot);

// The hidraw nodes under <sysfsRoot>/class/hidraw, by sysfs path, sorted.
std::vector<std::string> scanHidraw(const std::string& sysfsRoot);

// The evdev nodes of a hid device: <hid>/input/input*/event*, as device nodes
// under devRoot, sorted.
std::vector<std::string> evdevNodesOf(const std::string& hidSyspath, const std::string& devRoot);

// The KEY=value lines of a sysfs uevent file; empty when it cannot be read.
std::map<std::string, std::string> readUevent(const std::string& path);

// HID_ID "bus:vendor:product" (hex) of a hid device's uevent.
struct HidID {
    std::uint32_t bus = 0;
    std::uint32_t vendor = 0;
    std::uint32_t product = 0;
};
std::optional<HidID> parseHidID(const std::string& value);
std::string transportName(std::uint32_t bus);

// The result code for an errno from open/read/write/ioctl on a device node.
IOReturn ioReturnFromErrno(int error);

}  // namespace linux_hid
}  // namespace platform::hid
