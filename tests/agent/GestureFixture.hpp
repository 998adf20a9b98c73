// A converter fed with touch reports at chosen times, its posted events
// recorded.
#pragma once

#include <tuple>

#include "platform/events/Events.hpp"
#include "tests/agent/ConverterFixture.hpp"

namespace tact::test {

struct Contact {
    std::uint8_t flags;
    std::uint8_t id;
    std::uint16_t x;
    std::uint16_t y;
};
inline Contact down(std::uint8_t id, std::uint16_t x, std::uint16_t y) {
    return {7, id, x, y};
}
inline Contact up(std::uint8_t id, std::uint16_t x, std::uint16_t y) {
    return {6, id, x, y};
}

class GestureFixture : public ConverterFixture {
  protected:
    void SetUp() override {
        environment.events.setSink(&sink);
        environment.events.setPointerLocation({0, 0});
        c = &makeConverter();
        BootParam_ p;
        p.BootLoaderVersion = 40;
        p.Flags = 0xA0;
        c->set_bootparam(p);
    }
    void TearDown() override { environment.events.setSink(nullptr); }

    // One report from the frame at session time t (seconds).
    void report(double t, std::vector<Contact> contacts) {
        loop.runUntil(800000000.0 + t);
        ReportBuilder r;
        for (const auto& k : contacts)
            r.add10(k.flags, k.id, k.x, k.y);
        r.count(static_cast<std::uint8_t>(contacts.size()));
        c->submitMTReport(r.span());
        loop.runUntil(800000000.0 + t);  // delivers what was posted, nothing later
    }

    // The events posted so far, as "type@x,y[:click]" words.
    std::vector<std::string> events() const {
        std::vector<std::string> out;
        for (const auto& e : sink.events) {
            std::string s = std::to_string(e.type);
            if (e.location) {
                char buf[64];
                std::snprintf(buf, sizeof buf, "@%g,%g", e.location->x, e.location->y);
                s += buf;
            }
            auto click = e.fields.find(platform::events::kCGMouseEventClickState);
            if (click != e.fields.end() && std::get<std::int64_t>(click->second) != 0) {
                s += ":" + std::to_string(std::get<std::int64_t>(click->second));
            }
            out.push_back(s);
        }
        return out;
    }
    std::string state() const { return c->dictZyvStateContext.string(kStateCurrent); }

    platform::events::RecordingSink sink;
    ZyvTouchConverter* c = nullptr;
};

}  // namespace tact::test
