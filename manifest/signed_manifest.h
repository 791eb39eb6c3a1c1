// A manifest that its key holder signed: the manifest and its detached signature MANIFEST.sig,
// each read once and whole, the signature verified over exactly those bytes with the public
// key, and the serial held against the last one loaded. Load and check then use those bytes
// and nothing else, so a file swapped or rewritten after the read changes nothing. A manifest
// named by a symbolic link may have its signature beside the link's target, where sign writes
// it and a switch of the link moves it with the manifest, or beside the link, where a copy onto
// the link's name puts it: either verifies the bytes read, and the reader says which did.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/host_keys.h"
#include "manifest/key.h"
#include "manifest/serial.h"

struct SignatureSettings {
    std::string keyPath;     // --key, the root key; empty when the manifest is not verified
    std::string serialFile;  // --serial-file, by default the installed one
    std::string keysFile;    // --keys, by default the installed one
};

struct SignedManifest {
    std::string bytes;
    uint64_t serial = 0;
    std::string signaturePath;  // the signature file that verified the bytes
    std::string signature;      // what that file holds
    SigningKey signer;          // the key that verified them
    // The error was a verdict on the manifest (its signature or its serial), not a file that
    // could not be read.
    bool refused = false;
};

struct HeldManifest : SignedManifest {
    std::optional<uint64_t> recorded;  // the serial file's, when it has one
    // What a load of it warns about: the serial recorded, loaded again with a key past its
    // not-after date or an expired keys file, which refuse anything newer.
    std::string warning;
};

struct VerifiedManifest : HeldManifest {
    HostKeys keys;
};

// The keys that may have signed a manifest, from its bytes: "" or the refusal line.
using KeyChoice = std::function<std::string(std::string_view bytes, std::vector<SigningKey>& keys)>;

// The detached signature's path beside `manifestFile`: MANIFEST.sig.
std::string SignaturePath(const std::string& manifestFile);

// Reads the manifest once, then the signature beside the file read and, when the path is a
// link, the one beside the path as given, and takes the bytes when either verifies them with
// `key`, already read; then reads the serial line. "" or the error line to report, after which
// nothing of it may be used; `refused` is set when the error is a verdict on the manifest
// rather than a file that could not be read. Each signature file read is judged as every file
// that decides trust is; the one beside the link is read only when the other is missing or
// does not verify. Holds the serial against no record: what reads a manifest without loading
// it, such as a comparison of an old one with a new one, has no rollback to refuse.
std::string ReadSignedManifest(const std::string& manifestPath, const KeyChoice& choose,
                               SignedManifest& manifest);
std::string ReadSignedManifest(const std::string& manifestPath, const ManifestKey& key,
                               SignedManifest& manifest);

// Reads the manifest, verifies it with `keys` and holds its serial against the record in
// `serialFile`, as ReadVerifiedManifest does with the keys it reads.
std::string ReadHeldManifest(const std::string& manifestPath, const HostKeys& keys,
                             const std::string& serialFile, HeldManifest& manifest);
// Reads the root key, the keys of this host (see HostKeys) and the manifest, verifies it and
// holds its serial against the record: a serial above it is refused when its key is past its
// not-after date or its keys file expired, the one recorded loads with a warning. "" or the
// error line to report, after which nothing of it may be used.
std::string ReadVerifiedManifest(const std::string& manifestPath, const SignatureSettings& settings,
                                 VerifiedManifest& manifest);

// "Verified MANIFEST: serial N, key ID, signature SIGNATURE", printed before a verified
// manifest is used.
std::string VerifiedLine(const std::string& manifestPath, uint64_t serial, const std::string& keyId,
                         const std::string& signaturePath);
inline std::string VerifiedLine(const std::string& manifestPath, const VerifiedManifest& manifest) {
    return VerifiedLine(manifestPath, manifest.serial, manifest.signer.key->Id(),
                        manifest.signaturePath);
}

// Sets the serial file to the manifest's serial when it records another one or none (a lower
// one, or a higher one that a revocation let fall to the floor), after recording which key
// signed it when a keys file is installed: called only once every entry has been loaded
// without an error. The records are read again under their lock, so that what a keys install
// wrote since stays, and a serial that another raised since is not lowered. "" or the error
// line to report.
std::string RaiseRecordedSerial(const SignatureSettings& settings,
                                const VerifiedManifest& manifest);
// After a load that sent every entry and then failed all the same (the record's folder not
// flushed after the rename, its output not written): "Warning: every entry of MANIFEST was
// loaded, and the serial record FILE holds N: only what followed failed", when the record now
// holds `serial` or more; else "". Whoever switches manifests must not go back to an older one.
std::string RaisedRecordWarning(const std::string& manifestPath, const std::string& serialFile,
                                uint64_t serial);
