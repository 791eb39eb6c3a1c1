// A manifest that its key holder signed: the manifest and its detached signature MANIFEST.sig,
// each read once and whole, the signature verified over exactly those bytes with the public
// key, and the serial held against the last one loaded. Load and check then use those bytes
// and nothing else, so a file swapped or rewritten after the read changes nothing. A manifest
// named by a symbolic link has its signature beside the link's target, so that switching the
// link switches both at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "manifest/key.h"
#include "manifest/serial.h"

struct SignatureSettings {
    std::string keyPath;     // --key; empty when the manifest is not to be verified
    std::string serialFile;  // --serial-file, by default the installed one
};

struct VerifiedManifest {
    std::string bytes;
    uint64_t serial = 0;
    std::optional<uint64_t> recorded;  // the serial file's, when it has one
    ManifestKey key;
    // The error was a verdict on the manifest (its signature or its serial), not a file that
    // could not be read.
    bool refused = false;
};

// The detached signature's path beside `manifestFile`, the file that the manifest's path
// names (FinalTarget): the path as given, or the target of a link.
std::string SignaturePath(const std::string& manifestFile);

// Reads the manifest and the signature beside it and verifies them with `key`, already read,
// and reads the serial line; "" or the error line to report, after which nothing of it may be
// used; `refused` is set when the error is a verdict on the manifest rather than a file that
// could not be read. Holds the serial against no record: what reads a manifest without loading
// it, such as a comparison of an old one with a new one, has no rollback to refuse.
std::string ReadSignedManifest(const std::string& manifestPath, const ManifestKey& key,
                               std::string& bytes, uint64_t& serial, bool& refused);

// Reads the key and the manifest, verifies them and holds the serial against the record; "" or
// the error line to report, after which nothing of it may be used.
std::string ReadVerifiedManifest(const std::string& manifestPath, const SignatureSettings& settings,
                                 VerifiedManifest& manifest);

// "Verified MANIFEST: serial N, key ID", printed before a verified manifest is used.
std::string VerifiedLine(const std::string& manifestPath, uint64_t serial,
                         const std::string& keyId);
inline std::string VerifiedLine(const std::string& manifestPath, const VerifiedManifest& manifest) {
    return VerifiedLine(manifestPath, manifest.serial, manifest.key.Id());
}

// Raises the serial file to the manifest's serial when it records a lower one or none: called
// only once every entry has been loaded without an error. "" or the error line to report.
std::string RaiseRecordedSerial(const SignatureSettings& settings,
                                const VerifiedManifest& manifest);
