// The manifest format and the load command: reading a manifest line by line, turning each
// entry line into the record the kernel takes, and sending it, with the warnings, counts and
// summary of a load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "veriexec/device.h"

// Decodes hexadecimal text, exactly two digits (either case) per byte, first pair first.
// Returns the number of bytes written to `output`, or -1 (and writes nothing) when the text
// has an odd length, needs more than `capacity` bytes or holds anything but digits.
int DecodeHexFingerprint(std::string_view text, uint8_t* output, std::size_t capacity);

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

// Loads the manifest at `path` into the kernel facility; returns the exit status of `load`.
int LoadManifest(const std::string& path);
