// Property-list files: platform::Value to and from libplist nodes, XML text
// and binary property lists.
//
// Integers are 64-bit signed. libplist keeps every integer as an unsigned
// 64-bit node, and both its XML and binary forms carry negative numbers as
// the two's complement of the node value, so a signed value survives the
// node round trip by a plain cast.
//
// XML is written here rather than by libplist, so that every real reads back
// bit for bit (libplist loses the sign of -0.0 and formats numbers in the
// current locale) and text that XML cannot carry is escaped the same way each
// time. Parsing accepts XML and binary ("bplist00") property lists and goes
// through libplist after a structural check that keeps hostile input (deep
// nesting, reference cycles, shared-object blow-ups, sizes) away from it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <plist/plist.h>

#include "platform/values/Error.hpp"
#include "platform/values/Value.hpp"

namespace platform::plist {

// Largest property list parse() accepts, in bytes.
inline constexpr std::size_t kMaxBytes = 16u << 20;
// Deepest nesting of arrays and dictionaries parse() and the writers accept.
inline constexpr std::size_t kMaxDepth = 256;
// Most bytes of text and data (keys, strings as UTF-8, data blocks) one
// property list may hold once read; shared objects of a binary list count
// every time they are used. Keys per dictionary and elements per array are
// limited as in platform/values/Limits.hpp.
inline constexpr std::size_t kMaxTextBytes = 16u << 20;

struct NodeDeleter {
    void operator()(void* node) const {
        if (node)
            plist_free(static_cast<plist_t>(node));
    }
};
// Owns a libplist node tree.
using Node = std::unique_ptr<void, NodeDeleter>;

// The libplist node tree of v. Strings that are not plain text are written as
// their lossy UTF-8 with a warning. nullptr when v nests deeper than kMaxDepth.
Node toNode(const Value& v, std::string_view what = "property list");

// The value of a libplist node. Dates and UIDs have no value of their own:
// inside a container they are left out with a warning; on their own they make
// the result nullopt, as do nesting deeper than kMaxDepth and content over
// the limits above (the whole value is refused, the error naming the limit).
Result<Value> fromNode(plist_t node);

// An XML property list of v. Strings that are not plain text (U+0000, lone
// surrogates) are written with U+FFFD in their place and a warning naming
// `what`. An error when v nests deeper than kMaxDepth.
Result<std::string> toXml(const Value& v, std::string_view what = "property list");

// A binary property list of v, written by libplist.
Result<std::vector<std::uint8_t>> toBinary(const Value& v, std::string_view what = "property list");

// Parses an XML or binary property list. Any bytes are safe: on failure the
// error describes the fault. A list over a limit (size, nesting, keys,
// elements, text) is refused as a whole.
Result<Value> parse(std::span<const std::uint8_t> bytes);
Result<Value> parse(std::string_view bytes);

}  // namespace platform::plist
