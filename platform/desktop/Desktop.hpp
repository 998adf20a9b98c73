// What the agent needs to know about the desktop it serves: the main screen's
// frame, the system version, the pointer, and which application is in front.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/notify/NotificationCenter.hpp"

namespace platform {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct SystemVersion {
    std::int32_t major = 10;
    std::int32_t minor = 15;
    std::int32_t bugfix = 0;
};

class Desktop {
  public:
    using ActivationCallback = std::function<void(const std::string& bundleIdentifier)>;

    virtual ~Desktop() = default;

    // The main screen's frame in points, origin top left; all zero without one.
    virtual Rect mainScreenFrame() const = 0;
    virtual SystemVersion systemVersion() const = 0;

    // Where the pointer is, in screen points.
    virtual Point pointerLocation() const = 0;
    // Our own posted pointer moves tell the desktop where the pointer went.
    virtual void setPointerLocation(Point p) = 0;

    // Calls back on the run loop whenever another application becomes active.
    [[nodiscard]] virtual Observation observeApplicationActivation(ActivationCallback cb) = 0;
};

// A desktop without a display: a screen of a given size, a pointer that goes
// where the agent's own events put it, and applications activated by hand.
class VirtualDesktop : public Desktop {
  public:
    VirtualDesktop(double width = 1920, double height = 1080);

    Rect mainScreenFrame() const override { return screen_; }
    SystemVersion systemVersion() const override { return version_; }
    Point pointerLocation() const override { return pointer_; }
    void setPointerLocation(Point p) override { pointer_ = p; }
    Observation observeApplicationActivation(ActivationCallback cb) override;

    void setScreenSize(double width, double height);
    void setSystemVersion(SystemVersion v) { version_ = v; }
    // Makes an application the active one and tells every observer.
    void activateApplication(const std::string& bundleIdentifier);

  private:
    Rect screen_;
    SystemVersion version_;
    Point pointer_;
    std::shared_ptr<std::vector<std::pair<int, ActivationCallback>>> observers_;
    int nextObserver_ = 0;
};

// "WxH" -> width and height; nullopt for anything else (or non-positive sizes).
std::optional<std::pair<double, double>> parseScreenSize(const std::string& text);

}  // namespace platform
