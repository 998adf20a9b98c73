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
//
// Losing the bus (the daemon restarted, or it dropped us) is not the end on a
// real loop: the centre connects again from the loop's timers, 0.5 s after the
// loss and then twice as long after each failed attempt, up to 30 s apart, for
// as long as the program runs. An attempt never blocks the loop: the socket is
// connected without waiting, and authentication, Hello and the match rules of
// every observation are asynchronous. The connection counts as back once all
// of them are answered; then notifications flow again through the same
// Observation objects. What is posted in between is dropped and counted, never
// queued. On a virtual loop (tests, replays) there is no reconnection: its
// clock would run the back-off timers at once, and a replay must end when its
// session does.
#include <time.h>

#include <algorithm>
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
constexpr const char* kLocal = "org.freedesktop.DBus.Local";
constexpr std::uint64_t kMethodCallTimeoutUsec = 5'000'000;

// Reconnection back-off, in seconds.
constexpr double kFirstRetryDelay = 0.5;
constexpr double kLongestRetryDelay = 30.0;
// A connection that stayed up this long starts the back-off afresh when it is
// lost; one lost sooner goes on from where the last recovery left it, so a bus
// that keeps dropping us is not hammered.
constexpr std::uint64_t kSettledNanoseconds = 30'000'000'000ULL;

using sdbus::BusPtr;
using sdbus::ErrorGuard;
using sdbus::MessagePtr;
using sdbus::SlotPtr;

struct BusObserver {
    String name;
    String object;
    NotificationCenter::Callback callback;
    std::string rule;  // the match rule on the current connection; empty when none
    bool active = true;
};

class BusNotificationCenter;

// What an Observation refers to; it outlives the centre when the program keeps
// observations longer.
struct BusState {
    BusNotificationCenter* centre = nullptr;
};

// Closes a connection that is not (or no longer) up, then lets go of it. The
// close comes first so that letting go does not wait to flush a connection
// still authenticating with a daemon that may never answer.
void abandon(BusPtr& bus) {
    if (bus)
        sd_bus_close(bus.get());
    bus.reset();
}

// A connection given up on: its filter goes before the connection itself.
struct RetiredConnection {
    BusPtr bus;
    SlotPtr filter;
};

void abandon(std::vector<RetiredConnection>& retired) {
    for (auto& connection : retired) {
        connection.filter.reset();
        abandon(connection.bus);
    }
    retired.clear();
}

// The address to connect to again: the same one without its "guid=" keys, as a
// restarted daemon has a new identity.
std::string withoutGuid(const std::string& address) {
    std::string out;
    std::size_t pos = 0;
    while (pos <= address.size()) {
        std::size_t end = address.find(';', pos);
        if (end == std::string::npos)
            end = address.size();
        std::string entry = address.substr(pos, end - pos);
        if (std::size_t colon = entry.find(':'); colon != std::string::npos) {
            std::string kept = entry.substr(0, colon + 1);
            bool first = true;
            std::size_t k = colon + 1;
            while (k <= entry.size()) {
                std::size_t comma = entry.find(',', k);
                if (comma == std::string::npos)
                    comma = entry.size();
                std::string pair = entry.substr(k, comma - k);
                if (!pair.empty() && !pair.starts_with("guid=")) {
                    kept += (first ? "" : ",") + pair;
                    first = false;
                }
                k = comma + 1;
            }
            entry = kept;
        }
        if (!entry.empty())
            out += (out.empty() ? "" : ";") + entry;
        pos = end + 1;
    }
    return out;
}

// A new client connection to address, started: the socket is connected (or
// connecting) and authentication and Hello are under way.
Result<BusPtr> startConnection(const std::string& address, bool connectedSignal) {
    auto fail = [&](Reason reason, const char* what, int r) {
        return Error{reason, std::string(what) + " " + address + ": " + std::strerror(-r)};
    };
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    if (r < 0)
        return fail(Reason::Failed, "cannot create a connection to", r);
    BusPtr bus(raw);
    r = sd_bus_set_address(bus.get(), address.c_str());
    if (r < 0)
        return fail(Reason::Malformed, "invalid bus address", r);
    r = sd_bus_set_bus_client(bus.get(), 1);
    if (r >= 0)
        r = sd_bus_set_description(bus.get(), "notifications");
    if (r >= 0)
        r = sd_bus_set_method_call_timeout(bus.get(), kMethodCallTimeoutUsec);
    if (r >= 0 && connectedSignal)
        r = sd_bus_set_connected_signal(bus.get(), 1);
    if (r < 0)
        return fail(Reason::Failed, "cannot set up a connection to", r);
    r = sd_bus_start(bus.get());
    if (r < 0)
        return fail(Reason::Unavailable, "cannot connect to the bus at", r);
    return bus;
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

class BusNotificationCenter final : public NotificationCenter {
  public:
    BusNotificationCenter(RunLoop& loop, BusPtr bus)
        : loop_(loop), bus_(std::move(bus)), state_(std::make_shared<BusState>()) {
        state_->centre = this;
        upSince_ = loop_.monotonicNanoseconds();
    }

    ~BusNotificationCenter() override {
        state_->centre = nullptr;
        for (auto& [id, observer] : observers_)
            observer->active = false;
        observers_.clear();
        pendingMatches_.clear();
        retryTimer_.invalidate();
        retireTimer_.invalidate();
        filter_.reset();
        fdSource_.remove();
        timer_.invalidate();
        if (reconnects() && link_ != Link::Up)
            abandon(bus_);  // nothing of ours to send: posts were dropped
        bus_.reset();       // sends what is still queued, then closes
        abandon(retired_);
    }

    Status start() {
        if (auto hooked = hookUp(); !hooked)
            return hooked;
        // Reconnection needs the real loop and the address we came from.
        if (attached_) {
            const char* address = nullptr;
            if (sd_bus_get_address(bus_.get(), &address) >= 0 && address && *address)
                address_ = withoutGuid(address);
        }
        return std::monostate{};
    }

    bool post(const String& name, const String& object,
              const std::optional<Dictionary>& userInfo) override {
        if (link_ != Link::Up) {
            if (reconnects())
                ++dropped_;
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
        if (auto appended = appendNotification(message.get(), name, object, userInfo); !appended) {
            systemLog(LogLevel::Warning, "notifications: cannot post " + quoted(name) + ": " +
                                             appended.error().detail);
            return false;
        }
        r = sd_bus_send(bus_.get(), message.get(), nullptr);
        if (r < 0) {
            noteDisconnectedIfClosed();
            const bool lost = link_ != Link::Up;
            if (lost && reconnects())
                ++dropped_;
            systemLog(lost ? LogLevel::Debug : LogLevel::Warning,
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
        if (link_ == Link::Up)
            observer->rule = installRule(name, object);
        const std::uint64_t id = nextId_++;
        BusObserver& added = *observer;
        observers_.emplace(id, std::move(observer));
        // While reconnecting, the rule joins the others on the new connection;
        // while disconnected, the next attempt installs it.
        if (link_ == Link::Connecting)
            requestMatch(id, added, preferredRule(added));
        if (!attached_)
            rearm();
        std::weak_ptr<BusState> weak = state_;
        return Observation([weak, id] {
            if (auto state = weak.lock(); state && state->centre)
                state->centre->remove(id);
        });
    }

  private:
    enum class Link {
        Up,          // connected; notifications flow
        Connecting,  // a new connection is authenticating or installing the match rules
        Down,        // no connection; an attempt is scheduled when we reconnect
    };

    bool reconnects() const { return !address_.empty(); }

    // Adds the filter to bus_ and attaches it to the loop.
    Status hookUp() {
        sd_bus_slot* slot = nullptr;
        int r = sd_bus_add_filter(bus_.get(), &slot, &BusNotificationCenter::onMessage, this);
        if (r < 0) {
            return Error{Reason::Failed,
                         std::string("cannot add a message filter: ") + std::strerror(-r)};
        }
        filter_.reset(slot);
        sd_bus_set_method_call_timeout(bus_.get(), kMethodCallTimeoutUsec);
        if (sd_event* event = sdEventOf(loop_)) {
            r = sd_bus_attach_event(bus_.get(), event, SD_EVENT_PRIORITY_NORMAL);
            if (r < 0) {
                return Error{Reason::Failed,
                             std::string("cannot attach to the run loop: ") + std::strerror(-r)};
            }
            attached_ = true;
        } else {
            rearm();
        }
        return std::monostate{};
    }

    // Installs the match rule for one observation; returns it (empty when none
    // could be installed, which is logged).
    std::string installRule(const String& name, const String& object) {
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

    static std::string preferredRule(const BusObserver& observer) {
        std::string rule = notify_detail::notificationMatchRule(observer.name, observer.object);
        return rule.empty() ? notify_detail::notificationMatchRule() : rule;
    }

    // Asks the daemon, without waiting, for the observer's rule on the new
    // connection; matchAnswered() takes the reply.
    void requestMatch(std::uint64_t id, BusObserver& observer, const std::string& rule) {
        if (link_ != Link::Connecting)
            return;
        sd_bus_message* raw = nullptr;
        int r = sd_bus_message_new_method_call(bus_.get(), &raw, kDaemon, kDaemonPath, kDaemon,
                                               "AddMatch");
        MessagePtr call(raw);
        if (r >= 0)
            r = sd_bus_message_append(call.get(), "s", rule.c_str());
        if (r >= 0)  // a floating slot: it goes with the connection
            r = sd_bus_call_async(bus_.get(), nullptr, call.get(), &BusNotificationCenter::onReply,
                                  this, 0);
        std::uint64_t cookie = 0;
        if (r >= 0)
            r = sd_bus_message_get_cookie(call.get(), &cookie);
        if (r < 0) {
            systemLog(LogLevel::Debug, "notifications: cannot ask for match rule " + rule + ": " +
                                           std::strerror(-r));
            noteDisconnectedIfClosed();
            return;
        }
        observer.rule = rule;  // a removal from now on sends RemoveMatch after it
        pendingMatches_[cookie] = id;
    }

    static int onReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
        static_cast<BusNotificationCenter*>(userdata)->matchAnswered(m);
        return 0;
    }

    void matchAnswered(sd_bus_message* reply) {
        if (sd_bus_message_get_bus(reply) != bus_.get() || link_ != Link::Connecting)
            return;
        std::uint64_t cookie = 0;
        if (sd_bus_message_get_reply_cookie(reply, &cookie) < 0)
            return;
        auto pending = pendingMatches_.find(cookie);
        if (pending == pendingMatches_.end())
            return;
        const std::uint64_t id = pending->second;
        pendingMatches_.erase(pending);
        const std::string failure = sdbus::replyError(reply);
        auto it = observers_.find(id);
        if (!failure.empty() && it != observers_.end()) {
            // The connection going down fails every call; the loss is handled
            // when the bus says so.
            if (sd_bus_is_open(bus_.get()) <= 0)
                return;
            BusObserver& observer = *it->second;
            const std::string everything = notify_detail::notificationMatchRule();
            if (observer.rule != everything) {
                systemLog(LogLevel::Debug, "notifications: bus refused match rule " +
                                               observer.rule + " (" + failure +
                                               "); filtering here instead");
                requestMatch(id, observer, everything);
                return;
            }
            systemLog(LogLevel::Warning,
                      "notifications: cannot observe " + quoted(observer.name) + ": " + failure);
            observer.rule.clear();
        }
        finishReconnecting();
    }

    void remove(std::uint64_t id) {
        auto it = observers_.find(id);
        if (it == observers_.end())
            return;
        // A delivery in progress holds its own reference to the observer.
        std::shared_ptr<BusObserver> observer = std::move(it->second);
        observers_.erase(it);
        observer->active = false;
        // Its rule belongs to the current connection; while there is none,
        // there is nothing to take back.
        if (observer->rule.empty() || link_ == Link::Down)
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
        // The last rule a reconnection waited for may have been this one's.
        finishReconnecting();
    }

    static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
        static_cast<BusNotificationCenter*>(userdata)->handle(m);
        return 0;  // let other handlers see the message too
    }

    void handle(sd_bus_message* m) {
        // A connection given up on may still have something to say.
        if (sd_bus_message_get_bus(m) != bus_.get())
            return;
        if (sd_bus_message_is_signal(m, kLocal, "Disconnected") > 0) {
            noteDisconnected();
            return;
        }
        if (sd_bus_message_is_signal(m, kLocal, "Connected") > 0) {
            connectedSeen_ = true;
            finishReconnecting();
            return;
        }
        if (sd_bus_message_is_signal(m, kInterface, kMember) <= 0)
            return;
        const char* path = sd_bus_message_get_path(m);
        if (!path || std::strcmp(path, kPath) != 0)
            return;
        auto notification = readNotification(m);
        if (!notification) {
            if (systemLogEnabled(LogLevel::Debug)) {
                const char* sender = sd_bus_message_get_sender(m);
                systemLog(LogLevel::Debug, std::string("notifications: ignored a malformed ") +
                                               "notification from " +
                                               (sender ? sender : "an unknown sender") + ": " +
                                               notification.error().detail);
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
        if (link_ != Link::Down && sd_bus_is_open(bus_.get()) <= 0)
            noteDisconnected();
    }

    void noteDisconnected() {
        if (link_ == Link::Down)
            return;
        const Link was = link_;
        link_ = Link::Down;
        if (!reconnects()) {
            // Keep the dead connection: nothing is sent or received any more.
            systemLog(LogLevel::Warning,
                      "notifications: lost the connection to the session bus; notifications are "
                      "neither sent nor received any more");
            return;
        }
        if (was == Link::Up) {
            const std::uint64_t now = loop_.monotonicNanoseconds();
            if (now - upSince_ >= kSettledNanoseconds)
                retryDelay_ = kFirstRetryDelay;
            systemLog(LogLevel::Warning,
                      "notifications: lost the connection to the session bus; reconnecting, and "
                      "until then notifications are neither sent nor received");
        } else {
            systemLog(LogLevel::Debug, "notifications: reconnection attempt " +
                                           std::to_string(attempts_) +
                                           " failed: the bus closed the connection");
        }
        for (auto& [id, observer] : observers_)
            observer->rule.clear();
        pendingMatches_.clear();
        // We may be inside the connection's own dispatch: let go of it from the
        // loop, soon.
        retired_.push_back(RetiredConnection{std::move(bus_), std::move(filter_)});
        retireTimer_ = loop_.addTimer(0, 0, [this](Timer&) { abandon(retired_); });
        scheduleAttempt();
    }

    void scheduleAttempt() {
        const double delay = retryDelay_;
        retryDelay_ = std::min(retryDelay_ * 2, kLongestRetryDelay);
        retryTimer_ = loop_.addTimer(delay, 0, [this](Timer&) { attempt(); });
    }

    void attempt() {
        abandon(retired_);
        ++attempts_;
        systemLog(LogLevel::Debug, "notifications: reconnecting to the session bus (attempt " +
                                       std::to_string(attempts_) + ")");
        Status connected = std::monostate{};
        if (auto bus = startConnection(address_, true)) {
            bus_ = std::move(*bus);
            connected = hookUp();
            if (!connected) {
                filter_.reset();
                abandon(bus_);
            }
        } else {
            bus_ = BusPtr();
            connected = bus.error();
        }
        if (!connected) {
            systemLog(LogLevel::Debug, "notifications: reconnection attempt " +
                                           std::to_string(attempts_) +
                                           " failed: " + connected.error().detail);
            scheduleAttempt();
            return;
        }
        link_ = Link::Connecting;
        connectedSeen_ = false;
        for (auto& [id, observer] : observers_) {
            requestMatch(id, *observer, preferredRule(*observer));
            if (link_ != Link::Connecting)
                return;  // lost again already; the next attempt is scheduled
        }
    }

    // Back once the daemon has said Hello and answered every match rule.
    void finishReconnecting() {
        if (link_ != Link::Connecting || !connectedSeen_ || !pendingMatches_.empty())
            return;
        link_ = Link::Up;
        upSince_ = loop_.monotonicNanoseconds();
        std::string message = "notifications: reconnected to the session bus after " +
                              plural(attempts_, "attempt", "attempts");
        if (dropped_ > 0) {
            message += "; " + plural(dropped_, "notification", "notifications") +
                       " posted meanwhile " + (dropped_ == 1 ? "was" : "were") + " dropped";
        }
        systemLog(LogLevel::Notice, message);
        attempts_ = 0;
        dropped_ = 0;
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
    Link link_ = Link::Up;
    FdSource fdSource_;
    Timer timer_;
    int watchedFd_ = -1;
    int watchedEvents_ = 0;

    // Reconnection (real loops only).
    std::string address_;  // where to connect again; empty: no reconnection
    std::vector<RetiredConnection> retired_;
    Timer retireTimer_;
    Timer retryTimer_;
    double retryDelay_ = kFirstRetryDelay;
    std::uint64_t upSince_ = 0;
    unsigned attempts_ = 0;
    std::uint64_t dropped_ = 0;
    bool connectedSeen_ = false;
    std::map<std::uint64_t, std::uint64_t> pendingMatches_;  // AddMatch cookie -> observer id
};

Result<std::unique_ptr<NotificationCenter>> finish(RunLoop& loop, BusPtr bus) {
    auto centre = std::make_unique<BusNotificationCenter>(loop, std::move(bus));
    if (auto started = centre->start(); !started)
        return started.error();
    return std::unique_ptr<NotificationCenter>(std::move(centre));
}

}  // namespace

Result<std::unique_ptr<NotificationCenter>> makeBusNotificationCenterAt(
    RunLoop& loop, const std::string& address) {
    auto bus = startConnection(address, false);
    if (!bus)
        return bus.error();
    return finish(loop, std::move(*bus));
}

Result<std::unique_ptr<NotificationCenter>> makeBusNotificationCenter(RunLoop& loop) {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address)
        return makeBusNotificationCenterAt(loop, address);
    sd_bus* raw = nullptr;
    int r = sd_bus_open_user(&raw);
    if (r < 0) {
        return Error{Reason::Unavailable,
                     std::string("cannot connect to the session bus: ") + std::strerror(-r)};
    }
    return finish(loop, BusPtr(raw));
}

}  // namespace platform
