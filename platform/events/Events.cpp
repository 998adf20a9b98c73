#include "platform/events/Events.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "platform/runloop/Clock.hpp"

namespace platform::events {
namespace {

// Open PostBatch scopes of the process.
int gBatches = 0;

// The monotonic clock in nanoseconds (virtual under the virtual run loop).
std::uint64_t nowNanoseconds() {
    const std::uint64_t ticks = platform::hostTicks();
    const platform::Timebase tb = platform::hostTimebase();
    if (tb.numer == tb.denom || tb.denom == 0)
        return ticks;
    const unsigned __int128 ns = static_cast<unsigned __int128>(ticks) * tb.numer / tb.denom;
    return ns > std::numeric_limits<std::uint64_t>::max()
               ? std::numeric_limits<std::uint64_t>::max()
               : static_cast<std::uint64_t>(ns);
}

CGEventRef newEvent(CGEventType type) {
    auto event = std::make_unique<CGEvent>();
    event->type = type;
    event->timestamp = nowNanoseconds();
    return event;
}

bool isMouseType(CGEventType type) {
    return type >= kCGEventLeftMouseDown && type <= kCGEventLeftMouseDragged;
}

// A double as an integer field value: truncated toward zero, saturated, NaN 0.
std::int64_t toInteger(double v) {
    if (std::isnan(v))
        return 0;
    if (v >= 9223372036854775808.0)
        return std::numeric_limits<std::int64_t>::max();
    if (v < -9223372036854775808.0)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

std::int64_t integerField(const CGEvent& event, CGEventField field) {
    auto it = event.fields.find(field);
    if (it == event.fields.end())
        return 0;
    if (const auto* i = std::get_if<std::int64_t>(&it->second))
        return *i;
    return toInteger(std::get<double>(it->second));
}

}  // namespace

CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID state) {
    // A source only names its state: the common one is made once and shared.
    if (state == kCGEventSourceStateHIDSystemState) {
        static const CGEventSourceRef hidSystem =
            std::make_shared<CGEventSource>(CGEventSource{kCGEventSourceStateHIDSystemState});
        return hidSystem;
    }
    return std::make_shared<CGEventSource>(CGEventSource{state});
}

namespace {

// A few blocks of event memory kept per thread for the next events. Plain
// data without a destructor, so an event freed late in a thread's life still
// finds it; what is kept when the thread ends stays reachable and is few.
struct EventBlocks {
    std::array<void*, 8> free;
    std::size_t count;
};
thread_local EventBlocks eventBlocks{};

}  // namespace

void* CGEvent::operator new(std::size_t size) {
    if (size == sizeof(CGEvent) && eventBlocks.count > 0) {
        return eventBlocks.free[--eventBlocks.count];
    }
    return ::operator new(size);
}

void CGEvent::operator delete(void* p, std::size_t size) {
    if (p && size == sizeof(CGEvent) && eventBlocks.count < eventBlocks.free.size()) {
        eventBlocks.free[eventBlocks.count++] = p;
        return;
    }
    ::operator delete(p);
}

CGEventRef CGEventCreate(const CGEventSourceRef& /*source*/) {
    return processEventService().create();
}

CGPoint CGEventGetLocation(const CGEventRef& event) {
    if (!event || !event->location)
        return CGPoint{};
    return *event->location;
}

CGEventRef CGEventCreateMouseEvent(const CGEventSourceRef& /*source*/, CGEventType type,
                                   CGPoint point, CGMouseButton button) {
    auto event = newEvent(type);
    event->location = point;
    event->fields[kCGMouseEventClickState] = std::int64_t{0};
    event->fields[kCGMouseEventButtonNumber] = std::int64_t{button};
    return event;
}

CGEventRef CGEventCreateScrollWheelEvent(const CGEventSourceRef& /*source*/,
                                         CGScrollEventUnit units, std::uint32_t wheelCount,
                                         std::int32_t wheel1, std::int32_t wheel2) {
    if (units != kCGScrollEventUnitPixel && units != kCGScrollEventUnitLine)
        return nullptr;
    if (wheelCount < 1 || wheelCount > 2)
        return nullptr;
    auto event = newEvent(kCGEventScrollWheel);
    event->scrollUnits = units;
    const bool pixels = units == kCGScrollEventUnitPixel;
    event->fields[pixels ? kCGScrollWheelEventPointDeltaAxis1 : kCGScrollWheelEventDeltaAxis1] =
        std::int64_t{wheel1};
    if (wheelCount == 2) {
        event->fields[pixels ? kCGScrollWheelEventPointDeltaAxis2 : kCGScrollWheelEventDeltaAxis2] =
            std::int64_t{wheel2};
    }
    return event;
}

CGEventRef CGEventCreateKeyboardEvent(const CGEventSourceRef& /*source*/, CGKeyCode key,
                                      bool keyDown) {
    auto event = newEvent(keyDown ? kCGEventKeyDown : kCGEventKeyUp);
    event->fields[kCGKeyboardEventKeycode] = std::int64_t{key};
    return event;
}

void CGEventSetIntegerValueField(const CGEventRef& event, CGEventField field, std::int64_t value) {
    if (event)
        event->fields[field] = value;
}

std::int64_t CGEventGetIntegerValueField(const CGEventRef& event, CGEventField field) {
    return event ? integerField(*event, field) : 0;
}

void CGEventSetDoubleValueField(const CGEventRef& event, CGEventField field, double value) {
    if (event)
        event->fields[field] = value;
}

double CGEventGetDoubleValueField(const CGEventRef& event, CGEventField field) {
    if (!event)
        return 0;
    auto it = event->fields.find(field);
    if (it == event->fields.end())
        return 0;
    if (const auto* d = std::get_if<double>(&it->second))
        return *d;
    return static_cast<double>(std::get<std::int64_t>(it->second));
}

void CGEventSetType(const CGEventRef& event, CGEventType type) {
    if (event)
        event->type = type;
}

void CGEventSetFlags(const CGEventRef& event, CGEventFlags flags) {
    if (event)
        event->flags = flags;
}

void CGEventSetTimestamp(const CGEventRef& event, std::uint64_t timestamp) {
    if (event)
        event->timestamp = timestamp;
}

void CGEventSetLocation(const CGEventRef& event, CGPoint location) {
    if (event)
        event->location = location;
}

ScrollDeltas scrollDeltas(const CGEvent& event) {
    auto has = [&](CGEventField f) { return event.fields.count(f) != 0; };
    ScrollDeltas d;
    if (event.scrollUnits) {
        d.units = *event.scrollUnits;
    } else {
        const bool pixels =
            has(kCGScrollWheelEventPointDeltaAxis1) || has(kCGScrollWheelEventPointDeltaAxis2);
        const bool lines = has(kCGScrollWheelEventDeltaAxis1) || has(kCGScrollWheelEventDeltaAxis2);
        d.units = (lines && !pixels) ? kCGScrollEventUnitLine : kCGScrollEventUnitPixel;
    }
    if (d.units == kCGScrollEventUnitPixel) {
        d.wheel1 = integerField(event, kCGScrollWheelEventPointDeltaAxis1);
        d.wheel2 = integerField(event, kCGScrollWheelEventPointDeltaAxis2);
    } else {
        d.wheel1 = integerField(event, kCGScrollWheelEventDeltaAxis1);
        d.wheel2 = integerField(event, kCGScrollWheelEventDeltaAxis2);
    }
    return d;
}

EventService& processEventService() {
    static EventService service;
    return service;
}

CGPoint EventService::pointer() {
    if (reader_ && readerHasNews_) {
        readerHasNews_ = false;
        if (auto p = reader_())
            pointer_ = *p;
    }
    return pointer_;
}

CGEventRef EventService::create() {
    auto event = newEvent(kCGEventNull);
    event->location = pointer();
    return event;
}

void EventService::post(const CGEventRef& event) {
    if (!event)
        return;
    if (isMouseType(event->type) && event->location) {
        pointer_ = *event->location;
        readerHasNews_ = false;  // our own move is the newest
    }
    if (sink_)
        sink_->post(*event);
    else
        ++dropped_;
}

void EventService::setSink(EventSink* sink) {
    // What the old sink kept back for a batch still goes out.
    if (sink_ && sink_ != sink && gBatches > 0)
        sink_->flush();
    sink_ = sink;
}

void EventService::setPointerLocation(CGPoint p) {
    pointer_ = p;
    readerHasNews_ = false;
}

void EventService::setPointerReader(std::function<std::optional<CGPoint>()> reader) {
    reader_ = std::move(reader);
    readerHasNews_ = true;
}

void CGEventPost(CGEventTapLocation /*tap*/, const CGEventRef& event) {
    processEventService().post(event);
}

void setEventSink(EventSink* sink) {
    processEventService().setSink(sink);
}

EventSink* eventSink() {
    return processEventService().sink();
}

std::uint64_t droppedEventCount() {
    return processEventService().droppedCount();
}

void setPointerLocation(CGPoint p) {
    processEventService().setPointerLocation(p);
}

void setPointerReader(std::function<std::optional<CGPoint>()> reader) {
    processEventService().setPointerReader(std::move(reader));
}

void notePointerMotion() {
    processEventService().notePointerMotion();
}

PostBatch::PostBatch() {
    ++gBatches;
}

PostBatch::~PostBatch() {
    if (--gBatches == 0)
        if (EventSink* sink = processEventService().sink())
            sink->flush();
}

bool postBatchOpen() {
    return gBatches > 0;
}

}  // namespace platform::events
