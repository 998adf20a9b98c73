// The distributed notification centre: broadcast notifications (name, object,
// optional user information) to every observer of the logged-in user.
//
// Observers register for an exact name and object string. Delivery always
// happens later, on the observer's run loop, in posting order per sender; a
// notification posted without user information is delivered without it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/values/Error.hpp"
#include "platform/values/Value.hpp"

namespace platform {

class RunLoop;

struct Notification {
    String name;
    String object;
    std::optional<Dictionary> userInfo;
    friend bool operator==(const Notification&, const Notification&) = default;
};

// Removes its observation when destroyed (or on remove()).
class Observation {
  public:
    Observation() = default;
    explicit Observation(std::function<void()> remover) : remover_(std::move(remover)) {}
    Observation(Observation&& other) noexcept : remover_(std::exchange(other.remover_, {})) {}
    Observation& operator=(Observation&& other) noexcept {
        if (this != &other) {
            remove();
            remover_ = std::exchange(other.remover_, {});
        }
        return *this;
    }
    Observation(const Observation&) = delete;
    Observation& operator=(const Observation&) = delete;
    ~Observation() { remove(); }

    void remove() {
        if (auto r = std::exchange(remover_, {}))
            r();
    }
    bool isActive() const { return static_cast<bool>(remover_); }

  private:
    std::function<void()> remover_;
};

class NotificationCenter {
  public:
    using Callback = std::function<void(const Notification&)>;

    virtual ~NotificationCenter() = default;

    // Broadcasts a notification. Returns false when it could not be sent (the
    // reason goes to the system log).
    virtual bool post(const String& name, const String& object,
                      const std::optional<Dictionary>& userInfo) = 0;

    // Observes notifications with exactly this name and object. The callback
    // runs on the centre's run loop. Keep the returned handle: destroying it
    // ends the observation.
    [[nodiscard]] virtual Observation addObserver(const String& name, const String& object,
                                                  Callback callback) = 0;
};

// An in-process centre: everything posted reaches this process's observers only.
std::unique_ptr<NotificationCenter> makeLocalNotificationCenter(RunLoop& loop);

// The centre on the D-Bus session bus (DBUS_SESSION_BUS_ADDRESS); an error
// when the bus cannot be reached.
Result<std::unique_ptr<NotificationCenter>> makeBusNotificationCenter(RunLoop& loop);

// The centre on the bus at this D-Bus address ("unix:path=..."), whatever the
// environment says; an error when it cannot be reached.
Result<std::unique_ptr<NotificationCenter>> makeBusNotificationCenterAt(RunLoop& loop,
                                                                        const std::string& address);

}  // namespace platform
