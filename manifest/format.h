// The manifest format, the one place it is defined: the line generate writes for a file, how
// an entry line reads back into the record the kernel takes, and fingerprints as hexadecimal
// text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/entry.h"

// Lower-case hexadecimal text of `size` bytes, two digits per byte, first byte first.
std::string EncodeHex(const uint8_t* bytes, std::size_t size);

// Decodes hexadecimal text, exactly two digits (either case) per byte, first pair first.
// Returns the number of bytes written to `output`, or -1 (and writes nothing) when the text
// has an odd length, needs more than `capacity` bytes or holds anything but digits.
int DecodeHexFingerprint(std::string_view text, uint8_t* output, std::size_t capacity);

// The EntryFlags bit a flag token sets ("indirect", "no_ptrace", "trusted"), or 0.
uint8_t FlagOfToken(std::string_view token);

// The tokens of the bits set in `flags`, in the order indirect, no_ptrace, trusted.
std::vector<std::string_view> TokensOfFlags(uint8_t flags);

// The line generate writes for a file: its path, a space, "sha512=" and the digest, then the
// tokens of `flags`, each after a space, in the order indirect, no_ptrace, trusted.
std::string FormatManifestLine(const std::string& path, const std::string& digest,
                               uint8_t flags = 0);

// Whether load reads a line for this path back as written: fields end at a space, a line at
// a line feed, a leading '#' makes a comment, and the kernel takes at most 1023 bytes.
bool PathFitsManifest(const std::string& path);
// The error line of a path that does not fit, shown as PrintablePath shows it: a file named by
// whoever can write in a walked tree must not add lines of its own to a report.
std::string UnfitPathLine(std::string_view path);

enum class LineOutcome {
    Ignored,  // blank or comment line: nothing to send, nothing to count
    Error,    // a bad line: counted as an error, nothing sent
    Entry,    // `entry` is filled and is to be sent to the kernel
};

// How much of a line a manifest read from its file keeps: the rest is skipped up to the line
// feed, so that no line, however long, takes more memory.
inline constexpr std::size_t ManifestLineKept = 64 * 1024;

// What decides a line's outcome in the part of it that is skipped, its tail: noted piece by
// piece as the tail goes by.
class LineTail {
  public:
    explicit LineTail(char first) : first_(first) {}
    void Note(std::string_view piece);

    char First() const { return first_; }
    bool HasNul() const { return nul_; }
    bool HasSpace() const { return space_; }
    bool HasEquals() const { return equals_; }
    // An '=' follows the tail's first space.
    bool HasEqualsAfterSpace() const { return equalsAfterSpace_; }

  private:
    char first_;
    bool nul_ = false;
    bool space_ = false;
    bool equals_ = false;
    bool equalsAfterSpace_ = false;
};

// Reads one manifest line (without its line feed) that has the number `lineNumber`. Replaces
// the content of `warnings` with the messages to print for the line, in order; for an entry
// the record is zeroed and filled from the line. Touches no device and no file: the
// NonExecutable bit, which needs the file's mode, is left to the caller.
// A line cut after its first ManifestLineKept bytes (at least EntryPathSize) comes as those
// bytes and its `tail`: it gets the message that the whole line would get, with unknown flags
// warned of only in the bytes kept; one that would be an entry is the error "line too long".
LineOutcome ParseManifestLine(std::string_view line, int lineNumber, ManifestEntry& entry,
                              std::vector<std::string>& warnings, const LineTail* tail = nullptr);
