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

// Reads and verifies the manifest; "" or the error line to report, after which nothing of it
// may be used.
std::string ReadVerifiedManifest(const std::string& manifestPath, const SignatureSettings& settings,
                                 VerifiedManifest& manifest);

// "Verified MANIFEST: serial N, key ID", printed before a verified manifest is used.
std::string VerifiedLine(const std::string& manifestPath, const VerifiedManifest& manifest);

// Raises the serial file to the manifest's serial when it records a lower one or none: called
// only once every entry has been loaded without an error. "" or the error line to report.
std::string RaiseRecordedSerial(const SignatureSettings& settings,
                                const VerifiedManifest& manifest);
