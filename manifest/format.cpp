#include "manifest/format.h"

#include <fmt/core.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/printable_path.h"

namespace {

int HexDigitValue(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}

// The white space that separates flag tokens, as the C locale's isspace() has it; spelled out
// so that a locale can never change how a manifest reads.
bool IsFlagSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// In the order generate writes them.
constexpr std::pair<const char*, uint8_t> FlagTokens[] = {
    {"indirect", Indirect}, {"no_ptrace", NoPtrace}, {"trusted", Trusted}};

void ReadFlags(std::string_view text, int lineNumber, ManifestEntry& entry,
               std::vector<std::string>& warnings) {
    size_t at = 0;
    while (at < text.size()) {
        if (IsFlagSeparator(text[at])) {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < text.size() && !IsFlagSeparator(text[end])) {
            ++end;
        }
        std::string_view token = text.substr(at, end - at);
        if (uint8_t bit = FlagOfToken(token); bit != 0) {
            entry.flags |= bit;
        } else {
            warnings.push_back(fmt::format("line {}: ignoring unknown flag '{}'", lineNumber,
                                           PrintablePath(token)));
        }
        at = end;
    }
}

}  // namespace

std::string EncodeHex(const uint8_t* bytes, std::size_t size) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string text(2 * size, '0');
    for (std::size_t i = 0; i < size; ++i) {
        text[2 * i] = Digits[bytes[i] >> 4];
        text[2 * i + 1] = Digits[bytes[i] & 0x0f];
    }
    return text;
}

int DecodeHexFingerprint(std::string_view text, uint8_t* output, std::size_t capacity) {
    if (text.size() % 2 != 0 || text.size() / 2 > capacity) {
        return -1;
    }
    for (char digit : text) {
        if (HexDigitValue(digit) < 0) {
            return -1;
        }
    }
    for (size_t i = 0; i < text.size() / 2; ++i) {
        output[i] =
            static_cast<uint8_t>(HexDigitValue(text[2 * i]) << 4 | HexDigitValue(text[2 * i + 1]));
    }
    return static_cast<int>(text.size() / 2);
}

uint8_t FlagOfToken(std::string_view token) {
    for (const auto& [name, bit] : FlagTokens) {
        if (token == name) {
            return bit;
        }
    }
    return 0;
}

std::vector<std::string_view> TokensOfFlags(uint8_t flags) {
    std::vector<std::string_view> tokens;
    for (const auto& [name, bit] : FlagTokens) {
        if (flags & bit) {
            tokens.push_back(name);
        }
    }
    return tokens;
}

std::string FormatManifestLine(const std::string& path, const std::string& digest, uint8_t flags) {
    std::string line = fmt::format("{} sha512={}", path, digest);
    for (std::string_view token : TokensOfFlags(flags)) {
        line += ' ';
        line += token;
    }
    return line + '\n';
}

bool PathFitsManifest(const std::string& path) {
    return !path.empty() && path.size() < EntryPathSize &&
           path.find_first_of(" \n\r") == std::string::npos && path.front() != '#';
}

std::string UnfitPathLine(std::string_view path) {
    return fmt::format("Error: path cannot be written to the manifest: {}\n", PrintablePath(path));
}

void LineTail::Note(std::string_view piece) {
    nul_ = nul_ || piece.find('\0') != std::string_view::npos;
    equals_ = equals_ || piece.find('=') != std::string_view::npos;
    size_t space = 0;
    if (!space_) {
        space = piece.find(' ');
        space_ = space != std::string_view::npos;
    }
    equalsAfterSpace_ =
        equalsAfterSpace_ || (space_ && piece.find('=', space) != std::string_view::npos);
}

LineOutcome ParseManifestLine(std::string_view line, int lineNumber, ManifestEntry& entry,
                              std::vector<std::string>& warnings, const LineTail* tail) {
    warnings.clear();
    if (line.empty() || line.front() == '#') {
        return LineOutcome::Ignored;
    }
    const bool cut = tail != nullptr;
    size_t space = line.find(' ');
    // Then the path runs past the bytes kept: far too long.
    const bool spaceInTail = space == std::string_view::npos && cut && tail->HasSpace();
    // The kernel reads path and type up to a NUL byte: a line holding one would load a
    // different file than it names.
    if ((space == std::string_view::npos && !spaceInTail) ||
        line.find('\0') != std::string_view::npos || (cut && tail->HasNul())) {
        warnings.push_back(fmt::format("line {}: bad format", lineNumber));
        return LineOutcome::Error;
    }
    std::string_view path = line.substr(0, space);
    std::string_view rest = spaceInTail ? std::string_view() : line.substr(space + 1);
    size_t equals = rest.find('=');
    if (equals == std::string_view::npos &&
        !(cut && (spaceInTail ? tail->HasEqualsAfterSpace() : tail->HasEquals()))) {
        warnings.push_back(fmt::format("line {}: missing '=' in attribute", lineNumber));
        return LineOutcome::Error;
    }
    std::string_view type = rest.substr(0, equals);
    std::string_view fingerprint;
    std::string_view flags;
    // A fingerprint that runs past the bytes kept cannot be read: it is taken for a bad one.
    bool fingerprintKept = equals != std::string_view::npos;
    if (fingerprintKept) {
        fingerprint = rest.substr(equals + 1);
    }
    if (size_t end = fingerprint.find(' '); end != std::string_view::npos) {
        flags = fingerprint.substr(end + 1);
        fingerprint = fingerprint.substr(0, end);
        // A token that the cut halves is not one of the line's.
        while (cut && !IsFlagSeparator(tail->First()) && !flags.empty() &&
               !IsFlagSeparator(flags.back())) {
            flags.remove_suffix(1);
        }
    } else if (cut) {
        fingerprintKept = fingerprintKept && tail->First() == ' ';
    }

    std::memset(&entry, 0, sizeof entry);
    ReadFlags(flags, lineNumber, entry, warnings);
    if (path.size() >= EntryPathSize) {
        warnings.push_back(fmt::format("line {}: path too long", lineNumber));
        return LineOutcome::Error;
    }
    std::memcpy(entry.path, path.data(), path.size());
    std::memcpy(entry.fingerprintType, type.data(), std::min(type.size(), FingerprintTypeSize - 1));
    if (!fingerprintKept ||
        DecodeHexFingerprint(fingerprint, entry.fingerprint, FingerprintSize) < 0) {
        warnings.push_back(fmt::format("line {}: bad fingerprint", lineNumber));
        return LineOutcome::Error;
    }
    // Its flags run past the bytes kept: some of them would be lost.
    if (cut) {
        warnings.push_back(fmt::format("line {}: line too long", lineNumber));
        return LineOutcome::Error;
    }
    return LineOutcome::Entry;
}
