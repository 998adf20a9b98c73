// Errors as values. A function that opens, connects or parses returns a
// Result: its value, or an Error with the reason and a detail. The detail is
// a clause naming what failed and why ("/dev/uinput is not writable by this
// user"); the caller composes the sentence around it and never edits it.
#pragma once

#include <cassert>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace platform {

// Why it failed, for callers that act on the kind of failure.
enum class Reason {
    Unavailable,  // not there: no display, no session bus, no device node
    Denied,       // there, but this user may not use it
    Unsupported,  // it answered, without what is needed (an extension, an interface)
    Malformed,    // bytes or text from outside that do not parse
    Failed,       // refused for another reason (an errno, out of memory)
};

struct Error {
    Reason reason = Reason::Failed;
    std::string detail;

    friend bool operator==(const Error&, const Error&) = default;
};

// A value or the error that stands in its place.
template <class T>
class [[nodiscard]] Result {
  public:
    template <class U = T>
    requires(std::is_constructible_v<T, U&&> && !std::is_same_v<std::remove_cvref_t<U>, Error> &&
             !std::is_same_v<std::remove_cvref_t<U>, Result>) Result(U&& value)
        : state_(std::in_place_index<0>, std::forward<U>(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const {
        assert(!ok());
        return std::get<1>(state_);
    }

  private:
    std::variant<T, Error> state_;
};

// Success without a value (std::monostate{}), or an error.
using Status = Result<std::monostate>;

}  // namespace platform
