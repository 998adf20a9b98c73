#include "agent/simulator/VirtualFrame.hpp"

#include "platform/hid/HID.hpp"
#include "platform/hid/ReportDescriptor.hpp"
#include "platform/log/SystemLog.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace platform::hid {

namespace {

constexpr std::uint8_t kTouchReportID = 10;
constexpr std::size_t kTouchReportSize = 62;
constexpr std::uint8_t kCommandReportID = 2;
constexpr std::uint8_t kResponseReportID = 1;
constexpr std::size_t kResponseSize = 64;
constexpr std::size_t kDebugFeatureSize = 63;
constexpr std::size_t kInformationTextRoom = kResponseSize - 19;  // serial NUL type NUL
constexpr std::size_t kMaxRawReport = 16384;

using Bytes = std::vector<std::uint8_t>;

void append(Bytes& out, std::initializer_list<std::uint8_t> bytes) {
    out.insert(out.end(), bytes);
}

// clang-format off

// One finger of the touch collection: tip, in range, valid, 5 bits padding,
// contact ID, X, Y (0..32767), width, height: 10 bytes.
void appendFinger(Bytes& d) {
    append(d, {
        0x05, 0x0D, 0x09, 0x22, 0xA1, 0x02,              // Finger, logical collection
        0x09, 0x42, 0x09, 0x32, 0x09, 0x47,              // tip switch, in range, confidence
        0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x03,  // 0..1, 1 bit x 3
        0x81, 0x02,                                      // input
        0x95, 0x05, 0x81, 0x03,                          // 5 bits padding
        0x09, 0x51, 0x26, 0xFF, 0x00,                    // contact ID, 0..255
        0x75, 0x08, 0x95, 0x01, 0x81, 0x02,              // 8 bits x 1, input
        0x05, 0x01, 0x09, 0x30, 0x09, 0x31,              // X, Y
        0x26, 0xFF, 0x7F, 0x75, 0x10, 0x95, 0x02,        // 0..32767, 16 bits x 2
        0x81, 0x02,                                      // input
        0x05, 0x0D, 0x09, 0x48, 0x09, 0x49,              // width, height
        0x95, 0x02, 0x81, 0x02,                          // 16 bits x 2, input
        0xC0,                                            // end
    });
}

Bytes touchDescriptor(bool withDebugChannel) {
    Bytes d;
    append(d, {
        0x05, 0x0D, 0x09, 0x04, 0xA1, 0x01,  // Digitizer / Touch Screen, application
        0x85, kTouchReportID,                // report 10
    });
    for (int i = 0; i < 6; ++i)
        appendFinger(d);
    append(d, {
        0x05, 0x0D, 0x09, 0x54, 0x25, 0x7F,  // contact count, 0..127
        0x75, 0x08, 0x95, 0x01, 0x81, 0x02,  // 8 bits x 1, input
        0x09, 0x55, 0x25, 0x0A, 0xB1, 0x02,  // feature 10: maximum contact count
        0x85, 0x0B, 0x09, 0x52, 0x09, 0x53,  // report 11: input mode, device index
        0x95, 0x02, 0xB1, 0x02,              // 8 bits x 2, feature
    });
    if (withDebugChannel)
        append(d, {
            0x06, 0x00, 0xFF,                          // vendor page 0xFF00
            0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,  // bytes 0..255
            0x85, kCommandReportID, 0x09, 0x01,        // report 2
            0x95, 0x3E, 0x91, 0x02,                    // 62 bytes, output
            0x85, kResponseReportID, 0x09, 0x02,       // report 1
            0x95, 0x3F, 0x81, 0x02,                    // 63 bytes, input
        });
    append(d, {0xC0});
    return d;
}

Bytes debugDescriptor() {
    return {
        0x06, 0xFF, 0x00, 0x09, 0x01, 0xA1, 0x01,  // page 255, usage 1, application
        0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,  // bytes 0..255
        0x85, kResponseReportID, 0x09, 0x02,       // report 1
        0x95, 0x3F, 0x81, 0x02,                    // 63 bytes, input
        0x85, kCommandReportID, 0x09, 0x03,        // report 2
        0x95, 0x3E, 0x91, 0x02,                    // 62 bytes, output
        0x09, 0x04, 0xB1, 0x02,                    // 62 bytes, feature
        0xC0,                                      // end
    };
}

// clang-format on

DeviceDescription describe(const std::string& path, std::uint16_t product, Bytes descriptor,
                           const std::string& name) {
    DeviceDescription d;
    d.path = path;
    d.vendorID = VirtualFrame::kVendorID;
    d.productID = product;
    d.product = name;
    d.transport = "Virtual";
    auto info = parseReportDescriptor(descriptor);
    if (info) {
        d.usagePairs = info->applicationCollections;
        d.usesReportIDs = info->usesReportIDs;
        d.maxInputReportSize = info->maxInputReportSize;
        d.maxOutputReportSize = info->maxOutputReportSize;
        d.maxFeatureReportSize = info->maxFeatureReportSize;
    }
    d.reportDescriptor = std::move(descriptor);
    return d;
}

void putLE16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

std::atomic<unsigned> nextFrameNumber{1};

}  // namespace

class VirtualInterface;

// What a connection and the reports posted for it share. A closed core drops
// reports still waiting in a run loop.
struct VirtualConnectionCore {
    RunLoop* loop = nullptr;
    InputReportHandler onInput;
    bool seize = false;
    bool open = true;
};

struct VirtualFrame::Core : std::enable_shared_from_this<VirtualFrame::Core> {
    Config config;
    unsigned number = 0;
    std::vector<Request> requests;
    std::weak_ptr<VirtualBackend::State> backend;
    std::shared_ptr<VirtualInterface> touch;
    std::shared_ptr<VirtualInterface> debug;  // null for the single-interface product

    bool singleInterface() const { return config.product == VirtualFrame::kSingleInterfaceProduct; }
    VirtualInterface* debugChannel() const { return singleInterface() ? touch.get() : debug.get(); }

    void handleCommand(std::span<const std::uint8_t> report);
    void respond(Bytes response);
    Bytes frameBlock() const;
};

class VirtualInterface final : public BackendDevice,
                               public std::enable_shared_from_this<VirtualInterface> {
  public:
    VirtualInterface(std::weak_ptr<VirtualFrame::Core> frame, VirtualFrame::Interface role,
                     DeviceDescription description)
        : frame_(std::move(frame)), role_(role), description_(std::move(description)) {}

    const DeviceDescription& description() const override { return description_; }
    VirtualFrame::Interface role() const { return role_; }

    IOReturn open(RunLoop* loop, bool seize, InputReportHandler onInput,
                  std::unique_ptr<Connection>* connection) override;

    // Hands one input report to every open connection, through its loop.
    void deliver(const Bytes& report) {
        prune();
        for (const auto& weak : connections_) {
            auto core = weak.lock();
            if (!core || !core->loop)
                continue;
            core->loop->post([weak, report] {
                auto c = weak.lock();
                if (c && c->open && c->onInput)
                    c->onInput(report);
            });
        }
    }

    void detach() {
        attached_ = false;
        for (const auto& weak : connections_)
            if (auto core = weak.lock())
                core->open = false;
        connections_.clear();
    }

    bool attached() const { return attached_; }
    bool seized() {
        prune();
        return std::any_of(connections_.begin(), connections_.end(),
                           [](const auto& w) { return w.lock()->seize; });
    }

    IOReturn setReport(IOHIDReportType type, long reportID, std::span<const std::uint8_t> report);
    IOReturn getReport(IOHIDReportType type, long reportID, std::span<std::uint8_t> report,
                       std::size_t* length);

  private:
    void prune() {
        std::erase_if(connections_, [](const auto& w) {
            auto c = w.lock();
            return !c || !c->open;
        });
    }

    std::weak_ptr<VirtualFrame::Core> frame_;
    VirtualFrame::Interface role_;
    DeviceDescription description_;
    std::vector<std::weak_ptr<VirtualConnectionCore>> connections_;
    bool attached_ = true;
};

class VirtualConnection final : public Connection {
  public:
    VirtualConnection(std::shared_ptr<VirtualInterface> iface,
                      std::shared_ptr<VirtualConnectionCore> core)
        : iface_(std::move(iface)), core_(std::move(core)) {}
    ~VirtualConnection() override { core_->open = false; }

    IOReturn setReport(IOHIDReportType type, long reportID,
                       std::span<const std::uint8_t> report) override {
        if (!core_->open)
            return kIOReturnNoDevice;
        return iface_->setReport(type, reportID, report);
    }
    IOReturn getReport(IOHIDReportType type, long reportID, std::span<std::uint8_t> report,
                       std::size_t* length) override {
        if (!core_->open)
            return kIOReturnNoDevice;
        return iface_->getReport(type, reportID, report, length);
    }

  private:
    std::shared_ptr<VirtualInterface> iface_;
    std::shared_ptr<VirtualConnectionCore> core_;
};

IOReturn VirtualInterface::open(RunLoop* loop, bool seize, InputReportHandler onInput,
                                std::unique_ptr<Connection>* connection) {
    if (!connection)
        return kIOReturnBadArgument;
    if (!attached_ || frame_.expired())
        return kIOReturnNoDevice;
    prune();
    // Like the evdev grab: nobody else gets in while one connection holds it,
    // and nobody takes it while it is held.
    if (seized())
        return kIOReturnExclusiveAccess;
    auto core = std::make_shared<VirtualConnectionCore>();
    core->loop = loop;
    core->onInput = std::move(onInput);
    core->seize = seize;
    connections_.push_back(core);
    *connection = std::make_unique<VirtualConnection>(shared_from_this(), core);
    return kIOReturnSuccess;
}

IOReturn VirtualInterface::setReport(IOHIDReportType type, long reportID,
                                     std::span<const std::uint8_t> report) {
    auto frame = frame_.lock();
    if (!attached_ || !frame)
        return kIOReturnNoDevice;
    frame->requests.push_back(
        VirtualFrame::Request{role_, false, type, reportID, Bytes(report.begin(), report.end())});
    const bool carriesDebug = frame->debugChannel() == this;
    if (type == kIOHIDReportTypeOutput && carriesDebug && !report.empty() &&
        report[0] == kCommandReportID) {
        frame->handleCommand(report);
        return kIOReturnSuccess;
    }
    return kIOReturnUnsupported;  // no such report on this interface
}

IOReturn VirtualInterface::getReport(IOHIDReportType type, long reportID,
                                     std::span<std::uint8_t> report, std::size_t* length) {
    auto frame = frame_.lock();
    if (!attached_ || !frame)
        return kIOReturnNoDevice;
    frame->requests.push_back(VirtualFrame::Request{role_, true, type, reportID, {}});
    if (type != kIOHIDReportTypeFeature)
        return kIOReturnUnsupported;
    Bytes answer;
    if (role_ == VirtualFrame::Interface::Touch && reportID == 10) {
        std::uint8_t flagsTouches = frame->config.bootparam[15] >> 4;
        answer = {10, static_cast<std::uint8_t>(flagsTouches ? flagsTouches : 10)};
    } else if (role_ == VirtualFrame::Interface::Touch && reportID == 11) {
        answer = {11, 2, 0};
    } else if (role_ == VirtualFrame::Interface::Debug && reportID == kCommandReportID) {
        answer.assign(kDebugFeatureSize, 0);
        answer[0] = kCommandReportID;
    } else {
        return kIOReturnUnsupported;
    }
    const std::size_t n = std::min(answer.size(), report.size());
    std::copy_n(answer.begin(), n, report.begin());
    if (length)
        *length = n;
    return kIOReturnSuccess;
}

void VirtualFrame::Core::respond(Bytes response) {
    response.resize(kResponseSize, 0);
    if (auto* channel = debugChannel())
        channel->deliver(response);
}

Bytes VirtualFrame::Core::frameBlock() const {
    Bytes block(kFrameBlockSize, 0);
    block[0] = 1;
    std::memcpy(&block[1], "VFRAME", 6);
    putLE16(block, 7, config.ledsH);
    putLE16(block, 9, config.ledsV);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < block.size(); ++i)
        sum = static_cast<std::uint8_t>(sum + block[i]);
    block.back() = static_cast<std::uint8_t>(sum + (config.badFrameChecksum ? 1 : 0));
    return block;
}

void VirtualFrame::Core::handleCommand(std::span<const std::uint8_t> report) {
    if (!config.debug || report.size() < 2)
        return;
    const std::uint8_t command = report[1];
    const std::uint8_t parameter = report.size() > 2 ? report[2] : 0;
    switch (command) {
        case 0x10: {
            Bytes r{kResponseReportID, 0x10, 0};
            r.insert(r.end(), config.bootparam.begin(), config.bootparam.end());
            respond(std::move(r));
            break;
        }
        case 0x17: {
            Bytes r(19, 0);
            r[0] = kResponseReportID;
            r[1] = 0x17;
            const std::uint32_t ship = config.shiptime.value_or(0xFFFFFFFFu);
            for (int i = 0; i < 4; ++i)
                r[15 + i] = static_cast<std::uint8_t>(ship >> (8 * i));
            r.insert(r.end(), config.serial.begin(), config.serial.end());
            r.push_back(0);
            r.insert(r.end(), config.type.begin(), config.type.end());
            r.push_back(0);
            respond(std::move(r));
            break;
        }
        case 0x21:
            if (parameter == 2) {
                const Bytes block = frameBlock();
                for (std::size_t at = 0; at < block.size(); at += kFramePacketPayload) {
                    const std::size_t n = std::min(kFramePacketPayload, block.size() - at);
                    const bool first = at == 0;
                    const bool last = at + n == block.size();
                    Bytes r{kResponseReportID,
                            static_cast<std::uint8_t>(first  ? 0x30
                                                      : last ? 0x32
                                                             : 0x31),
                            static_cast<std::uint8_t>(n)};
                    r.insert(r.end(), block.begin() + static_cast<long>(at),
                             block.begin() + static_cast<long>(at + n));
                    respond(std::move(r));
                }
            }
            break;  // parameter 0 acknowledges the block: no answer
        default:
            break;
    }
}

// --- VirtualFrame ----------------------------------------------------------

std::string VirtualFrame::checkConfig(const Config& config) {
    if (config.serial.find('\0') != std::string::npos)
        return "the serial number holds a NUL character";
    if (config.type.find('\0') != std::string::npos)
        return "the type holds a NUL character";
    if (config.serial.size() + config.type.size() + 2 > kInformationTextRoom)
        return "serial number and type together take at most " +
               std::to_string(kInformationTextRoom - 2) + " bytes";
    return {};
}

VirtualFrame::VirtualFrame() : VirtualFrame(Config{}) {}

VirtualFrame::VirtualFrame(Config config) : core_(std::make_shared<Core>()) {
    auto cut = [](std::string& s) { s = s.substr(0, s.find('\0')); };
    cut(config.serial);
    cut(config.type);
    const std::size_t room = kInformationTextRoom - 2;
    if (config.serial.size() > room)
        config.serial.resize(room);
    if (config.serial.size() + config.type.size() > room)
        config.type.resize(room - config.serial.size());
    core_->config = std::move(config);
    core_->number = nextFrameNumber++;
}

// An attached frame stays attached (its backend keeps it) until detached.
VirtualFrame::~VirtualFrame() = default;

const VirtualFrame::Config& VirtualFrame::config() const {
    return core_->config;
}

VirtualFrame::RecordLayout VirtualFrame::recordLayout() const {
    const auto& bp = core_->config.bootparam;
    if ((bp[0] & 0x7F) >= 40)
        return RecordLayout::TenByteSplit;
    const unsigned touches = bp[15] >> 4;
    return touches >= 1 && touches <= 6 ? RecordLayout::TenByte : RecordLayout::SixByte;
}

bool VirtualFrame::isAttached() const {
    return core_->touch && core_->touch->attached();
}

bool VirtualFrame::isSeized(Interface interface) const {
    auto& iface = interface == Interface::Touch ? core_->touch : core_->debug;
    return iface && iface->attached() && iface->seized();
}

bool VirtualFrame::encodeTouches(const std::vector<Contact>& contacts,
                                 std::vector<std::vector<std::uint8_t>>* reports,
                                 std::string* error) const {
    const RecordLayout layout = recordLayout();
    const std::size_t recordSize = layout == RecordLayout::SixByte ? 6 : 10;
    const std::size_t perReport = layout == RecordLayout::SixByte ? 10 : 6;
    const std::size_t most = layout == RecordLayout::TenByte ? 6 : 10;
    if (contacts.size() > most) {
        if (error)
            *error = "this frame sends at most " + std::to_string(most) +
                     " contacts per report, not " + std::to_string(contacts.size());
        return false;
    }
    auto newReport = [] {
        Bytes r(kTouchReportSize, 0);
        r[0] = kTouchReportID;
        return r;
    };
    auto put = [&](Bytes& r, std::size_t slot, const Contact& c) {
        const std::size_t at = 1 + slot * recordSize;
        r[at] = c.flags;
        r[at + 1] = c.id;
        putLE16(r, at + 2, c.x);
        putLE16(r, at + 4, c.y);
        if (recordSize == 10) {
            putLE16(r, at + 6, c.w.value_or(0));
            putLE16(r, at + 8, c.h.value_or(0));
        }
    };

    std::vector<Bytes> out;
    Bytes first = newReport();
    first[kTouchReportSize - 1] = static_cast<std::uint8_t>(contacts.size());
    for (std::size_t i = 0; i < contacts.size() && i < perReport; ++i)
        put(first, i, contacts[i]);
    out.push_back(std::move(first));
    if (contacts.size() > perReport) {
        Bytes second = newReport();  // count 0: the rest of the first
        for (std::size_t i = perReport; i < contacts.size(); ++i)
            put(second, i - perReport, contacts[i]);
        out.push_back(std::move(second));
    }
    if (reports)
        *reports = std::move(out);
    return true;
}

bool VirtualFrame::sendTouches(const std::vector<Contact>& contacts, std::string* error) {
    std::vector<Bytes> reports;
    if (!encodeTouches(contacts, &reports, error))
        return false;
    if (isAttached())
        for (const auto& r : reports)
            core_->touch->deliver(r);
    return true;
}

namespace {

bool rawReportFits(std::span<const std::uint8_t> report, std::string* error) {
    if (!report.empty() && report.size() <= kMaxRawReport)
        return true;
    if (error)
        *error = report.empty() ? "an input report needs at least one byte"
                                : "an input report holds at most 16384 bytes";
    return false;
}

}  // namespace

bool VirtualFrame::sendRaw(std::span<const std::uint8_t> report, std::string* error) {
    if (!rawReportFits(report, error))
        return false;
    if (isAttached())
        core_->touch->deliver(Bytes(report.begin(), report.end()));
    return true;
}

bool VirtualFrame::sendDebugRaw(std::span<const std::uint8_t> report, std::string* error) {
    if (!rawReportFits(report, error))
        return false;
    if (isAttached())
        if (auto* channel = core_->debugChannel())
            channel->deliver(Bytes(report.begin(), report.end()));
    return true;
}

std::vector<std::uint8_t> VirtualFrame::frameBlock() const {
    return core_->frameBlock();
}

const std::vector<VirtualFrame::Request>& VirtualFrame::requests() const {
    return core_->requests;
}

void VirtualFrame::clearRequests() {
    core_->requests.clear();
}

// --- VirtualBackend --------------------------------------------------------

struct VirtualBackend::State {
    struct Watcher {
        std::uint64_t id;
        Observer observer;
    };
    std::vector<std::shared_ptr<VirtualFrame::Core>> frames;
    std::vector<Watcher> watchers;
    std::uint64_t nextWatcher = 1;

    template <typename F>
    void notify(F&& f) {
        const auto copy = watchers;  // an observer may stop watching
        for (const auto& w : copy)
            f(w.observer);
    }
};

namespace {
class VirtualWatch final : public DeviceWatch {
  public:
    VirtualWatch(std::weak_ptr<VirtualBackend::State> state, std::uint64_t id)
        : state_(std::move(state)), id_(id) {}
    ~VirtualWatch() override {
        if (auto s = state_.lock())
            std::erase_if(s->watchers, [&](const auto& w) { return w.id == id_; });
    }

  private:
    std::weak_ptr<VirtualBackend::State> state_;
    std::uint64_t id_;
};
}  // namespace

VirtualBackend::VirtualBackend() : state_(std::make_shared<State>()) {}

VirtualBackend::~VirtualBackend() {
    for (const auto& core : state_->frames) {
        if (core->touch)
            core->touch->detach();
        if (core->debug)
            core->debug->detach();
    }
}

bool VirtualBackend::attach(const std::shared_ptr<VirtualFrame>& frame) {
    if (!frame)
        return false;
    auto& core = frame->core_;
    if (core->touch && core->touch->attached())
        return false;
    const std::string base = "virtual/frame" + std::to_string(core->number);
    const bool single = core->singleInterface();
    core->touch = std::make_shared<VirtualInterface>(
        core, VirtualFrame::Interface::Touch,
        describe(base + "/touch", core->config.product, touchDescriptor(single),
                 "Virtual touch frame"));
    core->debug.reset();
    if (!single)
        core->debug = std::make_shared<VirtualInterface>(
            core, VirtualFrame::Interface::Debug,
            describe(base + "/debug", core->config.product, debugDescriptor(),
                     "Virtual touch frame debug port"));
    core->backend = state_;
    state_->frames.push_back(core);

    announceInterfaces(*core);
    return true;
}

void VirtualBackend::announceInterfaces(VirtualFrame::Core& core) {
    std::vector<std::shared_ptr<BackendDevice>> added{core.touch};
    if (core.debug)
        added.push_back(core.debug);
    for (const auto& device : added)
        state_->notify([&](const Observer& o) {
            if (o.added)
                o.added(device);
        });
}

bool VirtualBackend::change(const std::shared_ptr<VirtualFrame>& frame) {
    if (!frame || std::find(state_->frames.begin(), state_->frames.end(), frame->core_) ==
                      state_->frames.end())
        return false;
    announceInterfaces(*frame->core_);
    return true;
}

bool VirtualBackend::detach(const std::shared_ptr<VirtualFrame>& frame) {
    if (!frame)
        return false;
    auto& core = frame->core_;
    auto it = std::find(state_->frames.begin(), state_->frames.end(), core);
    if (it == state_->frames.end())
        return false;
    state_->frames.erase(it);
    core->backend.reset();
    std::vector<std::string> paths;
    for (auto* iface : {core->touch.get(), core->debug.get()})
        if (iface) {
            iface->detach();
            paths.push_back(iface->description().path);
        }
    for (const auto& path : paths)
        state_->notify([&](const Observer& o) {
            if (o.removed)
                o.removed(path);
        });
    return true;
}

std::vector<std::shared_ptr<BackendDevice>> VirtualBackend::devices() {
    std::vector<std::shared_ptr<BackendDevice>> out;
    for (const auto& core : state_->frames) {
        if (core->touch)
            out.push_back(core->touch);
        if (core->debug)
            out.push_back(core->debug);
    }
    return out;
}

std::unique_ptr<DeviceWatch> VirtualBackend::watch(RunLoop& /*loop*/, Observer observer) {
    const std::uint64_t id = state_->nextWatcher++;
    state_->watchers.push_back(State::Watcher{id, std::move(observer)});
    return std::make_unique<VirtualWatch>(state_, id);
}

}  // namespace platform::hid
