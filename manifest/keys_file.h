// The keys file: the signing keys that the root key vouches for, with the file's serial, its
// expiry, a floor for manifest serials and the ids of revoked keys, in one strict text form
// that is read and written alike; UTC dates; and the root key's signature over the file, made
// over a context that no manifest's signature covers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/key.h"
#include "manifest/trusted_file.h"

// The first line of every keys file: the format and its version.
inline constexpr std::string_view KeysFileHeader = "pelmor-sign keys 1";
// What the root key signs is this line followed by the keys file's bytes, so that a signature
// over a keys file never verifies as one over a manifest, whose signature covers its bytes
// alone, nor the other way round.
inline constexpr std::string_view KeysSignatureContext = "pelmor-sign keys file signature 1\n";

struct ListedKey {
    ManifestKey key;
    std::optional<int64_t> notAfter;  // seconds since the epoch
};

struct KeysFile {
    std::optional<uint64_t> serial;  // absent only in a draft
    std::optional<int64_t> expires;  // seconds since the epoch; absent only in a draft
    std::optional<uint64_t> floor;
    std::map<std::string, ListedKey> keys;  // by full id
    std::set<std::string> revoked;          // full ids, none of them listed
};

// Reads the text of a keys file, signed or a draft; "" or "line N: WHY" for the first line
// that is refused, after which `file` holds nothing to use.
std::string ParseKeysFile(std::string_view text, KeysFile& file);
// What a signed keys file has that a draft may lack: "" or why `file` cannot be one.
std::string MissingFromSigned(const KeysFile& file);
// The one text of `file`, the only form that ParseKeysFile takes.
std::string FormatKeysFile(const KeysFile& file);

// Reads the keys file at `path` as a file that decides trust (see ReadTrustedFile) and parses
// it; "" or the error line to report.
std::string ReadKeysFile(const std::string& path, FileRead& read, KeysFile& file);

// The detached signature beside the keys file that `keysFile` names: FILE.sig.
std::string KeysSignaturePath(const std::string& keysFile);
// The root key's signature over the keys file `bytes`, after the context; "" or why it failed.
std::string SignKeysFile(const ManifestKey& root, std::string_view bytes, std::string& signature);
// True only when `signature` is the root key's over the context and exactly `bytes`.
bool VerifyKeysFile(const ManifestKey& root, std::string_view bytes, std::string_view signature);

// A date and time in UTC, exactly as RFC 3339 writes 2027-03-01T00:00:00Z: a valid calendar
// date, hours 00 to 23, no leap second, no fraction, no other zone. As seconds since the epoch.
bool ParseUtcDate(std::string_view text, int64_t& seconds);
std::string FormatUtcDate(int64_t seconds);

// Whether `text` is a full key id: 64 lower-case hexadecimal digits.
bool IsFullKeyId(std::string_view text);

// One kind of line of a strict text format: its first word, and whether it may repeat.
struct LineKind {
    std::string_view word;
    bool repeats;
};
// Reads `text` line by line, for the keys file and the records kept beside it. The first line
// is `header`; every other line is words separated by single spaces, the first one the word of
// one of `kinds`, which come in their order, those that do not repeat at most once. Every line
// ends with a line feed; no line is empty. `take` gets each line's kind (its index in `kinds`)
// and words, and returns "" or why it refuses the line. "" or "line N: WHY".
std::string ParseStrictLines(
    std::string_view text, std::string_view header, const std::vector<LineKind>& kinds,
    const std::function<std::string(size_t kind, const std::vector<std::string_view>& words)>&
        take);
