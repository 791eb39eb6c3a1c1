#include "veriexec/loader.h"

#include <err.h>
#include <fcntl.h>
#include <fmt/core.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "common/file_io.h"
#include "common/printable_path.h"
#include "manifest/format.h"
#include "manifest/reader.h"
#include "veriexec/device.h"

namespace {

const char* const UnsignedRefusal =
    "Error: veriexec is enforcing: only a signed manifest can be loaded (use --key)\n";
// After the facility refused the first entry: it would refuse every other one.
const char* const UntrustedRefusal =
    "Error: veriexec is enforcing and does not trust this program: its entry is missing, was "
    "replaced (as by an upgrade of pelmor-sign itself) or lacks the trusted flag; reboot with "
    "the facility active to load a new manifest\n";

// Sets NonExecutable when the named file exists and nobody may execute it; a file that cannot
// be queried keeps the bit clear, and the kernel decides about it.
void MarkNonExecutable(ManifestEntry& entry) {
    struct stat status;
    if (stat(entry.path, &status) == 0 && (status.st_mode & 0111) == 0) {
        entry.flags |= NonExecutable;
    }
}

// Under enforce: "" when the manifest was verified with the installed key and its serial held
// against the installed record, else the error line.
std::string EnforcedError(const LoadSettings& settings, const VerifiedManifest* verified) {
    if (verified == nullptr) {
        return UnsignedRefusal;
    }
    std::string refusal = fmt::format("Error: veriexec is enforcing: only the key {} is accepted\n",
                                      PrintablePath(settings.trustedKeyPath));
    // A key that cannot be read is named with its fault, since no manifest loads without it.
    ManifestKey trusted;
    if (std::string error = trusted.ReadFile(settings.trustedKeyPath, KeyPart::Public);
        !error.empty()) {
        return refusal + error;
    }
    if (!trusted.SamePublicKey(verified->keys.Root())) {
        return refusal;
    }
    const std::string& serialFile = settings.installedSerialFile;
    if (!SameFile(settings.signature.serialFile, serialFile)) {
        return fmt::format("Error: veriexec is enforcing: only the serial file {} is used\n",
                           PrintablePath(serialFile));
    }
    const std::string& keysFile = settings.installedKeysFile;
    if (!SameFile(settings.signature.keysFile, keysFile)) {
        return fmt::format("Error: veriexec is enforcing: only the keys file {} is used\n",
                           PrintablePath(keysFile));
    }
    // A keys file in place that no record names, nor announces: whoever removed the record would
    // have the root key sign manifests again.
    if (struct stat status; !verified->keys.InPlace() && lstat(keysFile.c_str(), &status) == 0) {
        return fmt::format(
            "Error: veriexec is enforcing: the keys file {} is not recorded in {}: install it with "
            "'keys install'\n",
            PrintablePath(keysFile), PrintablePath(KeysRecordPath(serialFile)));
    }
    // Whoever removed the record could otherwise load any older manifest again.
    if (!verified->recorded) {
        return fmt::format("Error: veriexec is enforcing: no record of the last serial in {}\n",
                           PrintablePath(serialFile));
    }
    return "";
}

}  // namespace

int LoadManifest(const LoadSettings& settings, AuditLog& audit) {
    const std::string& path = settings.manifestPath;
    bool verify = !settings.signature.keyPath.empty();
    // Kept open beside the descriptor that loads, to read the state again as the load goes.
    DeviceHandle control(O_RDONLY);
    if (!control.IsOpen()) {
        warn("cannot open %s", VeriexecDevicePath);
        return 1;
    }
    VeriexecState state = 0;
    if (ReadVeriexecState(control, state) != 0) {
        return 1;
    }
    auto refuse = [&audit, &path](const std::string& error) {
        std::cerr << error;
        audit.Record(AuditKind::Refusal, RefusalEvent(path, error));
        return 1;
    };
    VerifiedManifest verified;
    std::string error;
    if (verify) {
        error = ReadVerifiedManifest(path, settings.signature, verified);
    }
    if (!error.empty() && !verified.refused) {
        std::cerr << error;
        return 1;
    }
    // Whether the enforce rules were applied already: they are, once, as soon as a state read
    // shows enforce.
    bool enforceRulesApplied = state & VeriexecStateEnforce;
    if (error.empty() && enforceRulesApplied) {
        error = EnforcedError(settings, verify ? &verified : nullptr);
    }
    if (!error.empty()) {
        return refuse(error);
    }
    if (verify) {
        std::cout << VerifiedLine(path, verified);
        std::cerr << verified.warning;
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
    int sent = 0;
    // Whenever entries may have been sent: the summary, and the audit line of the load.
    auto report = [&] {
        std::cout << fmt::format("Loaded {} entries ({} errors) from {}\n", loaded, errors,
                                 PrintablePath(path));
        std::string signer =
            verify ? fmt::format("serial {}, key {}", verified.serial, verified.signer.key->Id())
                   : "unsigned";
        audit.Record(AuditKind::Change, fmt::format("load {}: {}, {} entries sent, {} errors",
                                                    AuditedPath(path), signer, sent, errors));
    };
    // Each entry line is read before the state it goes into is read, so that nothing read after
    // enforce was set is sent without the enforce rules, however slowly it arrives or however
    // long the load takes; only the one request in flight can meet an enforce set meanwhile.
    for (ManifestEntry entry; manifest.NextEntry(entry, errors);) {
        MarkNonExecutable(entry);
        bool failed = ReadVeriexecState(control, state) != 0;
        if (!failed && !enforceRulesApplied && (state & VeriexecStateEnforce)) {
            enforceRulesApplied = true;
            error = EnforcedError(settings, verify ? &verified : nullptr);
        }
        // What was sent before stays loaded: the summary says how much.
        if (failed || !error.empty()) {
            if (!error.empty()) {
                refuse(error);
            }
            if (sent > 0) {
                report();
            }
            return 1;
        }
        if (device.Request(LoadEntry, &entry) >= 0) {
            ++loaded;
        } else if (sent == 0 && errno == EPERM &&
                   (state & (VeriexecStateEnforce | VeriexecStateLocked)) == VeriexecStateEnforce) {
            return refuse(UntrustedRefusal);
        } else {
            warn("cannot load %s", PrintablePath(entry.path).c_str());
            ++errors;
        }
        ++sent;
    }
    device.Close();
    report();
    if (verify && errors == 0) {
        if (error = RaiseRecordedSerial(settings.signature, verified); !error.empty()) {
            // A record renamed in place before what failed (the flush of its folder) stays.
            std::cerr << error
                      << RaisedRecordWarning(path, settings.signature.serialFile, verified.serial);
            return 1;
        }
    }
    return errors > 0 ? 1 : 0;
}
