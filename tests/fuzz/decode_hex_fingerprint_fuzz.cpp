// Fuzzes DecodeHexFingerprint with any text and the loader's 64-byte fingerprint field: text of
// two hexadecimal digits per byte that fits is decoded and encodes back to itself; anything
// else is refused and leaves the field as it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "tests/fuzz/fuzz_support.h"
#include "veriexec/loader.h"

namespace {

std::string EncodeLowerHex(const uint8_t* bytes, size_t count) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += Digits[bytes[i] >> 4];
        text += Digits[bytes[i] & 0x0f];
    }
    return text;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; });
    return lower;
}

bool AllEqual(const uint8_t* bytes, size_t count, uint8_t value) {
    return std::all_of(bytes, bytes + count, [value](uint8_t b) { return b == value; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool decodable = size % 2 == 0 && size <= 2 * FingerprintSize &&
                           std::all_of(text.begin(), text.end(), IsHexDigit);
    // Two fillings, so that any byte written shows in one of them; the field is exactly as
    // large as the loader's, so a write past it is AddressSanitizer's to see.
    for (uint8_t filling : {0x00, 0xff}) {
        auto field = std::make_unique<uint8_t[]>(FingerprintSize);
        std::memset(field.get(), filling, FingerprintSize);
        int decoded = DecodeHexFingerprint(text, field.get(), FingerprintSize);
        if (!decodable) {
            RequireProperty(decoded == -1, "text that is not whole pairs of digits is refused");
            RequireProperty(AllEqual(field.get(), FingerprintSize, filling),
                            "refused text writes nothing");
            continue;
        }
        RequireProperty(decoded == static_cast<int>(size / 2), "one byte per pair of digits");
        RequireProperty(EncodeLowerHex(field.get(), size / 2) == Lower(text),
                        "decoded bytes encode back to the text");
        RequireProperty(AllEqual(field.get() + size / 2, FingerprintSize - size / 2, filling),
                        "nothing is written past the decoded bytes");
    }
    return 0;
}
