#include "diff/run.h"

#include <err.h>
#include <fmt/core.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <vector>

#include "common/printable_path.h"
#include "diff/compare.h"
#include "diff/report.h"
#include "manifest/key.h"
#include "manifest/reader.h"
#include "manifest/signed_manifest.h"

namespace {

// Reads every entry of the manifest, verified with `key` when there is one, into `add`; "" or
// the error line. A bad line stops it: load would not load that manifest as it reads, so a
// comparison of it would show what the kernel would not hold.
std::string ReadEntries(ComparedManifest& manifest, const HostKeys* keys,
                        const std::function<void(const ManifestEntry&)>& add) {
    ManifestReader reader;
    // A signed manifest is read whole to be verified; its bytes go once its entries are kept.
    SignedManifest read;
    if (keys != nullptr) {
        const std::string& path = manifest.path;
        if (std::string error = ReadSignedManifest(
                path,
                [keys, &path](std::string_view bytes, std::vector<SigningKey>& candidates) {
                    return keys->Candidates(bytes, path, candidates);
                },
                read);
            !error.empty()) {
            return error;
        }
        manifest.serial = read.serial;
        manifest.keyId = read.signer.key->Id();
        manifest.signaturePath = read.signaturePath;
        reader.Use(manifest.path, read.bytes);
    } else if (int error = reader.OpenSilently(manifest.path); error != 0) {
        return fmt::format("Error: cannot open manifest {}: {}\n", PrintablePath(manifest.path),
                           std::strerror(error));
    }
    ManifestEntry entry;
    LineOutcome outcome;
    std::vector<std::string> warnings;
    while (reader.ReadLine(entry, outcome, warnings)) {
        if (outcome == LineOutcome::Error) {
            return fmt::format("Error: cannot compare {}: {}\n", PrintablePath(manifest.path),
                               warnings.back());
        }
        for (const std::string& warning : warnings) {
            warnx("%s: %s", PrintablePath(manifest.path).c_str(), warning.c_str());
        }
        if (outcome == LineOutcome::Entry) {
            add(entry);
        }
    }
    return "";
}

}  // namespace

DiffResult RunDiff(const DiffSettings& settings) {
    const SignatureSettings& signature = settings.signature;
    HostKeys keys;
    if (!signature.keyPath.empty()) {
        if (std::string error =
                keys.Read(signature.keyPath, signature.serialFile, signature.keysFile);
            !error.empty()) {
            return {error};
        }
    }
    // The keys both manifests are verified with, read once.
    const HostKeys* verifier = signature.keyPath.empty() ? nullptr : &keys;
    ComparedManifest old{settings.oldPath, {}, "", ""};
    ComparedManifest current{settings.newPath, {}, "", ""};
    ManifestComparison comparison;
    std::string error = ReadEntries(
        old, verifier, [&comparison](const ManifestEntry& entry) { comparison.AddOld(entry); });
    if (error.empty()) {
        comparison.FinishOld();
        error = ReadEntries(current, verifier, [&comparison](const ManifestEntry& entry) {
            comparison.AddNew(entry);
        });
    }
    if (!error.empty()) {
        return {error};
    }
    comparison.FinishNew();
    DifferenceCounts counts = CountDifferences(comparison);
    if (settings.format == OutputFormat::Json) {
        PrintDifferencesJson(std::cout, old, current, comparison, counts);
    } else {
        PrintDifferences(std::cout, old, current, comparison, counts);
    }
    return {"", counts != DifferenceCounts{}};
}
