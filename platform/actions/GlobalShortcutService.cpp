#include "platform/actions/GlobalShortcutService.hpp"

#include <cstdlib>
#include <cstring>

#include "platform/notify/SdBusHandles.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/runloop/SdEvent.hpp"

namespace platform::actions {
namespace {

constexpr std::uint64_t kCallTimeoutUsec = 2'000'000;
constexpr double kRetryAfterSeconds = 60;

// What one call keeps until its answer: owned by the call's slot.
struct PendingCall {
    GlobalShortcutService::Done done;
    std::shared_ptr<double> unavailableUntil;
    RunLoop* loop = nullptr;
};

bool serviceMissing(const std::string& error) {
    return error.rfind("org.freedesktop.DBus.Error.ServiceUnknown", 0) == 0 ||
           error.rfind("org.freedesktop.DBus.Error.NameHasNoOwner", 0) == 0 ||
           error.rfind("org.freedesktop.DBus.Error.NoReply", 0) == 0 ||
           error.rfind("org.freedesktop.DBus.Error.UnknownObject", 0) == 0;
}

}  // namespace

struct GlobalShortcutService::Bus {
    RunLoop* loop = nullptr;
    sdbus::BusPtr bus;
    // Absolute time before which the service counts as absent.
    std::shared_ptr<double> unavailableUntil = std::make_shared<double>(0);
};

std::string globalShortcutComponentPath(const std::string& component) {
    std::string path = "/component/";
    for (char ch : component) {
        const bool plain = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                           (ch >= '0' && ch <= '9') || ch == '_';
        path += plain ? ch : '_';
    }
    return path;
}

Result<std::shared_ptr<GlobalShortcutService>> GlobalShortcutService::connect(RunLoop& loop) {
    sd_event* event = sdEventOf(loop);
    if (!event)
        return Error{Reason::Unsupported, "the desktop's services need a real run loop"};
    sd_bus* raw = nullptr;
    int r = 0;
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) {
        r = sd_bus_new(&raw);
        if (r >= 0) {
            sdbus::BusPtr owned(raw);
            raw = nullptr;
            if ((r = sd_bus_set_address(owned.get(), address)) >= 0 &&
                (r = sd_bus_set_bus_client(owned.get(), 1)) >= 0 &&
                (r = sd_bus_start(owned.get())) >= 0)
                raw = owned.release();
        }
    } else {
        r = sd_bus_open_user(&raw);
    }
    if (r < 0 || !raw) {
        return Error{Reason::Unavailable,
                     std::string("cannot connect to the session bus: ") + std::strerror(-r)};
    }
    sdbus::BusPtr bus(raw);
    if ((r = sd_bus_attach_event(bus.get(), event, SD_EVENT_PRIORITY_NORMAL)) < 0) {
        return Error{Reason::Failed,
                     std::string("cannot attach to the run loop: ") + std::strerror(-r)};
    }
    auto state = std::make_unique<Bus>();
    state->loop = &loop;
    state->bus = std::move(bus);
    return std::make_shared<GlobalShortcutService>(Private{}, std::move(state));
}

GlobalShortcutService::GlobalShortcutService(Private, std::unique_ptr<Bus> bus)
    : bus_(std::move(bus)) {}

GlobalShortcutService::~GlobalShortcutService() = default;

bool GlobalShortcutService::available() const {
    return bus_->loop->absoluteTime() >= *bus_->unavailableUntil;
}

void GlobalShortcutService::invoke(const std::string& component, const std::string& shortcut,
                                   Done done) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus_->bus.get(), &raw, kGlobalShortcutServiceName,
                                           globalShortcutComponentPath(component).c_str(),
                                           kGlobalShortcutComponentInterface, "invokeShortcut");
    sdbus::MessagePtr message(raw);
    if (r >= 0)
        r = sd_bus_message_append(message.get(), "s", shortcut.c_str());
    if (r >= 0)
        r = sd_bus_message_set_auto_start(message.get(), 0);
    auto pending = std::make_unique<PendingCall>(
        PendingCall{std::move(done), bus_->unavailableUntil, bus_->loop});
    sd_bus_slot* slot = nullptr;
    if (r >= 0) {
        r = sd_bus_call_async(
            bus_->bus.get(), &slot, message.get(),
            [](sd_bus_message* reply, void* userdata, sd_bus_error*) -> int {
                auto* call = static_cast<PendingCall*>(userdata);
                const std::string error = sdbus::replyError(reply);
                if (!error.empty() && serviceMissing(error))
                    *call->unavailableUntil = call->loop->absoluteTime() + kRetryAfterSeconds;
                if (call->done)
                    call->done(error);
                return 0;
            },
            pending.get(), kCallTimeoutUsec);
    }
    if (r < 0) {
        const std::string error = std::string("cannot call the service: ") + std::strerror(-r);
        bus_->loop->post([done = std::move(pending->done), error] {
            if (done)
                done(error);
        });
        return;
    }
    // The slot owns the pending call, and floats with the bus from here: it
    // goes once the answer is handled, or with the bus. (Floating takes a
    // reference of its own; ours is dropped.)
    sdbus::SlotPtr owned(slot);
    sd_bus_slot_set_destroy_callback(slot, [](void* userdata) {
        std::unique_ptr<PendingCall> call(static_cast<PendingCall*>(userdata));
    });
    pending.release();
    sd_bus_slot_set_floating(slot, 1);
}

}  // namespace platform::actions
