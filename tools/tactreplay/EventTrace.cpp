#include "tools/tactreplay/EventTrace.hpp"

#include <cmath>

#include "platform/values/Json.hpp"

namespace tact::replay {
namespace ev = platform::events;

namespace {

void appendReal(std::string& out, double v) {
    out += platform::json::toText(platform::Value(v));
}

void appendInteger(std::string& out, std::int64_t v) {
    out += platform::json::toText(platform::Value(static_cast<long long>(v)));
}

void appendFields(std::string& out, const ev::CGEvent& event) {
    out += ",\"fields\":{";
    bool first = true;
    for (const auto& [tag, value] : event.fields) {
        if (!first)
            out += ',';
        first = false;
        platform::json::appendString(out, std::to_string(tag));
        out += ':';
        if (const auto* i = std::get_if<std::int64_t>(&value))
            appendInteger(out, *i);
        else
            appendReal(out, std::get<double>(value));
    }
    out += '}';
}

void appendHex(std::string& out, const std::vector<std::uint8_t>& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (std::uint8_t b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 0x0F];
    }
    out += '"';
}

}  // namespace

std::string eventTraceLine(double t, const ev::CGEvent& event) {
    std::string line = "{\"t\":";
    appendReal(line, t);
    line += ",\"event\":";
    line += std::to_string(event.type);
    line += ",\"flags\":";
    line += std::to_string(event.flags);
    if (event.location) {
        line += ",\"x\":";
        appendReal(line, event.location->x);
        line += ",\"y\":";
        appendReal(line, event.location->y);
    }
    auto integerField = [&](ev::CGEventField field) -> std::int64_t {
        auto it = event.fields.find(field);
        if (it == event.fields.end())
            return 0;
        if (const auto* i = std::get_if<std::int64_t>(&it->second))
            return *i;
        const double d = std::get<double>(it->second);
        return std::isfinite(d) && d > -9.2e18 && d < 9.2e18 ? static_cast<std::int64_t>(d) : 0;
    };
    switch (event.type) {
        case ev::kCGEventLeftMouseDown:
        case ev::kCGEventLeftMouseUp:
        case ev::kCGEventRightMouseDown:
        case ev::kCGEventRightMouseUp:
        case ev::kCGEventMouseMoved:
        case ev::kCGEventLeftMouseDragged:
            line += ",\"button\":";
            appendInteger(line, integerField(ev::kCGMouseEventButtonNumber));
            break;
        case ev::kCGEventKeyDown:
        case ev::kCGEventKeyUp:
            line += ",\"keycode\":";
            appendInteger(line, integerField(ev::kCGKeyboardEventKeycode));
            break;
        case ev::kCGEventScrollWheel: {
            const ev::ScrollDeltas d = ev::scrollDeltas(event);
            line += ",\"units\":";
            line += std::to_string(d.units);
            line += ",\"wheel1\":";
            appendInteger(line, d.wheel1);
            line += ",\"wheel2\":";
            appendInteger(line, d.wheel2);
            break;
        }
        default:
            break;
    }
    if (event.type == ev::kCGEventGesture) {
        // A gesture is what its serialised bytes say: the fields as they
        // come back from them, and the bytes themselves.
        const auto data = ev::CGEventCreateData(std::make_unique<ev::CGEvent>(event));
        const auto parsed = ev::CGEventCreateFromData(data);
        appendFields(line, parsed ? *parsed : event);
        line += ",\"data\":";
        appendHex(line, data);
    } else {
        appendFields(line, event);
    }
    line += '}';
    return line;
}

TraceEventSink::TraceEventSink(TraceWriter& trace, std::function<double()> sessionTime,
                               ev::EventSink* forward)
    : trace_(trace), sessionTime_(std::move(sessionTime)), forward_(forward) {}

void TraceEventSink::post(const ev::CGEvent& event) {
    if (forward_)
        forward_->post(event);
    if (!trace_.enabled())
        return;
    trace_.writeLine(eventTraceLine(sessionTime_ ? sessionTime_() : 0.0, event));
}

void TraceEventSink::flush() {
    if (forward_)
        forward_->flush();
}

void TraceEventSink::setScreenGeometry(const ev::ScreenGeometry& geometry) {
    if (forward_)
        forward_->setScreenGeometry(geometry);
}

}  // namespace tact::replay
