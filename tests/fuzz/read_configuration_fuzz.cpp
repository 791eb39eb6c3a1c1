// Fuzzes the configuration reader with any text: what it queues, the types it adds, and the
// one message it may print about a fault.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include "generate/config.h"
#include "generate/shared_state.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void AppendUtf8(std::string& text, uint32_t codePoint) {
    if (codePoint < 0x80) {
        text += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        text += static_cast<char>(0xc0 | codePoint >> 6);
        text += static_cast<char>(0x80 | (codePoint & 0x3f));
    } else if (codePoint < 0x10000) {
        text += static_cast<char>(0xe0 | codePoint >> 12);
        text += static_cast<char>(0x80 | (codePoint >> 6 & 0x3f));
        text += static_cast<char>(0x80 | (codePoint & 0x3f));
    } else {
        text += static_cast<char>(0xf0 | codePoint >> 18);
        text += static_cast<char>(0x80 | (codePoint >> 12 & 0x3f));
        text += static_cast<char>(0x80 | (codePoint >> 6 & 0x3f));
        text += static_cast<char>(0x80 | (codePoint & 0x3f));
    }
}

// The four digits of a \u escape at `at`, or -1.
int32_t EscapedUnit(std::string_view text, size_t at) {
    if (at + 4 > text.size()) {
        return -1;
    }
    int32_t unit = 0;
    for (char c : text.substr(at, 4)) {
        if (!IsHexDigit(c)) {
            return -1;
        }
        unit = unit << 4 | (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return unit;
}

// Decodes the escape after the backslash at `at` into `text`; returns where the string goes
// on, or npos for an escape that no JSON string can hold.
size_t DecodeEscape(std::string_view input, size_t at, std::string& text) {
    static constexpr std::string_view Simple = "\"\\/bfnrt";
    static constexpr std::string_view Meaning = "\"\\/\b\f\n\r\t";
    if (at + 1 >= input.size()) {
        return std::string_view::npos;
    }
    if (size_t simple = Simple.find(input[at + 1]); simple != std::string_view::npos) {
        text += Meaning[simple];
        return at + 2;
    }
    int32_t unit = input[at + 1] == 'u' ? EscapedUnit(input, at + 2) : -1;
    if (unit < 0xd800 || unit > 0xdfff) {
        if (unit < 0) {
            return std::string_view::npos;
        }
        AppendUtf8(text, static_cast<uint32_t>(unit));
        return at + 6;
    }
    int32_t low = input.compare(at + 6, 2, "\\u") == 0 ? EscapedUnit(input, at + 8) : -1;
    if (unit > 0xdbff || low < 0xdc00 || low > 0xdfff) {
        return std::string_view::npos;
    }
    AppendUtf8(text, 0x10000 + ((static_cast<uint32_t>(unit) - 0xd800) << 10) +
                         (static_cast<uint32_t>(low) - 0xdc00));
    return at + 12;
}

// The decoded string literals of the text, found by a scan from its start: within the JSON
// value that the reader takes, a quote outside a string always opens one, so every string of
// that value is among them (those of text after the value may be too).
std::set<std::string> StringLiterals(std::string_view input) {
    std::set<std::string> literals;
    size_t at = input.find('"');
    while (at != std::string_view::npos) {
        std::string text;
        ++at;
        while (at < input.size() && input[at] != '"') {
            if (input[at] == '\\') {
                at = DecodeEscape(input, at, text);
            } else {
                text += input[at++];
            }
        }
        // A string that does not decode ends the value the reader takes.
        if (at >= input.size()) {
            break;
        }
        literals.insert(text);
        at = input.find('"', at + 1);
    }
    return literals;
}

// The first character of the value after a byte order mark and white space, as JSON has them.
char FirstSignificant(std::string_view input) {
    if (input.compare(0, 3, "\xef\xbb\xbf") == 0) {
        input.remove_prefix(3);
    }
    size_t first = input.find_first_not_of(" \t\n\r");
    return first == std::string_view::npos ? '\0' : input[first];
}

void CheckMessage(const std::string& message) {
    RequireProperty(ReportedErrorCount == (message.empty() ? 0 : 1),
                    "exactly the message is counted as an error");
    if (message.empty()) {
        return;
    }
    RequireProperty(message.find_first_of("\n\r") == message.size() - 1, "the message is one line");
    RequireProperty(message.rfind("Config file error, ", 0) == 0 ||
                        message.rfind("Can't open config file: ", 0) == 0,
                    "the message says the configuration is at fault");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    JobQueue.clear();
    SigningTypes.clear();
    ReportedErrorCount = 0;

    std::istringstream stream{std::string(input)};
    std::ostringstream message;
    std::streambuf* standardError = std::cerr.rdbuf(message.rdbuf());
    ReadConfigurationFrom(stream);
    std::cerr.rdbuf(standardError);

    CheckMessage(message.str());
    RequireProperty((JobQueue.empty() && SigningTypes.empty()) || FirstSignificant(input) == '{',
                    "only an object adds anything");
    const std::set<std::string> literals = StringLiterals(input);
    for (const auto& dir : JobQueue) {
        RequireProperty(literals.count(dir.native()) == 1,
                        "every queued path is a string of the text");
        RequireProperty(dir.native().find('\0') == std::string::npos,
                        "a queued path is what the system will open");
    }
    for (const std::string& type : SigningTypes) {
        RequireProperty(literals.count(type) == 1, "every type is a string of the text");
    }
    return 0;
}
