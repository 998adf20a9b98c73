#include "tools/tactreplay/Trace.hpp"

#include "platform/values/Json.hpp"

namespace tact::replay {

TraceWriter::TraceWriter(std::FILE* out, bool flushEachLine)
    : out_(out), flushEachLine_(flushEachLine) {}

bool TraceWriter::finish() {
    if (out_ && std::fflush(out_) != 0)
        ok_ = false;
    return ok_;
}

void TraceWriter::writeLine(const std::string& json) {
    if (!out_)
        return;
    if (std::fwrite(json.data(), 1, json.size(), out_) != json.size() ||
        std::fputc('\n', out_) == EOF) {
        ok_ = false;
    }
    if (flushEachLine_ && std::fflush(out_) != 0)
        ok_ = false;
}

void TraceWriter::notification(double t, const platform::String& name,
                               const platform::String& object,
                               const std::optional<platform::Dictionary>& userInfo) {
    if (!out_)
        return;
    std::string line = "{\"t\":";
    line += platform::json::toText(platform::Value(t));
    line += ",\"notification\":";
    platform::json::appendString(line, name);
    line += ",\"object\":";
    platform::json::appendString(line, object);
    if (userInfo) {
        line += ",\"userInfo\":";
        line += platform::json::toText(platform::Value(*userInfo));
    }
    line += '}';
    writeLine(line);
}

TracingNotificationCenter::TracingNotificationCenter(platform::NotificationCenter& inner,
                                                     TraceWriter& trace,
                                                     std::function<double()> sessionTime)
    : inner_(inner), trace_(trace), sessionTime_(std::move(sessionTime)) {}

bool TracingNotificationCenter::post(const platform::String& name, const platform::String& object,
                                     const std::optional<platform::Dictionary>& userInfo) {
    trace_.notification(sessionTime_(), name, object, userInfo);
    return inner_.post(name, object, userInfo);
}

platform::Observation TracingNotificationCenter::addObserver(const platform::String& name,
                                                             const platform::String& object,
                                                             Callback callback) {
    return inner_.addObserver(name, object, std::move(callback));
}

}  // namespace tact::replay
