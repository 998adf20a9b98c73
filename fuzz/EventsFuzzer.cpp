// Serialised events: any bytes through CGEventCreateFromData; an event that
// parses is serialised again, and that must parse to the same serialisation.
#include <cstdint>
#include <span>

#include "platform/events/Events.hpp"

using namespace platform::events;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CGEventRef event = CGEventCreateFromData(std::span<const std::uint8_t>(data, size));
    if (!event)
        return 0;
    const auto bytes = CGEventCreateData(event);
    CGEventRef again = CGEventCreateFromData(bytes);
    if (!again)
        __builtin_trap();  // what we wrote, we read
    if (CGEventCreateData(again) != bytes)
        __builtin_trap();  // and it writes the same
    (void)CGEventGetLocation(event);
    (void)scrollDeltas(*event);
    return 0;
}
