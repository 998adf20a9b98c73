#include "platform/hid/HID.hpp"

#include "platform/hid/Matching.hpp"
#include "platform/hid/linux/LinuxBackend.hpp"
#include "platform/log/SystemLog.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace platform::hid {

// One interface as one manager sees it: the ref handed to the callbacks.
class HIDDevice : public std::enable_shared_from_this<HIDDevice> {
  public:
    HIDDevice(std::shared_ptr<BackendDevice> backend, std::weak_ptr<HIDManager> manager)
        : backend_(std::move(backend)), manager_(std::move(manager)) {}

    const DeviceDescription& description() const { return backend_->description(); }

    IOReturn connect(bool seize);
    void disconnect() {
        connection_.reset();
        managerHold_ = false;
        userOpens_ = 0;
    }
    void deliver(std::span<const std::uint8_t> bytes);

    std::shared_ptr<BackendDevice> backend_;
    std::weak_ptr<HIDManager> manager_;
    std::unique_ptr<Connection> connection_;
    platform::RunLoop* connectionLoop_ = nullptr;  // where its input reports arrive
    bool managerHold_ = false;
    int userOpens_ = 0;
    bool removed_ = false;

    std::uint8_t* buffer_ = nullptr;
    long bufferLength_ = 0;
    IOHIDReportCallback inputCallback_ = nullptr;
    void* inputContext_ = nullptr;
};

class HIDManager : public std::enable_shared_from_this<HIDManager> {
  public:
    explicit HIDManager(std::shared_ptr<Backend> backend) : backend_(std::move(backend)) {}
    ~HIDManager() { closeAll(); }

    bool matches(const DeviceDescription& d) const {
        return matching_ && deviceMatches(*matching_, d);
    }
    bool seizes() const { return (openOptions_ & kIOHIDOptionsTypeSeizeDevice) != 0; }

    void activate();
    void deactivate() {
        ++generation_;
        watch_.reset();
    }
    void closeAll() {
        deactivate();
        for (auto& entry : devices_)
            entry.device->disconnect();
        devices_.clear();
    }

    // Posts work that runs only while the manager is still in the same
    // scheduled-and-open period.
    template <typename F>
    void postGuarded(F&& work) {
        if (!loop_)
            return;
        loop_->post([weak = weak_from_this(), generation = generation_,
                     work = std::forward<F>(work)]() mutable {
            auto self = weak.lock();
            if (self && self->generation_ == generation && self->opened_ && self->loop_)
                work(*self);
        });
    }

    void reconcileAndAnnounce();
    void handleAdded(const std::shared_ptr<BackendDevice>& device);
    void handleRemoved(const std::string& path);
    void announce(const IOHIDDeviceRef& device);

    struct Entry {
        std::string path;
        IOHIDDeviceRef device;
        bool announced = false;
    };
    Entry* find(const std::string& path) {
        for (auto& e : devices_)
            if (e.path == path)
                return &e;
        return nullptr;
    }

    std::shared_ptr<Backend> backend_;
    std::optional<platform::Dictionary> matching_;
    IOHIDDeviceCallback matchingCallback_ = nullptr;
    void* matchingContext_ = nullptr;
    IOHIDDeviceCallback removalCallback_ = nullptr;
    void* removalContext_ = nullptr;
    platform::RunLoop* loop_ = nullptr;
    bool opened_ = false;
    std::uint32_t openOptions_ = 0;
    std::uint64_t generation_ = 0;
    std::unique_ptr<DeviceWatch> watch_;
    std::vector<Entry> devices_;
};

// --- device internals ------------------------------------------------------

IOReturn HIDDevice::connect(bool seize) {
    if (connection_)
        return kIOReturnSuccess;
    if (removed_)
        return kIOReturnNoDevice;
    auto manager = manager_.lock();
    if (!manager)
        return kIOReturnNoDevice;
    std::weak_ptr<HIDDevice> weak = weak_from_this();
    std::unique_ptr<Connection> connection;
    IOReturn r = backend_->open(
        manager->loop_, seize,
        [weak](std::span<const std::uint8_t> bytes) {
            if (auto self = weak.lock())
                self->deliver(bytes);
        },
        &connection);
    if (r == kIOReturnSuccess && !connection)
        r = kIOReturnError;
    if (r == kIOReturnSuccess) {
        connection_ = std::move(connection);
        connectionLoop_ = manager->loop_;
    }
    return r;
}

void HIDDevice::deliver(std::span<const std::uint8_t> bytes) {
    if (!connection_ || !inputCallback_ || !buffer_ || bufferLength_ <= 0 || bytes.empty())
        return;
    std::size_t n = bytes.size();
    if (n > static_cast<std::size_t>(bufferLength_)) {
        if (platform::systemLogEnabled(platform::LogLevel::Debug))
            platform::systemLog(platform::LogLevel::Debug,
                                "HID: input report of " + std::to_string(bytes.size()) +
                                    " bytes from " + description().path + " cut to the " +
                                    std::to_string(bufferLength_) + "-byte buffer");
        n = static_cast<std::size_t>(bufferLength_);
    }
    std::memcpy(buffer_, bytes.data(), n);
    const std::uint32_t reportID = description().usesReportIDs ? bytes[0] : 0;
    auto keep = shared_from_this();  // the callback may drop the last other ref
    inputCallback_(inputContext_, kIOReturnSuccess, this, kIOHIDReportTypeInput, reportID, buffer_,
                   static_cast<long>(n));
}

// --- manager internals -----------------------------------------------------

void HIDManager::activate() {
    if (!opened_ || !loop_ || watch_)
        return;
    // Interfaces opened while the manager had no run loop (or another one)
    // are opened again so that their input arrives on this one.
    for (auto& e : devices_) {
        auto& d = *e.device;
        if (d.connection_ && d.connectionLoop_ != loop_) {
            d.connection_.reset();
            if (d.connect(seizes()) != kIOReturnSuccess) {
                d.managerHold_ = false;
                d.userOpens_ = 0;
            }
        }
    }
    Backend::Observer observer;
    observer.added = [weak = weak_from_this()](std::shared_ptr<BackendDevice> device) {
        if (auto self = weak.lock())
            self->postGuarded(
                [device = std::move(device)](HIDManager& m) { m.handleAdded(device); });
    };
    observer.removed = [weak = weak_from_this()](const std::string& path) {
        if (auto self = weak.lock())
            self->postGuarded([path](HIDManager& m) { m.handleRemoved(path); });
    };
    watch_ = backend_->watch(*loop_, std::move(observer));
    postGuarded([](HIDManager& m) { m.reconcileAndAnnounce(); });
}

void HIDManager::reconcileAndAnnounce() {
    auto keep = shared_from_this();
    const auto present = backend_->devices();
    std::vector<std::string> gone;
    for (const auto& e : devices_) {
        bool found = std::any_of(present.begin(), present.end(),
                                 [&](const auto& d) { return d->description().path == e.path; });
        if (!found)
            gone.push_back(e.path);
    }
    for (const auto& path : gone)
        handleRemoved(path);

    // Announce what was matched at open, then anything that arrived since.
    std::vector<IOHIDDeviceRef> pending;
    for (auto& e : devices_)
        if (!e.announced) {
            e.announced = true;
            pending.push_back(e.device);
        }
    const std::uint64_t generation = generation_;
    for (const auto& device : pending) {
        if (generation_ != generation || !opened_)
            return;
        if (find(device->description().path))
            announce(device);
    }
    for (const auto& device : present) {
        if (generation_ != generation || !opened_)
            return;
        handleAdded(device);
    }
}

void HIDManager::handleAdded(const std::shared_ptr<BackendDevice>& device) {
    if (!opened_ || !matches(device->description()))
        return;
    if (Entry* known = find(device->description().path)) {
        // News of an interface we could not open (no access then, or held
        // by someone else): a reloaded udev rule or a freed device is our
        // chance. It is announced again once it opens.
        IOHIDDeviceRef ref = known->device;
        if (ref->connection_ || ref->removed_ || ref->connect(seizes()) != kIOReturnSuccess)
            return;
        ref->managerHold_ = true;
        announce(ref);
        return;
    }
    auto ref = std::make_shared<HIDDevice>(device, weak_from_this());
    if (ref->connect(seizes()) == kIOReturnSuccess)
        ref->managerHold_ = true;
    devices_.push_back(Entry{device->description().path, ref, true});
    announce(ref);
}

void HIDManager::handleRemoved(const std::string& path) {
    auto it = std::find_if(devices_.begin(), devices_.end(),
                           [&](const Entry& e) { return e.path == path; });
    if (it == devices_.end())
        return;
    Entry entry = std::move(*it);
    devices_.erase(it);
    entry.device->removed_ = true;
    auto keep = shared_from_this();
    if (entry.announced && removalCallback_)
        removalCallback_(removalContext_, kIOReturnSuccess, this, entry.device);
    entry.device->disconnect();
}

void HIDManager::announce(const IOHIDDeviceRef& device) {
    if (matchingCallback_)
        matchingCallback_(matchingContext_, kIOReturnSuccess, this, device);
}

// --- manager API -----------------------------------------------------------

IOHIDManagerRef IOHIDManagerCreate(std::uint32_t options) {
    return IOHIDManagerCreate(options, currentBackend());
}

IOHIDManagerRef IOHIDManagerCreate(std::uint32_t /*options*/, std::shared_ptr<Backend> backend) {
    if (!backend)
        return nullptr;
    return std::make_shared<HIDManager>(std::move(backend));
}

void IOHIDManagerSetDeviceMatching(const IOHIDManagerRef& manager,
                                   const platform::Dictionary& matching) {
    if (manager)
        manager->matching_ = matching;
}

void IOHIDManagerRegisterDeviceMatchingCallback(const IOHIDManagerRef& manager,
                                                IOHIDDeviceCallback callback, void* context) {
    if (!manager)
        return;
    manager->matchingCallback_ = callback;
    manager->matchingContext_ = context;
}

void IOHIDManagerRegisterDeviceRemovalCallback(const IOHIDManagerRef& manager,
                                               IOHIDDeviceCallback callback, void* context) {
    if (!manager)
        return;
    manager->removalCallback_ = callback;
    manager->removalContext_ = context;
}

void IOHIDManagerScheduleWithRunLoop(const IOHIDManagerRef& manager, platform::RunLoop& loop) {
    if (!manager)
        return;
    if (manager->loop_ && manager->loop_ != &loop)
        manager->deactivate();
    manager->loop_ = &loop;
    manager->activate();
}

void IOHIDManagerUnscheduleFromRunLoop(const IOHIDManagerRef& manager) {
    if (!manager)
        return;
    manager->deactivate();
    manager->loop_ = nullptr;
}

IOReturn IOHIDManagerOpen(const IOHIDManagerRef& manager, std::uint32_t options) {
    if (!manager)
        return kIOReturnBadArgument;
    if (manager->opened_)
        return kIOReturnSuccess;
    manager->openOptions_ = options;
    manager->opened_ = true;  // interfaces look at it while connecting
    std::vector<HIDManager::Entry> opened;
    for (const auto& device : manager->backend_->devices()) {
        if (!manager->matches(device->description()))
            continue;
        auto ref = std::make_shared<HIDDevice>(device, manager->weak_from_this());
        IOReturn r = ref->connect(manager->seizes());
        if (r == kIOReturnNoDevice)
            continue;  // gone while we looked
        if (r != kIOReturnSuccess) {
            for (auto& e : opened)
                e.device->disconnect();
            manager->opened_ = false;
            return r;
        }
        ref->managerHold_ = true;
        opened.push_back(HIDManager::Entry{device->description().path, ref, false});
    }
    manager->devices_ = std::move(opened);
    manager->activate();
    return kIOReturnSuccess;
}

IOReturn IOHIDManagerClose(const IOHIDManagerRef& manager, std::uint32_t /*options*/) {
    if (!manager)
        return kIOReturnBadArgument;
    if (!manager->opened_)
        return kIOReturnNotOpen;
    manager->opened_ = false;
    manager->closeAll();
    return kIOReturnSuccess;
}

// --- device API ------------------------------------------------------------

IOReturn IOHIDDeviceOpen(const IOHIDDeviceRef& device, std::uint32_t options) {
    if (!device)
        return kIOReturnBadArgument;
    if (device->removed_)
        return kIOReturnNoDevice;
    bool seize = (options & kIOHIDOptionsTypeSeizeDevice) != 0;
    if (auto manager = device->manager_.lock())
        seize = seize || manager->seizes();
    IOReturn r = device->connect(seize);
    if (r != kIOReturnSuccess)
        return r;
    ++device->userOpens_;
    return kIOReturnSuccess;
}

IOReturn IOHIDDeviceClose(const IOHIDDeviceRef& device, std::uint32_t /*options*/) {
    if (!device)
        return kIOReturnBadArgument;
    if (device->userOpens_ == 0)
        return kIOReturnNotOpen;
    if (--device->userOpens_ == 0 && !device->managerHold_)
        device->connection_.reset();
    return kIOReturnSuccess;
}

bool IOHIDDeviceConformsTo(const IOHIDDeviceRef& device, std::uint32_t usagePage,
                           std::uint32_t usage) {
    if (!device)
        return false;
    const auto& pairs = device->description().usagePairs;
    return std::find(pairs.begin(), pairs.end(), UsagePair{usagePage, usage}) != pairs.end();
}

std::optional<platform::Value> IOHIDDeviceGetProperty(const IOHIDDeviceRef& device,
                                                      const platform::String& key) {
    if (!device)
        return std::nullopt;
    return deviceProperty(device->description(), key);
}

void IOHIDDeviceRegisterInputReportCallback(const IOHIDDeviceRef& device, std::uint8_t* report,
                                            long reportLength, IOHIDReportCallback callback,
                                            void* context) {
    if (!device)
        return;
    if (!callback || !report || reportLength <= 0) {
        device->inputCallback_ = nullptr;
        device->inputContext_ = nullptr;
        device->buffer_ = nullptr;
        device->bufferLength_ = 0;
        return;
    }
    device->inputCallback_ = callback;
    device->inputContext_ = context;
    device->buffer_ = report;
    device->bufferLength_ = reportLength;
}

IOReturn IOHIDDeviceSetReport(const IOHIDDeviceRef& device, IOHIDReportType type, long reportID,
                              const std::uint8_t* report, long reportLength) {
    if (!device || !report || reportLength <= 0)
        return kIOReturnBadArgument;
    if (device->removed_)
        return kIOReturnNoDevice;
    if (!device->connection_)
        return kIOReturnNotOpen;
    return device->connection_->setReport(
        type, reportID,
        std::span<const std::uint8_t>(report, static_cast<std::size_t>(reportLength)));
}

IOReturn IOHIDDeviceGetReport(const IOHIDDeviceRef& device, IOHIDReportType type, long reportID,
                              std::uint8_t* report, long* pReportLength) {
    if (!device || !report || !pReportLength || *pReportLength <= 0)
        return kIOReturnBadArgument;
    if (device->removed_)
        return kIOReturnNoDevice;
    if (!device->connection_)
        return kIOReturnNotOpen;
    std::size_t length = 0;
    IOReturn r = device->connection_->getReport(
        type, reportID, std::span<std::uint8_t>(report, static_cast<std::size_t>(*pReportLength)),
        &length);
    if (r == kIOReturnSuccess)
        *pReportLength = static_cast<long>(length);
    return r;
}

std::string ioReturnText(IOReturn result) {
    switch (result) {
        case kIOReturnSuccess:
            return "success";
        case kIOReturnError:
            return "general error";
        case kIOReturnNoDevice:
            return "no such device";
        case kIOReturnNotPrivileged:
            return "privilege violation";
        case kIOReturnBadArgument:
            return "invalid argument";
        case kIOReturnExclusiveAccess:
            return "exclusive access and device already open";
        case kIOReturnUnsupported:
            return "unsupported function";
        case kIOReturnNotOpen:
            return "device not open";
        case kIOReturnNotPermitted:
            return "not permitted";
        case kIOReturnOverrun:
            return "data overrun";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "error 0x%x", static_cast<unsigned>(result));
            return text;
        }
    }
}

// --- backend selection -----------------------------------------------------

namespace {
std::shared_ptr<Backend>& installedBackend() {
    static std::shared_ptr<Backend> backend;
    return backend;
}
}  // namespace

void setBackend(std::shared_ptr<Backend> backend) {
    installedBackend() = std::move(backend);
}

std::shared_ptr<Backend> currentBackend() {
    auto& backend = installedBackend();
    if (!backend)
        backend = makeLinuxBackend();
    return backend;
}

}  // namespace platform::hid
