// The private key that sign and keys sign use, opened in an OpenSSL library context of the
// signing run's own: a PEM file, encrypted or not, or an OSSL_STORE URI (pkcs11:, handle:,
// object:, file:) through the providers the run loads beside the default one.
#pragma once

#include <string>
#include <vector>

class ManifestKey;

struct SigningKeySettings {
    std::string location;                // -k: a PEM file, or a URI
    std::string passin;                  // --passin: where a passphrase or PIN comes from
    std::vector<std::string> providers;  // --provider, each loaded into the run's context
};

// Whether -k names a URI rather than a file: a scheme, letters, digits, '+', '-' or '.' from a
// letter on, then ':', with no '/' before it (./a:b is the file a:b).
bool IsKeyUri(const std::string& location);

// Opens the key into `key`; "" or the error line to report. A passphrase or PIN is obtained
// only when the key asks for one, and given once.
std::string OpenSigningKey(const SigningKeySettings& settings, ManifestKey& key);
