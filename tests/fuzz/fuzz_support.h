// What the fuzz targets share: a property that does not hold ends the run the way a crash
// does, so that libFuzzer keeps the input that broke it; a check of bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

inline void RequireProperty(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

inline bool AllBytesAre(const void* bytes, size_t count, uint8_t value) {
    const auto* begin = static_cast<const uint8_t*>(bytes);
    return std::all_of(begin, begin + count, [value](uint8_t b) { return b == value; });
}
