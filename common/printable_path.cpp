#include "common/printable_path.h"

#include <fmt/core.h>

namespace {

// The length of the valid UTF-8 character of two or more bytes that starts `text`, or 0: no
// overlong form, no surrogate, nothing above U+10FFFF.
std::size_t MultiByteLength(std::string_view text) {
    auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char first = byte(0);
    std::size_t length = first >= 0xf0 ? 4 : first >= 0xe0 ? 3 : first >= 0xc0 ? 2 : 0;
    if (length == 0 || first > 0xf4 || first < 0xc2 || text.size() < length) {
        return 0;
    }
    for (std::size_t at = 1; at < length; ++at) {
        if ((byte(at) & 0xc0) != 0x80) {
            return 0;
        }
    }
    unsigned char second = byte(1);
    if ((first == 0xe0 && second < 0xa0) || (first == 0xed && second >= 0xa0) ||
        (first == 0xf0 && second < 0x90) || (first == 0xf4 && second >= 0x90)) {
        return 0;
    }
    // U+0080 to U+009F: the C1 controls, of which a terminal may take U+009B as the start of a
    // command.
    if (first == 0xc2 && second < 0xa0) {
        return 0;
    }
    return length;
}

}  // namespace

std::string PrintablePath(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        unsigned char byte = static_cast<unsigned char>(text[at]);
        if (byte == '\n') {
            shown += "\\n";
            ++at;
        } else if (byte < 0x20 || byte == 0x7f || byte == '\\') {
            shown += fmt::format("\\x{:02x}", byte);
            ++at;
        } else if (byte < 0x80) {
            shown += static_cast<char>(byte);
            ++at;
        } else if (std::size_t length = MultiByteLength(text.substr(at)); length > 0) {
            shown.append(text.substr(at, length));
            at += length;
        } else {
            shown += fmt::format("\\x{:02x}", byte);
            ++at;
        }
    }
    return shown;
}
