// Owning handles for sd-bus (inside the platform layer only): a connection
// that flushes, leaves its loop and closes; slots and messages that unref;
// an error that frees itself.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include <systemd/sd-bus.h>

namespace platform::sdbus {

struct BusCloser {
    void operator()(sd_bus* bus) const {
        sd_bus_flush(bus);
        sd_bus_detach_event(bus);
        sd_bus_close_unref(bus);
    }
};
struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// Frees an sd_bus_error however we leave its scope.
struct ErrorGuard {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~ErrorGuard() { sd_bus_error_free(&error); }
    std::string describe(int r) const {
        if (sd_bus_error_is_set(&error)) {
            return std::string(error.name) +
                   (error.message ? std::string(": ") + error.message : "");
        }
        return std::strerror(-r);
    }
};

// The error of a method reply as "Name: message"; empty for a reply that is
// not an error.
inline std::string replyError(sd_bus_message* reply) {
    const sd_bus_error* e = sd_bus_message_get_error(reply);
    if (!e || !sd_bus_error_is_set(e))
        return {};
    return std::string(e->name) + (e->message ? std::string(": ") + e->message : "");
}

}  // namespace platform::sdbus
