#include "manifest/sign.h"

#include <fmt/core.h>

#include <ctime>
#include <iostream>

#include "common/printable_path.h"
#include "manifest/format.h"
#include "manifest/key.h"
#include "manifest/reader.h"
#include "manifest/serial.h"
#include "manifest/signed_manifest.h"
#include "manifest/signing_key.h"
#include "manifest/trusted_file.h"

namespace {

std::string Sign(const SignSettings& settings, uint64_t serial, ManifestKey& key) {
    if (std::string error = OpenSigningKey(settings.key, key); !error.empty()) {
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
        return fmt::format("Error: refusing to sign {}: {}\n", PrintablePath(settings.manifestPath),
                           bad);
    }
    // Both written where the manifest was read, never through a link planted there.
    SignedPair pair(manifest.target, SignaturePath(manifest.target), "manifest file");
    if (std::string error = pair.Check(); !error.empty()) {
        return error;
    }
    std::string bytes = WithSignedHeader(manifest.bytes, serial, key.FullId());
    std::string signature;
    if (std::string reason = key.Sign(bytes, signature); !reason.empty()) {
        return fmt::format("Error: cannot sign {}: {}\n", PrintablePath(settings.manifestPath),
                           reason);
    }
    return pair.Replace(bytes, signature);
}

}  // namespace

SignedPair::SignedPair(const std::string& file, const std::string& signature, std::string_view what)
    : file_(file, ReplacementFile::Target::RegularOnly),
      signature_(signature, ReplacementFile::Target::RegularOnly),
      signaturePath_(signature),
      what_(what) {}

std::string SignedPair::Check() const {
    if (int error = file_.Check(); error != 0) {
        return file_.ErrorLine(what_, error);
    }
    if (int error = signature_.Check(); error != 0) {
        return signature_.ErrorLine("signature file", error);
    }
    // Its replacement would keep its mode: one that a reader refuses would stay refused.
    if (FileRead old = ReadTrustedFile(signaturePath_, Exposure::Write, FinalLink::Refused);
        !old.refusal.empty()) {
        return fmt::format("Error: refusing {}: {}\n", PrintablePath(signaturePath_), old.refusal);
    }
    return "";
}

std::string SignedPair::Replace(std::string_view bytes, std::string_view signature) const {
    // The file first: until its new signature is in place, the old one no longer verifies, and
    // a reader refuses the file rather than take it.
    if (int error = file_.Replace({bytes}); error != 0) {
        return file_.ErrorLine(what_, error);
    }
    int error = signature_.Replace({signature});
    return error == 0 ? "" : signature_.ErrorLine("signature file", error);
}

int SignManifest(const SignSettings& settings) {
    uint64_t serial =
        settings.serial ? *settings.serial : static_cast<uint64_t>(std::time(nullptr));
    ManifestKey key;
    if (std::string error = Sign(settings, serial, key); !error.empty()) {
        std::cerr << error;
        return 1;
    }
    std::cout << fmt::format("Signed {}: serial {}, key {}\n", PrintablePath(settings.manifestPath),
                             serial, key.Id());
    return 0;
}
