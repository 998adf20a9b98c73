// A buffer of at most N items kept inline: what the sinks translate one
// posted event into, so that posting never touches the heap.
#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace platform::events {

template <class T, std::size_t N>
class FixedBuffer {
  public:
    static constexpr std::size_t kCapacity = N;

    // False, keeping nothing, once the buffer is full.
    bool push_back(const T& item) {
        if (size_ == N) {
            overflowed_ = true;
            return false;
        }
        items_[size_++] = item;
        return true;
    }
    void clear() {
        size_ = 0;
        overflowed_ = false;
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Whether an item was refused since the last clear().
    bool overflowed() const { return overflowed_; }
    const T& operator[](std::size_t i) const { return items_[i]; }
    const T* begin() const { return items_.data(); }
    const T* end() const { return items_.data() + size_; }
    std::span<const T> items() const { return {items_.data(), size_}; }

  private:
    std::array<T, N> items_{};
    std::size_t size_ = 0;
    bool overflowed_ = false;
};

}  // namespace platform::events
