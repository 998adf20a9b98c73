// Reading what a function that returns a platform::Result gave, in tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/values/Error.hpp"

namespace tact::test {

// The value; when there is none, a failure of the test naming the error,
// and T{} (a null handle) so that the test's own check stops it.
template <class T>
T valueOf(platform::Result<T> result) {
    if (!result) {
        ADD_FAILURE() << result.error().detail;
        return T{};
    }
    return std::move(*result);
}

// The error's detail; empty when the result holds a value.
template <class T>
std::string errorOf(const platform::Result<T>& result) {
    return result ? std::string() : result.error().detail;
}

}  // namespace tact::test
