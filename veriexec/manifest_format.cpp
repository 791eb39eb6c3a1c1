#include "veriexec/manifest_format.h"

#include <err.h>
#include <fmt/core.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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
            warnings.push_back(
                fmt::format("line {}: ignoring unknown flag '{}'", lineNumber, token));
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

std::string FormatManifestLine(const std::string& path, const std::string& digest, uint8_t flags) {
    std::string line = fmt::format("{} sha512={}", path, digest);
    for (const auto& [name, bit] : FlagTokens) {
        if (flags & bit) {
            line += ' ';
            line += name;
        }
    }
    return line + '\n';
}

bool PathFitsManifest(const std::string& path) {
    return !path.empty() && path.size() < EntryPathSize &&
           path.find_first_of(" \n\r") == std::string::npos && path.front() != '#';
}

LineOutcome ParseManifestLine(std::string_view line, int lineNumber, ManifestEntry& entry,
                              std::vector<std::string>& warnings) {
    warnings.clear();
    if (line.empty() || line.front() == '#') {
        return LineOutcome::Ignored;
    }
    size_t space = line.find(' ');
    // The kernel reads path and type up to a NUL byte: a line holding one would load a
    // different file than it names.
    if (space == std::string_view::npos || line.find('\0') != std::string_view::npos) {
        warnings.push_back(fmt::format("line {}: bad format", lineNumber));
        return LineOutcome::Error;
    }
    std::string_view path = line.substr(0, space);
    std::string_view rest = line.substr(space + 1);
    size_t equals = rest.find('=');
    if (equals == std::string_view::npos) {
        warnings.push_back(fmt::format("line {}: missing '=' in attribute", lineNumber));
        return LineOutcome::Error;
    }
    std::string_view type = rest.substr(0, equals);
    std::string_view fingerprint = rest.substr(equals + 1);
    std::string_view flags;
    if (size_t end = fingerprint.find(' '); end != std::string_view::npos) {
        flags = fingerprint.substr(end + 1);
        fingerprint = fingerprint.substr(0, end);
    }

    std::memset(&entry, 0, sizeof entry);
    ReadFlags(flags, lineNumber, entry, warnings);
    if (path.size() >= EntryPathSize) {
        warnings.push_back(fmt::format("line {}: path too long", lineNumber));
        return LineOutcome::Error;
    }
    std::memcpy(entry.path, path.data(), path.size());
    std::memcpy(entry.fingerprintType, type.data(), std::min(type.size(), FingerprintTypeSize - 1));
    if (DecodeHexFingerprint(fingerprint, entry.fingerprint, FingerprintSize) < 0) {
        warnings.push_back(fmt::format("line {}: bad fingerprint", lineNumber));
        return LineOutcome::Error;
    }
    return LineOutcome::Entry;
}

ManifestReader::~ManifestReader() {
    std::free(buffer_);
}

bool ManifestReader::Open(const std::string& path) {
    path_ = path;
    file_.reset(std::fopen(path.c_str(), "r"));
    if (file_ == nullptr) {
        warnx("cannot open manifest %s", path.c_str());
    }
    return file_ != nullptr;
}

void ManifestReader::Use(const std::string& path, std::string_view bytes) {
    path_ = path;
    file_.reset();
    bytes_ = bytes;
}

bool ManifestReader::NextEntry(ManifestEntry& entry, int& errors) {
    for (std::string_view line; NextLine(line);) {
        LineOutcome outcome = ParseManifestLine(line, lineNumber_, entry, warnings_);
        for (const std::string& warning : warnings_) {
            warnx("%s", warning.c_str());
        }
        if (outcome == LineOutcome::Error) {
            ++errors;
        }
        if (outcome == LineOutcome::Entry) {
            return true;
        }
    }
    if (readError_ != 0) {
        errno = readError_;
        warn("cannot read manifest %s", path_.c_str());
        ++errors;
    }
    return false;
}

std::string ManifestReader::FirstBadLine(std::string_view bytes) {
    ManifestReader reader;
    reader.Use("", bytes);
    ManifestEntry entry;
    for (std::string_view line; reader.NextLine(line);) {
        if (ParseManifestLine(line, reader.lineNumber_, entry, reader.warnings_) ==
            LineOutcome::Error) {
            return reader.warnings_.back();
        }
    }
    return "";
}

bool ManifestReader::NextLine(std::string_view& line) {
    if (file_ == nullptr) {
        if (bytes_.empty()) {
            return false;
        }
        size_t end = bytes_.find('\n');
        line = bytes_.substr(0, end);
        bytes_.remove_prefix(end == std::string_view::npos ? bytes_.size() : end + 1);
        ++lineNumber_;
        return true;
    }
    errno = 0;
    ssize_t length = getline(&buffer_, &capacity_, file_.get());
    if (length < 0) {
        if (!std::feof(file_.get())) {
            readError_ = errno != 0 ? errno : EIO;
        }
        return false;
    }
    ++lineNumber_;
    line = std::string_view(buffer_, static_cast<size_t>(length));
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    return true;
}
