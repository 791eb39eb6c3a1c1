// What the fuzz targets share: a property that does not hold ends the run the way a crash
// does, so that libFuzzer keeps the input that broke it; checks of bytes and hexadecimal text.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

inline void RequireProperty(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

inline bool IsHexDigit(char c) {
    return std::string_view("0123456789abcdefABCDEF").find(c) != std::string_view::npos;
}

inline bool AllBytesAre(const void* bytes, size_t count, uint8_t value) {
    const auto* begin = static_cast<const uint8_t*>(bytes);
    return std::all_of(begin, begin + count, [value](uint8_t b) { return b == value; });
}

// Whether `bytes` encode as `digits`, hexadecimal digits of either case, two per byte. Encoded
// here, not decoded by the loader's decoder, so that a fault of that decoder cannot hide.
inline bool EncodesAs(const uint8_t* bytes, std::string_view digits) {
    for (size_t i = 0; i < digits.size(); ++i) {
        const uint8_t nibble = i % 2 == 0 ? bytes[i / 2] >> 4 : bytes[i / 2] & 0x0f;
        if (!IsHexDigit(digits[i]) || (digits[i] | 0x20) != "0123456789abcdef"[nibble]) {
            return false;
        }
    }
    return true;
}
