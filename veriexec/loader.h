// The load command: sends every entry line of a manifest to the kernel facility, with the
// warnings, counts and summary of a load; a signed manifest is verified first and its serial
// recorded once every entry has loaded. Under enforce, as the state read before each entry, once
// its line is read, says, nothing but a manifest signed with the installed key is loaded, with
// the installed serial file. Each load and each manifest refused is written to the audit log.
#pragma once

#include <string>

#include "manifest/signed_manifest.h"
#include "veriexec/audit_log.h"

struct LoadSettings {
    std::string manifestPath;
    SignatureSettings signature;  // its key path is empty for a manifest loaded unverified
    // The public key installed with the program: while the facility enforces, only a manifest
    // signed with it is loaded, since a trusted loader would otherwise let anyone who can run
    // it as root decide what runs.
    std::string trustedKeyPath;
    // The serial file installed with the program: while the facility enforces, the only one
    // used, so that no other path, nor a missing record, lets an older manifest load again.
    std::string installedSerialFile;
    // The keys file installed with the program: while the facility enforces, the only one that
    // names the keys that sign manifests.
    std::string installedKeysFile;
};

// Loads the manifest into the kernel facility; returns the exit status of `load`.
int LoadManifest(const LoadSettings& settings, AuditLog& audit);
