// The event service: input events the agent synthesises (pointer, buttons,
// scroll wheel, keys, system gestures), their fields, their serialised form,
// and posting them to a sink that delivers them to the desktop.
//
// Events are created with flags 0x100 (non-coalesced); an explicit
// CGEventSetFlags replaces them. An event carries integer and floating fields
// by field number; mouse, scroll and keyboard events keep their button,
// wheels and key code in the fields the desktop reads them from.
//
// The serialised form (CGEventCreateData) is a fixed header followed by field
// records of the gesture-record format (16-bit big-endian count, element
// type, tag, elements). For a gesture event (type 29) the gesture fields come
// last, each an 8-byte record, in this order: 110, 111, 112 (always, 0 when
// unset), then 132, 133 when 110 is 5 or 8, then 113, 139, 140 when 110 is 8,
// or 114 when 110 is 5. So trimming 24, 48 or 64 bytes removes exactly the
// records the gesture encoders append again. CGEventCreateFromData parses the
// same format (a later record of a tag wins; record 109 is kept as the
// event's gesture data) and returns nothing for bytes it cannot parse.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>
#include "platform/events/FieldMap.hpp"

namespace platform::events {

using CGEventType = std::uint32_t;
inline constexpr CGEventType kCGEventNull = 0;
inline constexpr CGEventType kCGEventLeftMouseDown = 1;
inline constexpr CGEventType kCGEventLeftMouseUp = 2;
inline constexpr CGEventType kCGEventRightMouseDown = 3;
inline constexpr CGEventType kCGEventRightMouseUp = 4;
inline constexpr CGEventType kCGEventMouseMoved = 5;
inline constexpr CGEventType kCGEventLeftMouseDragged = 6;
inline constexpr CGEventType kCGEventKeyDown = 10;
inline constexpr CGEventType kCGEventKeyUp = 11;
inline constexpr CGEventType kCGEventScrollWheel = 22;
inline constexpr CGEventType kCGEventGesture = 29;

using CGEventFlags = std::uint64_t;
inline constexpr CGEventFlags kCGEventFlagMaskNonCoalesced = 0x100;
inline constexpr CGEventFlags kCGEventFlagMaskShift = 0x20000;
inline constexpr CGEventFlags kCGEventFlagMaskControl = 0x40000;
inline constexpr CGEventFlags kCGEventFlagMaskAlternate = 0x80000;
inline constexpr CGEventFlags kCGEventFlagMaskCommand = 0x100000;

using CGEventField = std::uint32_t;
inline constexpr CGEventField kCGMouseEventClickState = 1;
inline constexpr CGEventField kCGMouseEventButtonNumber = 3;
inline constexpr CGEventField kCGKeyboardEventKeycode = 9;
inline constexpr CGEventField kCGScrollWheelEventDeltaAxis1 = 11;
inline constexpr CGEventField kCGScrollWheelEventDeltaAxis2 = 12;
inline constexpr CGEventField kCGScrollWheelEventIsContinuous = 88;
inline constexpr CGEventField kCGScrollWheelEventPointDeltaAxis1 = 96;
inline constexpr CGEventField kCGScrollWheelEventPointDeltaAxis2 = 97;
inline constexpr CGEventField kCGScrollWheelEventScrollPhase = 99;
inline constexpr CGEventField kCGScrollWheelEventMomentumPhase = 123;
inline constexpr CGEventField kCGEventGestureHIDData = 109;  // the gesture data blob

using CGMouseButton = std::uint32_t;
inline constexpr CGMouseButton kCGMouseButtonLeft = 0;
inline constexpr CGMouseButton kCGMouseButtonRight = 1;

using CGScrollEventUnit = std::uint32_t;
inline constexpr CGScrollEventUnit kCGScrollEventUnitPixel = 0;
inline constexpr CGScrollEventUnit kCGScrollEventUnitLine = 1;

using CGKeyCode = std::uint16_t;

using CGEventTapLocation = std::uint32_t;
inline constexpr CGEventTapLocation kCGHIDEventTap = 0;

using CGEventSourceStateID = std::int32_t;
inline constexpr CGEventSourceStateID kCGEventSourceStateHIDSystemState = 1;

struct CGPoint {
    double x = 0;
    double y = 0;
    friend bool operator==(const CGPoint&, const CGPoint&) = default;
};

// One event. Fields hold integers or floats by field number.
struct CGEvent {
    CGEventType type = kCGEventNull;
    CGEventFlags flags = kCGEventFlagMaskNonCoalesced;
    std::uint64_t timestamp = 0;  // nanoseconds since system start
    std::optional<CGPoint> location;
    FieldMap fields;
    std::optional<std::vector<std::uint8_t>> gestureData;  // record 109 of a gesture event
    // Scroll events: the units they were created with (pixel steps live in
    // fields 96/97, line steps in fields 11/12).
    std::optional<CGScrollEventUnit> scrollUnits;
    friend bool operator==(const CGEvent&, const CGEvent&) = default;

    // Events come and go with every report; their memory is kept for reuse.
    static void* operator new(std::size_t size);
    static void operator delete(void* p, std::size_t size);
};

// The units and wheel steps of a scroll event: wheel1 vertical (positive
// scrolls up), wheel2 horizontal (positive scrolls left). An event without
// recorded units counts as a pixel event unless it carries only line steps.
struct ScrollDeltas {
    CGScrollEventUnit units = kCGScrollEventUnitPixel;
    std::int64_t wheel1 = 0;
    std::int64_t wheel2 = 0;
};
ScrollDeltas scrollDeltas(const CGEvent& event);

// Events and sources are owned by whoever creates them (RAII).
using CGEventRef = std::unique_ptr<CGEvent>;
struct CGEventSource {
    CGEventSourceStateID state;
};
using CGEventSourceRef = std::shared_ptr<CGEventSource>;

CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID state);

// A null event at the current pointer location.
CGEventRef CGEventCreate(const CGEventSourceRef& source);
CGPoint CGEventGetLocation(const CGEventRef& event);
CGEventRef CGEventCreateMouseEvent(const CGEventSourceRef& source, CGEventType type, CGPoint point,
                                   CGMouseButton button);
// wheel1 is the vertical step, wheel2 the horizontal one (wheelCount 1 or 2;
// another count or unit gives nullptr). Scroll and keyboard events carry no
// location unless one is set.
CGEventRef CGEventCreateScrollWheelEvent(const CGEventSourceRef& source, CGScrollEventUnit units,
                                         std::uint32_t wheelCount, std::int32_t wheel1,
                                         std::int32_t wheel2);
CGEventRef CGEventCreateKeyboardEvent(const CGEventSourceRef& source, CGKeyCode key, bool keyDown);

void CGEventSetIntegerValueField(const CGEventRef& event, CGEventField field, std::int64_t value);
std::int64_t CGEventGetIntegerValueField(const CGEventRef& event, CGEventField field);
void CGEventSetDoubleValueField(const CGEventRef& event, CGEventField field, double value);
double CGEventGetDoubleValueField(const CGEventRef& event, CGEventField field);
void CGEventSetType(const CGEventRef& event, CGEventType type);
void CGEventSetFlags(const CGEventRef& event, CGEventFlags flags);
void CGEventSetTimestamp(const CGEventRef& event, std::uint64_t timestamp);
void CGEventSetLocation(const CGEventRef& event, CGPoint location);

std::vector<std::uint8_t> CGEventCreateData(const CGEventRef& event);
CGEventRef CGEventCreateFromData(std::span<const std::uint8_t> data);

// Delivers the event to the sink in place. Mouse events also move the
// pointer the next CGEventCreate reports.
void CGEventPost(CGEventTapLocation tap, const CGEventRef& event);

// Where posted events go.
// Where positions go on the desktop. Posted positions are relative to the
// main screen's top-left corner; the main screen lies within the whole
// desktop, both in desktop coordinates (the X root window's, the
// compositor's layout; one point per pixel).
struct ScreenGeometry {
    double x = 0, y = 0, width = 0, height = 0;  // the main screen
    double desktopX = 0, desktopY = 0, desktopWidth = 0, desktopHeight = 0;
    friend bool operator==(const ScreenGeometry&, const ScreenGeometry&) = default;
};

class EventSink {
  public:
    virtual ~EventSink() = default;
    virtual void post(const CGEvent& event) = 0;
    // Delivers what posts inside a PostBatch have kept back.
    virtual void flush() {}
    // The main screen or the desktop changed; later positions go there.
    virtual void setScreenGeometry(const ScreenGeometry& geometry) { (void)geometry; }
};

// One event service: the sink posted events go to and the pointer events
// report. The free functions here (CGEventPost, CGEventCreate, setEventSink,
// the pointer's) use the process's own service; a program that hands its
// services on, as the agent does through its environment, hands this on.
//
// The pointer it reports is the location of the last posted mouse event, or
// what the installed reader says once it has news of the pointer since
// (notePointerMotion), whichever came last. The reader answers from what it
// knows; it is asked only after news, never per event.
class EventService {
  public:
    // Delivers the event to the sink in place (without a sink it is dropped
    // and counted). A mouse event's location becomes the pointer.
    void post(const CGEventRef& event);
    // A null event at the current pointer location.
    CGEventRef create();

    void setSink(EventSink* sink);
    EventSink* sink() const { return sink_; }
    std::uint64_t droppedCount() const { return dropped_; }

    void setPointerLocation(CGPoint p);
    void setPointerReader(std::function<std::optional<CGPoint>()> reader);
    void notePointerMotion() { readerHasNews_ = true; }

  private:
    CGPoint pointer();

    EventSink* sink_ = nullptr;
    std::uint64_t dropped_ = 0;
    CGPoint pointer_{};
    std::function<std::optional<CGPoint>()> reader_;
    bool readerHasNews_ = false;
};

// The process's own service, the one the free functions use.
EventService& processEventService();

// The sink posted events go to (none: they are dropped and counted).
void setEventSink(EventSink* sink);
EventSink* eventSink();
std::uint64_t droppedEventCount();

// While one lives, a sink may keep back what is posted and deliver it when
// the outermost batch ends (EventSink::flush): the events of one report reach
// the desktop together. Without a batch every post is delivered at once.
class PostBatch {
  public:
    PostBatch();
    ~PostBatch();
    PostBatch(const PostBatch&) = delete;
    PostBatch& operator=(const PostBatch&) = delete;
};
bool postBatchOpen();

// The pointer the process's service reports (see EventService).
void setPointerLocation(CGPoint p);
void setPointerReader(std::function<std::optional<CGPoint>()> reader);
// The pointer moved (a desktop heard so from its server): the next
// CGEventCreate asks the reader.
void notePointerMotion();

// A sink that keeps every event, for tests.
class RecordingSink : public EventSink {
  public:
    void post(const CGEvent& event) override { events.push_back(event); }
    std::vector<CGEvent> events;
};

}  // namespace platform::events
