// What a host records beside its serial record once it has installed a keys file: that file's
// serial and digest, every key id ever revoked, so that no later keys file can undo a
// revocation, and which keys signed the manifest serial recorded; before that, the digest of the
// keys file that a first install is putting in place. The file is kept under the serial
// record's rules: read and replaced whole, never through a link.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

// The first line of the record: its format and version.
inline constexpr std::string_view KeysRecordHeader = "pelmor-sign keys record 1";

struct KeysRecord {
    uint64_t keysSerial = 0;
    std::string keysDigest;  // SHA-256 of the installed keys file, 64 hex digits
    // Until a first install raises the record: the SHA-256 of the keys file it puts in place.
    std::string pendingDigest;
    std::set<std::string> revoked;         // full ids
    std::optional<uint64_t> signedSerial;  // the manifest serial that `signers` signed
    // Full id of each key that signed a manifest of `signedSerial`, and the SHA-256 of the last
    // one it signed, so that the record names the very manifest and not only its serial.
    std::map<std::string, std::string> signers;

    // Whether a keys file is recorded as installed; a record only announces a first install
    // until then.
    bool Installed() const { return !keysDigest.empty(); }
    // Takes the keys file of `serial`, whose bytes have the SHA-256 `digest`, as the one
    // installed. "" or why it is refused, the record unchanged: a serial below the recorded
    // one, or the same serial with other bytes. A record without a digest yet takes any.
    std::string RaiseKeysFile(uint64_t serial, const std::string& digest);
    // Adds the full ids `ids` to the revoked ones; none is ever removed.
    void AddRevoked(const std::set<std::string>& ids);
    // Records that the key of full id `id` signed the manifest of `serial` whose bytes have the
    // SHA-256 `digest`, the serial record's from now on: the signers of another serial are
    // forgotten, those of the same one kept.
    void RecordSigner(uint64_t serial, const std::string& id, const std::string& digest);
    // Whether the key of full id `id` signed the manifest of `serial` and SHA-256 `digest`.
    bool Signed(uint64_t serial, const std::string& id, const std::string& digest) const;
};

// The record's path beside the serial file: SERIALFILE.keys.
std::string KeysRecordPath(const std::string& serialFile);

// Reads the text of a record; "" or "line N: WHY" for the first line refused.
std::string ParseKeysRecord(std::string_view text, KeysRecord& record);
// The one text of `record`, which has a digest or a pending one, the only form ParseKeysRecord
// takes.
std::string FormatKeysRecord(const KeysRecord& record);

// Reads the record at `path`: nullopt in `record` when there is none yet. "" or the error line
// to report: a record that is damaged, a symbolic link or not a regular file is refused,
// never taken for none.
std::string ReadKeysRecord(const std::string& path, std::optional<KeysRecord>& record);
// Replaces the record at `path` whole, as the serial record is; "" or the error line.
std::string WriteKeysRecord(const std::string& path, const KeysRecord& record);
