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

// A single-byte text, each byte one code unit.
platform::String singleByteText(const std::string& bytes) {
    std::u16string units;
    for (unsigned char c : bytes)
        units.push_back(c);
    return platform::String::fromUnits(std::move(units));
}

platform::String text(const char* format, int a, int b, int c) {
    char buf[48];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return platform::String(buf);
}

void handleBootParameters(std::span<const std::uint8_t> r, std::uint32_t reportID) {
    const auto block = frame::bootParameterBlock(r);
    if (!block) {
        platform::systemLog(platform::LogLevel::Debug, "boot-parameter response too short");
        return;
    }
    BootParam_ p = BootParam_::fromBytes(*block);
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
    sendDeviceCommand(frame::kDeviceInformation, 0, static_cast<long>(reportID));
}

void handleDeviceInformation(std::span<const std::uint8_t> r) {
    const auto info = frame::deviceInformation(r);
    if (!info) {
        platform::systemLog(platform::LogLevel::Debug, "device-information response too short");
        return;
    }
    platform::String serial(kNotAvailable), type(kNotAvailable), date(kNotAvailable),
        time(kNotAvailable);
    if (info->shipTime) {
        std::time_t t = static_cast<std::time_t>(*info->shipTime);
        std::tm local{};
        localtime_r(&t, &local);
        date = text("%d-%d-%d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
        time = text("%.2d:%.2d:%.2d", local.tm_hour, local.tm_min, local.tm_sec);
        serial = singleByteText(info->serial);
        type = singleByteText(info->type);
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
    sendDeviceCommand(frame::kFrame, frame::kFrameSend, frame::kCommandReportID);
}

void handleFramePacket(std::span<const std::uint8_t> r, std::uint32_t reportID) {
    auto& s = deviceLayer();
    if (!s.FrameDone) {
        const auto step = frame::addFramePacket(r, s.FrameData, s.FrameLen);
        switch (step.outcome) {
            case frame::FramePacketStep::Overflow:
                // Longer than a block can be: drop it and wait for the next one.
                platform::systemLog(platform::LogLevel::Debug,
                                    "frame block over 255 bytes dropped");
                s.FrameLen = 0;
                s.FrameDone = 0;
                return;
            case frame::FramePacketStep::Last:
                s.FrameDone = 1;
                [[fallthrough]];
            case frame::FramePacketStep::Partial:
                s.FrameLen = static_cast<std::uint8_t>(step.length);
                break;
            case frame::FramePacketStep::Unknown:
                break;
        }
    }
    if (!s.FrameDone)
        return;

    const auto leds = frame::frameBlockLEDs(std::span(s.FrameData).first(s.FrameLen));
    if (!leds) {
        s.FrameDone = 0;
        s.FrameLen = 0;
        return;
    }
    const double width = 16 + leds->horizontal * s.led_space;
    const double height = 16 + leds->vertical * s.led_space;
    const double diagonal = std::sqrt(width * width + height * height) / 25.4;
    ZyvTouchConverter::sharedConverter().set_inchSize(static_cast<std::int32_t>(diagonal));
    sendDeviceCommand(frame::kFrame, frame::kFrameAcknowledge, static_cast<long>(reportID));
}

}  // namespace

void sendDeviceCommand(std::uint8_t code, std::uint8_t parameter1, long reportID) {
    auto& s = deviceLayer();
    if (!s.debugDevRef)
        return;
    auto command = frame::deviceCommand(code, parameter1);
    IOHIDDeviceSetReport(s.debugDevRef, kIOHIDReportTypeOutput, reportID, command.data(),
                         static_cast<long>(command.size()));
}

void myDebugDevInputReportCallback(void*, IOReturn result, void*, IOHIDReportType,
                                   std::uint32_t reportID, std::uint8_t* report,
                                   long reportLength) {
    if (result != kIOReturnSuccess || !report || reportLength < 2)
        return;
    std::span<const std::uint8_t> r(report, static_cast<std::size_t>(reportLength));
    const std::uint8_t code = *frame::responseCode(r);
    if (code == frame::kBootParameters) {
        handleBootParameters(r, reportID);
    } else if (code == frame::kDeviceInformation) {
        handleDeviceInformation(r);
    } else if (frame::isFramePacket(code)) {
        handleFramePacket(r, reportID);
    }
}

}  // namespace tact
