// Fuzzes the serial line, the first line of a signed manifest: any bytes either carry a serial
// that is exactly the decimal digits after the prefix, or none; and giving them a header keeps
// every other byte and reads back the serial given.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "manifest/serial.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr std::string_view Prefix = "# pelmor-sign serial ";

// The serial of a first line by the rule written out afresh: the prefix, then only digits that
// fit 64 bits.
bool Expected(std::string_view manifest, uint64_t& serial) {
    std::string_view first = manifest.substr(0, manifest.find('\n'));
    if (first.substr(0, Prefix.size()) != Prefix) {
        return false;
    }
    std::string_view digits = first.substr(Prefix.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), serial);
    return error == std::errc() && end == digits.data() + digits.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    uint64_t expected = 0;
    const bool carries = Expected(bytes, expected);
    const std::optional<uint64_t> serial = SerialOfHeader(bytes);
    RequireProperty(serial.has_value() == carries, "a serial line is told from any other line");
    RequireProperty(!serial || *serial == expected, "the serial is the line's digits");

    // The header replaces one already there and keeps every other byte.
    uint64_t given = size;
    for (size_t i = 0; i < size && i < 8; ++i) {
        given = given << 8 | data[i];
    }
    const std::string headed = WithSerialHeader(bytes, given);
    const std::string header = std::string(Prefix) + std::to_string(given) + "\n";
    std::string_view rest = bytes;
    if (bytes.substr(0, Prefix.size()) == Prefix) {
        rest.remove_prefix(std::min(bytes.substr(0, bytes.find('\n')).size() + 1, bytes.size()));
    }
    RequireProperty(headed == header + std::string(rest), "only the first line is the header");
    RequireProperty(SerialOfHeader(headed) == given, "the header reads back its serial");
    return 0;
}
