// Conversion between property-list values and JSON.
//
// JSON true/false become booleans, integral numbers integers, other numbers
// reals; objects become dictionaries in document order. null has no value.
// Data has no JSON form of its own and is written as a string of hex digits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/values/Error.hpp"
#include "platform/values/Value.hpp"

namespace platform::json {

// Converts parsed JSON; nullopt for null (anywhere in it), nesting deeper
// than 256 levels, or an object or array beyond the limits of
// platform/values/Limits.hpp. An unsigned number above the 64-bit signed
// range is a real.
std::optional<Value> fromJson(const nlohmann::ordered_json& j);

// Parses JSON text, with the same rules and limits as fromJson: a document
// over a limit is refused as a whole, and reading stops where it goes over.
// On failure the error describes the fault. For a key that appears twice the
// last value counts, at the first key's place.
Result<Value> parse(std::string_view text);

// JSON text of a value, exact for every string: code units that are not part
// of a valid scalar value, control characters and U+0000 are written as
// \uXXXX escapes, everything else as UTF-8. Reals keep their exact value
// (shortest text that reads back the same) and always show a fraction or an
// exponent, so they read back as reals.
std::string toText(const Value& v);

// Writes a string as a JSON string literal, as toText does.
void appendString(std::string& out, const String& s);

}  // namespace platform::json
