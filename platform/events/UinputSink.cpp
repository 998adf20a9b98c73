#include "platform/events/UinputSink.hpp"

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

#include "platform/log/SystemLog.hpp"

namespace platform::events {
namespace {

constexpr const char* kAccessHint =
    "the udev rule installed with the driver grants the desktop user access to it (see README, "
    "Install)";

struct FreeEvdev {
    void operator()(libevdev* dev) const { libevdev_free(dev); }
};
struct DestroyUinput {
    void operator()(libevdev_uinput* dev) const { libevdev_uinput_destroy(dev); }
};

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

Error openFailure(int err) {
    const std::string path = kUinputPath;
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return {Reason::Unavailable,
                    path +
                        " does not exist (the uinput kernel module is not loaded); load the "
                        "module with \"modprobe uinput\", and " +
                        kAccessHint};
        case EACCES:
        case EPERM:
        case EROFS:
            return {Reason::Denied, path + " is not writable by this user; " + kAccessHint};
        default:
            return {Reason::Failed,
                    "cannot open " + path + ": " + std::strerror(err) + "; " + kAccessHint};
    }
}

}  // namespace

struct UinputSink::Device {
    FileDescriptor fd;
    std::unique_ptr<libevdev, FreeEvdev> description;
    // Destroyed before fd closes; none when writing to a descriptor given.
    std::unique_ptr<libevdev_uinput, DestroyUinput> uinput;
    // The buttons and keys this device has pressed and not yet released.
    std::bitset<KEY_CNT> held;

    // Writes the events, a synchronised frame, with one write(2) (several
    // for more than kMaxInputEventsPerEvent events); 0, or an errno value.
    int writeFrame(std::span<const InputEvent> frame) {
        std::array<input_event, kMaxInputEventsPerEvent> raw{};
        while (!frame.empty()) {
            const std::size_t n = std::min(frame.size(), raw.size());
            for (std::size_t i = 0; i < n; ++i) {
                raw[i].type = frame[i].type;
                raw[i].code = frame[i].code;
                raw[i].value = frame[i].value;
            }
            if (const int err = writeAll(std::as_bytes(std::span(raw.data(), n))); err != 0)
                return err;
            for (const InputEvent& e : frame.first(n)) {
                if (e.type == EV_KEY && e.code < held.size())
                    held[e.code] = e.value != 0;
            }
            frame = frame.subspan(n);
        }
        return 0;
    }

  private:
    int writeAll(std::span<const std::byte> bytes) const {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return errno;
            if (n == 0)
                return EIO;
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
        return 0;
    }
};

Result<std::unique_ptr<UinputSink::Device>> UinputSink::createDevice(const TranslationState& axes) {
    auto device = std::make_unique<Device>();
    device->fd.reset(::open(kUinputPath, O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (device->fd.get() < 0)
        return openFailure(errno);

    device->description.reset(libevdev_new());
    if (!device->description)
        return Error{Reason::Failed, "cannot describe the virtual input device: out of memory"};
    libevdev* dev = device->description.get();
    libevdev_set_name(dev, kUinputDeviceName);
    libevdev_set_id_bustype(dev, BUS_VIRTUAL);
    libevdev_set_id_version(dev, 1);

    // The axes span the whole desktop in points.
    input_absinfo x{};
    x.minimum = 0;
    x.maximum = axes.maxX;
    input_absinfo y{};
    y.minimum = 0;
    y.maximum = axes.maxY;
    bool ok = libevdev_enable_event_type(dev, EV_ABS) == 0 &&
              libevdev_enable_event_code(dev, EV_ABS, ABS_X, &x) == 0 &&
              libevdev_enable_event_code(dev, EV_ABS, ABS_Y, &y) == 0 &&
              libevdev_enable_event_type(dev, EV_KEY) == 0 &&
              libevdev_enable_event_code(dev, EV_KEY, BTN_LEFT, nullptr) == 0 &&
              libevdev_enable_event_code(dev, EV_KEY, BTN_RIGHT, nullptr) == 0 &&
              libevdev_enable_event_type(dev, EV_REL) == 0;
    for (unsigned code : {REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES})
        ok = ok && libevdev_enable_event_code(dev, EV_REL, code, nullptr) == 0;
    for (std::uint16_t key : evdevKeyCodes())
        ok = ok && libevdev_enable_event_code(dev, EV_KEY, key, nullptr) == 0;
    if (!ok)
        return Error{Reason::Failed, "cannot describe the virtual input device"};

    libevdev_uinput* uinput = nullptr;
    const int rc = libevdev_uinput_create_from_device(dev, device->fd.get(), &uinput);
    if (rc != 0) {
        return Error{Reason::Failed, std::string("cannot create the virtual input device on ") +
                                         kUinputPath + ": " + std::strerror(-rc)};
    }
    device->uinput.reset(uinput);
    return device;
}

Result<std::unique_ptr<UinputSink>> UinputSink::open(const ScreenGeometry& geometry) {
    auto device = createDevice(TranslationState(geometry));
    if (!device)
        return device.error();
    return std::make_unique<UinputSink>(Private{}, std::move(*device), geometry);
}

std::unique_ptr<UinputSink> UinputSink::writingTo(int fd, const ScreenGeometry& geometry) {
    auto device = std::make_unique<Device>();
    device->fd.reset(fd);
    return std::make_unique<UinputSink>(Private{}, std::move(device), geometry);
}

UinputSink::UinputSink(Private, std::unique_ptr<Device> device, const ScreenGeometry& geometry)
    : device_(std::move(device)), state_(geometry) {}

UinputSink::~UinputSink() = default;

void UinputSink::releaseHeld() {
    const std::bitset<KEY_CNT> held = device_->held;
    if (held.none())
        return;
    std::vector<InputEvent> release;
    for (std::size_t code = 0; code < held.size(); ++code) {
        if (held[code])
            release.push_back({EV_KEY, static_cast<std::uint16_t>(code), 0});
    }
    release.push_back({EV_SYN, SYN_REPORT, 0});
    device_->writeFrame(release);
}

void UinputSink::setScreenGeometry(const ScreenGeometry& geometry) {
    switch (geometryChange(state_, geometry)) {
        case GeometryChange::None:
            return;
        case GeometryChange::Placement:
            state_.setGeometry(geometry);
            return;
        case GeometryChange::Device:
            break;
    }
    if (!device_->uinput) {
        // A descriptor has no axes to make again.
        releaseHeld();
        state_.setGeometry(geometry);
        return;
    }
    // A device's axis ranges are fixed when it is made: a new one replaces
    // it, and nothing the old one pressed stays down.
    const TranslationState next(geometry);
    const std::string size = std::to_string(std::int64_t{next.maxX} + 1) + "x" +
                             std::to_string(std::int64_t{next.maxY} + 1);
    releaseHeld();
    auto device = createDevice(next);
    if (!device) {
        systemLog(LogLevel::Warning, "uinput: the desktop is now " + size +
                                         " points, but the virtual input device cannot be made "
                                         "again for it (" +
                                         device.error().detail +
                                         "); positions keep the old desktop");
        return;
    }
    device_ = std::move(*device);
    state_.setGeometry(geometry);
    systemLog(LogLevel::Info, "uinput: the desktop is now " + size +
                                  " points: the virtual input device was made again (" +
                                  deviceNode() + ")");
}

std::string UinputSink::deviceNode() const {
    if (!device_->uinput)
        return "";
    const char* node = libevdev_uinput_get_devnode(device_->uinput.get());
    return node ? node : "";
}

void UinputSink::post(const CGEvent& event) {
    // Translated first, whatever the event: every event takes part in the
    // zoom's bookkeeping.
    translate(event, state_, input_);
    if (input_.empty()) {
        if (event.type == kCGEventGesture && !isMagnifyGesture(event)) {
            ++droppedGestures_;
            if (systemLogEnabled(LogLevel::Debug)) {
                systemLog(LogLevel::Debug,
                          "uinput: gesture event dropped (only magnify has an evdev form), " +
                              std::to_string(droppedGestures_) + " so far");
            }
        } else if (event.type != kCGEventGesture && systemLogEnabled(LogLevel::Debug)) {
            systemLog(LogLevel::Debug,
                      "uinput: event type " + std::to_string(event.type) + " has no evdev form");
        }
        return;
    }
    // One write per synchronised frame: the device takes the frame's events
    // together, and the desktop sees them at its SYN_REPORT.
    Device& device = *device_;
    const std::span<const InputEvent> all = input_.items();
    std::size_t start = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const bool frameEnds =
            (all[i].type == EV_SYN && all[i].code == SYN_REPORT) || i + 1 == all.size();
        if (!frameEnds)
            continue;
        const int err = device.writeFrame(all.subspan(start, i + 1 - start));
        if (err == 0) {
            start = i + 1;
            continue;
        }
        writeFailed(err, all.first(start), all.subspan(start));
        return;
    }
}

void UinputSink::writeFailed(int err, std::span<const InputEvent> written,
                             std::span<const InputEvent> lost) {
    ++failedEvents_;
    // The first failure and then every thousandth, so a gone device cannot
    // flood the log.
    if (failedEvents_ == 1 || failedEvents_ % 1000 == 0) {
        systemLog(LogLevel::Warning,
                  "uinput: writing an event failed: " + std::string(std::strerror(err)) + " (" +
                      std::to_string(failedEvents_) + " events lost)");
    }
    // A key this event pressed and meant to release (control around a zoom)
    // is released all the same, as far as the device still takes it.
    InputEvents release;
    for (const InputEvent& pressed : written) {
        if (pressed.type != EV_KEY || pressed.value != 1)
            continue;
        const InputEvent up{EV_KEY, pressed.code, 0};
        if (std::find(lost.begin(), lost.end(), up) != lost.end())
            release.push_back(up);
    }
    if (release.empty())
        return;
    release.push_back({EV_SYN, SYN_REPORT, 0});
    device_->writeFrame(release.items());
}

}  // namespace platform::events
