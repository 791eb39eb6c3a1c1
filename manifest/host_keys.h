// The keys that may sign manifests on this host. A host that never installed a keys file trusts
// the root key alone, as it always did; once the record beside the serial record names an
// installed keys file, only the signing keys that file lists, less every key ever revoked, the
// file read once, verified with the root key and held against the record on each use. While a
// first install is under way, the root key and the keys file it announces both count.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/key.h"
#include "manifest/keys_file.h"
#include "manifest/keys_record.h"

// A keys file read whole and verified with the root key.
struct InstalledKeys {
    std::string path;    // as named
    std::string target;  // the file read: the slot that a link at `path` leads to
    std::string bytes;
    std::string signature;  // the root key's, that verified `bytes`
    std::string digest;     // SHA-256 of `bytes`
    KeysFile file;
};

// One key that may have signed a manifest, and what limits it.
struct SigningKey {
    const ManifestKey* key = nullptr;
    std::optional<int64_t> notAfter;
    const InstalledKeys* file = nullptr;  // the keys file that lists it; none for the root key
};

class HostKeys {
  public:
    // Reads the root key at `rootPath`, the keys record beside `serialFile` and, when there is
    // one, the keys file at `keysFile`, which must verify with the root key and be the one
    // recorded, or a newer one that an install cut short left in place: the one recorded is
    // then read from the other slot too, so that the manifest in place verifies under either.
    // A first install cut short leaves no keys file recorded, only the one it announced, which
    // counts beside the root key once in place. "" or the error line to report.
    std::string Read(const std::string& rootPath, const std::string& serialFile,
                     const std::string& keysFile);
    // Takes `keys` as the installed keys file: the record, in memory, now names it and holds its
    // revocations too, as installing it makes it.
    void Install(std::unique_ptr<InstalledKeys> keys);

    const ManifestKey& Root() const { return root_; }
    const std::optional<KeysRecord>& Record() const { return record_; }
    // The keys file in place, verified; null on a host that never installed one.
    const InstalledKeys* InPlace() const { return inPlace_.get(); }
    // Whether the keys file in place is newer than the record: an install was cut short.
    bool CutShort() const { return recordedFile_ != nullptr || (inPlace_ && Behind()); }
    // Whether no keys file is recorded as installed yet, the announced one in place or not.
    bool FirstInstall() const { return !record_ || !record_->Installed(); }

    // The keys that may have signed the manifest `bytes` at `path`: the one its key line names,
    // or without one every key listed and not revoked; the root key alone without a record.
    // "" or the error line that refuses it, naming the key and why.
    std::string Candidates(std::string_view bytes, const std::string& path,
                           std::vector<SigningKey>& keys) const;
    // The serial record as manifests are held against it: when the key that signed the serial
    // recorded is revoked, it falls to the floor of the keys file in place.
    std::optional<uint64_t> Recorded(std::optional<uint64_t> serialRecord) const;
    // Why `key` may sign no manifest but the one recorded, at `now`: the key past its not-after
    // date, its keys file expired, or the key revoked or dropped by the keys file that an
    // install cut short left in place; "" when it may.
    std::string Expired(const SigningKey& key, std::time_t now) const;
    // Whether the record names `key` as a signer of the manifest of `serial` and SHA-256
    // `digest`.
    bool SignedRecorded(const SigningKey& key, uint64_t serial, const std::string& digest) const {
        return record_ && record_->Signed(serial, key.key->FullId(), digest);
    }

  private:
    bool Behind() const;
    // Takes the keys file at `keysFile` as in place when it is the one a first install announced.
    void ReadAnnounced(const std::string& keysFile);
    // Adds the keys of `file` that may have signed a manifest that names `named`; "" or why the
    // key named may not.
    std::string CandidatesOf(const InstalledKeys& file, const std::optional<std::string>& named,
                             const std::string& path, std::vector<SigningKey>& keys) const;
    std::set<std::string> Revoked(const InstalledKeys& keys) const;

    ManifestKey root_;
    std::optional<KeysRecord> record_;
    std::unique_ptr<InstalledKeys> inPlace_;
    std::unique_ptr<InstalledKeys> recordedFile_;  // the other slot's, after an install cut short
};

// Reads the keys file at `path` and its signature, FILE.sig beside the file read or beside
// `path`, and verifies the bytes with `root`; "" or the error line.
std::string ReadInstalledKeys(const std::string& path, const ManifestKey& root,
                              InstalledKeys& keys);
// The other slot of the keys file read as `target`: KEYS.b for KEYS.a and the other way round;
// "" when `target` is no slot.
std::string OtherSlot(const std::string& target);
