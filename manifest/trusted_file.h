// Files that decide what may run (keys, signed manifests, their signatures, the serial
// record): each is opened once, refused when someone else could have changed it or swapped it
// through a folder or link on its way, and read whole, so that the bytes checked are the
// bytes used.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// What may not reach a file: `Write`, a group or others able to change it; `Read`, a group or
// others able to read it or change it (a secret). Either way a user other than root and this
// one may not own it, nor any folder on its way, and no folder on its way may let a group or
// others rename its entries (writable without the sticky bit); nor may they own a link on its
// way.
enum class Exposure { Write, Read };

// Whether `path` may itself be a symbolic link, followed to its target; a file the program
// also writes is never read through a link, since it is never written through one.
enum class FinalLink { Followed, Refused };

// Far above any manifest (a few hundred bytes a file) and a bound on what a file given here can
// make the program allocate.
constexpr std::size_t MaxTrustedFileSize = std::size_t{1} << 30;

struct FileRead {
    std::string target;  // the file read: FinalTarget(path), or `path` when a link is refused
    // What the file holds. A secret refused for its own mode or owner, which others could read
    // anyway, is read all the same, so that the caller can say what it was given (a public key
    // for a private one); its bytes are never to be used then.
    std::string bytes;
    int error = 0;  // the system's error when the file could not be opened or read
    // Set instead when the file was refused: why, for "refusing PATH: REASON".
    std::string refusal;
};

// Reads the regular file at `path` if nothing that `exposure` forbids can reach it. Every
// folder that finding it looks a name up in, from /, is judged, also when the file does not
// exist (error ENOENT), since then a file written there later would be. A file of more than
// `limit` bytes is EFBIG, and not read.
FileRead ReadTrustedFile(const std::string& path, Exposure exposure,
                         FinalLink link = FinalLink::Followed,
                         std::size_t limit = MaxTrustedFileSize);

// The same, at most 1 GiB, with the error line to report, or "": "Error: refusing PATH: REASON"
// ("refusing key file" for a secret), or "Error: UNREADABLE PATH: REASON" for a file that
// cannot be read.
std::string ReadTrustedFile(const std::string& path, Exposure exposure, const char* unreadable,
                            FileRead& file);
