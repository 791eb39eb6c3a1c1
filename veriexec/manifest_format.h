// The manifest format, the one place it is defined: the line generate writes for a file, how
// an entry line reads back into the record the kernel takes, fingerprints as hexadecimal text,
// and reading a manifest line by line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "veriexec/device.h"

// Lower-case hexadecimal text of `size` bytes, two digits per byte, first byte first.
std::string EncodeHex(const uint8_t* bytes, std::size_t size);

// Decodes hexadecimal text, exactly two digits (either case) per byte, first pair first.
// Returns the number of bytes written to `output`, or -1 (and writes nothing) when the text
// has an odd length, needs more than `capacity` bytes or holds anything but digits.
int DecodeHexFingerprint(std::string_view text, uint8_t* output, std::size_t capacity);

// The EntryFlags bit a flag token sets ("indirect", "no_ptrace", "trusted"), or 0.
uint8_t FlagOfToken(std::string_view token);

// The line generate writes for a file: its path, a space, "sha512=" and the digest, then the
// tokens of `flags`, each after a space, in the order indirect, no_ptrace, trusted.
std::string FormatManifestLine(const std::string& path, const std::string& digest,
                               uint8_t flags = 0);

// Whether load reads a line for this path back as written: fields end at a space, a line at
// a line feed, a leading '#' makes a comment, and the kernel takes at most 1023 bytes.
bool PathFitsManifest(const std::string& path);

enum class LineOutcome {
    Ignored,  // blank or comment line: nothing to send, nothing to count
    Error,    // a bad line: counted as an error, nothing sent
    Entry,    // `entry` is filled and is to be sent to the kernel
};

// Reads one manifest line (without its line feed) that has the number `lineNumber`. Replaces
// the content of `warnings` with the messages to print for the line, in order; for an entry
// the record is zeroed and filled from the line. Touches no device and no file: the
// NonExecutable bit, which needs the file's mode, is left to the caller.
LineOutcome ParseManifestLine(std::string_view line, int lineNumber, ManifestEntry& entry,
                              std::vector<std::string>& warnings);

// A manifest read line by line: as a stream from its file, where memory follows the longest
// line, not the length of the file; or from bytes already read and verified.
class ManifestReader {
  public:
    ManifestReader() = default;
    ~ManifestReader();
    ManifestReader(const ManifestReader&) = delete;
    ManifestReader& operator=(const ManifestReader&) = delete;

    // Opens the manifest; when it cannot, says so on standard error and returns false.
    bool Open(const std::string& path);
    // Reads `bytes`, which must outlive the reader, as the manifest at `path`.
    void Use(const std::string& path, std::string_view bytes);
    // Reads on to the next entry line and fills `entry` from it. Every bad line is warned of
    // with its number and counted in `errors`; so is a read failure, where it returns false as
    // at the end: stopping there silently would pass a partial manifest for a whole one.
    bool NextEntry(ManifestEntry& entry, int& errors);
    // The fault of the first line in `bytes` that load counts as an error, in load's words
    // ("line N: REASON"), or "" when there is none. Prints nothing, looks at no file.
    static std::string FirstBadLine(std::string_view bytes);

  private:
    bool NextLine(std::string_view& line);

    struct FileCloser {
        void operator()(FILE* file) const { std::fclose(file); }
    };
    std::string path_;
    std::unique_ptr<FILE, FileCloser> file_;
    std::string_view bytes_;  // what is left of a manifest in memory
    char* buffer_ = nullptr;
    std::size_t capacity_ = 0;
    int lineNumber_ = 0;
    int readError_ = 0;
    std::vector<std::string> warnings_;
};
