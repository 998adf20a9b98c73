// A sysfs tree laid out by a test, with a /dev beside it, for the Linux HID
// backend's test mode (a sysfs root other than "/sys").
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/TempDir.hpp"

namespace tact::test::hid {

namespace fakesysfs {

namespace fs = std::filesystem;

inline void write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string bytes(const std::vector<std::uint8_t>& b) {
    return std::string(b.begin(), b.end());
}

}  // namespace fakesysfs

// A sysfs tree with hid devices under one USB device, and a /dev beside it.
class FakeSysfs {
  public:
    std::string sys() const { return dir_.path() + "/sys"; }
    std::string dev() const { return dir_.path() + "/dev"; }

    // Adds a hid device with one hidraw node and, when event >= 0, an input
    // device with that event node. Returns the hidraw node's sysfs path.
    std::string addHid(const std::string& name, const std::string& hidId,
                       const std::vector<std::uint8_t>& descriptor, int hidraw, int event = -1) {
        const std::filesystem::path hid =
            std::filesystem::path(sys()) / "devices/pci0000:00/usb1/1-1/1-1:1.0" / name;
        fakesysfs::write(hid / "uevent",
                         "DRIVER=hid-multitouch\nHID_ID=" + hidId +
                             "\nHID_NAME=Quux Touch Frame\nHID_PHYS=usb-0000:00:14.0-1/"
                             "input0\nHID_UNIQ=SN123\nMODALIAS=hid:b0003\n");
        fakesysfs::write(hid / "report_descriptor", fakesysfs::bytes(descriptor));
        const std::string node = "hidraw" + std::to_string(hidraw);
        const std::filesystem::path raw = hid / "hidraw" / node;
        fakesysfs::write(raw / "uevent",
                         "MAJOR=243\nMINOR=" + std::to_string(hidraw) + "\nDEVNAME=" + node + "\n");
        std::filesystem::create_directory_symlink("../..", raw / "device");
        std::filesystem::create_directories(std::filesystem::path(sys()) / "class/hidraw");
        std::filesystem::create_directory_symlink(
            std::filesystem::relative(raw, std::filesystem::path(sys()) / "class/hidraw"),
            std::filesystem::path(sys()) / "class/hidraw" / node);
        if (event >= 0) {
            const std::string e = "event" + std::to_string(event);
            const std::filesystem::path input =
                hid / "input" / ("input" + std::to_string(event + 10));
            fakesysfs::write(input / e / "uevent", "MAJOR=13\nMINOR=" + std::to_string(64 + event) +
                                                       "\nDEVNAME=input/" + e + "\n");
            fakesysfs::write(input / "mouse1" / "uevent", "DEVNAME=input/mouse1\n");  // not evdev
        }
        return std::filesystem::canonical(raw).string();
    }

    std::string devnode(const std::string& name) const { return dev() + "/" + name; }
    void makeFifo(const std::string& name) const {
        std::filesystem::create_directories(std::filesystem::path(devnode(name)).parent_path());
        ASSERT_EQ(::mkfifo(devnode(name).c_str(), 0600), 0);
    }
    void makeFile(const std::string& name) const { fakesysfs::write(devnode(name), ""); }

  private:
    tact::test::TempDir dir_;
};

}  // namespace tact::test::hid
