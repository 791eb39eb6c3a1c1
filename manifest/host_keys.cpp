#include "manifest/host_keys.h"

#include <fmt/core.h>

#include <cerrno>
#include <cstring>

#include "common/printable_path.h"
#include "manifest/serial.h"
#include "manifest/trusted_file.h"

namespace {

bool Passed(const std::optional<int64_t>& date, std::time_t now) {
    return date && now > *date;
}

}  // namespace

std::string ReadInstalledKeys(const std::string& path, const ManifestKey& root,
                              InstalledKeys& keys) {
    FileRead read;
    if (std::string error = ReadKeysFile(path, read, keys.file); !error.empty()) {
        return error;
    }
    std::vector<std::string> signatures{KeysSignaturePath(read.target)};
    if (KeysSignaturePath(path) != signatures.front()) {
        signatures.push_back(KeysSignaturePath(path));
    }
    bool verified = false, found = false;
    std::string missing;
    for (const std::string& each : signatures) {
        FileRead signature;
        std::string error =
            ReadTrustedFile(each, Exposure::Write, "cannot read signature file", signature);
        if (signature.refusal.empty() && signature.error == ENOENT) {
            missing = missing.empty() ? error : missing;
            continue;
        }
        if (!error.empty()) {
            return error;
        }
        found = true;
        if (VerifyKeysFile(root, read.bytes, signature.bytes)) {
            keys.signature = std::move(signature.bytes);
            verified = true;
            break;
        }
    }
    if (!found) {
        return missing;
    }
    if (!verified) {
        return fmt::format("Error: keys file signature does not verify: {} (root key {})\n",
                           PrintablePath(path), root.Id());
    }
    if (std::string missing = MissingFromSigned(keys.file); !missing.empty()) {
        return fmt::format("Error: keys file {} is {}\n", PrintablePath(path), missing);
    }
    keys.path = path;
    keys.target = read.target;
    keys.bytes = std::move(read.bytes);
    keys.digest = Sha256Hex(keys.bytes);
    return "";
}

std::string OtherSlot(const std::string& target) {
    if (target.size() < 2 || target[target.size() - 2] != '.') {
        return "";
    }
    char slot = target.back();
    return slot == 'a' || slot == 'b'
               ? target.substr(0, target.size() - 1) + (slot == 'a' ? 'b' : 'a')
               : "";
}

std::string HostKeys::Read(const std::string& rootPath, const std::string& serialFile,
                           const std::string& keysFile) {
    if (std::string error = root_.ReadFile(rootPath, KeyPart::Public); !error.empty()) {
        return error;
    }
    std::string recordPath = KeysRecordPath(serialFile);
    if (std::string error = ReadKeysRecord(recordPath, record_); !error.empty() || !record_) {
        return error;
    }
    if (!record_->Installed()) {
        ReadAnnounced(keysFile);
        return "";
    }
    // Once a keys file is recorded, a missing one is refused, never taken for a host without.
    auto keys = std::make_unique<InstalledKeys>();
    if (std::string error = ReadInstalledKeys(keysFile, root_, *keys); !error.empty()) {
        return error;
    }
    uint64_t serial = *keys->file.serial;
    if (serial < record_->keysSerial) {
        return fmt::format(
            "Error: keys file {} has serial {}, older than the one recorded in {} ({}): refusing "
            "a rollback\n",
            PrintablePath(keysFile), serial, PrintablePath(recordPath), record_->keysSerial);
    }
    if (serial == record_->keysSerial && keys->digest != record_->keysDigest) {
        return fmt::format(
            "Error: keys file {} has serial {}, the one recorded in {}, but other contents\n",
            PrintablePath(keysFile), serial, PrintablePath(recordPath));
    }
    inPlace_ = std::move(keys);
    if (!Behind()) {
        return "";
    }
    // An install cut short between switching the keys file and raising the record: the one
    // recorded still counts, from the slot that the switch left it in, until the record names
    // the new one.
    std::string other = OtherSlot(inPlace_->target);
    auto recorded = std::make_unique<InstalledKeys>();
    if (!other.empty() && ReadInstalledKeys(other, root_, *recorded).empty() &&
        recorded->digest == record_->keysDigest) {
        recordedFile_ = std::move(recorded);
    }
    return "";
}

void HostKeys::ReadAnnounced(const std::string& keysFile) {
    // None yet, or any other keys file in place, even one that does not verify, was put there
    // by hand, not by the install: the root key alone, as on a host with no record.
    auto keys = std::make_unique<InstalledKeys>();
    if (ReadInstalledKeys(keysFile, root_, *keys).empty() &&
        keys->digest == record_->pendingDigest) {
        inPlace_ = std::move(keys);
    }
}

void HostKeys::Install(std::unique_ptr<InstalledKeys> keys) {
    if (!record_) {
        record_.emplace();
    }
    record_->keysSerial = *keys->file.serial;
    record_->keysDigest = keys->digest;
    record_->pendingDigest.clear();
    record_->AddRevoked(keys->file.revoked);
    inPlace_ = std::move(keys);
    recordedFile_.reset();
}

bool HostKeys::Behind() const {
    return record_ && inPlace_ && inPlace_->digest != record_->keysDigest;
}

std::set<std::string> HostKeys::Revoked(const InstalledKeys& keys) const {
    std::set<std::string> revoked = keys.file.revoked;
    if (record_) {
        revoked.insert(record_->revoked.begin(), record_->revoked.end());
    }
    return revoked;
}

std::string HostKeys::CandidatesOf(const InstalledKeys& file,
                                   const std::optional<std::string>& named, const std::string& path,
                                   std::vector<SigningKey>& keys) const {
    std::set<std::string> revoked = Revoked(file);
    if (!named) {
        for (const auto& [id, listed] : file.file.keys) {
            if (revoked.count(id) == 0) {
                keys.push_back({&listed.key, listed.notAfter, &file});
            }
        }
        return "";
    }
    std::string shortId = named->substr(0, 16);
    auto listed = file.file.keys.find(*named);
    if (revoked.count(*named) != 0) {
        return fmt::format("Error: key {} of manifest {} is revoked\n", shortId,
                           PrintablePath(path));
    }
    if (listed == file.file.keys.end()) {
        return fmt::format("Error: key {} of manifest {} is not in the keys file {}\n", shortId,
                           PrintablePath(path), PrintablePath(file.path));
    }
    keys.push_back({&listed->second.key, listed->second.notAfter, &file});
    return "";
}

std::string HostKeys::Candidates(std::string_view bytes, const std::string& path,
                                 std::vector<SigningKey>& keys) const {
    keys.clear();
    std::optional<std::string> named = SignerOfHeader(bytes);
    // Until a first install is recorded, the manifest in place may be the one the root key
    // signed before it or the one the announced keys file takes.
    if (FirstInstall() && (!inPlace_ || !named || *named == root_.FullId())) {
        keys.push_back({&root_, std::nullopt, nullptr});
    }
    if (!inPlace_) {
        return "";
    }
    std::string refusal;
    // The keys file in place says why; the one an install cut short left recorded only widens
    // what verifies.
    for (const InstalledKeys* file : {inPlace_.get(), recordedFile_.get()}) {
        if (file != nullptr) {
            std::string why = CandidatesOf(*file, named, path, keys);
            refusal = refusal.empty() ? why : refusal;
        }
    }
    if (!keys.empty()) {
        return "";
    }
    return !refusal.empty()
               ? refusal
               : fmt::format(
                     "Error: manifest {} names no key, and the keys file {} lists none "
                     "that is not revoked\n",
                     PrintablePath(path), PrintablePath(inPlace_->path));
}

std::optional<uint64_t> HostKeys::Recorded(std::optional<uint64_t> serialRecord) const {
    if (!serialRecord || !record_ || !inPlace_ || record_->signedSerial != serialRecord ||
        !inPlace_->file.floor || *inPlace_->file.floor >= *serialRecord) {
        return serialRecord;
    }
    std::set<std::string> revoked = Revoked(*inPlace_);
    for (const auto& [signer, digest] : record_->signers) {
        if (revoked.count(signer) != 0) {
            return inPlace_->file.floor;
        }
    }
    return serialRecord;
}

std::string HostKeys::Expired(const SigningKey& key, std::time_t now) const {
    if (key.file == nullptr) {
        return "";
    }
    // Counted only until the install cut short completes, a key that the keys file in place
    // revokes or no longer lists verifies the manifest it signed before, and nothing else.
    if (const std::string& id = key.key->FullId();
        key.file == recordedFile_.get() &&
        (inPlace_->file.revoked.count(id) != 0 || inPlace_->file.keys.count(id) == 0)) {
        return fmt::format("key {} is {} the keys file {}", key.key->Id(),
                           inPlace_->file.revoked.count(id) != 0 ? "revoked by" : "not in",
                           PrintablePath(inPlace_->path));
    }
    if (Passed(key.notAfter, now)) {
        return fmt::format("key {} is past its not-after date ({})", key.key->Id(),
                           FormatUtcDate(*key.notAfter));
    }
    if (Passed(key.file->file.expires, now)) {
        return fmt::format("the keys file {} expired at {}", PrintablePath(key.file->path),
                           FormatUtcDate(*key.file->file.expires));
    }
    return "";
}
