#include "tools/tactrecord/Recorder.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace tact::record {

using namespace platform::hid;

const char* const kHeldMessage =
    "tactagent (or another program) holds the frame: stop it first with "
    "systemctl --user stop tactagent";

namespace {

constexpr std::uint8_t kTouchReportID = 10;
constexpr std::uint8_t kResponseReportID = 1;
constexpr std::uint8_t kCommandReportID = 2;
constexpr std::size_t kCommandSize = 63;
constexpr std::uint8_t kBootParameters = 0x10;
constexpr std::uint8_t kDeviceInformation = 0x17;
constexpr std::uint8_t kFrame = 0x21;
constexpr std::size_t kShipTimeOffset = 15;
constexpr std::size_t kSerialOffset = 19;
constexpr std::uint32_t kNoShipTime = 0xFFFFFFFF;
constexpr std::size_t kMaxFrameBlock = 255;  // its length is counted in one byte
constexpr std::size_t kMinFrameBlock = 12;   // up to the vertical LED count and the sum
constexpr std::size_t kReportBuffer = 16384;
// What one answer of the frame holds for serial number and type together
// (their NULs aside); tactreplay's frame takes no more.
constexpr std::size_t kTextRoom = 43;

std::string hex(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

template <typename... Args>
std::string format(const char* fmt, Args... args) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A header value has no quoting: a blank would end it.
std::string headerValue(const std::string& text) {
    std::string out = text;
    std::replace_if(out.begin(), out.end(), isBlank, '_');
    return out;
}

// The text as it can stand in a comment line, quoted.
std::string shown(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F)
            out += format("\\x%02x", c);
        else
            out.push_back(static_cast<char>(c));
    }
    return out + "\"";
}

// NUL-terminated single-byte text from `from`, cut at the end of the answer
// when no NUL comes first. Returns the text and where the next one starts.
std::pair<std::string, std::size_t> singleByteText(std::span<const std::uint8_t> bytes,
                                                   std::size_t from) {
    std::string text;
    std::size_t i = from;
    for (; i < bytes.size() && bytes[i] != 0; ++i)
        text.push_back(static_cast<char>(bytes[i]));
    return {text, i + 1};
}

std::string bootParameterSummary(const std::array<std::uint8_t, 16>& p) {
    const unsigned hardware = p[8] | (p[9] << 8);
    const unsigned software = p[10] | (p[11] << 8);
    return format(
        "# boot parameters: bootloader %u.%u, hardware %u.%u, software %u.%u.%u, flash %u KB, "
        "flags 0x%02X\n",
        p[0] / 10u, p[0] % 10u, hardware / 100, hardware % 100, software / 1000,
        (software / 10) % 100, software % 10, p[13] * 32u, static_cast<unsigned>(p[15]));
}

std::string localDate() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &local);
    return buf;
}

}  // namespace

std::string sessionHeader(const FrameIdentity& frame, const std::string& date) {
    std::string line = format("frame product=0x%04X", static_cast<unsigned>(frame.product));
    std::string notes;
    if (!frame.bootparam) {
        line += " debug=none";
        notes +=
            "# the frame answered no device command: it is replayed as a frame without the "
            "debug channel\n";
    } else {
        line += " bootparam=" + hex(*frame.bootparam);
        notes += bootParameterSummary(*frame.bootparam);
        if (frame.informationAnswered) {
            line += frame.shiptime ? " shiptime=" + std::to_string(*frame.shiptime)
                                   : std::string(" shiptime=none");
            std::string serial = frame.serial.substr(0, kTextRoom);
            std::string type = frame.type.substr(0, kTextRoom - serial.size());
            if (serial.size() + type.size() < frame.serial.size() + frame.type.size())
                notes += "# serial number " + shown(frame.serial) + " and type " +
                         shown(frame.type) + " are cut to " + std::to_string(kTextRoom) +
                         " bytes together, as much as the frame's answer holds\n";
            for (auto [name, value] : {std::pair{"serial number", &serial}, {"type", &type}}) {
                if (std::any_of(value->begin(), value->end(), isBlank))
                    notes += std::string("# the ") + name + " is " + shown(*value) +
                             "; blanks are written as '_' (header values have no quoting)\n";
            }
            line += " serial=" + headerValue(serial) + " type=" + headerValue(type);
            if (frame.leds)
                line += format(" leds=%ux%u", static_cast<unsigned>(frame.leds->first),
                               static_cast<unsigned>(frame.leds->second));
            else
                notes += "# no good frame block came: tactreplay's default LED counts stand in\n";
        } else {
            notes +=
                "# the frame did not answer the device-information request: tactreplay's "
                "defaults stand in for the ship time, serial number, type and LED counts\n";
        }
    }
    return line + "\n# recorded by tactrecord on " + date +
           "; times are seconds since the first touch report\n" + notes;
}

std::string rawLine(double t, std::span<const std::uint8_t> report) {
    return format("%.6f raw ", t) + hex(report) + "\n";
}

// --- the recorder ------------------------------------------------------------

Recorder::Recorder(platform::RunLoop& loop, std::shared_ptr<Backend> backend, Writer writer,
                   Options options)
    : loop_(loop),
      backend_(std::move(backend)),
      writer_(std::move(writer)),
      options_(std::move(options)),
      touchBuffer_(kReportBuffer),
      debugBuffer_(kReportBuffer) {}

Recorder::~Recorder() {
    if (manager_) {
        IOHIDManagerClose(manager_, kIOHIDOptionsTypeNone);
        IOHIDManagerUnscheduleFromRunLoop(manager_);
    }
}

bool Recorder::start() {
    manager_ = IOHIDManagerCreate(kIOHIDOptionsTypeNone, backend_);
    if (!manager_) {
        failure_ = Failure::CannotOpen;
        message_ = "the HID manager cannot be created";
        return false;
    }
    const platform::Dictionary touch{{"DeviceUsagePage", 13}, {"DeviceUsage", 4}};
    const platform::Dictionary debug{{"DeviceUsagePage", 255}, {"DeviceUsage", 1}};
    IOHIDManagerSetDeviceMatching(
        manager_, platform::Dictionary{{"DeviceUsagePairs", platform::Array{touch, debug}},
                                       {"VendorID", static_cast<std::int64_t>(kFrameVendor)}});
    IOHIDManagerRegisterDeviceMatchingCallback(manager_, &Recorder::onMatched, this);
    IOHIDManagerRegisterDeviceRemovalCallback(manager_, &Recorder::onRemoved, this);
    IOHIDManagerScheduleWithRunLoop(manager_, loop_);
    const IOReturn r = IOHIDManagerOpen(manager_, kIOHIDOptionsTypeSeizeDevice);
    if (r != kIOReturnSuccess) {
        IOHIDManagerUnscheduleFromRunLoop(manager_);
        manager_.reset();
        failure_ = r == kIOReturnExclusiveAccess ? Failure::Held : Failure::CannotOpen;
        message_ = r == kIOReturnExclusiveAccess ? std::string(kHeldMessage)
                                                 : "cannot open the frame: " + ioReturnText(r);
        return false;
    }
    // The interfaces present are announced by work the open posted; this
    // runs after it.
    loop_.post([this, alive = std::weak_ptr<int>(alive_)] {
        if (!alive.expired())
            checkFramePresent();
    });
    return true;
}

void Recorder::checkFramePresent() {
    if (touch_ || step_ != Step::NoFrame || failure_ != Failure::None)
        return;
    if (!options_.wait) {
        fail(Failure::NoFrame, "no touch frame (USB vendor 23c9) is attached");
        return;
    }
    if (options_.note)
        options_.note("waiting for a touch frame (USB vendor 23c9)");
}

void Recorder::onMatched(void* context, IOReturn, void*, IOHIDDeviceRef device) {
    static_cast<Recorder*>(context)->matched(device);
}

void Recorder::onRemoved(void* context, IOReturn, void*, IOHIDDeviceRef device) {
    static_cast<Recorder*>(context)->removed(device);
}

void Recorder::onTouchInput(void* context, IOReturn result, void*, IOHIDReportType,
                            std::uint32_t reportID, std::uint8_t* report, long length) {
    auto* self = static_cast<Recorder*>(context);
    if (result != kIOReturnSuccess || !report || length <= 0)
        return;
    std::span<const std::uint8_t> r(report, static_cast<std::size_t>(length));
    if (reportID == kTouchReportID)
        self->touchReport(r);
    else if (reportID == kResponseReportID && self->debug_ == self->touch_)
        self->response(r);
}

void Recorder::onDebugInput(void* context, IOReturn result, void*, IOHIDReportType, std::uint32_t,
                            std::uint8_t* report, long length) {
    if (result != kIOReturnSuccess || !report || length <= 0)
        return;
    static_cast<Recorder*>(context)->response(
        std::span<const std::uint8_t>(report, static_cast<std::size_t>(length)));
}

void Recorder::matched(const IOHIDDeviceRef& device) {
    if (!device || failure_ != Failure::None)
        return;
    const bool isTouch = IOHIDDeviceConformsTo(device, 13, 4);
    const bool isDebug = !isTouch && IOHIDDeviceConformsTo(device, 255, 1);
    if (!isTouch && !isDebug)
        return;
    if ((isTouch && touch_) || (isDebug && (debug_ || step_ > Step::WaitingForDebug)))
        return;  // another frame's, or late: the recording keeps to the first frame

    const IOReturn r = IOHIDDeviceOpen(device, kIOHIDOptionsTypeSeizeDevice);
    if (r == kIOReturnExclusiveAccess) {
        fail(Failure::Held, kHeldMessage);
        return;
    }
    if (r != kIOReturnSuccess) {
        fail(Failure::CannotOpen, "cannot open the frame: " + ioReturnText(r));
        return;
    }

    if (isDebug) {
        debug_ = device;
        IOHIDDeviceRegisterInputReportCallback(device, debugBuffer_.data(),
                                               static_cast<long>(debugBuffer_.size()),
                                               &Recorder::onDebugInput, this);
        if (touch_ && step_ == Step::WaitingForDebug)
            beginHandshake();
        return;
    }

    touch_ = device;
    IOHIDDeviceRegisterInputReportCallback(device, touchBuffer_.data(),
                                           static_cast<long>(touchBuffer_.size()),
                                           &Recorder::onTouchInput, this);
    auto product = IOHIDDeviceGetProperty(device, "ProductID");
    const auto productID =
        static_cast<std::uint16_t>(product ? product->asInteger().value_or(0) : 0);
    if (detached_) {
        // Plugged in again: the header keeps describing the first frame.
        detached_ = false;
        if (productID == kSingleInterfaceProduct && identity_.product == productID)
            debug_ = touch_;
        timedLine(loop_.monotonicNanoseconds(), "attach");
        if (options_.note)
            options_.note("the frame is back");
        return;
    }
    identity_.product = productID;
    if (options_.note)
        options_.note(
            format("recording the frame with product ID 0x%04X", static_cast<unsigned>(productID)));

    // The agent reads these two feature reports from a new frame; so do we,
    // so that the frame sees the same requests.
    for (long id : {10L, 11L}) {
        std::array<std::uint8_t, 64> feature{};
        long length = static_cast<long>(feature.size());
        IOHIDDeviceGetReport(device, kIOHIDReportTypeFeature, id, feature.data(), &length);
    }

    if (productID == kSingleInterfaceProduct) {
        debug_ = touch_;
        beginHandshake();
    } else if (debug_) {
        beginHandshake();
    } else {
        step_ = Step::WaitingForDebug;
        armStepTimer();
    }
}

void Recorder::removed(const IOHIDDeviceRef& device) {
    if (!device)
        return;
    if (device == touch_) {
        completeHandshake();
        touch_.reset();
        if (debug_ == device)
            debug_.reset();
        if (headerWritten_) {
            timedLine(loop_.monotonicNanoseconds(), "detach");
            detached_ = true;
        }
        if (options_.note)
            options_.note(options_.wait ? "the frame was unplugged; waiting for it"
                                        : "the frame was unplugged");
        if (!options_.wait)
            loop_.stop(failure_ == Failure::None ? 0 : 1);
    } else if (device == debug_) {
        completeHandshake();
        debug_.reset();
    }
}

void Recorder::beginHandshake() {
    step_ = Step::BootParameters;
    block_.clear();
    sendCommand(kBootParameters, 0);
    armStepTimer();
}

void Recorder::armStepTimer() {
    stepTimer_ = loop_.addTimer(options_.stepTimeout, 0, [this](platform::Timer&) {
        if (options_.note) {
            static const char* const what[] = {
                "", "the debug interface did not appear", "no answer to the boot-parameter request",
                "no answer to the device-information request", "no good frame block"};
            options_.note(format("%s within %g s; recording with what the frame told",
                                 what[static_cast<int>(step_)], options_.stepTimeout));
        }
        completeHandshake();
    });
}

void Recorder::sendCommand(std::uint8_t code, std::uint8_t parameter) {
    std::array<std::uint8_t, kCommandSize> command{};
    command[0] = kCommandReportID;
    command[1] = code;
    command[2] = parameter;
    IOHIDDeviceSetReport(debug_, kIOHIDReportTypeOutput, kCommandReportID, command.data(),
                         static_cast<long>(command.size()));
}

void Recorder::response(std::span<const std::uint8_t> r) {
    if (r.size() < 2)
        return;
    const std::uint8_t code = r[1];
    if (code == kBootParameters && step_ == Step::BootParameters && r.size() >= 3 + 16) {
        identity_.bootparam.emplace();
        std::copy_n(r.begin() + 3, 16, identity_.bootparam->begin());
        step_ = Step::Information;
        sendCommand(kDeviceInformation, 0);
        armStepTimer();
    } else if (code == kDeviceInformation && step_ == Step::Information &&
               r.size() >= kSerialOffset) {
        const auto at = kShipTimeOffset;
        const std::uint32_t shiptime = r[at] | (r[at + 1] << 8) | (r[at + 2] << 16) |
                                       (static_cast<std::uint32_t>(r[at + 3]) << 24);
        if (shiptime != kNoShipTime)
            identity_.shiptime = shiptime;
        auto [serial, next] = singleByteText(r, kSerialOffset);
        identity_.serial = std::move(serial);
        identity_.type = singleByteText(r, next).first;
        identity_.informationAnswered = true;
        step_ = Step::FrameBlock;
        sendCommand(kFrame, 2);
        armStepTimer();
    } else if ((code & 0xF0) == 0x30 && step_ == Step::FrameBlock) {
        framePacket(r, code);
    }
}

void Recorder::framePacket(std::span<const std::uint8_t> r, std::uint8_t code) {
    const unsigned position = code & 0x0F;  // 0 first, 1 middle, 2 last
    if (position > 2)
        return;
    const std::size_t declared = r.size() > 2 ? r[2] : 0;
    const auto payload = r.subspan(std::min<std::size_t>(3, r.size()))
                             .first(std::min(declared, r.size() > 3 ? r.size() - 3 : 0));
    if (position == 0)
        block_.clear();
    block_.insert(block_.end(), payload.begin(), payload.end());
    if (block_.size() > kMaxFrameBlock) {
        block_.clear();
        return;
    }
    if (position != 2)
        return;

    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < block_.size(); ++i)
        sum = static_cast<std::uint8_t>(sum + block_[i]);
    if (block_.size() < kMinFrameBlock || sum != block_.back()) {
        block_.clear();  // the next first packet starts over
        return;
    }
    auto u16 = [&](std::size_t i) {
        return static_cast<std::uint16_t>(block_[i] | (block_[i + 1] << 8));
    };
    identity_.leds = std::pair{u16(7), u16(9)};
    sendCommand(kFrame, 0);
    completeHandshake();
}

void Recorder::completeHandshake() {
    if (step_ == Step::NoFrame || step_ == Step::Done)
        return;
    step_ = Step::Done;
    stepTimer_.invalidate();
    if (!write(sessionHeader(identity_, localDate())))
        return;
    headerWritten_ = true;
    for (const auto& p : pending_)
        timedLine(p.at, "raw " + hex(p.bytes));
    pending_.clear();
}

void Recorder::touchReport(std::span<const std::uint8_t> r) {
    ++reports_;
    const std::uint64_t now = loop_.monotonicNanoseconds();
    if (!headerWritten_)
        pending_.push_back(Pending{now, std::vector<std::uint8_t>(r.begin(), r.end())});
    else
        timedLine(now, "raw " + hex(r));
}

void Recorder::timedLine(std::uint64_t at, const std::string& rest) {
    if (!origin_)
        origin_ = at;
    const double t = static_cast<double>(at - std::min(at, *origin_)) / 1e9;
    write(format("%.6f ", t) + rest + "\n");
}

bool Recorder::write(const std::string& text) {
    if (failure_ == Failure::CannotWrite)
        return false;
    if (writer_(text))
        return true;
    fail(Failure::CannotWrite, "the session cannot be written");
    return false;
}

void Recorder::fail(Failure failure, const std::string& message) {
    if (failure_ == Failure::None) {
        failure_ = failure;
        message_ = message;
    }
    loop_.stop(1);
}

void Recorder::finish() {
    if (finished_)
        return;
    finished_ = true;
    if (failure_ == Failure::None || failure_ == Failure::NoFrame)
        completeHandshake();
    stepTimer_.invalidate();
    if (headerWritten_ && failure_ != Failure::CannotWrite)
        write("# end of the recording: " + std::to_string(reports_) + " touch reports\n");
    if (manager_) {
        IOHIDManagerClose(manager_, kIOHIDOptionsTypeNone);
        IOHIDManagerUnscheduleFromRunLoop(manager_);
        manager_.reset();
    }
    touch_.reset();
    debug_.reset();
}

}  // namespace tact::record
