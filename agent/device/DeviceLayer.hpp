// The agent's device layer: two HID managers (the touch interface and the
// frame's debug interface), their matching and removal callbacks, the input
// report callbacks, and the debug-channel handshake.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "agent/protocol/FrameProtocol.hpp"
#include "platform/hid/HID.hpp"
#include "platform/values/Value.hpp"

namespace tact {

using platform::hid::IOHIDDeviceRef;
using platform::hid::IOHIDManagerRef;
using platform::hid::IOHIDReportType;
using platform::hid::IOReturn;

// The device layer's state. One frame at a time; touched only on the main thread.
struct DeviceLayerState {
    IOHIDManagerRef hidManager;
    IOHIDManagerRef hidManager_debugport;
    bool bReady = false;
    IOHIDDeviceRef zyvtouchRef;
    IOHIDDeviceRef debugDevRef;
    std::int32_t touchInputReportSize = 0;
    std::vector<std::uint8_t> touchInputReport;
    std::int32_t debugDevInputReportSize = 0;
    std::vector<std::uint8_t> debugDevInputReport;
    std::uint16_t ProductID = 0;

    // Frame-block assembly.
    std::uint8_t FrameLen = 0;
    std::uint8_t FrameDone = 0;
    std::array<std::uint8_t, frame::kMaxFrameBlock> FrameData{};
    double led_space = 0;
};

DeviceLayerState& deviceLayer();
// Forgets every device and manager (tests; the agent's exit).
void resetDeviceLayer();

bool registerDeivceNotify();
bool registerDebugDeivceNotify();
std::optional<platform::Dictionary> hu_CreateDeviceMatchingDictionary(std::uint32_t usagePage,
                                                                      std::uint32_t usage);

void myDeviceMatchingCallback(void* context, IOReturn result, void* sender, IOHIDDeviceRef device);
void myDeviceRemoveCallback(void* context, IOReturn result, void* sender, IOHIDDeviceRef device);
void myDebugDeviceMatchingCallback(void* context, IOReturn result, void* sender,
                                   IOHIDDeviceRef device);
void myDebugDeviceRemoveCallback(void* context, IOReturn result, void* sender,
                                 IOHIDDeviceRef device);
void myTouchInputReportCallback(void* context, IOReturn result, void* sender, IOHIDReportType type,
                                std::uint32_t reportID, std::uint8_t* report, long reportLength);
void myDebugDevInputReportCallback(void* context, IOReturn result, void* sender,
                                   IOHIDReportType type, std::uint32_t reportID,
                                   std::uint8_t* report, long reportLength);

// Sends a device command to the device that carries the debug channel.
void sendDeviceCommand(std::uint8_t code, std::uint8_t parameter1, long reportID);

}  // namespace tact
