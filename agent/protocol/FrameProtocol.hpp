// The frame's wire protocol, as the agent and tactrecord read it: the USB
// identity and interfaces, the touch report's size, the device commands of
// the debug channel and their responses (boot parameters, device
// information, the frame block). Pure functions over bytes; every read is
// bounded by the bytes given.
//
// Debug channel: the host writes output report 2, [2, command, parameter,
// zeros] (63 bytes); the frame answers with input report 1, [1, code, ...],
// on its debug interface, or on the touch interface for the single-interface
// product.
//  - 0x10: [1, 0x10, x, boot-parameter block (16 bytes)];
//  - 0x17: [1, 0x17, ..., ship time at 15 (32-bit LE, 0xFFFFFFFF: none),
//    serial number from 19, NUL, type, NUL];
//  - 0x21 with parameter 2: the frame block in packets [1, 0x3P, length,
//    payload], P 0 first, 1 middle, 2 last; the host acknowledges a good
//    block with 0x21 and parameter 0.
// Frame block: at most 255 bytes; the LED counts along the horizontal and
// the vertical edge at 7 and 9 (16-bit LE); the last byte is the sum modulo
// 256 of every byte before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/values/Value.hpp"

namespace tact {

// The frame's boot-parameter block, as the frame sends it (little-endian).
struct BootParam_ {
    std::uint8_t BootLoaderVersion = 0;
    std::uint8_t ResetType = 0;
    std::uint16_t WDTRstTimes = 0;
    std::uint16_t LastRstTime = 0;
    std::uint16_t RunTime = 0;
    std::uint16_t HardwareVer = 0;
    std::uint16_t SoftwareVer = 0;
    std::uint8_t AppSta = 0;
    std::uint8_t FlashSize = 0;
    std::uint8_t RunSta = 0;
    std::uint8_t Flags = 0;

    static constexpr std::size_t kSize = 16;
    static BootParam_ fromBytes(std::span<const std::uint8_t, kSize> bytes);
    std::array<std::uint8_t, kSize> bytes() const;
    // The block as 8 UTF-16 code units, lower-addressed byte in the low half.
    platform::String toCodeUnits() const;
    // Newer frames (bootloader 40 and up) always send 10-byte records and split
    // reports of more than six contacts in two.
    bool isNewerDevice() const { return (BootLoaderVersion & 0x7F) >= 40; }
};

// Size of a touch input report, and of its record area.
inline constexpr std::size_t kTouchReportSize = 62;
inline constexpr std::size_t kTouchReportCountOffset = 61;

namespace frame {

// --- identity and interfaces ---------------------------------------------

inline constexpr std::uint32_t kVendorID = 0x23C9;
// This product carries the debug channel on its touch interface.
inline constexpr std::uint16_t kSingleInterfaceProduct = 0x5668;
inline constexpr std::uint32_t kTouchUsagePage = 13;  // digitizer
inline constexpr std::uint32_t kTouchUsage = 4;       // touch screen
inline constexpr std::uint32_t kDebugUsagePage = 255;
inline constexpr std::uint32_t kDebugUsage = 1;
// The debug interface's largest feature report, part of its matching.
inline constexpr std::int64_t kDebugFeatureReportSize = 63;
// Feature reports read from a frame as it attaches; their contents are unused.
inline constexpr std::array<long, 2> kAttachFeatureReports = {10, 11};

// --- reports ---------------------------------------------------------------

inline constexpr std::uint8_t kTouchReportID = 10;
inline constexpr std::uint8_t kResponseReportID = 1;
inline constexpr std::uint8_t kCommandReportID = 2;
inline constexpr std::size_t kCommandSize = 63;
inline constexpr std::size_t kResponseSize = 64;

// --- device commands and their responses -----------------------------------

inline constexpr std::uint8_t kBootParameters = 0x10;
inline constexpr std::uint8_t kDeviceInformation = 0x17;
inline constexpr std::uint8_t kFrame = 0x21;
// The parameter of kFrame: send the frame block, or the block was good.
inline constexpr std::uint8_t kFrameSend = 2;
inline constexpr std::uint8_t kFrameAcknowledge = 0;

// The output report that sends a device command.
std::array<std::uint8_t, kCommandSize> deviceCommand(std::uint8_t code, std::uint8_t parameter);

// The response's code (its second byte); none for fewer than two bytes.
std::optional<std::uint8_t> responseCode(std::span<const std::uint8_t> response);

// The boot-parameter block of a 0x10 response; none when it is too short.
std::optional<std::span<const std::uint8_t, BootParam_::kSize>> bootParameterBlock(
    std::span<const std::uint8_t> response);

inline constexpr std::size_t kShipTimeOffset = 15;
inline constexpr std::size_t kSerialOffset = 19;
inline constexpr std::uint32_t kNoShipTime = 0xFFFFFFFF;
// What one response holds for serial number and type together, their NULs aside.
inline constexpr std::size_t kInformationTextRoom = kResponseSize - kSerialOffset - 2;

// A 0x17 response. Serial number and type are single-byte texts, each cut at
// the end of the response when no NUL ends it first.
struct DeviceInformation {
    std::optional<std::uint32_t> shipTime;  // seconds since 1970 UTC
    std::string serial;
    std::string type;
};
// None when the response is too short to hold the ship time.
std::optional<DeviceInformation> deviceInformation(std::span<const std::uint8_t> response);

// --- the frame block ---------------------------------------------------------

inline constexpr std::size_t kMaxFrameBlock = 255;  // its length is counted in one byte
inline constexpr std::size_t kMinFrameBlock = 12;   // up to the vertical LED count and the sum

// Whether a response code is a packet of the frame block.
constexpr bool isFramePacket(std::uint8_t code) {
    return (code & 0xF0) == 0x30;
}

// What one packet did to a block being assembled.
struct FramePacketStep {
    enum Outcome {
        Partial,   // a first or middle packet: the block goes on
        Last,      // the last packet: the block is complete, to be checked
        Overflow,  // the block would grow past kMaxFrameBlock: drop it
        Unknown,   // not a first, middle or last packet: nothing changed
    };
    Outcome outcome;
    std::size_t length;  // the block's length afterwards (unchanged for Overflow, Unknown)
};

// Adds one packet to the block in `block` that holds `length` bytes so far; a
// first packet starts it over. The payload is cut to the bytes the packet
// carries, whatever length it declares.
FramePacketStep addFramePacket(std::span<const std::uint8_t> packet,
                               std::span<std::uint8_t, kMaxFrameBlock> block, std::size_t length);

// The 8-bit sum of the bytes.
std::uint8_t checksum(std::span<const std::uint8_t> bytes);

struct LEDCounts {
    std::uint16_t horizontal = 0;
    std::uint16_t vertical = 0;
};
// The LED counts of a complete block; none when it is too short to hold them
// or its last byte is not the sum of the others.
std::optional<LEDCounts> frameBlockLEDs(std::span<const std::uint8_t> block);

}  // namespace frame
}  // namespace tact
