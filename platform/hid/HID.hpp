// The HID manager the agent's device layer is written against: managers that
// follow the HID interfaces matching a dictionary, and devices with open,
// close, properties, input-report callbacks, output and feature reports.
//
// Semantics, where they need spelling out:
//  - Matching: a manager matches nothing until IOHIDManagerSetDeviceMatching;
//    an empty dictionary matches every interface. "DeviceUsagePairs" (an array
//    of dictionaries) matches when any pair in it matches any of the
//    interface's top-level application collections; a pair dictionary without
//    "DeviceUsage" matches every usage of its "DeviceUsagePage", an empty one
//    matches everything, and an empty array matches nothing.
//    "DeviceUsagePage"/"DeviceUsage" at the top level act as one such pair.
//    Every other key names a device property (IOHIDDeviceGetProperty) that
//    must be present and equal ("VendorID", "ProductID",
//    "MaxFeatureReportSize", ...); numbers compare by value.
//  - IOHIDManagerOpen opens every matched interface present (exclusively with
//    kIOHIDOptionsTypeSeizeDevice) and returns the first failure, undoing the
//    rest; with no interface present it succeeds and the manager waits.
//    Matching callbacks, for interfaces present at open and for those that
//    arrive later, are delivered from the run loop the manager is scheduled
//    on, never from inside a call; so are removal callbacks. Interfaces that
//    arrive later are opened by the manager as well; when that fails the
//    matching callback is still delivered and IOHIDDeviceOpen reports why.
//    Such an interface is tried again whenever the backend reports it again
//    (a udev "change", as after a rule reload), and the matching callback is
//    delivered a second time once it opens.
//  - IOHIDDeviceOpen adds an open on top of the manager's (taking the
//    manager's seize option); IOHIDDeviceClose takes it off. The interface is
//    really closed (descriptors closed, grabs released) when the manager is
//    closed or destroyed, or when the interface goes away: then the removal
//    callback runs first and the device is closed right after it returns.
//  - Input reports are copied into the caller's buffer; a longer report is
//    cut to the buffer and delivered with success (logged at debug level).
//    The report ID argument is the first byte for interfaces that number
//    their reports, 0 otherwise. The sender is the HIDDevice (raw pointer).
//  - Output and feature reports: the bytes as they travel, the report ID first
//    for numbered reports.
//  - Lifetimes: close (or release) a manager before destroying the run loop it
//    is scheduled on. Device refs may outlive their manager; they are closed
//    when it is closed or released, and cannot be opened once it is released.
#pragma once

#include "platform/hid/Backend.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/values/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform::hid {

// Result codes, with the values the platform the agent was written for uses.
constexpr IOReturn kIOReturnSuccess = 0;
constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BC);
constexpr IOReturn kIOReturnNoDevice = static_cast<IOReturn>(0xE00002C0);
constexpr IOReturn kIOReturnNotPrivileged = static_cast<IOReturn>(0xE00002C1);
constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2);
constexpr IOReturn kIOReturnExclusiveAccess = static_cast<IOReturn>(0xE00002C5);
constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7);
constexpr IOReturn kIOReturnNotOpen = static_cast<IOReturn>(0xE00002CD);
constexpr IOReturn kIOReturnNotPermitted = static_cast<IOReturn>(0xE00002E2);
constexpr IOReturn kIOReturnOverrun = static_cast<IOReturn>(0xE00002E8);

constexpr std::uint32_t kIOHIDOptionsTypeNone = 0;
constexpr std::uint32_t kIOHIDOptionsTypeSeizeDevice = 1;

class HIDDevice;
class HIDManager;
using IOHIDDeviceRef = std::shared_ptr<HIDDevice>;  // a null ref is "not a HID device"
using IOHIDManagerRef = std::shared_ptr<HIDManager>;

using IOHIDDeviceCallback = void (*)(void* context, IOReturn result, void* sender,
                                     IOHIDDeviceRef device);
using IOHIDReportCallback = void (*)(void* context, IOReturn result, void* sender,
                                     IOHIDReportType type, std::uint32_t reportID,
                                     std::uint8_t* report, long reportLength);

// Managers. A null manager ref is accepted everywhere and does nothing
// (kIOReturnBadArgument where a result is returned).
IOHIDManagerRef IOHIDManagerCreate(std::uint32_t options);  // on currentBackend()
IOHIDManagerRef IOHIDManagerCreate(std::uint32_t options, std::shared_ptr<Backend> backend);
void IOHIDManagerSetDeviceMatching(const IOHIDManagerRef& manager,
                                   const platform::Dictionary& matching);
void IOHIDManagerRegisterDeviceMatchingCallback(const IOHIDManagerRef& manager,
                                                IOHIDDeviceCallback callback, void* context);
void IOHIDManagerRegisterDeviceRemovalCallback(const IOHIDManagerRef& manager,
                                               IOHIDDeviceCallback callback, void* context);
void IOHIDManagerScheduleWithRunLoop(const IOHIDManagerRef& manager, platform::RunLoop& loop);
void IOHIDManagerUnscheduleFromRunLoop(const IOHIDManagerRef& manager);
IOReturn IOHIDManagerOpen(const IOHIDManagerRef& manager, std::uint32_t options);
IOReturn IOHIDManagerClose(const IOHIDManagerRef& manager, std::uint32_t options);

// Devices. A null device ref gives kIOReturnBadArgument / false / nullopt.
IOReturn IOHIDDeviceOpen(const IOHIDDeviceRef& device, std::uint32_t options);
IOReturn IOHIDDeviceClose(const IOHIDDeviceRef& device, std::uint32_t options);
bool IOHIDDeviceConformsTo(const IOHIDDeviceRef& device, std::uint32_t usagePage,
                           std::uint32_t usage);
// "VendorID", "ProductID", "MaxInputReportSize", "MaxOutputReportSize",
// "MaxFeatureReportSize", "PrimaryUsagePage", "PrimaryUsage" (integers),
// "Product", "Transport", "SerialNumber" (strings; absent when unknown),
// "DeviceUsagePairs" (array of dictionaries), "ReportDescriptor" (data).
std::optional<platform::Value> IOHIDDeviceGetProperty(const IOHIDDeviceRef& device,
                                                      const platform::String& key);
// callback nullptr unregisters. The buffer must stay valid while registered.
void IOHIDDeviceRegisterInputReportCallback(const IOHIDDeviceRef& device, std::uint8_t* report,
                                            long reportLength, IOHIDReportCallback callback,
                                            void* context);
IOReturn IOHIDDeviceSetReport(const IOHIDDeviceRef& device, IOHIDReportType type, long reportID,
                              const std::uint8_t* report, long reportLength);
IOReturn IOHIDDeviceGetReport(const IOHIDDeviceRef& device, IOHIDReportType type, long reportID,
                              std::uint8_t* report, long* pReportLength);

// A short text for a result code ("not permitted", ...; unknown codes in hex).
std::string ioReturnText(IOReturn result);

// The backend new managers use. Until setBackend, the Linux backend (created
// on first use); setBackend(nullptr) goes back to it.
void setBackend(std::shared_ptr<Backend> backend);
std::shared_ptr<Backend> currentBackend();

}  // namespace platform::hid
