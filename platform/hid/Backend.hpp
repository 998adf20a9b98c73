// What a HID manager needs from the system: the HID interfaces present, news
// of interfaces arriving and leaving, and connections to an interface.
//
// Two backends implement it: the Linux one (hidraw nodes found and followed
// with sd-device) and the virtual one (virtual frames attached by a test or by
// the replay tool). Everything here runs on the thread of the run loop given.
#pragma once

#include "platform/hid/ReportDescriptor.hpp"
#include "platform/runloop/RunLoop.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform::hid {

using IOReturn = std::int32_t;

enum IOHIDReportType {
    kIOHIDReportTypeInput = 0,
    kIOHIDReportTypeOutput = 1,
    kIOHIDReportTypeFeature = 2,
};

// What is known about one HID interface before it is opened.
struct DeviceDescription {
    std::string path;  // identity within the backend (sysfs path of a hidraw node, ...)
    std::uint32_t vendorID = 0;
    std::uint32_t productID = 0;
    std::string product;                // name
    std::string serialNumber;           // may be empty
    std::string transport;              // "USB", "Bluetooth", "I2C", "Virtual", ...
    std::vector<UsagePair> usagePairs;  // top-level application collections
    bool usesReportIDs = false;
    std::uint32_t maxInputReportSize = 0;
    std::uint32_t maxOutputReportSize = 0;
    std::uint32_t maxFeatureReportSize = 0;
    std::vector<std::uint8_t> reportDescriptor;
};

// An open connection to an interface. Destroying it closes the interface and
// releases any exclusive hold ("seize") it took.
class Connection {
  public:
    virtual ~Connection() = default;

    // report: the bytes as they travel, the report ID first for numbered reports.
    virtual IOReturn setReport(IOHIDReportType type, long reportID,
                               std::span<const std::uint8_t> report) = 0;
    // Fills report (the report ID first for numbered reports) and sets *length
    // to the number of bytes written.
    virtual IOReturn getReport(IOHIDReportType type, long reportID, std::span<std::uint8_t> report,
                               std::size_t* length) = 0;
};

// One input report, the report ID first for numbered reports.
using InputReportHandler = std::function<void(std::span<const std::uint8_t> report)>;

class BackendDevice {
  public:
    virtual ~BackendDevice() = default;
    virtual const DeviceDescription& description() const = 0;

    // Opens a connection. Input reports are handed to onInput from loop (none
    // when loop is null). seize: exclusive use; the system's own handling of
    // the device stops while the connection lives.
    virtual IOReturn open(RunLoop* loop, bool seize, InputReportHandler onInput,
                          std::unique_ptr<Connection>* connection) = 0;
};

// Following the interfaces that come and go; stops when destroyed.
class DeviceWatch {
  public:
    virtual ~DeviceWatch() = default;
};

class Backend {
  public:
    struct Observer {
        std::function<void(std::shared_ptr<BackendDevice>)> added;
        std::function<void(const std::string& path)> removed;
    };

    virtual ~Backend() = default;

    // The interfaces present now.
    virtual std::vector<std::shared_ptr<BackendDevice>> devices() = 0;

    // Reports interfaces that arrive or leave from now on, until the returned
    // watch is destroyed: from loop (Linux), or at once from the call that
    // changed the set (the virtual backend's attach and detach), so observers
    // defer their work to their loop. May return a watch that never reports
    // (the failure is logged).
    virtual std::unique_ptr<DeviceWatch> watch(RunLoop& loop, Observer observer) = 0;
};

}  // namespace platform::hid
