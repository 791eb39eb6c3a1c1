// Fuzzes DecodeHexFingerprint with any text and the loader's 64-byte fingerprint field: text of
// two hexadecimal digits per byte that fits is decoded and encodes back to itself; anything
// else is refused and leaves the field as it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "tests/fuzz/fuzz_support.h"
#include "veriexec/manifest_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool decodable = size % 2 == 0 && size <= 2 * FingerprintSize &&
                           std::all_of(text.begin(), text.end(), IsHexDigit);
    const size_t written = decodable ? size / 2 : 0;
    // Two fillings, so that any byte written shows in one of them; the field is exactly as
    // large as the loader's, so a write past it is AddressSanitizer's to see.
    for (uint8_t filling : {0x00, 0xff}) {
        auto field = std::make_unique<uint8_t[]>(FingerprintSize);
        std::memset(field.get(), filling, FingerprintSize);
        const int decoded = DecodeHexFingerprint(text, field.get(), FingerprintSize);
        RequireProperty(decoded == (decodable ? static_cast<int>(written) : -1),
                        "one byte per pair of digits; other text is refused");
        RequireProperty(!decodable || EncodesAs(field.get(), text),
                        "decoded bytes encode back to the text");
        RequireProperty(AllBytesAre(field.get() + written, FingerprintSize - written, filling),
                        "nothing is written past the decoded bytes, nothing for refused text");
    }
    return 0;
}
