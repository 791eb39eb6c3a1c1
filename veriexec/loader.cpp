#include "veriexec/loader.h"

#include <err.h>
#include <fcntl.h>
#include <fmt/core.h>
#include <sys/stat.h>

#include <iostream>

#include "veriexec/manifest_format.h"

namespace {

// Sets NonExecutable when the named file exists and nobody may execute it; a file that cannot
// be queried keeps the bit clear, and the kernel decides about it.
void MarkNonExecutable(ManifestEntry& entry) {
    struct stat status;
    if (stat(entry.path, &status) == 0 && (status.st_mode & 0111) == 0) {
        entry.flags |= NonExecutable;
    }
}

// Under enforce: "" when the manifest was verified with the installed key, else the error line.
std::string EnforcedKeyError(const LoadSettings& settings, const VerifiedManifest* verified) {
    if (verified == nullptr) {
        return "Error: veriexec is enforcing: only a signed manifest can be loaded (use --key)\n";
    }
    std::string refusal = fmt::format("Error: veriexec is enforcing: only the key {} is accepted\n",
                                      settings.trustedKeyPath);
    // A key that cannot be read is named with its fault, since no manifest loads without it.
    ManifestKey trusted;
    if (std::string error = trusted.ReadFile(settings.trustedKeyPath, KeyPart::Public);
        !error.empty()) {
        return refusal + error;
    }
    return trusted.SamePublicKey(verified->key) ? "" : refusal;
}

}  // namespace

int LoadManifest(const LoadSettings& settings) {
    const std::string& path = settings.manifestPath;
    bool verify = !settings.signature.keyPath.empty();
    VeriexecState state = 0;
    if (GetVeriexecState(state) != 0) {
        return 1;
    }
    VerifiedManifest verified;
    std::string error;
    if (verify) {
        error = ReadVerifiedManifest(path, settings.signature, verified);
    }
    if (error.empty() && (state & VeriexecStateEnforce)) {
        error = EnforcedKeyError(settings, verify ? &verified : nullptr);
    }
    if (!error.empty()) {
        std::cerr << error;
        return 1;
    }
    if (verify) {
        std::cout << VerifiedLine(path, verified);
    }
    DeviceHandle device(O_WRONLY);
    if (!device.IsOpen()) {
        warn("cannot open %s", VeriexecDevicePath);
        return 1;
    }
    ManifestReader manifest;
    if (verify) {
        manifest.Use(path, verified.bytes);
    } else if (!manifest.Open(path)) {
        return 1;
    }
    int loaded = 0;
    int errors = 0;
    for (ManifestEntry entry; manifest.NextEntry(entry, errors);) {
        MarkNonExecutable(entry);
        if (device.Request(LoadEntry, &entry) < 0) {
            warn("cannot load %s", entry.path);
            ++errors;
        } else {
            ++loaded;
        }
    }
    device.Close();
    std::cout << fmt::format("Loaded {} entries ({} errors) from {}\n", loaded, errors, path);
    if (verify && errors == 0) {
        if (error = RaiseRecordedSerial(settings.signature, verified); !error.empty()) {
            std::cerr << error;
            return 1;
        }
    }
    return errors > 0 ? 1 : 0;
}
