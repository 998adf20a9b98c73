// UTF-16 code units to code points and code points to UTF-8: the two steps
// every conversion of our strings to text takes.
#pragma once

#include <string>

namespace platform::utf {

// Appends the UTF-8 bytes of one code point.
inline void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Walks the code units, handing every code point to fn(cp, wellFormed): a
// surrogate pair as its scalar value, a lone surrogate as itself with
// wellFormed false.
template <typename Fn>
void forEachCodePoint(const std::u16string& units, Fn&& fn) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char32_t u = units[i];
        const bool high = u >= 0xD800 && u <= 0xDBFF;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            fn(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00), true);
            ++i;
        } else {
            fn(u, !(u >= 0xD800 && u <= 0xDFFF));
        }
    }
}

}  // namespace platform::utf
