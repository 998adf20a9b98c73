// Named assertions on the events a recording sink received, read in order:
// each expect… takes the next events and fails at the caller's line when they
// are not what its name says, so a test reads as what a user would see:
//
//     queue.expectMoveTo(960, 540);
//     queue.expectLeftClickAt(960, 540);
//     queue.expectNoMoreEvents();
//
// Positions are compared as a person writes them, to six significant digits
// (1757.81 for 1757.8125). Events are described in failures as
// "type@x,y[:clicks]" with the event type's number.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <source_location>
#include <string>
#include <vector>

#include "platform/events/Events.hpp"

namespace tact::test {

class PostedEvents {
  public:
    using Where = std::source_location;
    using Event = platform::events::CGEvent;

    explicit PostedEvents(const std::vector<Event>& events) : events_(events) {}

    // The pointer moved to (x, y).
    void expectMoveTo(double x, double y, Where where = Where::current()) {
        expectMouse(platform::events::kCGEventMouseMoved, x, y, 0, where);
    }
    // The left button went down, or up, at (x, y); clicks is the click count
    // the event carries (0: none, as in a drag).
    void expectLeftDownAt(double x, double y, std::int64_t clicks = 0,
                          Where where = Where::current()) {
        expectMouse(platform::events::kCGEventLeftMouseDown, x, y, clicks, where);
    }
    void expectLeftUpAt(double x, double y, std::int64_t clicks = 0,
                        Where where = Where::current()) {
        expectMouse(platform::events::kCGEventLeftMouseUp, x, y, clicks, where);
    }
    // A click: down and up at (x, y), both of the nth click in a row.
    void expectLeftClickAt(double x, double y, std::int64_t nth = 1,
                           Where where = Where::current()) {
        expectLeftDownAt(x, y, nth, where);
        expectLeftUpAt(x, y, nth, where);
    }
    // A drag with the left button held, to (x, y).
    void expectDragTo(double x, double y, Where where = Where::current()) {
        expectMouse(platform::events::kCGEventLeftMouseDragged, x, y, 0, where);
    }
    // A right click at (x, y): the right button down and up, both as button 1.
    void expectRightClickAt(double x, double y, Where where = Where::current()) {
        for (auto type :
             {platform::events::kCGEventRightMouseDown, platform::events::kCGEventRightMouseUp}) {
            const Event* e = expectMouse(type, x, y, 0, where);
            if (e && integer(*e, platform::events::kCGMouseEventButtonNumber) != 1)
                fail(where, describe(*e) + " is not of button 1");
        }
    }
    // Each key pressed and let go in turn (key down, key up).
    void expectKeyStrokes(std::initializer_list<int> keycodes, Where where = Where::current()) {
        for (int key : keycodes) {
            for (auto type : {platform::events::kCGEventKeyDown, platform::events::kCGEventKeyUp}) {
                const Event* e = take(type, where);
                if (e && integer(*e, platform::events::kCGKeyboardEventKeycode) != key)
                    fail(where, "key " + std::to_string(key) + " expected, got " + describe(*e));
            }
        }
    }
    // A scroll event; returned for closer checks (nullptr when the next
    // event is none or another).
    const Event* expectScroll(Where where = Where::current()) {
        return take(platform::events::kCGEventScrollWheel, where);
    }
    // The scroll event that ends a momentum run.
    void expectMomentumEnd(Where where = Where::current()) {
        const Event* e = expectScroll(where);
        if (!e)
            return;
        const auto phase = integer(*e, platform::events::kCGScrollWheelEventMomentumPhase);
        if (phase != 3)
            fail(where, "momentum phase " + std::to_string(phase) + ", not the end (3)");
    }

    void expectNoMoreEvents(Where where = Where::current()) {
        if (next_ < events_.size())
            fail(where, "more events: " + rest());
    }
    // Passes over everything posted so far.
    void drain() { next_ = events_.size(); }

    // "type@x,y[:clicks]".
    static std::string describe(const Event& e) {
        std::string s = std::to_string(e.type);
        if (e.location)
            s += "@" + rounded(e.location->x) + "," + rounded(e.location->y);
        if (const std::int64_t clicks = integer(e, platform::events::kCGMouseEventClickState))
            s += ":" + std::to_string(clicks);
        return s;
    }

  private:
    static std::string rounded(double v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g", v);
        return buf;
    }
    static std::int64_t integer(const Event& e, platform::events::CGEventField field) {
        auto it = e.fields.find(field);
        if (it == e.fields.end())
            return 0;
        const auto* value = std::get_if<std::int64_t>(&it->second);
        return value ? *value : 0;
    }

    const Event* expectMouse(platform::events::CGEventType type, double x, double y,
                             std::int64_t clicks, Where where) {
        const Event* e = take(type, where);
        if (!e)
            return nullptr;
        std::string wanted = std::to_string(type) + "@" + rounded(x) + "," + rounded(y);
        if (clicks != 0)
            wanted += ":" + std::to_string(clicks);
        if (describe(*e) != wanted)
            fail(where, "expected " + wanted + ", got " + describe(*e));
        return e;
    }

    // The next event, which must be of this type (it is taken either way).
    const Event* take(platform::events::CGEventType type, Where where) {
        if (next_ >= events_.size()) {
            fail(where, "expected an event of type " + std::to_string(type) + ", got none");
            return nullptr;
        }
        const Event& e = events_[next_++];
        if (e.type != type) {
            fail(where, "expected an event of type " + std::to_string(type) + ", got " +
                            describe(e) + " (then: " + rest() + ")");
            return nullptr;
        }
        return &e;
    }
    std::string rest() const {
        std::string s;
        for (std::size_t i = next_; i < events_.size(); ++i)
            s += (s.empty() ? "" : " ") + describe(events_[i]);
        return s.empty() ? "nothing" : s;
    }
    static void fail(const Where& where, const std::string& message) {
        ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << message;
    }

    const std::vector<Event>& events_;
    std::size_t next_ = 0;
};

}  // namespace tact::test
