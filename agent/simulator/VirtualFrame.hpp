// A virtual touch frame and the backend it is attached to: the HID interfaces
// of the frame as a HID manager sees them, for tests and the replay tool.
//
// The frame (vendor 0x23C9) shows two interfaces, or one when its product ID
// is 0x5668:
//  - touch (usage page 13, usage 4): input report 10 of 62 bytes (report ID,
//    60 bytes of contact records, contact count); feature report 10 (2 bytes:
//    the maximum contact count) and 11 (3 bytes: input mode 2, device index 0).
//    With product 0x5668 it also takes output report 2 (63 bytes) and sends
//    input report 1 (64 bytes): the debug channel lives here.
//  - debug (usage page 255, usage 1): output report 2 (63 bytes), input
//    report 1 (64 bytes), feature report 2 (63 bytes, all zero after the ID).
//
// Debug channel: an output report [2, command, parameter, ...] is answered,
// through the run loop of each connection open on the channel, with input
// report 1:
//  - 0x10: [1, 0x10, 0, boot-parameter block (16 bytes)], zero-filled;
//  - 0x17: [1, 0x17, 0, 12 zero bytes, ship time (32-bit LE, 0xFFFFFFFF when
//    none), serial NUL, type NUL], zero-filled;
//  - 0x21 with parameter 2: the frame block (kFrameBlockSize bytes) in packets
//    [1, 0x30|0x31|0x32, payload length, payload...] of at most
//    kFramePacketPayload bytes: 0x30 first, 0x31 middle, 0x32 last;
//  - anything else (0x21 with parameter 0 among them): no answer.
// Frame block: byte 0 = 1, bytes 1..6 = "VFRAME", bytes 7..8 = LEDs along the
// horizontal edge, 9..10 = along the vertical edge (16-bit LE), zeros, and the
// last byte the sum modulo 256 of all bytes before it.
#pragma once

#include "platform/hid/Backend.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform::hid {

// The identity of a virtual frame (defaults documented per field).
struct VirtualFrameConfig {
    std::uint16_t product = 0x5666;
    // Bootloader 4.0, hardware 1.10, software 2.3.1, 256 KB flash,
    // Flags 0xA0 (ten touch points).
    std::array<std::uint8_t, 16> bootparam = {40,  0, 0,    0,    0, 0, 0, 0,
                                              110, 0, 0xEF, 0x07, 0, 8, 0, 0xA0};
    std::optional<std::uint32_t> shiptime = 1577836800;  // 2020-01-01 00:00:00 UTC
    std::string serial = "VF-000001";
    std::string type = "VF-26";
    std::uint16_t ledsH = 100;
    std::uint16_t ledsV = 60;
    bool debug = true;              // false: answers no device command
    bool badFrameChecksum = false;  // sends a frame block whose checksum is off by one
};

struct VirtualFrameContact {
    std::uint8_t flags = 7;  // touching, in range, valid
    std::uint8_t id = 0;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::optional<std::uint16_t> w;  // absent: 0 (10-byte records only)
    std::optional<std::uint16_t> h;
};

class VirtualFrame {
  public:
    static constexpr std::uint32_t kVendorID = 0x23C9;
    static constexpr std::uint16_t kSingleInterfaceProduct = 0x5668;
    static constexpr std::size_t kFrameBlockSize = 40;
    static constexpr std::size_t kFramePacketPayload = 16;

    using Config = VirtualFrameConfig;
    using Contact = VirtualFrameContact;

    // The record layout the boot parameters select.
    enum class RecordLayout {
        TenByteSplit,  // bootloader (low 7 bits) 40 or more: 10-byte records, split above six
        TenByte,       // older, Flags high nibble 1..6: 10-byte records, at most six
        SixByte,       // older, otherwise: 6-byte records, at most ten
    };

    enum class Interface { Touch, Debug };

    // What the frame was asked for, in order: output and feature reports set,
    // feature reports read.
    struct Request {
        Interface interface;
        bool isGet;
        IOHIDReportType type;
        long reportID;                    // the argument of the call
        std::vector<std::uint8_t> bytes;  // what was written (empty for a read)
    };

    // Empty when the configuration can be shown as it is; otherwise why not
    // (serial or type holding NUL, or too long for the information response:
    // together at most 43 bytes). The frame itself cuts such texts to fit.
    static std::string checkConfig(const Config& config);

    VirtualFrame();
    explicit VirtualFrame(Config config);
    ~VirtualFrame();
    VirtualFrame(const VirtualFrame&) = delete;
    VirtualFrame& operator=(const VirtualFrame&) = delete;

    const Config& config() const;
    RecordLayout recordLayout() const;
    bool isAttached() const;
    // Whether a connection holds the interface exclusively.
    bool isSeized(Interface interface) const;

    // Encodes one report's contacts in the frame's layout (two reports when
    // split) without sending them. False, with a reason, for more contacts
    // than the layout carries.
    bool encodeTouches(const std::vector<Contact>& contacts,
                       std::vector<std::vector<std::uint8_t>>* reports,
                       std::string* error = nullptr) const;
    // Encodes and sends as input reports of the touch interface. While the
    // frame is detached the reports go nowhere (still true).
    bool sendTouches(const std::vector<Contact>& contacts, std::string* error = nullptr);
    // Sends the bytes as one input report of the touch interface, as given.
    // False for an empty report or one above 16384 bytes.
    bool sendRaw(std::span<const std::uint8_t> report, std::string* error = nullptr);
    // The same on the debug channel (the touch interface for the single-
    // interface product), whatever the frame was asked: for frames that answer
    // out of turn.
    bool sendDebugRaw(std::span<const std::uint8_t> report, std::string* error = nullptr);

    // The frame block it sends for 0x21 with parameter 2.
    std::vector<std::uint8_t> frameBlock() const;

    const std::vector<Request>& requests() const;
    void clearRequests();

    struct Core;

  private:
    friend class VirtualBackend;
    std::shared_ptr<Core> core_;
};

// The backend virtual frames are attached to. Interfaces of attached frames
// are present in attach order.
class VirtualBackend : public Backend {
  public:
    VirtualBackend();
    ~VirtualBackend() override;

    // Attaching a frame that is attached (here or to another backend) does
    // nothing and returns false. Observers hear of the new interfaces at once.
    bool attach(const std::shared_ptr<VirtualFrame>& frame);
    // Removes the frame's interfaces: open connections die (reports pending in
    // a run loop are dropped) and observers hear of it at once. False when the
    // frame is not attached here.
    bool detach(const std::shared_ptr<VirtualFrame>& frame);
    // Tells observers of the frame's interfaces again, as udev's "change"
    // does. False when the frame is not attached here.
    bool change(const std::shared_ptr<VirtualFrame>& frame);

    std::vector<std::shared_ptr<BackendDevice>> devices() override;
    std::unique_ptr<DeviceWatch> watch(RunLoop& loop, Observer observer) override;

    struct State;

  private:
    void announceInterfaces(VirtualFrame::Core& core);

    std::shared_ptr<State> state_;
};

}  // namespace platform::hid
