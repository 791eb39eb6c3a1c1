// Fuzzes ParseManifestLine with one line: its outcome and warnings, and for an entry every
// byte of the record that would go to the kernel, against what the line says; then the same
// line cut as a long one is, against the whole.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/format.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr std::string_view WarningStart = "line 4711: ";

// A field holds `text`, then NUL bytes to its end: the kernel finds the text's end, and nothing
// from an earlier record or from past the text can reach it.
bool FieldHolds(const char* field, size_t size, std::string_view text) {
    return text.size() < size && std::string_view(field, text.size()) == text &&
           AllBytesAre(field + text.size(), size - text.size(), 0);
}

void CheckEntry(std::string_view line, const ManifestEntry& entry) {
    RequireProperty(line.find('\0') == std::string_view::npos, "a line with a NUL is refused");
    const size_t space = line.find(' ');
    const size_t equals = line.find('=', space);
    RequireProperty(equals != std::string_view::npos, "an entry line has a space, then an '='");
    std::string_view digits = line.substr(equals + 1);
    digits = digits.substr(0, digits.find(' '));
    const size_t bytes = digits.size() / 2;
    std::string lower(digits);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });

    RequireProperty(FieldHolds(entry.path, EntryPathSize, line.substr(0, space)),
                    "the path field holds the text before the first space, NUL-terminated");
    RequireProperty(
        FieldHolds(entry.fingerprintType, FingerprintTypeSize,
                   line.substr(space + 1, std::min(equals - space - 1, FingerprintTypeSize - 1))),
        "the type field holds the type cut to 15 bytes, NUL-terminated");
    RequireProperty(digits.size() % 2 == 0 && bytes <= FingerprintSize &&
                        EncodeHex(entry.fingerprint, bytes) == lower &&
                        AllBytesAre(entry.fingerprint + bytes, FingerprintSize - bytes, 0),
                    "the fingerprint field holds whole pairs of digits decoded, then zero bytes");
    RequireProperty((entry.flags & ~(Indirect | NoPtrace | Trusted)) == 0,
                    "only flag tokens set flag bits");
}

// The line cut as the reader cuts one longer than it keeps, here after EntryPathSize bytes:
// the whole line's last message, its unknown flags as far as they are kept, and for an entry
// "line too long", or a bad fingerprint where the fingerprint runs past the cut.
void CheckCut(std::string_view line, LineOutcome outcome, const std::vector<std::string>& warnings,
              ManifestEntry& entry) {
    const size_t kept = EntryPathSize;
    if (line.size() <= kept || outcome == LineOutcome::Ignored) {
        return;
    }
    LineTail tail(line[kept]);
    tail.Note(line.substr(kept));
    std::vector<std::string> cut;
    const LineOutcome cutOutcome = ParseManifestLine(line.substr(0, kept), 4711, entry, cut, &tail);
    const size_t equals = line.find('=', line.find(' '));
    const std::string last = outcome == LineOutcome::Error   ? warnings.back()
                             : line.find(' ', equals) > kept ? "line 4711: bad fingerprint"
                                                             : "line 4711: line too long";
    RequireProperty(cutOutcome == LineOutcome::Error && cut.back() == last &&
                        cut.size() <= warnings.size() + (outcome == LineOutcome::Entry) &&
                        std::equal(cut.begin(), cut.end() - 1, warnings.begin()),
                    "a cut line gets the whole line's message, or is too long, after the "
                    "unknown flags that the whole line has, up to the cut");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    ManifestEntry entry;
    // Filled with a pattern first: every byte of an entry must come from this line.
    std::memset(&entry, 0xa5, sizeof entry);
    std::vector<std::string> warnings{"left from an earlier line"};
    const LineOutcome outcome = ParseManifestLine(line, 4711, entry, warnings);

    const bool ignorable = line.empty() || line.front() == '#';
    RequireProperty((outcome == LineOutcome::Ignored) == ignorable,
                    "exactly the empty and comment lines are ignored");
    RequireProperty(!ignorable || warnings.empty(), "an ignored line has no warnings");
    RequireProperty(outcome != LineOutcome::Error || !warnings.empty(), "a bad line is warned of");
    for (const std::string& warning : warnings) {
        RequireProperty(warning.rfind(WarningStart, 0) == 0 &&
                            warning.find_first_of("\n\r") == std::string::npos,
                        "every warning is one line that starts with its line number");
    }
    if (outcome == LineOutcome::Entry) {
        CheckEntry(line, entry);
    }
    CheckCut(line, outcome, warnings, entry);
    return 0;
}
