// Recording a frame into a session file that tactreplay plays (docs/record.md).
//
// The recorder opens the frame's interfaces (vendor 0x23C9: the touch
// interface, 13/4, and the debug interface, 255/1, which frames with product
// 0x5668 carry on the touch interface as report 1) exclusively, asks the frame
// for its identity the way the agent does (0x10, 0x17, then the frame block
// with 0x21/2, acknowledged with 0x21/0), writes the session's `frame` header,
// then one `<t> raw <hex>` line per touch report (report 10). Touch reports
// that arrive during the handshake are kept and written right after the
// header. Every line goes to the writer as soon as it is known.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "agent/protocol/FrameProtocol.hpp"
#include "platform/hid/HID.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace tact::record {

// What the handshake learnt about the frame.
struct FrameIdentity {
    std::uint16_t product = 0;
    std::optional<std::array<std::uint8_t, BootParam_::kSize>> bootparam;  // it answered 0x10
    bool informationAnswered = false;                                      // it answered 0x17
    std::optional<std::uint32_t> shiptime;                                 // none: 0xFFFFFFFF
    std::string serial;
    std::string type;
    std::optional<std::pair<std::uint16_t, std::uint16_t>> leds;  // a good frame block
};

// The header of a session: the `frame` line and comment lines saying what it
// could not hold, each line ending in '\n'. `date` goes in the first comment.
std::string sessionHeader(const FrameIdentity& frame, const std::string& date);

// "<t> raw <hex>\n", t with microseconds.
std::string rawLine(double t, std::span<const std::uint8_t> report);

// The text tactrecord stops with when another program holds the frame.
extern const char* const kHeldMessage;

class Recorder {
  public:
    // Receives each piece of the session as it is known (whole lines); false
    // when it could not be written, which ends the recording.
    using Writer = std::function<bool(const std::string& text)>;

    struct Options {
        bool wait = false;         // no frame yet: wait for one instead of failing
        double stepTimeout = 2.0;  // seconds for each answer of the handshake
        // Told what happens (the frame found, unanswered requests, unplugging).
        std::function<void(const std::string&)> note;
    };

    enum class Failure { None, Held, NoFrame, CannotOpen, CannotWrite };

    Recorder(platform::RunLoop& loop, std::shared_ptr<platform::hid::Backend> backend,
             Writer writer, Options options);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Opens the frame. False, with failure() and message(), when it cannot be
    // opened. Afterwards everything happens on the loop; a failure there (or
    // the frame leaving, without Options::wait) stops the loop, with 1 for a
    // failure and 0 otherwise.
    bool start();

    // Ends the recording: a header not yet written is written with what the
    // handshake has learnt so far, then a closing comment; the frame is let go.
    void finish();

    Failure failure() const { return failure_; }
    const std::string& message() const { return message_; }
    std::size_t reportCount() const { return reports_; }
    bool headerWritten() const { return headerWritten_; }
    const FrameIdentity& identity() const { return identity_; }

  private:
    enum class Step { NoFrame, WaitingForDebug, BootParameters, Information, FrameBlock, Done };

    struct Pending {
        std::uint64_t at;
        std::vector<std::uint8_t> bytes;
    };

    static void onMatched(void* context, platform::hid::IOReturn result, void* sender,
                          platform::hid::IOHIDDeviceRef device);
    static void onRemoved(void* context, platform::hid::IOReturn result, void* sender,
                          platform::hid::IOHIDDeviceRef device);
    static void onTouchInput(void* context, platform::hid::IOReturn result, void* sender,
                             platform::hid::IOHIDReportType type, std::uint32_t reportID,
                             std::uint8_t* report, long length);
    static void onDebugInput(void* context, platform::hid::IOReturn result, void* sender,
                             platform::hid::IOHIDReportType type, std::uint32_t reportID,
                             std::uint8_t* report, long length);

    void matched(const platform::hid::IOHIDDeviceRef& device);
    void removed(const platform::hid::IOHIDDeviceRef& device);
    void checkFramePresent();
    void beginHandshake();
    void armStepTimer();
    void sendCommand(std::uint8_t code, std::uint8_t parameter);
    void response(std::span<const std::uint8_t> r);
    void framePacket(std::span<const std::uint8_t> r);
    void completeHandshake();
    void touchReport(std::span<const std::uint8_t> r);
    void timedLine(std::uint64_t at, const std::string& rest);
    bool write(const std::string& text);
    void fail(Failure failure, const std::string& message);

    platform::RunLoop& loop_;
    std::shared_ptr<platform::hid::Backend> backend_;
    Writer writer_;
    Options options_;
    platform::hid::IOHIDManagerRef manager_;

    Step step_ = Step::NoFrame;
    platform::hid::IOHIDDeviceRef touch_;
    platform::hid::IOHIDDeviceRef debug_;
    std::vector<std::uint8_t> touchBuffer_;
    std::vector<std::uint8_t> debugBuffer_;
    platform::Timer stepTimer_;
    FrameIdentity identity_;
    std::array<std::uint8_t, frame::kMaxFrameBlock> block_{};
    std::size_t blockLength_ = 0;

    bool headerWritten_ = false;
    bool detached_ = false;
    std::vector<Pending> pending_;
    std::optional<std::uint64_t> origin_;  // monotonic time of t = 0
    std::size_t reports_ = 0;
    Failure failure_ = Failure::None;
    std::string message_;
    bool finished_ = false;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // for work posted to the loop
};

}  // namespace tact::record
