#include "manifest/signed_manifest.h"

#include <fmt/core.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/printable_path.h"
#include "manifest/trusted_file.h"

std::string SignaturePath(const std::string& manifestFile) {
    return manifestFile + ".sig";
}

namespace {

// "A" or "A or B" (`word` "or"), each shown safely.
std::string Named(const std::vector<std::string>& paths, const char* word) {
    std::string names = PrintablePath(paths.front());
    return paths.size() > 1 ? fmt::format("{} {} {}", names, word, PrintablePath(paths[1])) : names;
}

}  // namespace

std::string ReadSignedManifest(const std::string& manifestPath, const ManifestKey& key,
                               SignedManifest& manifest) {
    return ReadSignedManifest(
        manifestPath,
        [&key](std::string_view, std::vector<SigningKey>& keys) {
            keys = {{&key, std::nullopt, nullptr}};
            return std::string();
        },
        manifest);
}

std::string ReadSignedManifest(const std::string& manifestPath, const KeyChoice& choose,
                               SignedManifest& manifest) {
    FileRead file;
    if (std::string error =
            ReadTrustedFile(manifestPath, Exposure::Write, "cannot read manifest", file);
        !error.empty()) {
        return error;
    }
    std::vector<SigningKey> keys;
    if (std::string refusal = choose(file.bytes, keys); !refusal.empty()) {
        manifest.refused = true;
        return refusal;
    }
    // Beside the very file read first, then beside the link: a link switched meanwhile cannot
    // pair this manifest with another's signature, since only a signature of exactly these
    // bytes verifies them.
    std::vector<std::string> signatures{SignaturePath(file.target)};
    if (std::string besideLink = SignaturePath(manifestPath); besideLink != signatures.front()) {
        signatures.push_back(besideLink);
    }
    std::vector<std::string> missing, unverified;
    for (const std::string& path : signatures) {
        FileRead signature;
        std::string error =
            ReadTrustedFile(path, Exposure::Write, "cannot read signature file", signature);
        if (signature.refusal.empty() && signature.error == ENOENT) {
            missing.push_back(path);
        } else if (!error.empty()) {
            return error;
        } else {
            for (const SigningKey& key : keys) {
                if (key.key->Verify(file.bytes, signature.bytes)) {
                    manifest.signaturePath = path;
                    manifest.signature = std::move(signature.bytes);
                    manifest.signer = key;
                    break;
                }
            }
            if (!manifest.signaturePath.empty()) {
                break;
            }
            unverified.push_back(path);
        }
    }
    if (manifest.signaturePath.empty() && unverified.empty()) {
        return fmt::format("Error: cannot read signature file {}: {}\n", Named(missing, "or"),
                           std::strerror(ENOENT));
    }
    if (manifest.signaturePath.empty()) {
        manifest.refused = true;
        std::string ids;
        for (const SigningKey& key : keys) {
            ids += (ids.empty() ? "" : ", ") + key.key->Id();
        }
        return fmt::format(
            "Error: manifest signature does not verify: {} (key {}{})\n",
            PrintablePath(manifestPath), ids,
            unverified.size() > 1 ? "; neither " + Named(unverified, "nor") + " signs it" : "");
    }
    std::optional<uint64_t> header = SerialOfHeader(file.bytes);
    if (!header) {
        manifest.refused = true;
        return fmt::format("Error: manifest has no serial line: {}\n", PrintablePath(manifestPath));
    }
    manifest.bytes = std::move(file.bytes);
    manifest.serial = *header;
    return "";
}

std::string ReadVerifiedManifest(const std::string& manifestPath, const SignatureSettings& settings,
                                 VerifiedManifest& manifest) {
    std::string error =
        manifest.keys.Read(settings.keyPath, settings.serialFile, settings.keysFile);
    return error.empty()
               ? ReadHeldManifest(manifestPath, manifest.keys, settings.serialFile, manifest)
               : error;
}

std::string ReadHeldManifest(const std::string& manifestPath, const HostKeys& keys,
                             const std::string& serialFile, HeldManifest& manifest) {
    std::string error = ReadSignedManifest(
        manifestPath,
        [&keys, &manifestPath](std::string_view bytes, std::vector<SigningKey>& candidates) {
            return keys.Candidates(bytes, manifestPath, candidates);
        },
        manifest);
    if (error.empty()) {
        error = ReadRecordedSerial(serialFile, manifest.recorded);
    }
    if (!error.empty()) {
        return error;
    }
    std::optional<uint64_t> recorded = keys.Recorded(manifest.recorded);
    if (recorded && manifest.serial < *recorded) {
        manifest.refused = true;
        return fmt::format(
            "Error: manifest serial {} is older than the last one loaded ({}, recorded in {}): "
            "refusing a rollback\n",
            manifest.serial, *recorded, PrintablePath(serialFile));
    }
    // A wrong clock must not leave a host unprotected: what loaded already loads again. That is
    // the serial recorded, signed by the key recorded with it: not the floor it may fall to, nor
    // another manifest of its serial, which a revoked key could sign.
    std::string expired = keys.Expired(manifest.signer, std::time(nullptr));
    if (expired.empty()) {
        return "";
    }
    if (manifest.recorded && manifest.serial == *manifest.recorded &&
        keys.SignedRecorded(manifest.signer, manifest.serial, Sha256Hex(manifest.bytes))) {
        manifest.warning = fmt::format("Warning: {}: {}; it signs no newer manifest\n",
                                       PrintablePath(manifestPath), expired);
        return "";
    }
    manifest.refused = true;
    const char* where = "above the record";
    if (manifest.recorded && manifest.serial <= *manifest.recorded) {
        // Another manifest of the serial recorded, or one below it that the floor lets through.
        where = manifest.serial == *manifest.recorded ? "the one recorded" : "below the record";
    }
    return fmt::format("Error: manifest {} has serial {}, {}, but {}\n",
                       PrintablePath(manifestPath), manifest.serial, where, expired);
}

std::string VerifiedLine(const std::string& manifestPath, uint64_t serial, const std::string& keyId,
                         const std::string& signaturePath) {
    return fmt::format("Verified {}: serial {}, key {}, signature {}\n",
                       PrintablePath(manifestPath), serial, keyId, PrintablePath(signaturePath));
}

std::string RaiseRecordedSerial(const SignatureSettings& settings,
                                const VerifiedManifest& manifest) {
    // Read again under the lock: a keys install may have raised the records since they were
    // read to verify the manifest, and what it wrote stays.
    RecordLock lock(settings.serialFile);
    if (!lock.Error().empty()) {
        return lock.Error();
    }
    std::optional<KeysRecord> record;
    std::optional<uint64_t> recorded;
    std::string path = KeysRecordPath(settings.serialFile);
    if (std::string error = ReadKeysRecord(path, record); !error.empty()) {
        return error;
    }
    if (std::string error = ReadRecordedSerial(settings.serialFile, recorded); !error.empty()) {
        return error;
    }
    // Which key signed the serial recorded, and the manifest itself, before the serial: a
    // revocation of that key lets the record fall to the floor.
    if (record && manifest.signer.file != nullptr) {
        const std::string& id = manifest.signer.key->FullId();
        std::string digest = Sha256Hex(manifest.bytes);
        if (!record->Signed(manifest.serial, id, digest)) {
            record->RecordSigner(manifest.serial, id, digest);
            if (std::string error = WriteKeysRecord(path, *record); !error.empty()) {
                return error;
            }
        }
    }
    // A serial that another raised since the manifest was judged stays; the record that a floor
    // let this manifest below falls to its serial, as judged.
    if (recorded == manifest.serial ||
        (recorded > manifest.serial && recorded != manifest.recorded)) {
        return "";
    }
    return RecordSerial(settings.serialFile, manifest.serial);
}

std::string RaisedRecordWarning(const std::string& manifestPath, const std::string& serialFile,
                                uint64_t serial) {
    std::optional<uint64_t> recorded;
    if (!ReadRecordedSerial(serialFile, recorded).empty() || !recorded || *recorded < serial) {
        return "";
    }
    return fmt::format(
        "Warning: every entry of {} was loaded, and the serial record {} holds {}: only what "
        "followed failed\n",
        PrintablePath(manifestPath), PrintablePath(serialFile), *recorded);
}
