// The sink that delivers posted events to the desktop: one virtual input
// device on /dev/uinput ("tact virtual touch frame") with an absolute pointer
// spanning the whole desktop in points, left and right buttons, vertical and
// horizontal wheels with their high-resolution companions, and the keyboard
// keys of the virtual key table, left control among them for zooming (see
// docs/events.md).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/events/Events.hpp"
#include "platform/events/Translate.hpp"
#include "platform/values/Error.hpp"

namespace platform::events {

inline constexpr const char* kUinputPath = "/dev/uinput";
inline constexpr const char* kUinputDeviceName = "tact virtual touch frame";

class UinputSink : public EventSink {
    struct Device;
    struct Private {};

  public:
    // Creates the device, its pointer spanning the geometry's desktop and
    // its positions placed on the geometry's main screen; an error when
    // /dev/uinput is missing, not writable or refuses the device (its detail
    // names the device and the udev rule that grants access).
    static Result<std::unique_ptr<UinputSink>> open(const ScreenGeometry& geometry);

    // A sink that writes the device's events to fd (owned from now on)
    // instead of a device of its own: a pipe or a file, for tests and
    // benchmarks on machines without /dev/uinput. A new desktop size takes
    // effect there at once.
    static std::unique_ptr<UinputSink> writingTo(int fd, const ScreenGeometry& geometry);

    UinputSink(Private, std::unique_ptr<Device> device, const ScreenGeometry& geometry);
    ~UinputSink() override;
    UinputSink(const UinputSink&) = delete;
    UinputSink& operator=(const UinputSink&) = delete;

    void post(const CGEvent& event) override;
    // Later positions go to this main screen. When the desktop's size
    // changed, the device is made again with the new axis ranges, after the
    // old one has released every button and key it holds; when that fails,
    // the old device and geometry stay (a warning says why).
    void setScreenGeometry(const ScreenGeometry& geometry) override;

    // The device node the kernel made (/dev/input/eventN), when known.
    std::string deviceNode() const;
    // Gesture events dropped: every gesture but magnify, which zooms.
    std::uint64_t droppedGestures() const { return droppedGestures_; }
    // Events whose evdev events could not all be written. Each event's
    // synchronised frames go out with one write(2) apiece.
    std::uint64_t failedEvents() const { return failedEvents_; }

  private:
    static Result<std::unique_ptr<Device>> createDevice(const TranslationState& axes);
    void releaseHeld();
    void writeFailed(int err, std::span<const InputEvent> written,
                     std::span<const InputEvent> lost);

    std::unique_ptr<Device> device_;
    TranslationState state_;
    InputEvents input_;  // the event being posted
    std::uint64_t droppedGestures_ = 0;
    std::uint64_t failedEvents_ = 0;
};

}  // namespace platform::events
