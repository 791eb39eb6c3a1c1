// The SHA-512 fingerprint of one file's content, as the manifest writes it: 128 lower-case
// hexadecimal digits. Safe to call from every worker at once.
#pragma once

#include <cstdint>
#include <string>

struct DigestResult {
    int32_t status = 1;          // 0 success, 1 failure
    std::string text = "error";  // 128 lower-case hex digits on success
    bool reported = false;       // true when the failure was reported on stderr
};

// Hashes the regular file at `path` (symbolic links followed). Anything else, and a file that
// no longer exists, fails silently; every other failure is reported on stderr, a file that
// keeps changing while it is read included.
DigestResult HashFileSha512(const std::string& path);
