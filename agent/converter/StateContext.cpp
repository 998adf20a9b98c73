#include "agent/converter/StateContext.hpp"

#include <algorithm>

namespace tact {

const platform::Value* StateContext::find(std::string_view key) const {
    for (const auto& [k, v] : entries_) {
        if (k == key)
            return &v;
    }
    return nullptr;
}

platform::Value* StateContext::find(std::string_view key) {
    for (auto& [k, v] : entries_) {
        if (k == key)
            return &v;
    }
    return nullptr;
}

void StateContext::set(std::string_view key, platform::Value value) {
    if (platform::Value* existing = find(key)) {
        *existing = std::move(value);
    } else {
        entries_.emplace_back(std::string(key), std::move(value));
    }
}

bool StateContext::erase(std::string_view key) {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const auto& e) { return e.first == key; });
    if (it == entries_.end())
        return false;
    entries_.erase(it);
    return true;
}

std::optional<double> StateContext::number(std::string_view key) const {
    const platform::Value* v = find(key);
    return v ? v->asNumber() : std::nullopt;
}

std::string StateContext::string(std::string_view key) const {
    const platform::Value* v = find(key);
    const platform::String* s = v ? v->asString() : nullptr;
    return s ? s->toUtf8Lossy() : std::string();
}

}  // namespace tact
