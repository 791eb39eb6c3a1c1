#include "veriexec/loader.h"

#include <err.h>
#include <fcntl.h>
#include <fmt/core.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

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

uint8_t FlagBit(std::string_view token) {
    if (token == "no_ptrace") {
        return NoPtrace;
    }
    if (token == "indirect") {
        return Indirect;
    }
    if (token == "trusted") {
        return Trusted;
    }
    return 0;
}

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
        if (uint8_t bit = FlagBit(token); bit != 0) {
            entry.flags |= bit;
        } else {
            warnings.push_back(
                fmt::format("line {}: ignoring unknown flag '{}'", lineNumber, token));
        }
        at = end;
    }
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// The getline(3) buffer: reused for every line, so memory follows the longest line, not the
// length of the manifest.
struct LineBuffer {
    LineBuffer() = default;
    ~LineBuffer() { std::free(data); }
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;

    char* data = nullptr;
    size_t capacity = 0;
};

// Sets NonExecutable when the named file exists and nobody may execute it; a file that cannot
// be queried keeps the bit clear, and the kernel decides about it.
void MarkNonExecutable(ManifestEntry& entry) {
    struct stat status;
    if (stat(entry.path, &status) == 0 && (status.st_mode & 0111) == 0) {
        entry.flags |= NonExecutable;
    }
}

}  // namespace

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

int LoadManifest(const std::string& path) {
    DeviceHandle device(O_WRONLY);
    if (!device.IsOpen()) {
        warn("cannot open %s", VeriexecDevicePath);
        return 1;
    }
    std::unique_ptr<FILE, FileCloser> manifest(std::fopen(path.c_str(), "r"));
    if (!manifest) {
        warnx("cannot open manifest %s", path.c_str());
        return 1;
    }

    int loaded = 0;
    int errors = 0;
    int lineNumber = 0;
    ManifestEntry entry;
    std::vector<std::string> warnings;
    LineBuffer buffer;
    ssize_t length;
    while ((length = getline(&buffer.data, &buffer.capacity, manifest.get())) >= 0) {
        ++lineNumber;
        std::string_view line(buffer.data, static_cast<size_t>(length));
        if (!line.empty() && line.back() == '\n') {
            line.remove_suffix(1);
        }
        LineOutcome outcome = ParseManifestLine(line, lineNumber, entry, warnings);
        for (const std::string& warning : warnings) {
            warnx("%s", warning.c_str());
        }
        if (outcome == LineOutcome::Error) {
            ++errors;
        }
        if (outcome != LineOutcome::Entry) {
            continue;
        }
        MarkNonExecutable(entry);
        if (device.Request(LoadEntry, &entry) < 0) {
            warn("cannot load %s", entry.path);
            ++errors;
        } else {
            ++loaded;
        }
    }
    // Stopping at a read failure as if at the end would report a partial load as a success.
    if (!std::feof(manifest.get())) {
        warn("cannot read manifest %s", path.c_str());
        ++errors;
    }
    device.Close();
    std::cout << fmt::format("Loaded {} entries ({} errors) from {}\n", loaded, errors, path);
    return errors > 0 ? 1 : 0;
}
