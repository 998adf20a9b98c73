// What the agent needs to know about the desktop it serves: the main screen's
// frame, the system version, the pointer, and which application is in front.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/events/Events.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"

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

// One monitor of the desktop: its name (the RandR monitor or output name,
// "HDMI-1"; the Wayland output's name), its frame in desktop coordinates
// (the X root window's; the compositor's logical layout), and whether the
// desktop counts it as its primary one.
struct Output {
    std::string name;
    Rect frame;
    bool primary = false;
    friend bool operator==(const Output&, const Output&) = default;
};

// The output the frame covers among these: the one named when it is there,
// else the primary, else the first; nullptr when there is none.
const Output* chooseOutput(const std::vector<Output>& outputs, const std::string& name);

// The smallest rectangle holding every output (all zero without any).
Rect boundingBox(const std::vector<Output>& outputs);

// Says once that the frame's output is not connected (naming the one used
// instead, or `otherwise` when there is none or it has no name), and once
// that it is back. A desktop keeps one and forgets it when another output is
// named.
class FrameOutputNotice {
  public:
    void update(const std::string& frameOutput, const Output* chosen, std::string_view otherwise);
    void forget() { missing_ = false; }

  private:
    bool missing_ = false;
};

// A desktop's screen observers: told from the run loop, once per change,
// when the main screen's frame or the desktop's bounds differ from what they
// were last told. An observer removed before its turn is not told.
class ScreenObservers {
  public:
    explicit ScreenObservers(RunLoop& loop);
    [[nodiscard]] Observation add(std::function<void()> cb);
    // What the observers count as told, without telling them (the screen a
    // desktop found when it connected).
    void settle(const Rect& frame, const Rect& bounds);
    // The screen as it is now.
    void changed(const Rect& frame, const Rect& bounds);

  private:
    struct State;
    std::shared_ptr<State> state_;
};

class Desktop;
// Where a sink puts positions on this desktop now: the main screen within
// the desktop's bounds.
events::ScreenGeometry screenGeometry(const Desktop& desktop);

struct SystemVersion {
    std::int32_t major = 10;
    std::int32_t minor = 15;
    std::int32_t bugfix = 0;
};

class Desktop {
  public:
    using ActivationCallback = std::function<void(const std::string& bundleIdentifier)>;
    using ScreenCallback = std::function<void()>;

    virtual ~Desktop() = default;

    // The main screen: the output the frame covers, its frame in desktop
    // coordinates (points, origin top left); all zero without one.
    virtual Rect mainScreenFrame() const = 0;
    // The main screen's output name; empty when the desktop has no names.
    virtual std::string mainOutputName() const { return {}; }
    // Every output, in the desktop's order; empty when the desktop cannot
    // tell (then the main screen is all there is).
    virtual std::vector<Output> outputs() const { return {}; }
    // The whole desktop's bounding box, in desktop coordinates: where an
    // absolute pointer device's range goes.
    virtual Rect desktopBounds() const { return mainScreenFrame(); }
    // Which output the frame covers, by name (empty: the primary, else the
    // first). When that output is gone the primary serves until it is back.
    virtual void setFrameOutput(const std::string& name) { (void)name; }
    // Calls back from the run loop after the main screen's frame or the
    // desktop's bounds changed (a monitor plugged in or out, a new mode or
    // rotation, another output chosen).
    [[nodiscard]] virtual Observation observeScreenChanges(ScreenCallback cb) {
        (void)cb;
        return Observation();
    }
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

    Rect mainScreenFrame() const override;
    std::string mainOutputName() const override;
    std::vector<Output> outputs() const override { return outputs_; }
    Rect desktopBounds() const override { return boundingBox(outputs_); }
    void setFrameOutput(const std::string& name) override;
    Observation observeScreenChanges(ScreenCallback cb) override;
    SystemVersion systemVersion() const override { return version_; }
    Point pointerLocation() const override { return pointer_; }
    void setPointerLocation(Point p) override { pointer_ = p; }
    Observation observeApplicationActivation(ActivationCallback cb) override;

    // One output, "virtual", of that size at 0,0.
    void setScreenSize(double width, double height);
    // Monitors plugged in or out, moved or resized; observers hear of it
    // when the main screen or the bounds changed.
    void setOutputs(std::vector<Output> outputs);
    void setSystemVersion(SystemVersion v) { version_ = v; }
    // Makes an application the active one and tells every observer.
    void activateApplication(const std::string& bundleIdentifier);

  private:
    template <class Change>
    void changeScreens(Change change);

    std::vector<Output> outputs_;
    std::string frameOutput_;
    SystemVersion version_;
    Point pointer_;
    std::shared_ptr<std::vector<std::pair<int, ActivationCallback>>> observers_;
    std::shared_ptr<std::vector<std::pair<int, ScreenCallback>>> screenObservers_;
    int nextObserver_ = 0;
};

// "WxH" -> width and height; nullopt for anything else (or non-positive sizes).
std::optional<std::pair<double, double>> parseScreenSize(const std::string& text);

}  // namespace platform
