// How a manager's matching dictionary selects interfaces, and the properties
// an interface shows (the rules are spelled out in HID.hpp).
#pragma once

#include "platform/hid/Backend.hpp"
#include "platform/values/Value.hpp"

#include <optional>

namespace platform::hid {

bool deviceMatches(const platform::Dictionary& matching, const DeviceDescription& device);

std::optional<platform::Value> deviceProperty(const DeviceDescription& device,
                                              const platform::String& key);

}  // namespace platform::hid
