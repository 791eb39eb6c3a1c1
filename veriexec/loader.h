// The load command: sends every entry line of a manifest to the kernel facility, with the
// warnings, counts and summary of a load; a signed manifest is verified first and its serial
// recorded once every entry has loaded, and under enforce nothing but a manifest signed with
// the installed key is loaded.
#pragma once

#include <string>

#include "signature/signed_manifest.h"

struct LoadSettings {
    std::string manifestPath;
    SignatureSettings signature;  // its key path is empty for a manifest loaded unverified
    // The public key installed with the program: while the facility enforces, only a manifest
    // signed with it is loaded, since a trusted loader would otherwise let anyone who can run
    // it as root decide what runs.
    std::string trustedKeyPath;
};

// Loads the manifest into the kernel facility; returns the exit status of `load`.
int LoadManifest(const LoadSettings& settings);
