// The load command: sends every entry line of a manifest to the kernel facility, with the
// warnings, counts and summary of a load; a signed manifest is verified first and its serial
// recorded once every entry has loaded.
#pragma once

#include <string>

#include "signature/signed_manifest.h"

struct LoadSettings {
    std::string manifestPath;
    SignatureSettings signature;  // its key path is empty for a manifest loaded unverified
};

// Loads the manifest into the kernel facility; returns the exit status of `load`.
int LoadManifest(const LoadSettings& settings);
