#include "manifest/signed_manifest.h"

#include <fmt/core.h>

#include "manifest/trusted_file.h"

std::string SignaturePath(const std::string& manifestFile) {
    return manifestFile + ".sig";
}

std::string ReadSignedManifest(const std::string& manifestPath, const ManifestKey& key,
                               std::string& bytes, uint64_t& serial, bool& refused) {
    FileRead file, signature;
    std::string error =
        ReadTrustedFile(manifestPath, Exposure::Write, "cannot read manifest", file);
    // Beside the very file read: a link switched meanwhile cannot pair this manifest with
    // another's signature.
    if (error.empty()) {
        error = ReadTrustedFile(SignaturePath(file.target), Exposure::Write,
                                "cannot read signature file", signature);
    }
    if (!error.empty()) {
        return error;
    }
    if (!key.Verify(file.bytes, signature.bytes)) {
        refused = true;
        return fmt::format("Error: manifest signature does not verify: {} (key {})\n", manifestPath,
                           key.Id());
    }
    std::optional<uint64_t> header = SerialOfHeader(file.bytes);
    if (!header) {
        refused = true;
        return fmt::format("Error: manifest has no serial line: {}\n", manifestPath);
    }
    bytes = std::move(file.bytes);
    serial = *header;
    return "";
}

std::string ReadVerifiedManifest(const std::string& manifestPath, const SignatureSettings& settings,
                                 VerifiedManifest& manifest) {
    std::string error = manifest.key.ReadFile(settings.keyPath, KeyPart::Public);
    if (error.empty()) {
        error = ReadSignedManifest(manifestPath, manifest.key, manifest.bytes, manifest.serial,
                                   manifest.refused);
    }
    if (error.empty()) {
        error = ReadRecordedSerial(settings.serialFile, manifest.recorded);
    }
    if (!error.empty()) {
        return error;
    }
    if (manifest.recorded && manifest.serial < *manifest.recorded) {
        manifest.refused = true;
        return fmt::format(
            "Error: manifest serial {} is older than the last one loaded ({}, recorded in {}): "
            "refusing a rollback\n",
            manifest.serial, *manifest.recorded, settings.serialFile);
    }
    return "";
}

std::string VerifiedLine(const std::string& manifestPath, uint64_t serial,
                         const std::string& keyId) {
    return fmt::format("Verified {}: serial {}, key {}\n", manifestPath, serial, keyId);
}

std::string RaiseRecordedSerial(const SignatureSettings& settings,
                                const VerifiedManifest& manifest) {
    if (manifest.recorded && *manifest.recorded >= manifest.serial) {
        return "";
    }
    return RecordSerial(settings.serialFile, manifest.serial);
}
