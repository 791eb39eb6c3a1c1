// `keys install`: a keys file that the root key signed, newer than the one installed and not
// expired, put in place with its signature as one unit, and the record raised after it; the
// manifest in place must verify under it, or a replacement given with --with that does is put
// in place with it. Each install and each refusal is written to the audit log.
#pragma once

#include <functional>
#include <string>

#include "common/output_format.h"
#include "veriexec/audit_log.h"

// The steps of an install, in their order: each leaves a host that verifies when it is the last.
// A host's first install announces its keys file in the record before anything else.
enum class InstallStep {
    Announced,
    KeysFilled,
    ManifestFilled,
    KeysSwitched,
    ManifestSwitched,
    Recorded
};

struct KeysInstallSettings {
    std::string file;          // NEWFILE, its signature beside it
    std::string keyPath;       // --key: the root key, by default the trusted key
    std::string keysFile;      // --keys, by default the installed keys file
    std::string serialFile;    // --serial-file, by default the installed one
    std::string manifestPath;  // --manifest, by default the boot script's manifest
    std::string with;          // --with: the signed manifest to put in place with it
    // The root key, keys file and serial file installed with the program: while the facility
    // enforces, as `enforcing` tells, the only ones an install may use; and the boot script's
    // manifest.
    std::string installedKey = "";
    std::string installedKeysFile = "";
    std::string installedSerialFile = "";
    std::string installedManifest = "";
    std::function<bool()> enforcing = [] { return false; };
    OutputFormat format = OutputFormat::Text;
    AuditLog* audit = nullptr;
    // Told each step once it is done; false stops the install there, as a crash would. Tests
    // stop it so.
    std::function<bool(InstallStep)> stepDone = [](InstallStep) { return true; };
};

// Returns the exit status: 0 installed, or installed already; 1 refused or failed.
int InstallKeys(const KeysInstallSettings& settings);
