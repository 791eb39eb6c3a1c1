// The sign command: a manifest given a serial header and a detached signature, made with the
// key holder's private key, so that load and check can tell it from one that anybody wrote.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct SignSettings {
    std::string manifestPath;
    std::string keyPath;             // -k: a PEM private key
    std::optional<uint64_t> serial;  // --serial; the current time when absent
};

// Signs the manifest in place and writes MANIFEST.sig beside it; returns the exit status.
int SignManifest(const SignSettings& settings);
