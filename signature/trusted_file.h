// Files that decide what may run (keys, signed manifests, their signatures, the serial
// record): each is opened once, refused when someone else could have changed it, and read
// whole, so that the bytes checked are the bytes used.
#pragma once

#include <sys/types.h>

#include <string>

// What may not reach a file: `Write`, a group or others able to change it, or a user other
// than root and this one owning it; `Read`, a group or others able to read it (a secret).
enum class Exposure { Write, Read };

struct FileRead {
    std::string bytes;
    int error = 0;  // the system's error when the file could not be opened or read
    // Set instead when the file was refused: why, for "refusing PATH: REASON".
    std::string refusal;
};

// Reads the regular file at `path`, a symbolic link judged by its target, if nothing that
// `exposure` forbids can reach it. Takes at most 1 GiB.
FileRead ReadTrustedFile(const std::string& path, Exposure exposure);

// The same, with the error line to report, or "": "Error: refusing PATH: REASON" ("refusing
// key file" for a secret), or "Error: UNREADABLE PATH: REASON" for a file that cannot be read.
std::string ReadTrustedFile(const std::string& path, Exposure exposure, const char* unreadable,
                            std::string& bytes);
