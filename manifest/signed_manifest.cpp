#include "manifest/signed_manifest.h"

#include <fmt/core.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/printable_path.h"
#include "manifest/trusted_file.h"

std::string SignaturePath(const std::string& manifestFile) {
    return manifestFile + ".sig";
}

namespace {

// "A" or "A or B" (`word` "or"), each shown safely.
std::string Named(const std::vector<std::string>& paths, const char* word) {
    std::string names = PrintablePath(paths.front());
    return paths.size() > 1 ? fmt::format("{} {} {}", names, word, PrintablePath(paths[1])) : names;
}

}  // namespace

std::string ReadSignedManifest(const std::string& manifestPath, const ManifestKey& key,
                               SignedManifest& manifest) {
    FileRead file;
    if (std::string error =
            ReadTrustedFile(manifestPath, Exposure::Write, "cannot read manifest", file);
        !error.empty()) {
        return error;
    }
    // Beside the very file read first, then beside the link: a link switched meanwhile cannot
    // pair this manifest with another's signature, since only a signature of exactly these
    // bytes verifies them.
    std::vector<std::string> signatures{SignaturePath(file.target)};
    if (std::string besideLink = SignaturePath(manifestPath); besideLink != signatures.front()) {
        signatures.push_back(besideLink);
    }
    std::vector<std::string> missing, unverified;
    for (const std::string& path : signatures) {
        FileRead signature;
        std::string error =
            ReadTrustedFile(path, Exposure::Write, "cannot read signature file", signature);
        if (signature.refusal.empty() && signature.error == ENOENT) {
            missing.push_back(path);
        } else if (!error.empty()) {
            return error;
        } else if (key.Verify(file.bytes, signature.bytes)) {
            manifest.signaturePath = path;
            break;
        } else {
            unverified.push_back(path);
        }
    }
    if (manifest.signaturePath.empty() && unverified.empty()) {
        return fmt::format("Error: cannot read signature file {}: {}\n", Named(missing, "or"),
                           std::strerror(ENOENT));
    }
    if (manifest.signaturePath.empty()) {
        manifest.refused = true;
        return fmt::format(
            "Error: manifest signature does not verify: {} (key {}{})\n",
            PrintablePath(manifestPath), key.Id(),
            unverified.size() > 1 ? "; neither " + Named(unverified, "nor") + " signs it" : "");
    }
    std::optional<uint64_t> header = SerialOfHeader(file.bytes);
    if (!header) {
        manifest.refused = true;
        return fmt::format("Error: manifest has no serial line: {}\n", PrintablePath(manifestPath));
    }
    manifest.bytes = std::move(file.bytes);
    manifest.serial = *header;
    return "";
}

std::string ReadVerifiedManifest(const std::string& manifestPath, const SignatureSettings& settings,
                                 VerifiedManifest& manifest) {
    std::string error = manifest.key.ReadFile(settings.keyPath, KeyPart::Public);
    if (error.empty()) {
        error = ReadSignedManifest(manifestPath, manifest.key, manifest);
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
            manifest.serial, *manifest.recorded, PrintablePath(settings.serialFile));
    }
    return "";
}

std::string VerifiedLine(const std::string& manifestPath, uint64_t serial, const std::string& keyId,
                         const std::string& signaturePath) {
    return fmt::format("Verified {}: serial {}, key {}, signature {}\n",
                       PrintablePath(manifestPath), serial, keyId, PrintablePath(signaturePath));
}

std::string RaiseRecordedSerial(const SignatureSettings& settings,
                                const VerifiedManifest& manifest) {
    if (manifest.recorded && *manifest.recorded >= manifest.serial) {
        return "";
    }
    return RecordSerial(settings.serialFile, manifest.serial);
}

std::string RaisedRecordWarning(const std::string& manifestPath, const std::string& serialFile,
                                uint64_t serial) {
    std::optional<uint64_t> recorded;
    if (!ReadRecordedSerial(serialFile, recorded).empty() || !recorded || *recorded < serial) {
        return "";
    }
    return fmt::format(
        "Warning: every entry of {} was loaded, and the serial record {} holds {}: only what "
        "followed failed\n",
        PrintablePath(manifestPath), PrintablePath(serialFile), *recorded);
}
