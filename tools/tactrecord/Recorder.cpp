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

constexpr std::size_t kReportBuffer = 16384;
// tactreplay's frame takes no more of serial number and type than a real one sends.
constexpr std::size_t kTextRoom = frame::kInformationTextRoom;

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

std::string bootParameterSummary(const std::array<std::uint8_t, BootParam_::kSize>& bytes) {
    const BootParam_ p = BootParam_::fromBytes(bytes);
    const unsigned hardware = p.HardwareVer;
    const unsigned software = p.SoftwareVer;
    return format(
        "# boot parameters: bootloader %u.%u, hardware %u.%u, software %u.%u.%u, flash %u KB, "
        "flags 0x%02X\n",
        p.BootLoaderVersion / 10u, p.BootLoaderVersion % 10u, hardware / 100, hardware % 100,
        software / 1000, (software / 10) % 100, software % 10, p.FlashSize * 32u,
        static_cast<unsigned>(p.Flags));
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
    const platform::Dictionary touch{{"DeviceUsagePage", frame::kTouchUsagePage},
                                     {"DeviceUsage", frame::kTouchUsage}};
    const platform::Dictionary debug{{"DeviceUsagePage", frame::kDebugUsagePage},
                                     {"DeviceUsage", frame::kDebugUsage}};
    IOHIDManagerSetDeviceMatching(
        manager_, platform::Dictionary{{"DeviceUsagePairs", platform::Array{touch, debug}},
                                       {"VendorID", static_cast<std::int64_t>(frame::kVendorID)}});
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
    if (reportID == frame::kTouchReportID)
        self->touchReport(r);
    else if (reportID == frame::kResponseReportID && self->debug_ == self->touch_)
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
    const bool isTouch = IOHIDDeviceConformsTo(device, frame::kTouchUsagePage, frame::kTouchUsage);
    const bool isDebug =
        !isTouch && IOHIDDeviceConformsTo(device, frame::kDebugUsagePage, frame::kDebugUsage);
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
        if (productID == frame::kSingleInterfaceProduct && identity_.product == productID)
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

    // The agent reads these feature reports from a new frame; so do we, so
    // that the frame sees the same requests.
    for (long id : frame::kAttachFeatureReports) {
        std::array<std::uint8_t, 64> feature{};
        long length = static_cast<long>(feature.size());
        IOHIDDeviceGetReport(device, kIOHIDReportTypeFeature, id, feature.data(), &length);
    }

    if (productID == frame::kSingleInterfaceProduct) {
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
    blockLength_ = 0;
    sendCommand(frame::kBootParameters, 0);
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
    auto command = frame::deviceCommand(code, parameter);
    IOHIDDeviceSetReport(debug_, kIOHIDReportTypeOutput, frame::kCommandReportID, command.data(),
                         static_cast<long>(command.size()));
}

void Recorder::response(std::span<const std::uint8_t> r) {
    const auto code = frame::responseCode(r);
    if (!code)
        return;
    if (*code == frame::kBootParameters && step_ == Step::BootParameters) {
        const auto block = frame::bootParameterBlock(r);
        if (!block)
            return;
        identity_.bootparam.emplace();
        std::copy(block->begin(), block->end(), identity_.bootparam->begin());
        step_ = Step::Information;
        sendCommand(frame::kDeviceInformation, 0);
        armStepTimer();
    } else if (*code == frame::kDeviceInformation && step_ == Step::Information) {
        auto info = frame::deviceInformation(r);
        if (!info)
            return;
        identity_.shiptime = info->shipTime;
        identity_.serial = std::move(info->serial);
        identity_.type = std::move(info->type);
        identity_.informationAnswered = true;
        step_ = Step::FrameBlock;
        sendCommand(frame::kFrame, frame::kFrameSend);
        armStepTimer();
    } else if (frame::isFramePacket(*code) && step_ == Step::FrameBlock) {
        framePacket(r);
    }
}

void Recorder::framePacket(std::span<const std::uint8_t> r) {
    const auto step = frame::addFramePacket(r, block_, blockLength_);
    if (step.outcome == frame::FramePacketStep::Overflow) {
        blockLength_ = 0;
        return;
    }
    blockLength_ = step.length;
    if (step.outcome != frame::FramePacketStep::Last)
        return;
    const auto leds = frame::frameBlockLEDs(std::span(block_).first(blockLength_));
    if (!leds) {
        blockLength_ = 0;  // the next first packet starts over
        return;
    }
    identity_.leds = std::pair{leds->horizontal, leds->vertical};
    sendCommand(frame::kFrame, frame::kFrameAcknowledge);
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
