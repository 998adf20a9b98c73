// KDE's global shortcut service on the session bus (org.kde.kglobalaccel):
// it runs a component's shortcut by name, whether or not a key is bound to
// it and whatever the keyboard layout. Calls never block the loop: the
// answer comes back through a callback.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/values/Error.hpp"

namespace platform {
class RunLoop;
}

namespace platform::actions {

inline constexpr const char* kGlobalShortcutServiceName = "org.kde.kglobalaccel";
inline constexpr const char* kGlobalShortcutComponentInterface = "org.kde.kglobalaccel.Component";

class GlobalShortcutService {
    struct Bus;
    struct Private {};

  public:
    // Empty error: the service ran the shortcut.
    using Done = std::function<void(const std::string& error)>;

    // On the session bus (DBUS_SESSION_BUS_ADDRESS, else the user's bus),
    // attached to the loop; an error when there is no bus or the loop is a
    // virtual one.
    static Result<std::shared_ptr<GlobalShortcutService>> connect(RunLoop& loop);

    GlobalShortcutService(Private, std::unique_ptr<Bus> bus);
    ~GlobalShortcutService();
    GlobalShortcutService(const GlobalShortcutService&) = delete;
    GlobalShortcutService& operator=(const GlobalShortcutService&) = delete;

    // Runs component's shortcut ("kwin", "Switch One Desktop to the Left").
    // The service is not started for this when it is not running. done is
    // called from the loop once the service answered, failed or took longer
    // than two seconds; not at all when this object goes first.
    void invoke(const std::string& component, const std::string& shortcut, Done done);

    // False after a call found no service on the bus, for a minute: callers
    // then go straight to their keystroke.
    bool available() const;

  private:
    std::unique_ptr<Bus> bus_;
};

// The object path of a component: "/component/" and its name, with every
// character other than A-Z, a-z, 0-9 and _ written as _ (as the service
// names its objects).
std::string globalShortcutComponentPath(const std::string& component);

}  // namespace platform::actions
