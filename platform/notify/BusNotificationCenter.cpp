// The centre on the D-Bus session bus (sd-bus).
//
// Every notification is one broadcast Notification signal (see BusCodec.hpp).
// One message filter on the connection hands each Notification signal to the
// observers of exactly that name and object. The bus daemon only sends us
// what we asked for: each observation installs its own match rule with
// arg0/arg1 (AddMatch, answered before addObserver returns, so a notification
// posted anywhere after that reaches the observer) and removes it again when
// the observation ends. Names that a match rule cannot carry get a rule
// without arguments; the filter compares name and object in any case.
//
// The connection runs on the program's run loop: attached to its sd-event loop
// when there is one, otherwise driven through a descriptor source and a timer.
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include <systemd/sd-bus.h>

#include "platform/log/SystemLog.hpp"
#include "platform/notify/BusCodec.hpp"
#include "platform/notify/MatchRule.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/notify/SdBusHandles.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/runloop/SdEvent.hpp"

namespace platform {
namespace {

using namespace buscodec;

constexpr const char* kDaemon = "org.freedesktop.DBus";
constexpr const char* kDaemonPath = "/org/freedesktop/DBus";
constexpr std::uint64_t kMethodCallTimeoutUsec = 5'000'000;

using sdbus::BusPtr;
using sdbus::ErrorGuard;
using sdbus::MessagePtr;
using sdbus::SlotPtr;

struct BusObserver {
    String name;
    String object;
    NotificationCenter::Callback callback;
    std::string rule;  // the match rule installed on the daemon; empty when none
    bool active = true;
};

class BusNotificationCenter;

// What an Observation refers to; it outlives the centre when the program keeps
// observations longer.
struct BusState {
    BusNotificationCenter* centre = nullptr;
};

class BusNotificationCenter final : public NotificationCenter {
  public:
    BusNotificationCenter(RunLoop& loop, BusPtr bus)
        : loop_(loop), bus_(std::move(bus)), state_(std::make_shared<BusState>()) {
        state_->centre = this;
    }

    ~BusNotificationCenter() override {
        state_->centre = nullptr;
        for (auto& [id, observer] : observers_)
            observer->active = false;
        observers_.clear();
        filter_.reset();
        fdSource_.remove();
        timer_.invalidate();
        bus_.reset();  // sends what is still queued, then closes
    }

    bool start(std::string* error) {
        sd_bus_slot* slot = nullptr;
        int r = sd_bus_add_filter(bus_.get(), &slot, &BusNotificationCenter::onMessage, this);
        if (r < 0) {
            if (error)
                *error = std::string("cannot add a message filter: ") + std::strerror(-r);
            return false;
        }
        filter_.reset(slot);
        sd_bus_set_method_call_timeout(bus_.get(), kMethodCallTimeoutUsec);
        if (sd_event* event = sdEventOf(loop_)) {
            r = sd_bus_attach_event(bus_.get(), event, SD_EVENT_PRIORITY_NORMAL);
            if (r < 0) {
                if (error)
                    *error = std::string("cannot attach to the run loop: ") + std::strerror(-r);
                return false;
            }
            attached_ = true;
        } else {
            rearm();
        }
        return true;
    }

    bool post(const String& name, const String& object,
              const std::optional<Dictionary>& userInfo) override {
        if (disconnected_) {
            systemLog(LogLevel::Debug, "notifications: not posted " + quoted(name) +
                                           ": no connection to the session bus");
            return false;
        }
        sd_bus_message* raw = nullptr;
        int r = sd_bus_message_new_signal(bus_.get(), &raw, kPath, kInterface, kMember);
        MessagePtr message(raw);
        if (r < 0) {
            systemLog(LogLevel::Warning,
                      "notifications: cannot post " + quoted(name) + ": " + std::strerror(-r));
            return false;
        }
        std::string error;
        if (!appendNotification(message.get(), name, object, userInfo, &error)) {
            systemLog(LogLevel::Warning,
                      "notifications: cannot post " + quoted(name) + ": " + error);
            return false;
        }
        r = sd_bus_send(bus_.get(), message.get(), nullptr);
        if (r < 0) {
            noteDisconnectedIfClosed();
            systemLog(disconnected_ ? LogLevel::Debug : LogLevel::Warning,
                      "notifications: cannot post " + quoted(name) + ": " + std::strerror(-r));
            return false;
        }
        if (!attached_)
            rearm();
        return true;
    }

    Observation addObserver(const String& name, const String& object, Callback callback) override {
        auto observer = std::make_shared<BusObserver>();
        observer->name = name;
        observer->object = object;
        observer->callback = std::move(callback);
        observer->rule = installRule(name, object);
        const std::uint64_t id = nextId_++;
        observers_.emplace(id, std::move(observer));
        if (!attached_)
            rearm();
        std::weak_ptr<BusState> weak = state_;
        return Observation([weak, id] {
            if (auto state = weak.lock(); state && state->centre)
                state->centre->remove(id);
        });
    }

  private:
    // Installs the match rule for one observation; returns it (empty when none
    // could be installed, which is logged).
    std::string installRule(const String& name, const String& object) {
        if (disconnected_)
            return {};
        std::string rule = notify_detail::notificationMatchRule(name, object);
        std::string failure;
        if (!rule.empty()) {
            if (addMatch(rule, &failure))
                return rule;
            systemLog(LogLevel::Debug, "notifications: bus refused match rule " + rule + " (" +
                                           failure + "); filtering here instead");
        }
        rule = notify_detail::notificationMatchRule();
        if (addMatch(rule, &failure))
            return rule;
        systemLog(LogLevel::Warning,
                  "notifications: cannot observe " + quoted(name) + ": " + failure);
        noteDisconnectedIfClosed();
        return {};
    }

    bool addMatch(const std::string& rule, std::string* failure) {
        ErrorGuard guard;
        int r = sd_bus_call_method(bus_.get(), kDaemon, kDaemonPath, kDaemon, "AddMatch",
                                   &guard.error, nullptr, "s", rule.c_str());
        if (r >= 0)
            return true;
        *failure = guard.describe(r);
        return false;
    }

    void remove(std::uint64_t id) {
        auto it = observers_.find(id);
        if (it == observers_.end())
            return;
        // A delivery in progress holds its own reference to the observer.
        std::shared_ptr<BusObserver> observer = std::move(it->second);
        observers_.erase(it);
        observer->active = false;
        if (observer->rule.empty() || disconnected_)
            return;
        sd_bus_message* raw = nullptr;
        int r = sd_bus_message_new_method_call(bus_.get(), &raw, kDaemon, kDaemonPath, kDaemon,
                                               "RemoveMatch");
        MessagePtr call(raw);
        if (r >= 0)
            r = sd_bus_message_set_expect_reply(call.get(), 0);
        if (r >= 0)
            r = sd_bus_message_append(call.get(), "s", observer->rule.c_str());
        if (r >= 0)
            r = sd_bus_send(bus_.get(), call.get(), nullptr);
        if (r < 0) {
            systemLog(LogLevel::Debug,
                      std::string("notifications: cannot remove match rule: ") + std::strerror(-r));
        }
        if (!attached_)
            rearm();
    }

    static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
        static_cast<BusNotificationCenter*>(userdata)->handle(m);
        return 0;  // let other handlers see the message too
    }

    void handle(sd_bus_message* m) {
        if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
            noteDisconnected();
            return;
        }
        if (sd_bus_message_is_signal(m, kInterface, kMember) <= 0)
            return;
        const char* path = sd_bus_message_get_path(m);
        if (!path || std::strcmp(path, kPath) != 0)
            return;
        std::string error;
        auto notification = readNotification(m, &error);
        if (!notification) {
            if (systemLogEnabled(LogLevel::Debug)) {
                const char* sender = sd_bus_message_get_sender(m);
                systemLog(LogLevel::Debug, std::string("notifications: ignored a malformed ") +
                                               "notification from " +
                                               (sender ? sender : "an unknown sender") + ": " +
                                               error);
            }
            return;
        }
        std::vector<std::shared_ptr<BusObserver>> targets;
        for (const auto& [id, observer] : observers_) {
            if (observer->name == notification->name && observer->object == notification->object) {
                targets.push_back(observer);
            }
        }
        // The callbacks may add or remove observers, or destroy this centre;
        // everything used below is held locally.
        for (const auto& observer : targets) {
            if (observer->active)
                observer->callback(*notification);
        }
    }

    void noteDisconnectedIfClosed() {
        if (!disconnected_ && sd_bus_is_open(bus_.get()) <= 0)
            noteDisconnected();
    }

    void noteDisconnected() {
        if (disconnected_)
            return;
        disconnected_ = true;
        systemLog(LogLevel::Warning,
                  "notifications: lost the connection to the session bus; notifications are "
                  "neither sent nor received any more");
    }

    // Without an sd-event loop: process what is pending, then watch the
    // descriptor for what sd-bus waits for, and wake up when it has work due.
    void pump() {
        for (;;) {
            int r = sd_bus_process(bus_.get(), nullptr);
            if (r < 0) {
                if (r != -ECONNRESET && r != -ENOTCONN) {
                    systemLog(
                        LogLevel::Debug,
                        std::string("notifications: bus processing failed: ") + std::strerror(-r));
                }
                noteDisconnected();
                fdSource_.remove();
                timer_.invalidate();
                return;
            }
            if (r == 0)
                break;
        }
        rearm();
    }

    void rearm() {
        const int fd = sd_bus_get_fd(bus_.get());
        const int events = sd_bus_get_events(bus_.get());
        if (fd < 0 || events < 0) {
            fdSource_.remove();
            timer_.invalidate();
            return;
        }
        if (!fdSource_.isActive() || fd != watchedFd_ || events != watchedEvents_) {
            watchedFd_ = fd;
            watchedEvents_ = events;
            fdSource_ = loop_.addFd(fd, static_cast<std::uint32_t>(events),
                                    [this](std::uint32_t) { pump(); });
        }
        // Only work that is due now needs a wake-up: sd-bus's own deadlines
        // (authentication, replies) are in real time, which a virtual loop
        // does not keep, and the calls we wait for are made synchronously.
        std::uint64_t until = UINT64_MAX;
        if (sd_bus_get_timeout(bus_.get(), &until) < 0 || until == UINT64_MAX) {
            timer_.invalidate();
            return;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1000;
        if (until > nowUsec) {
            timer_.invalidate();
            return;
        }
        timer_ = loop_.addTimer(0, 0, [this](Timer&) { pump(); });
    }

    RunLoop& loop_;
    BusPtr bus_;
    SlotPtr filter_;
    std::shared_ptr<BusState> state_;
    std::map<std::uint64_t, std::shared_ptr<BusObserver>> observers_;
    std::uint64_t nextId_ = 1;
    bool attached_ = false;
    bool disconnected_ = false;
    FdSource fdSource_;
    Timer timer_;
    int watchedFd_ = -1;
    int watchedEvents_ = 0;
};

std::unique_ptr<NotificationCenter> finish(RunLoop& loop, sd_bus* raw, std::string* error) {
    BusPtr bus(raw);
    auto centre = std::make_unique<BusNotificationCenter>(loop, std::move(bus));
    if (!centre->start(error))
        return nullptr;
    return centre;
}

}  // namespace

std::unique_ptr<NotificationCenter> makeBusNotificationCenterAt(RunLoop& loop,
                                                                const std::string& address,
                                                                std::string* error) {
    auto fail = [&](const char* what, int r) -> std::unique_ptr<NotificationCenter> {
        if (error)
            *error = std::string(what) + " " + address + ": " + std::strerror(-r);
        return nullptr;
    };
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    if (r < 0)
        return fail("cannot create a connection to", r);
    BusPtr bus(raw);
    r = sd_bus_set_address(bus.get(), address.c_str());
    if (r < 0)
        return fail("invalid bus address", r);
    r = sd_bus_set_bus_client(bus.get(), 1);
    if (r >= 0)
        r = sd_bus_set_description(bus.get(), "notifications");
    if (r < 0)
        return fail("cannot set up a connection to", r);
    r = sd_bus_start(bus.get());
    if (r < 0)
        return fail("cannot connect to the bus at", r);
    return finish(loop, bus.release(), error);
}

std::unique_ptr<NotificationCenter> makeBusNotificationCenter(RunLoop& loop, std::string* error) {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address)
        return makeBusNotificationCenterAt(loop, address, error);
    sd_bus* raw = nullptr;
    int r = sd_bus_open_user(&raw);
    if (r < 0) {
        if (error)
            *error = std::string("cannot connect to the session bus: ") + std::strerror(-r);
        return nullptr;
    }
    return finish(loop, raw, error);
}

}  // namespace platform
