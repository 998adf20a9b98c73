#include "agent/protocol/FrameProtocol.hpp"

#include <algorithm>

namespace tact::frame {

std::array<std::uint8_t, kCommandSize> deviceCommand(std::uint8_t code, std::uint8_t parameter) {
    std::array<std::uint8_t, kCommandSize> command{};
    command[0] = kCommandReportID;
    command[1] = code;
    command[2] = parameter;
    return command;
}

std::optional<std::uint8_t> responseCode(std::span<const std::uint8_t> response) {
    if (response.size() < 2)
        return std::nullopt;
    return response[1];
}

std::optional<std::span<const std::uint8_t, BootParam_::kSize>> bootParameterBlock(
    std::span<const std::uint8_t> response) {
    if (response.size() < 3 + BootParam_::kSize)
        return std::nullopt;
    return response.subspan(3).first<BootParam_::kSize>();
}

namespace {

// NUL-terminated single-byte text from `from`, cut at the end of the response
// when no NUL comes first. Returns the text and where the next one starts.
std::pair<std::string, std::size_t> singleByteText(std::span<const std::uint8_t> bytes,
                                                   std::size_t from) {
    std::string text;
    std::size_t i = from;
    for (; i < bytes.size() && bytes[i] != 0; ++i)
        text.push_back(static_cast<char>(bytes[i]));
    return {text, i + 1};
}

}  // namespace

std::optional<DeviceInformation> deviceInformation(std::span<const std::uint8_t> response) {
    if (response.size() < kSerialOffset)
        return std::nullopt;
    const auto r = response.subspan(kShipTimeOffset);
    const std::uint32_t shipTime =
        r[0] | (r[1] << 8) | (r[2] << 16) | (static_cast<std::uint32_t>(r[3]) << 24);
    DeviceInformation info;
    if (shipTime != kNoShipTime)
        info.shipTime = shipTime;
    auto [serial, next] = singleByteText(response, kSerialOffset);
    info.serial = std::move(serial);
    info.type = singleByteText(response, next).first;
    return info;
}

FramePacketStep addFramePacket(std::span<const std::uint8_t> packet,
                               std::span<std::uint8_t, kMaxFrameBlock> block, std::size_t length) {
    const unsigned position = packet.size() > 1 ? packet[1] & 0x0F : 0xF;  // 0 first, 2 last
    if (position > 2)
        return {FramePacketStep::Unknown, length};
    const std::size_t declared = packet.size() > 2 ? packet[2] : 0;
    const auto payload = packet.subspan(std::min<std::size_t>(3, packet.size()))
                             .first(std::min(declared, packet.size() > 3 ? packet.size() - 3 : 0));
    const std::size_t at = position == 0 ? 0 : std::min(length, kMaxFrameBlock);
    if (at + payload.size() > kMaxFrameBlock)
        return {FramePacketStep::Overflow, length};
    std::copy(payload.begin(), payload.end(), block.begin() + static_cast<long>(at));
    return {position == 2 ? FramePacketStep::Last : FramePacketStep::Partial, at + payload.size()};
}

std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (auto b : bytes)
        sum = static_cast<std::uint8_t>(sum + b);
    return sum;
}

std::optional<LEDCounts> frameBlockLEDs(std::span<const std::uint8_t> block) {
    if (block.size() < kMinFrameBlock || checksum(block.first(block.size() - 1)) != block.back())
        return std::nullopt;
    auto u16 = [&](std::size_t at) {
        return static_cast<std::uint16_t>(block[at] | (block[at + 1] << 8));
    };
    return LEDCounts{u16(7), u16(9)};
}

}  // namespace tact::frame
