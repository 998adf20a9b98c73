// The debug channel: once per attachment the agent asks the frame for its
// boot parameters, then its device information, then the frame block from
// which it measures the screen diagonal. Each response is handled on its own
// as it comes; every byte read is checked against the response's length.
#include <cmath>
#include <cstdio>
#include <ctime>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "agent/device/DeviceLayer.hpp"
#include "agent/logger/ZyvtouchLogger.hpp"
#include "common/Notifications.hpp"
#include "platform/log/SystemLog.hpp"

namespace tact {

using namespace platform::hid;

namespace {

constexpr std::uint8_t kResponseBootParameters = 0x10;
constexpr std::uint8_t kResponseDeviceInformation = 0x17;
constexpr std::size_t kShipTimeOffset = 15;
constexpr std::size_t kSerialOffset = 19;
constexpr std::uint32_t kNoShipTime = 0xFFFFFFFF;
constexpr std::size_t kMaxFrameBlock = 255;  // its length is counted in one byte

double ledSpacing(std::uint16_t hardwareVersion) {
    switch (hardwareVersion) {
        case 110:
            return 5.588;
        case 520:
            return 5.2;
        default:
            return 5.96;
    }
}

// A NUL-terminated single-byte text starting at `from`, cut at the end of the
// response when no NUL comes first. Returns the text and where it ended.
std::pair<platform::String, std::size_t> singleByteText(std::span<const std::uint8_t> bytes,
                                                        std::size_t from) {
    std::u16string units;
    std::size_t i = from;
    for (; i < bytes.size() && bytes[i] != 0; ++i)
        units.push_back(bytes[i]);
    return {platform::String::fromUnits(std::move(units)), i + 1};
}

platform::String text(const char* format, int a, int b, int c) {
    char buf[48];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return platform::String(buf);
}

void handleBootParameters(std::span<const std::uint8_t> r, std::uint32_t reportID) {
    if (r.size() < 3 + BootParam_::kSize) {
        platform::systemLog(platform::LogLevel::Debug, "boot-parameter response too short");
        return;
    }
    BootParam_ p = BootParam_::fromBytes(r.subspan(3).first<BootParam_::kSize>());
    deviceLayer().led_space = ledSpacing(p.HardwareVer);
    // The frame's identity, a developer trace.
    developerTrace("reportLength:%ld\n", static_cast<long>(r.size()));
    developerTrace("BootLoaderVersion: %d.%d\n", p.BootLoaderVersion / 10,
                   p.BootLoaderVersion % 10);
    developerTrace("Flags: 0x%.2X\n", p.Flags);
    developerTrace("HardwareVer: %d.%d\n", p.HardwareVer / 100, p.HardwareVer % 100);
    developerTrace("SoftwareVer: %d.%d.%d\n", p.SoftwareVer / 1000, (p.SoftwareVer / 10) % 100,
                   p.SoftwareVer % 10);
    developerTrace("FlashSize: %dKB\n", p.FlashSize * 32);

    auto& converter = ZyvTouchConverter::sharedConverter();
    converter.set_bootparam(p);
    converter.set_bootparamStr(p.toCodeUnits());
    sendDeviceCommand(kCommandDeviceInformation, 0, static_cast<long>(reportID));
}

void handleDeviceInformation(std::span<const std::uint8_t> r) {
    if (r.size() < kSerialOffset) {
        platform::systemLog(platform::LogLevel::Debug, "device-information response too short");
        return;
    }
    const std::size_t at = kShipTimeOffset;
    const std::uint32_t shipTime = r[at] | (r[at + 1] << 8) | (r[at + 2] << 16) |
                                   (static_cast<std::uint32_t>(r[at + 3]) << 24);
    platform::String serial(kNotAvailable), type(kNotAvailable), date(kNotAvailable),
        time(kNotAvailable);
    if (shipTime != kNoShipTime) {
        std::time_t t = static_cast<std::time_t>(shipTime);
        std::tm local{};
        localtime_r(&t, &local);
        date = text("%d-%d-%d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
        time = text("%.2d:%.2d:%.2d", local.tm_hour, local.tm_min, local.tm_sec);
        auto [s, next] = singleByteText(r, kSerialOffset);
        serial = std::move(s);
        type = singleByteText(r, next).first;
    }
    auto& converter = ZyvTouchConverter::sharedConverter();
    converter.set_ShipDate(date);
    converter.set_ShipTime(time);
    converter.set_deviceIsReady(true);
    converter.set_deviceSerialNumber(serial);
    converter.set_deviceType(type);
    converter.setDeviceID(deviceLayer().ProductID);
    converter.environment.notifications.post(platform::String(kZyvTouchEventNotification),
                                             platform::String(kMultiTouchSupportObject),
                                             platform::Dictionary{{kKeyIsDeviceReady, true},
                                                                  {kKeySerialNumber, serial},
                                                                  {kKeyType, type},
                                                                  {kKeyShipDate, date},
                                                                  {kKeyShipTime, time}});
    sendDeviceCommand(kCommandFrame, 2, kDeviceCommandReportID);
}

void handleFramePacket(std::span<const std::uint8_t> r, std::uint8_t code, std::uint32_t reportID) {
    auto& s = deviceLayer();
    if (!s.FrameDone) {
        const std::size_t declared = r.size() > 2 ? r[2] : 0;
        const std::size_t n = std::min(declared, r.size() > 3 ? r.size() - 3 : 0);
        const std::size_t at = (code & 0x0F) == 0 ? 0 : s.FrameLen;
        if ((code & 0x0F) <= 2 && at + n > kMaxFrameBlock) {
            // Longer than a block can be: drop it and wait for the next one.
            platform::systemLog(platform::LogLevel::Debug, "frame block over 255 bytes dropped");
            s.FrameLen = 0;
            s.FrameDone = 0;
            return;
        }
        switch (code & 0x0F) {
            case 0:
            case 1:
                std::copy_n(r.begin() + 3, n, s.FrameData.begin() + static_cast<long>(at));
                s.FrameLen = static_cast<std::uint8_t>(at + n);
                break;
            case 2:
                std::copy_n(r.begin() + 3, n, s.FrameData.begin() + static_cast<long>(at));
                s.FrameLen = static_cast<std::uint8_t>(at + n);
                s.FrameDone = 1;
                break;
            default:
                break;
        }
    }
    if (!s.FrameDone)
        return;

    // The block ends with the 8-bit sum of the bytes before it; it must also
    // be long enough to hold the two LED counts.
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < s.FrameLen; ++i)
        sum = static_cast<std::uint8_t>(sum + s.FrameData[i]);
    if (s.FrameLen == 0 || sum != s.FrameData[s.FrameLen - 1u] || s.FrameLen < 12) {
        s.FrameDone = 0;
        s.FrameLen = 0;
        return;
    }
    auto u16 = [&](std::size_t at) { return s.FrameData[at] | (s.FrameData[at + 1] << 8); };
    const double width = 16 + u16(7) * s.led_space;
    const double height = 16 + u16(9) * s.led_space;
    const double diagonal = std::sqrt(width * width + height * height) / 25.4;
    ZyvTouchConverter::sharedConverter().set_inchSize(static_cast<std::int32_t>(diagonal));
    sendDeviceCommand(kCommandFrame, 0, static_cast<long>(reportID));
}

}  // namespace

void sendDeviceCommand(std::uint8_t code, std::uint8_t parameter1, long reportID) {
    auto& s = deviceLayer();
    if (!s.debugDevRef)
        return;
    std::array<std::uint8_t, kDeviceCommandSize> command{};
    command[0] = kDeviceCommandReportID;
    command[1] = code;
    command[2] = parameter1;
    IOHIDDeviceSetReport(s.debugDevRef, kIOHIDReportTypeOutput, reportID, command.data(),
                         static_cast<long>(command.size()));
}

void myDebugDevInputReportCallback(void*, IOReturn result, void*, IOHIDReportType,
                                   std::uint32_t reportID, std::uint8_t* report,
                                   long reportLength) {
    if (result != kIOReturnSuccess || !report || reportLength < 2)
        return;
    std::span<const std::uint8_t> r(report, static_cast<std::size_t>(reportLength));
    const std::uint8_t code = r[1];
    if (code == kResponseBootParameters) {
        handleBootParameters(r, reportID);
    } else if (code == kResponseDeviceInformation) {
        handleDeviceInformation(r);
    } else if ((code & 0xF0) == 0x30) {
        handleFramePacket(r, code, reportID);
    }
}

}  // namespace tact
