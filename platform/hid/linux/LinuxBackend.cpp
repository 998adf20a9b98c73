#include "platform/hid/linux/LinuxBackend.hpp"

#include "platform/hid/HID.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/runloop/SdEvent.hpp"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <systemd/sd-device.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

namespace platform::hid {

namespace {

using namespace linux_hid;

constexpr const char* kUdevAdvice = "install the udev rule (tactdoctor says how)";
constexpr std::size_t kMaxReport = 16384;  // the most hidraw hands over at once
constexpr int kReadsPerWakeup = 64;
constexpr double kGrabRetrySeconds = 0.5;
constexpr int kGrabRetries = 10;

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

// An evdev node held with EVIOCGRAB; released (and closed) when destroyed.
class Grab {
  public:
    explicit Grab(UniqueFd fd) : fd_(std::move(fd)) {}
    Grab(Grab&&) noexcept = default;
    Grab& operator=(Grab&&) noexcept = default;
    ~Grab() {
        if (fd_.get() >= 0)
            ::ioctl(fd_.get(), EVIOCGRAB, 0);
    }

  private:
    UniqueFd fd_;
};

// Opens an evdev node and takes EVIOCGRAB on it; *error is the errno of the
// step that failed. A node that went away counts as held (nothing to hold).
IOReturn tryGrab(const std::string& node, std::vector<Grab>* grabs, int* error) {
    *error = 0;
    UniqueFd fd(::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        *error = errno;
        if (*error == ENOENT || *error == ENODEV || *error == ENXIO)
            return kIOReturnSuccess;
        return ioReturnFromErrno(*error);
    }
    if (::ioctl(fd.get(), EVIOCGRAB, 1) < 0) {
        *error = errno;
        return ioReturnFromErrno(*error);
    }
    grabs->emplace_back(std::move(fd));
    return kIOReturnSuccess;
}

bool isPermissionError(int error) {
    return error == EACCES || error == EPERM;
}

std::string label(const HidrawNode& node) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04X:%04X", node.description.vendorID,
                  node.description.productID);
    std::string name = node.description.product.empty() ? std::string("HID device")
                                                        : "\"" + node.description.product + "\"";
    return name + " (" + ids + ")";
}

class LinuxConnection final : public Connection {
  public:
    LinuxConnection(UniqueFd fd, std::vector<Grab> grabs, bool numbered, std::string devnode)
        : fd_(std::move(fd)),
          grabs_(std::move(grabs)),
          numbered_(numbered),
          devnode_(std::move(devnode)) {}

    // Evdev nodes we may not open yet: right after a frame is plugged in,
    // udev may still be granting access to them. Tries again for a while,
    // then says what is wrong.
    void grabLater(RunLoop* loop, std::vector<std::string> nodes, std::string who) {
        pendingGrabs_ = std::move(nodes);
        who_ = std::move(who);
        if (!loop) {
            warnPendingGrabs();
            return;
        }
        std::weak_ptr<int> alive = alive_;
        retry_ = loop->addTimer(kGrabRetrySeconds, kGrabRetrySeconds, [this, alive](Timer& timer) {
            if (!alive.expired())
                retryGrabs(timer);
        });
    }

    void watch(RunLoop& loop, InputReportHandler onInput) {
        onInput_ = std::move(onInput);
        std::weak_ptr<int> alive = alive_;
        source_ = loop.addFd(fd_.get(), POLLIN, [this, alive](std::uint32_t) {
            if (!alive.expired())
                readReports(alive);
        });
    }

    IOReturn setReport(IOHIDReportType type, long reportID,
                       std::span<const std::uint8_t> report) override {
        // hidraw wants the report number first; 0 for interfaces without IDs.
        std::vector<std::uint8_t> bytes;
        if (!numbered_)
            bytes.push_back(0);
        bytes.insert(bytes.end(), report.begin(), report.end());
        if (bytes.size() > kMaxReport)
            return kIOReturnBadArgument;
        int r;
        if (type == kIOHIDReportTypeOutput) {
            do
                r = static_cast<int>(::write(fd_.get(), bytes.data(), bytes.size()));
            while (r < 0 && errno == EINTR);
        } else if (type == kIOHIDReportTypeFeature) {
            r = ::ioctl(fd_.get(), HIDIOCSFEATURE(bytes.size()), bytes.data());
        } else {
            return kIOReturnUnsupported;
        }
        if (r < 0)
            return failed("sending report " + std::to_string(reportID), errno);
        return kIOReturnSuccess;
    }

    IOReturn getReport(IOHIDReportType type, long reportID, std::span<std::uint8_t> report,
                       std::size_t* length) override {
        if (reportID < 0 || reportID > 255)
            return kIOReturnBadArgument;
        std::vector<std::uint8_t> bytes(std::min(kMaxReport, report.size() + (numbered_ ? 0 : 1)));
        bytes[0] = static_cast<std::uint8_t>(numbered_ ? reportID : 0);
        unsigned long request;
        if (type == kIOHIDReportTypeFeature)
            request = HIDIOCGFEATURE(bytes.size());
#ifdef HIDIOCGINPUT
        else if (type == kIOHIDReportTypeInput)
            request = HIDIOCGINPUT(bytes.size());
#endif
#ifdef HIDIOCGOUTPUT
        else if (type == kIOHIDReportTypeOutput)
            request = HIDIOCGOUTPUT(bytes.size());
#endif
        else
            return kIOReturnUnsupported;
        int r = ::ioctl(fd_.get(), request, bytes.data());
        if (r < 0)
            return failed("reading report " + std::to_string(reportID), errno);
        std::size_t n = std::min(static_cast<std::size_t>(r), bytes.size());
        std::size_t skip = numbered_ ? 0 : std::min<std::size_t>(1, n);  // the report number
        n = std::min(n - skip, report.size());
        std::memcpy(report.data(), bytes.data() + skip, n);
        if (length)
            *length = n;
        return kIOReturnSuccess;
    }

  private:
    IOReturn failed(const std::string& what, int error) {
        if (platform::systemLogEnabled(platform::LogLevel::Debug))
            platform::systemLog(platform::LogLevel::Debug, "HID: " + what + " on " + devnode_ +
                                                               " failed: " + std::strerror(error));
        return ioReturnFromErrno(error);
    }

    void retryGrabs(Timer& timer) {
        std::vector<std::string> still;
        for (const auto& node : pendingGrabs_) {
            int error = 0;
            if (tryGrab(node, &grabs_, &error) != kIOReturnSuccess && isPermissionError(error))
                still.push_back(node);
            else if (error != 0 && error != ENOENT && error != ENODEV && error != ENXIO)
                platform::systemLog(platform::LogLevel::Warning,
                                    "HID: cannot take " + node + " of " + who_ +
                                        " from the desktop: " + std::strerror(error));
        }
        pendingGrabs_ = std::move(still);
        if (pendingGrabs_.empty() || ++grabAttempts_ >= kGrabRetries) {
            warnPendingGrabs();
            timer.invalidate();
        }
    }

    void warnPendingGrabs() {
        for (const auto& node : pendingGrabs_)
            platform::systemLog(platform::LogLevel::Warning,
                                "HID: cannot open " + node + " to take " + who_ +
                                    " from the desktop: " + std::strerror(EACCES) +
                                    "; the desktop keeps handling it as well. " + kUdevAdvice +
                                    ".");
        pendingGrabs_.clear();
    }

    void readReports(const std::weak_ptr<int>& alive) {
        std::array<std::uint8_t, kMaxReport> buffer;
        for (int i = 0; i < kReadsPerWakeup; ++i) {
            ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
            if (n > 0) {
                onInput_(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
                if (alive.expired())
                    return;  // the handler closed this connection
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            // Gone (unplugged) or broken: stop watching; the removal follows.
            const int error = n < 0 ? errno : 0;
            platform::systemLog(platform::LogLevel::Info,
                                "HID: stopped reading " + devnode_ + ": " +
                                    (error ? std::strerror(error) : "end of file"));
            source_.remove();
            return;
        }
    }

    UniqueFd fd_;
    std::vector<Grab> grabs_;
    std::vector<std::string> pendingGrabs_;
    std::string who_;
    int grabAttempts_ = 0;
    Timer retry_;
    bool numbered_;
    std::string devnode_;
    InputReportHandler onInput_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    FdSource source_;
};

class LinuxDevice final : public BackendDevice {
  public:
    LinuxDevice(HidrawNode node, std::string devRoot)
        : node_(std::move(node)), devRoot_(std::move(devRoot)) {}

    const DeviceDescription& description() const override { return node_.description; }

    IOReturn open(RunLoop* loop, bool seize, InputReportHandler onInput,
                  std::unique_ptr<Connection>* connection) override {
        if (!connection)
            return kIOReturnBadArgument;
        UniqueFd fd(::open(node_.devnode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0) {
            const int error = errno;
            if (error == EACCES || error == EPERM)
                warnOnce("HID: cannot open " + node_.devnode + " of " + label(node_) +
                         " for reading and writing: " + std::strerror(error) +
                         ". The user running this program needs access to the frame's hidraw "
                         "and input event nodes; " +
                         kUdevAdvice + ".");
            else if (error != ENOENT && error != ENODEV && error != ENXIO)
                warnOnce("HID: cannot open " + node_.devnode + " of " + label(node_) + ": " +
                         std::strerror(error));
            return ioReturnFromErrno(error);
        }

        std::vector<Grab> grabs;
        std::vector<std::string> later;
        if (seize) {
            for (const auto& node : evdevNodesOf(node_.hidSyspath, devRoot_)) {
                int error = 0;
                IOReturn r = tryGrab(node, &grabs, &error);
                if (r == kIOReturnSuccess)
                    continue;
                if (isPermissionError(error)) {
                    later.push_back(node);
                    continue;
                }
                if (error == EBUSY)
                    warnOnce("HID: " + node + " of " + label(node_) +
                             " is held exclusively by another program; it cannot be seized.");
                else
                    warnOnce("HID: cannot take " + node + " of " + label(node_) +
                             " from the desktop: " + std::strerror(error));
                return r;  // the grabs taken so far are released
            }
        }
        auto c = std::make_unique<LinuxConnection>(std::move(fd), std::move(grabs),
                                                   node_.description.usesReportIDs, node_.devnode);
        if (!later.empty())
            c->grabLater(loop, std::move(later), label(node_));
        if (loop)
            c->watch(*loop, std::move(onInput));
        *connection = std::move(c);
        return kIOReturnSuccess;
    }

  private:
    void warnOnce(const std::string& message) {
        if (warned_.insert(message).second)
            platform::systemLog(platform::LogLevel::Warning, message);
    }

    HidrawNode node_;
    std::string devRoot_;
    std::set<std::string> warned_;
};

struct DeviceUnref {
    void operator()(sd_device* d) const { sd_device_unref(d); }
};
struct EnumeratorUnref {
    void operator()(sd_device_enumerator* e) const { sd_device_enumerator_unref(e); }
};
struct MonitorUnref {
    void operator()(sd_device_monitor* m) const {
        sd_device_monitor_stop(m);
        sd_device_monitor_detach_event(m);
        sd_device_monitor_unref(m);
    }
};
using MonitorPtr = std::unique_ptr<sd_device_monitor, MonitorUnref>;
using EnumeratorPtr = std::unique_ptr<sd_device_enumerator, EnumeratorUnref>;

class InertWatch final : public DeviceWatch {};

class LinuxBackend;

class UdevWatch final : public DeviceWatch {
  public:
    UdevWatch(std::shared_ptr<LinuxBackend> backend, Backend::Observer observer)
        : backend_(std::move(backend)), observer_(std::move(observer)) {}

    bool start(sd_event* event);

  private:
    static int onDevice(sd_device_monitor*, sd_device* device, void* userdata);

    std::shared_ptr<LinuxBackend> backend_;
    Backend::Observer observer_;
    MonitorPtr monitor_;
};

class LinuxBackend final : public Backend, public std::enable_shared_from_this<LinuxBackend> {
  public:
    explicit LinuxBackend(LinuxBackendOptions options) : options_(std::move(options)) {}

    std::vector<std::shared_ptr<BackendDevice>> devices() override {
        std::vector<std::shared_ptr<BackendDevice>> out;
        for (const auto& path : hidrawPaths())
            if (auto device = describe(path))
                out.push_back(std::move(device));
        return out;
    }

    std::unique_ptr<DeviceWatch> watch(RunLoop& loop, Observer observer) override {
        if (!usesUdev())
            return std::make_unique<InertWatch>();
        sd_event* event = sdEventOf(loop);
        if (!event) {
            platform::systemLog(platform::LogLevel::Debug,
                                "HID: this run loop has no sd-event; hidraw nodes that arrive "
                                "later are not seen");
            return std::make_unique<InertWatch>();
        }
        auto w = std::make_unique<UdevWatch>(shared_from_this(), std::move(observer));
        if (!w->start(event))
            return std::make_unique<InertWatch>();
        return w;
    }

    std::shared_ptr<BackendDevice> describe(const std::string& syspath) {
        auto node = describeHidraw(syspath, options_.devRoot);
        if (!node) {
            if (skipped_.insert(syspath).second)
                platform::systemLog(platform::LogLevel::Info,
                                    "HID: ignoring " + syspath + ": " + node.error().detail);
            return nullptr;
        }
        return std::make_shared<LinuxDevice>(std::move(*node), options_.devRoot);
    }

  private:
    bool usesUdev() const { return options_.sysfsRoot == "/sys"; }

    std::vector<std::string> hidrawPaths() {
        if (!usesUdev())
            return scanHidraw(options_.sysfsRoot);
        std::vector<std::string> out;
        sd_device_enumerator* raw = nullptr;
        int r = sd_device_enumerator_new(&raw);
        EnumeratorPtr e(raw);
        if (r >= 0)
            r = sd_device_enumerator_add_match_subsystem(e.get(), "hidraw", 1);
        if (r < 0) {
            platform::systemLog(
                platform::LogLevel::Warning,
                std::string("HID: cannot list hidraw devices: ") + std::strerror(-r));
            return scanHidraw(options_.sysfsRoot);
        }
        for (sd_device* d = sd_device_enumerator_get_device_first(e.get()); d;
             d = sd_device_enumerator_get_device_next(e.get())) {
            const char* syspath = nullptr;
            if (sd_device_get_syspath(d, &syspath) >= 0 && syspath)
                out.emplace_back(syspath);
        }
        return out;
    }

    LinuxBackendOptions options_;
    std::set<std::string> skipped_;
};

bool UdevWatch::start(sd_event* event) {
    sd_device_monitor* raw = nullptr;
    int r = sd_device_monitor_new(&raw);
    if (r < 0) {
        platform::systemLog(platform::LogLevel::Warning,
                            std::string("HID: cannot follow hidraw devices (udev monitor): ") +
                                std::strerror(-r) + "; a frame plugged in later is not seen");
        return false;
    }
    monitor_.reset(raw);
    r = sd_device_monitor_filter_add_match_subsystem_devtype(raw, "hidraw", nullptr);
    if (r >= 0)
        r = sd_device_monitor_attach_event(raw, event);
    if (r >= 0)
        r = sd_device_monitor_start(raw, &UdevWatch::onDevice, this);
    if (r < 0) {
        platform::systemLog(platform::LogLevel::Warning,
                            std::string("HID: cannot follow hidraw devices (udev monitor): ") +
                                std::strerror(-r) + "; a frame plugged in later is not seen");
        monitor_.reset();
        return false;
    }
    return true;
}

int UdevWatch::onDevice(sd_device_monitor*, sd_device* device, void* userdata) {
    auto* self = static_cast<UdevWatch*>(userdata);
    sd_device_action_t action;
    const char* syspath = nullptr;
    if (sd_device_get_action(device, &action) < 0 || sd_device_get_syspath(device, &syspath) < 0 ||
        !syspath)
        return 0;
    // A "change" (udevadm trigger after a rule reload) may have given us
    // access: reported as present again, managers try what they could not open.
    if (action == SD_DEVICE_ADD || action == SD_DEVICE_CHANGE) {
        if (auto d = self->backend_->describe(syspath); d && self->observer_.added)
            self->observer_.added(std::move(d));
    } else if (action == SD_DEVICE_REMOVE) {
        if (self->observer_.removed)
            self->observer_.removed(syspath);
    }
    return 0;
}

}  // namespace

std::shared_ptr<Backend> makeLinuxBackend(LinuxBackendOptions options) {
    return std::make_shared<LinuxBackend>(std::move(options));
}

}  // namespace platform::hid
