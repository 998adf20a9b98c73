// How much a dictionary or an array read from outside may hold: bus messages,
// property-list files, session files and JSON lines. The limits are far above
// anything the programs send or store (a touch report carries about fifty
// keys, the preferences about ten), and low enough that reading what a
// hostile sender can put into one message or file stays quick. Content over a
// limit is refused as a whole.
#pragma once

#include <cstddef>
#include <string>

namespace platform::limits {

// Keys of one dictionary.
inline constexpr std::size_t kMaxKeys = 10000;
// Elements of one array.
inline constexpr std::size_t kMaxElements = 100000;

// "at most 10000 keys per dictionary", for diagnostics.
inline std::string tooManyKeys() {
    return "at most " + std::to_string(kMaxKeys) + " keys per dictionary";
}
inline std::string tooManyElements() {
    return "at most " + std::to_string(kMaxElements) + " elements per array";
}

}  // namespace platform::limits
