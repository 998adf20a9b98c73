// The fields of an event by field number, in ascending order. The first
// kInline fields live inside the map itself, so the events of a report cycle
// (a handful of fields each) never touch the heap.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

namespace platform::events {

using CGEventField = std::uint32_t;
using FieldValue = std::variant<std::int64_t, double>;

class FieldMap {
  public:
    using value_type = std::pair<CGEventField, FieldValue>;
    using iterator = value_type*;
    using const_iterator = const value_type*;
    static constexpr std::size_t kInline = 16;

    iterator begin() { return data(); }
    iterator end() { return data() + size_; }
    const_iterator begin() const { return data(); }
    const_iterator end() const { return data() + size_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    iterator find(CGEventField key) {
        iterator it = lowerBound(key);
        return it != end() && it->first == key ? it : end();
    }
    const_iterator find(CGEventField key) const { return const_cast<FieldMap*>(this)->find(key); }
    std::size_t count(CGEventField key) const { return find(key) != end() ? 1 : 0; }

    const FieldValue& at(CGEventField key) const {
        const_iterator it = find(key);
        if (it == end())
            throw std::out_of_range("no such event field");
        return it->second;
    }

    // The value of key, made (as integer 0) when absent.
    FieldValue& operator[](CGEventField key) {
        iterator it = lowerBound(key);
        if (it != end() && it->first == key)
            return it->second;
        return insertAt(static_cast<std::size_t>(it - begin()), key);
    }

    std::size_t erase(CGEventField key) {
        iterator it = find(key);
        if (it == end())
            return 0;
        std::move(it + 1, end(), it);
        --size_;
        if (spilled_)
            heap_.pop_back();
        return 1;
    }

    friend bool operator==(const FieldMap& a, const FieldMap& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

  private:
    value_type* data() { return spilled_ ? heap_.data() : inline_.data(); }
    const value_type* data() const { return spilled_ ? heap_.data() : inline_.data(); }

    iterator lowerBound(CGEventField key) {
        return std::lower_bound(begin(), end(), key,
                                [](const value_type& e, CGEventField k) { return e.first < k; });
    }

    FieldValue& insertAt(std::size_t pos, CGEventField key) {
        if (!spilled_ && size_ == kInline) {
            heap_.assign(inline_.begin(), inline_.end());
            spilled_ = true;
        }
        if (spilled_) {
            heap_.insert(heap_.begin() + static_cast<std::ptrdiff_t>(pos),
                         value_type{key, std::int64_t{0}});
        } else {
            std::move_backward(inline_.begin() + static_cast<std::ptrdiff_t>(pos),
                               inline_.begin() + static_cast<std::ptrdiff_t>(size_),
                               inline_.begin() + static_cast<std::ptrdiff_t>(size_ + 1));
            inline_[pos] = value_type{key, std::int64_t{0}};
        }
        ++size_;
        return data()[pos].second;
    }

    std::array<value_type, kInline> inline_{};
    std::vector<value_type> heap_;  // all the fields, once there are more than kInline
    std::size_t size_ = 0;
    bool spilled_ = false;
};

}  // namespace platform::events
