// Fuzzes ParseManifestLine with one line: its outcome and warnings, and for an entry every
// byte of the record that would go to the kernel, against what the line says.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "veriexec/loader.h"

namespace {

constexpr int LineNumber = 4711;
constexpr std::string_view WarningStart = "line 4711: ";
constexpr std::string_view UnknownFlag = "line 4711: ignoring unknown flag '";

// A field holds `text` followed by NUL bytes to its end, so nothing from an earlier record or
// from past the text can reach the kernel.
bool FieldHolds(const void* field, size_t size, std::string_view text) {
    const auto* bytes = static_cast<const uint8_t*>(field);
    return text.size() <= size && std::memcmp(bytes, text.data(), text.size()) == 0 &&
           std::all_of(bytes + text.size(), bytes + size, [](uint8_t b) { return b == 0; });
}

// Decoded here, not by DecodeHexFingerprint, so that a fault of that decoder cannot hide.
std::string DecodeDigits(std::string_view digits) {
    auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string bytes;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes += static_cast<char>(value(digits[i]) << 4 | value(digits[i + 1]));
    }
    return bytes;
}

bool IsLineError(const std::string& warning) {
    return warning == "line 4711: bad format" || warning == "line 4711: path too long" ||
           warning == "line 4711: missing '=' in attribute" ||
           warning == "line 4711: bad fingerprint";
}

void CheckEntry(std::string_view line, const ManifestEntry& entry) {
    RequireProperty(line.find('\0') == std::string_view::npos, "a line with a NUL is refused");
    const size_t space = line.find(' ');
    RequireProperty(space != std::string_view::npos, "an entry line has a space");
    const std::string_view path = line.substr(0, space);
    const std::string_view attribute = line.substr(space + 1);
    const size_t equals = attribute.find('=');
    RequireProperty(equals != std::string_view::npos, "an entry line has an attribute");
    const std::string_view type = attribute.substr(0, std::min(equals, FingerprintTypeSize - 1));
    std::string_view digits = attribute.substr(equals + 1);
    digits = digits.substr(0, digits.find(' '));

    RequireProperty(path.size() < EntryPathSize && FieldHolds(entry.path, EntryPathSize, path),
                    "the path field holds the text before the first space, NUL-terminated");
    RequireProperty(FieldHolds(entry.fingerprintType, FingerprintTypeSize, type),
                    "the type field holds the type cut to 15 bytes, NUL-terminated");
    RequireProperty(digits.size() % 2 == 0 && digits.size() <= 2 * FingerprintSize &&
                        std::all_of(digits.begin(), digits.end(), IsHexDigit),
                    "an entry's fingerprint is whole pairs of hexadecimal digits");
    RequireProperty(FieldHolds(entry.fingerprint, FingerprintSize, DecodeDigits(digits)),
                    "the fingerprint field holds the decoded digits, then zero bytes");
    RequireProperty((entry.flags & ~(Indirect | NoPtrace | Trusted)) == 0,
                    "only flag tokens set flag bits");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    ManifestEntry entry;
    // Filled with a pattern first: every byte of an entry must come from this line.
    std::memset(&entry, 0xa5, sizeof entry);
    std::vector<std::string> warnings{"left from an earlier line"};
    const LineOutcome outcome = ParseManifestLine(line, LineNumber, entry, warnings);

    const bool ignorable = line.empty() || line.front() == '#';
    RequireProperty((outcome == LineOutcome::Ignored) == ignorable,
                    "exactly the empty and comment lines are ignored");
    RequireProperty(outcome != LineOutcome::Ignored || warnings.empty(),
                    "an ignored line has no warnings");
    RequireProperty(
        outcome != LineOutcome::Error || (!warnings.empty() && IsLineError(warnings.back())),
        "a bad line's last warning says why it is bad");
    for (size_t i = 0; i < warnings.size(); ++i) {
        const std::string& warning = warnings[i];
        RequireProperty(warning.compare(0, WarningStart.size(), WarningStart) == 0,
                        "every warning starts with its line number");
        RequireProperty(warning.find_first_of("\n\r") == std::string::npos,
                        "every warning is a single line");
        RequireProperty((outcome == LineOutcome::Error && i + 1 == warnings.size()) ||
                            warning.compare(0, UnknownFlag.size(), UnknownFlag) == 0,
                        "all other warnings are about unknown flags");
    }
    if (outcome == LineOutcome::Entry) {
        CheckEntry(line, entry);
    }
    return 0;
}
