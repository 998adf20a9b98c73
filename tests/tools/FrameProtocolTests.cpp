// The frame's wire protocol as the agent and tactrecord read it: responses cut
// short, the frame block's boundaries and checksum. The handshakes over whole
// frames are covered by the device-layer and recorder tests.
#include <gtest/gtest.h>

#include <vector>

#include "agent/protocol/FrameProtocol.hpp"

namespace {

using namespace tact;
using Bytes = std::vector<std::uint8_t>;

// A frame block of `size` bytes with these LED counts and a good sum.
Bytes block(std::size_t size, std::uint16_t h, std::uint16_t v) {
    Bytes b(size, 0);
    b[0] = 1;
    b[7] = static_cast<std::uint8_t>(h);
    b[8] = static_cast<std::uint8_t>(h >> 8);
    b[9] = static_cast<std::uint8_t>(v);
    b[10] = static_cast<std::uint8_t>(v >> 8);
    b.back() = frame::checksum(std::span(b).first(size - 1));
    return b;
}

Bytes packet(std::uint8_t code, std::uint8_t declared, const Bytes& payload) {
    Bytes p(3 + payload.size(), 0);
    p[0] = frame::kResponseReportID;
    p[1] = code;
    p[2] = declared;
    std::copy(payload.begin(), payload.end(), p.begin() + 3);
    return p;
}

TEST(FrameProtocol, FrameBlockChecks) {
    struct Case {
        const char* what;
        Bytes bytes;
        std::optional<std::pair<int, int>> leds;
    };
    Bytes offByOne = block(40, 100, 60);
    offByOne.back() = static_cast<std::uint8_t>(offByOne.back() + 1);
    Bytes heavy(40, 0xFF);  // the sum wraps many times over
    heavy.back() = frame::checksum(std::span(heavy).first(39));
    const Case cases[] = {
        {"good", block(40, 100, 60), std::pair{100, 60}},
        {"shortest that holds both counts", block(12, 0x1234, 0xABCD), std::pair{0x1234, 0xABCD}},
        {"one byte too short", block(11, 1, 1), std::nullopt},
        {"empty", {}, std::nullopt},
        {"sum off by one", offByOne, std::nullopt},
        {"sum modulo 256", heavy, std::pair{0xFFFF, 0xFFFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto leds = frame::frameBlockLEDs(c.bytes);
        ASSERT_EQ(leds.has_value(), c.leds.has_value());
        if (leds) {
            EXPECT_EQ(leds->horizontal, c.leds->first);
            EXPECT_EQ(leds->vertical, c.leds->second);
        }
    }
}

TEST(FrameProtocol, PacketsAssembleWithinTheBlockAndTheirOwnBytes) {
    using Step = frame::FramePacketStep;
    std::array<std::uint8_t, frame::kMaxFrameBlock> buffer{};
    struct Case {
        const char* what;
        std::size_t before;
        Bytes packet;
        Step::Outcome outcome;
        std::size_t after;
    };
    const Bytes ten(10, 7);
    const Case cases[] = {
        {"first starts over", 100, packet(0x30, 10, ten), Step::Partial, 10},
        {"middle goes on", 100, packet(0x31, 10, ten), Step::Partial, 110},
        {"last completes", 100, packet(0x32, 10, ten), Step::Last, 110},
        {"declared beyond the bytes carried", 0, packet(0x30, 200, ten), Step::Partial, 10},
        {"no length byte", 5, {1, 0x31}, Step::Partial, 5},
        {"fills the block exactly", 245, packet(0x32, 10, ten), Step::Last, 255},
        {"one byte past the block", 246, packet(0x31, 10, ten), Step::Overflow, 246},
        {"not first, middle or last", 100, packet(0x33, 10, ten), Step::Unknown, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto step = frame::addFramePacket(c.packet, buffer, c.before);
        EXPECT_EQ(step.outcome, c.outcome);
        EXPECT_EQ(step.length, c.after);
    }
}

TEST(FrameProtocol, ResponsesCutShort) {
    Bytes boot(3 + BootParam_::kSize, 0);
    boot[1] = frame::kBootParameters;
    boot[3] = 40;    // bootloader
    boot[11] = 110;  // hardware, low byte
    EXPECT_FALSE(frame::bootParameterBlock(std::span(boot).first(boot.size() - 1)));
    auto p = BootParam_::fromBytes(*frame::bootParameterBlock(boot));
    EXPECT_EQ(p.BootLoaderVersion, 40);
    EXPECT_EQ(p.HardwareVer, 110);
    EXPECT_EQ(p.bytes(), (std::array<std::uint8_t, 16>{40, 0, 0, 0, 0, 0, 0, 0, 110}));

    EXPECT_FALSE(frame::responseCode(Bytes{1}));
    EXPECT_FALSE(frame::deviceInformation(Bytes(frame::kSerialOffset - 1, 0)));

    // Ship time only; then texts without their NULs, cut at the end.
    Bytes info(frame::kSerialOffset, 0);
    info[15] = 0x00;
    info[16] = 0xE1;
    info[17] = 0x0B;
    info[18] = 0x5E;  // 1577836800
    auto i = frame::deviceInformation(info);
    ASSERT_TRUE(i);
    EXPECT_EQ(i->shipTime, 1577836800u);
    EXPECT_EQ(i->serial, "");
    EXPECT_EQ(i->type, "");
    for (auto b : {'S', 'N', '\0', 'T', 'Y'})
        info.push_back(static_cast<std::uint8_t>(b));
    std::fill(info.begin() + 15, info.begin() + 19, 0xFF);
    i = frame::deviceInformation(info);
    ASSERT_TRUE(i);
    EXPECT_FALSE(i->shipTime);
    EXPECT_EQ(i->serial, "SN");
    EXPECT_EQ(i->type, "TY");

    const auto command = frame::deviceCommand(frame::kFrame, frame::kFrameSend);
    EXPECT_EQ(command.size(), 63u);
    EXPECT_EQ(Bytes(command.begin(), command.begin() + 4), (Bytes{2, 0x21, 2, 0}));
}

}  // namespace
