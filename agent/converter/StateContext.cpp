#include "agent/converter/StateContext.hpp"

#include <algorithm>

namespace tact {

const StateValue* StateContext::find(std::string_view key) const {
    for (const auto& [k, v] : entries_) {
        if (k == key)
            return &v;
    }
    return nullptr;
}

StateValue* StateContext::find(std::string_view key) {
    for (auto& [k, v] : entries_) {
        if (k == key)
            return &v;
    }
    return nullptr;
}

void StateContext::set(std::string_view key, StateValue value) {
    if (StateValue* existing = find(key)) {
        *existing = value;
    } else {
        entries_.emplace_back(std::string(key), value);
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
    const StateValue* v = find(key);
    if (!v)
        return std::nullopt;
    if (const auto* d = std::get_if<double>(v))
        return *d;
    if (const auto* i = std::get_if<std::int64_t>(v))
        return static_cast<double>(*i);
    return std::nullopt;
}

std::string_view StateContext::name(std::string_view key) const {
    const StateValue* v = find(key);
    const auto* s = v ? std::get_if<std::string_view>(v) : nullptr;
    return s ? *s : std::string_view();
}

const StateRecord* StateContext::record(std::string_view key) const {
    const StateValue* v = find(key);
    return v ? std::get_if<StateRecord>(v) : nullptr;
}

bool StateContext::isYes(std::string_view key) const {
    const StateValue* v = find(key);
    const bool* b = v ? std::get_if<bool>(v) : nullptr;
    return b && *b;
}

std::int32_t StateContext::int32(std::string_view key) const {
    const StateValue* v = find(key);
    if (!v)
        return 0;
    if (const auto* i = std::get_if<std::int64_t>(v))
        return static_cast<std::int32_t>(*i);
    if (const auto* d = std::get_if<double>(v)) {
        if (!(*d > -2147483649.0 && *d < 2147483648.0))
            return 0;
        return static_cast<std::int32_t>(*d);
    }
    if (const auto* b = std::get_if<bool>(v))
        return *b ? 1 : 0;
    return 0;
}

}  // namespace tact
