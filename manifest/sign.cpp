#include "manifest/sign.h"

#include <fmt/core.h>

#include <ctime>
#include <iostream>

#include "common/replacement_file.h"
#include "manifest/format.h"
#include "manifest/key.h"
#include "manifest/reader.h"
#include "manifest/serial.h"
#include "manifest/signed_manifest.h"
#include "manifest/trusted_file.h"

namespace {

std::string Sign(const SignSettings& settings, uint64_t serial, ManifestKey& key) {
    if (std::string error = key.ReadFile(settings.keyPath, KeyPart::Private); !error.empty()) {
        return error;
    }
    FileRead manifest;
    if (std::string error = ReadTrustedFile(settings.manifestPath, Exposure::Write,
                                            "cannot read manifest", manifest);
        !error.empty()) {
        return error;
    }
    // A signed manifest that load finds faults in is refused where it is made, not at boot.
    if (std::string bad = ManifestReader::FirstBadLine(manifest.bytes); !bad.empty()) {
        return fmt::format("Error: refusing to sign {}: {}\n", settings.manifestPath, bad);
    }
    // Both written where the manifest was read, never through a link planted there, and both
    // judged before either is written.
    ReplacementFile manifestFile(manifest.target, ReplacementFile::Target::RegularOnly);
    ReplacementFile signatureFile(SignaturePath(manifest.target),
                                  ReplacementFile::Target::RegularOnly);
    if (int error = manifestFile.Check(); error != 0) {
        return manifestFile.ErrorLine("manifest file", error);
    }
    if (int error = signatureFile.Check(); error != 0) {
        return signatureFile.ErrorLine("signature file", error);
    }
    // Its replacement would keep its mode: one that load refuses would stay refused.
    if (FileRead old =
            ReadTrustedFile(SignaturePath(manifest.target), Exposure::Write, FinalLink::Refused);
        !old.refusal.empty()) {
        return fmt::format("Error: refusing {}: {}\n", SignaturePath(manifest.target), old.refusal);
    }
    std::string bytes = WithSerialHeader(manifest.bytes, serial);
    std::string signature;
    if (std::string reason = key.Sign(bytes, signature); !reason.empty()) {
        return fmt::format("Error: cannot sign {}: {}\n", settings.manifestPath, reason);
    }
    // The manifest first: until its new signature is in place, the old one no longer verifies,
    // and a load refuses the manifest rather than take it.
    if (int error = manifestFile.Replace({bytes}); error != 0) {
        return manifestFile.ErrorLine("manifest file", error);
    }
    int error = signatureFile.Replace({signature});
    return error == 0 ? "" : signatureFile.ErrorLine("signature file", error);
}

}  // namespace

int SignManifest(const SignSettings& settings) {
    uint64_t serial =
        settings.serial ? *settings.serial : static_cast<uint64_t>(std::time(nullptr));
    ManifestKey key;
    if (std::string error = Sign(settings, serial, key); !error.empty()) {
        std::cerr << error;
        return 1;
    }
    std::cout << fmt::format("Signed {}: serial {}, key {}\n", settings.manifestPath, serial,
                             key.Id());
    return 0;
}
