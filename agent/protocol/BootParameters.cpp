// The boot-parameter block: its fields from the bytes the frame sends and back.
#include "agent/protocol/FrameProtocol.hpp"

namespace tact {

BootParam_ BootParam_::fromBytes(std::span<const std::uint8_t, kSize> b) {
    auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); };
    BootParam_ p;
    p.BootLoaderVersion = b[0];
    p.ResetType = b[1];
    p.WDTRstTimes = u16(2);
    p.LastRstTime = u16(4);
    p.RunTime = u16(6);
    p.HardwareVer = u16(8);
    p.SoftwareVer = u16(10);
    p.AppSta = b[12];
    p.FlashSize = b[13];
    p.RunSta = b[14];
    p.Flags = b[15];
    return p;
}

std::array<std::uint8_t, BootParam_::kSize> BootParam_::bytes() const {
    auto lo = [](std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); };
    auto hi = [](std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); };
    return {BootLoaderVersion,
            ResetType,
            lo(WDTRstTimes),
            hi(WDTRstTimes),
            lo(LastRstTime),
            hi(LastRstTime),
            lo(RunTime),
            hi(RunTime),
            lo(HardwareVer),
            hi(HardwareVer),
            lo(SoftwareVer),
            hi(SoftwareVer),
            AppSta,
            FlashSize,
            RunSta,
            Flags};
}

platform::String BootParam_::toCodeUnits() const {
    auto b = bytes();
    std::u16string units;
    for (std::size_t i = 0; i < kSize; i += 2) {
        units.push_back(static_cast<char16_t>(b[i] | (b[i + 1] << 8)));
    }
    return platform::String::fromUnits(std::move(units));
}

}  // namespace tact
