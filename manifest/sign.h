// The sign command: a manifest given a serial header and a detached signature, made with the
// key holder's private key, so that load and check can tell it from one that anybody wrote.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/replacement_file.h"
#include "manifest/signing_key.h"

struct SignSettings {
    std::string manifestPath;
    SigningKeySettings key;          // -k, --passin, --provider
    std::optional<uint64_t> serial;  // --serial; the current time when absent
};

// Signs the manifest in place and writes MANIFEST.sig beside it; returns the exit status.
int SignManifest(const SignSettings& settings);

// A signed file and its detached signature, written as sign writes a manifest and its
// signature: both where the file was read, never through a link, and both judged before
// either is written.
class SignedPair {
  public:
    // `what` names the file in messages: "manifest file", "keys file".
    SignedPair(const std::string& file, const std::string& signature, std::string_view what);
    // "" or the error line: either is a link or not a regular file, or the signature in place
    // is one that a reader would refuse, since its replacement would keep its mode and owner.
    std::string Check() const;
    // Replaces the file with `bytes`, then the signature with `signature`; "" or the error line.
    std::string Replace(std::string_view bytes, std::string_view signature) const;

  private:
    ReplacementFile file_, signature_;
    std::string signaturePath_, what_;
};
