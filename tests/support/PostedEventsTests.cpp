// The named event assertions must fail whenever the events differ from what
// they name: one that passed quietly would weaken every gesture test.
#include "tests/support/PostedEvents.hpp"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace ev = platform::events;
using tact::test::PostedEvents;

namespace {

ev::CGEvent event(ev::CGEventType type, std::optional<ev::CGPoint> at = std::nullopt,
                  std::vector<std::pair<ev::CGEventField, std::int64_t>> fields = {}) {
    ev::CGEvent e;
    e.type = type;
    e.location = at;
    for (const auto& [field, value] : fields)
        e.fields[field] = value;
    return e;
}

// A click of the given count at (960, 540), then a right click there.
std::vector<ev::CGEvent> clicks(std::int64_t count) {
    const ev::CGPoint at{960, 540};
    return {event(ev::kCGEventLeftMouseDown, at, {{ev::kCGMouseEventClickState, count}}),
            event(ev::kCGEventLeftMouseUp, at, {{ev::kCGMouseEventClickState, count}}),
            event(ev::kCGEventRightMouseDown, at, {{ev::kCGMouseEventButtonNumber, 1}}),
            event(ev::kCGEventRightMouseUp, at, {{ev::kCGMouseEventButtonNumber, 1}})};
}

}  // namespace

TEST(PostedEvents, PassesWhatItNames) {
    std::vector<ev::CGEvent> events{
        event(ev::kCGEventMouseMoved, ev::CGPoint{1757.8125, 988.76953125}),
        event(ev::kCGEventLeftMouseDragged, ev::CGPoint{1152.0117, 540}),
        event(ev::kCGEventKeyDown, std::nullopt, {{ev::kCGKeyboardEventKeycode, 103}}),
        event(ev::kCGEventKeyUp, std::nullopt, {{ev::kCGKeyboardEventKeycode, 103}}),
        event(ev::kCGEventScrollWheel, std::nullopt, {{ev::kCGScrollWheelEventMomentumPhase, 3}}),
    };
    for (auto& e : clicks(2))
        events.push_back(e);
    PostedEvents queue(events);
    queue.expectMoveTo(1757.81, 988.77);
    queue.expectDragTo(1152.01, 540);
    queue.expectKeyStrokes({103});
    queue.expectMomentumEnd();
    queue.expectLeftClickAt(960, 540, 2);
    queue.expectRightClickAt(960, 540);
    queue.expectNoMoreEvents();
}

TEST(PostedEvents, FailsOnEveryDifference) {
    struct Case {
        std::vector<ev::CGEvent> events;
        std::function<void(PostedEvents&)> expect;
        const char* failure;
    };
    const std::vector<ev::CGEvent> none;
    const Case cases[] = {
        {clicks(1), [](PostedEvents& q) { q.expectLeftDownAt(960, 540, 2); },
         "expected 1@960,540:2, got 1@960,540:1"},
        {clicks(1), [](PostedEvents& q) { q.expectLeftDownAt(960.01, 540, 1); },
         "expected 1@960.01,540:1, got 1@960,540:1"},
        {clicks(1), [](PostedEvents& q) { q.expectLeftDownAt(960, 540); },
         "expected 1@960,540, got 1@960,540:1"},
        {clicks(1), [](PostedEvents& q) { q.expectMoveTo(960, 540); },
         "expected an event of type 5, got 1@960,540:1"},
        {clicks(1), [](PostedEvents& q) { q.expectNoMoreEvents(); }, "more events: 1@960,540:1"},
        {none, [](PostedEvents& q) { q.expectDragTo(0, 0); }, "got none"},
        {{event(ev::kCGEventKeyDown, std::nullopt, {{ev::kCGKeyboardEventKeycode, 53}}),
          event(ev::kCGEventKeyUp, std::nullopt, {{ev::kCGKeyboardEventKeycode, 131}})},
         [](PostedEvents& q) { q.expectKeyStrokes({131}); },
         "key 131 expected, got 10"},
        {{event(ev::kCGEventScrollWheel, std::nullopt,
                {{ev::kCGScrollWheelEventMomentumPhase, 2}})},
         [](PostedEvents& q) { q.expectMomentumEnd(); },
         "momentum phase 2, not the end (3)"},
    };
    for (const Case& k : cases) {
        PostedEvents queue(k.events);
        EXPECT_NONFATAL_FAILURE(k.expect(queue), k.failure);
    }
    // A right click whose press is of another button.
    auto other = clicks(1);
    other[2].fields[ev::kCGMouseEventButtonNumber] = std::int64_t{0};
    PostedEvents queue(other);
    queue.expectLeftClickAt(960, 540);
    EXPECT_NONFATAL_FAILURE(queue.expectRightClickAt(960, 540), "is not of button 1");
}
