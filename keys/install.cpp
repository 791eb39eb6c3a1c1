#include "keys/install.h"

#include <fmt/core.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "common/file_io.h"
#include "common/printable_path.h"
#include "manifest/host_keys.h"
#include "manifest/serial.h"
#include "manifest/signed_manifest.h"
#include "manifest/slot.h"

namespace {

std::string WithoutError(std::string line) {
    line = line.substr(0, line.find('\n'));
    return line.rfind("Error: ", 0) == 0 ? line.substr(7) : line;
}

struct Outcome {
    std::string error;       // the error lines, "" once installed
    bool installed = false;  // false: it was installed already
    bool replaced = false;   // --with put in place
    std::optional<uint64_t> fellTo;
};

class Install {
  public:
    explicit Install(const KeysInstallSettings& settings) : settings_(settings) {}

    Outcome Run() {
        Outcome outcome;
        enforcing_ = settings_.enforcing();
        if (enforcing_) {
            if (outcome.error = EnforcedPaths(); !outcome.error.empty()) {
                return outcome;
            }
        }
        // Held from the first read to the last write: a load that ends meanwhile adds to the
        // records this install raised rather than write back the ones it read before.
        RecordLock lock(settings_.serialFile);
        outcome.error = lock.Error().empty() ? Judge(outcome) : lock.Error();
        if (outcome.error.empty() && outcome.installed) {
            outcome.error = Place(outcome);
        }
        return outcome;
    }
    // The keys file given, taken as the one installed once judged.
    const InstalledKeys& Next() const { return next_ ? *next_ : *keys_.InPlace(); }

  private:
    // Under enforce, the files installed with the program alone, as for a load.
    std::string EnforcedPaths() const {
        const KeysInstallSettings& s = settings_;
        if (!SameFile(s.serialFile, s.installedSerialFile)) {
            return fmt::format("Error: veriexec is enforcing: only the serial file {} is used\n",
                               PrintablePath(s.installedSerialFile));
        }
        return SameFile(s.keysFile, s.installedKeysFile)
                   ? ""
                   : fmt::format("Error: veriexec is enforcing: only the keys file {} is used\n",
                                 PrintablePath(s.installedKeysFile));
    }

    // Under enforce, the root key read for this install must be the installed one: compared
    // as read, so that the key judged is the key compared.
    std::string EnforcedRoot() const {
        ManifestKey trusted;
        std::string error = trusted.ReadFile(settings_.installedKey, KeyPart::Public);
        if (!error.empty() || !keys_.Root().SamePublicKey(trusted)) {
            return fmt::format("Error: veriexec is enforcing: only the key {} is accepted\n",
                               PrintablePath(settings_.installedKey)) +
                   error;
        }
        return "";
    }

    // Everything is judged before anything is written.
    std::string Judge(Outcome& outcome) {
        const KeysInstallSettings& s = settings_;
        std::string error = keys_.Read(s.keyPath, s.serialFile, s.keysFile);
        if (enforcing_ && !keys_.Root().Id().empty()) {
            if (std::string refusal = EnforcedRoot(); !refusal.empty()) {
                return refusal;
            }
        }
        // A keys file in place that fails is what a newer one mends; a record or a root key
        // that cannot be read stops it.
        if (!error.empty() && (!keys_.Record() || keys_.Root().Id().empty())) {
            return error;
        }
        next_ = std::make_unique<InstalledKeys>();
        if (error = ReadInstalledKeys(s.file, keys_.Root(), *next_); !error.empty()) {
            return error;
        }
        const KeysFile& file = next_->file;
        if (file.expires && std::time(nullptr) > *file.expires) {
            return fmt::format("Error: keys file {} expired at {}\n", PrintablePath(s.file),
                               FormatUtcDate(*file.expires));
        }
        const InstalledKeys* inPlace = keys_.InPlace();
        completing_ = keys_.CutShort() && inPlace->digest == next_->digest;
        if (keys_.CutShort() && !completing_) {
            return fmt::format(
                "Error: an install of keys file serial {} into {} was cut short: install that "
                "file again first\n",
                *inPlace->file.serial, PrintablePath(s.keysFile));
        }
        if (const std::optional<KeysRecord>& record = keys_.Record(); record) {
            KeysRecord raised = *record;
            if (std::string why = raised.RaiseKeysFile(*file.serial, next_->digest); !why.empty()) {
                return fmt::format("Error: refusing keys file {}: {}\n", PrintablePath(s.file),
                                   why);
            }
            if (!completing_ && record->keysDigest == next_->digest && inPlace != nullptr) {
                return "";  // installed already
            }
        }
        outcome.installed = true;
        // Until its record is raised, a first install's keys file counts only as announced: a
        // keys file in place that the record does not name would otherwise be unknown at boot.
        if (keys_.FirstInstall() && !completing_) {
            announced_ = keys_.Record().value_or(KeysRecord{});
            announced_->pendingDigest = next_->digest;
        }
        std::optional<uint64_t> before;
        if (error = ReadRecordedSerial(s.serialFile, before); !error.empty()) {
            return error;
        }
        keys_.Install(std::move(next_));
        outcome.fellTo = keys_.Recorded(before) != before ? keys_.Recorded(before) : std::nullopt;
        return JudgeManifest(outcome);
    }

    // The manifest in place must verify under the new keys, or the next boot would load
    // nothing: a replacement that does is taken instead.
    std::string JudgeManifest(Outcome& outcome) {
        const KeysInstallSettings& s = settings_;
        struct stat status;
        std::string why;
        if (lstat(s.manifestPath.c_str(), &status) == 0 || errno != ENOENT) {
            HeldManifest inPlace;
            why = ReadHeldManifest(s.manifestPath, keys_, s.serialFile, inPlace);
        } else if (s.with.empty() &&
                   (enforcing_ || !SameFile(s.manifestPath, s.installedManifest))) {
            // A host that enforces booted from a manifest, and one named is meant to be
            // there: the boot script's is elsewhere, or the name given is wrong, and the next
            // boot could load nothing.
            return fmt::format(
                "Error: refusing keys file {}: there is no manifest {} to check under it: name "
                "the manifest that the boot script loads with --manifest, or give one with "
                "--with\n",
                PrintablePath(s.file), PrintablePath(s.manifestPath));
        }
        if (s.with.empty()) {
            return why.empty() ? ""
                               : fmt::format(
                                     "Error: refusing keys file {}: the manifest in place {} "
                                     "would not verify under it ({}); give a replacement signed "
                                     "by one of its keys with --with\n",
                                     PrintablePath(s.file), PrintablePath(s.manifestPath),
                                     WithoutError(why));
        }
        if (std::string error = ReadHeldManifest(s.with, keys_, s.serialFile, with_);
            !error.empty()) {
            return fmt::format(
                "Error: refusing keys file {}: the manifest {} would not verify under it ({})\n",
                PrintablePath(s.file), PrintablePath(s.with), WithoutError(error));
        }
        outcome.replaced = true;
        return "";
    }

    // The keys file and the manifest each fill their free slot, then switch, the keys file
    // first; the record is raised last. See ARCHITECTURE.md, "Switching a manifest".
    std::string Place(const Outcome& outcome) {
        const KeysInstallSettings& s = settings_;
        std::string keysSlot = FreeSlot(s.keysFile), manifestSlot = FreeSlot(s.manifestPath);
        std::string error;
        auto step = [&](InstallStep done, const std::function<std::string()>& action) {
            if (error.empty() && !stopped_) {
                error = action();
                stopped_ = error.empty() && !s.stepDone(done);
            }
        };
        if (announced_) {
            step(InstallStep::Announced,
                 [&] { return WriteKeysRecord(KeysRecordPath(s.serialFile), *announced_); });
        }
        // Completing an install cut short: its keys file is in place already, and the other
        // slot holds the one recorded, which no write may touch.
        if (!completing_) {
            step(InstallStep::KeysFilled,
                 [&] { return FillSlot(keysSlot, Next().bytes, Next().signature, "keys file"); });
        }
        if (outcome.replaced) {
            step(InstallStep::ManifestFilled, [&] {
                return FillSlot(manifestSlot, with_.bytes, with_.signature, "manifest file");
            });
        }
        if (!completing_) {
            step(InstallStep::KeysSwitched, [&] { return SwitchToSlot(s.keysFile, keysSlot); });
        }
        if (outcome.replaced) {
            step(InstallStep::ManifestSwitched,
                 [&] { return SwitchToSlot(s.manifestPath, manifestSlot); });
        }
        step(InstallStep::Recorded, [&] {
            std::string written = WriteKeysRecord(KeysRecordPath(s.serialFile), *keys_.Record());
            return written.empty() && outcome.fellTo ? RecordSerial(s.serialFile, *outcome.fellTo)
                                                     : written;
        });
        return stopped_ && error.empty() ? "Error: install stopped\n" : error;
    }

    const KeysInstallSettings& settings_;
    HostKeys keys_;
    std::unique_ptr<InstalledKeys> next_;
    std::optional<KeysRecord> announced_;  // the record a first install writes before its steps
    HeldManifest with_;
    bool enforcing_ = false;
    bool completing_ = false;
    bool stopped_ = false;
};

}  // namespace

int InstallKeys(const KeysInstallSettings& settings) {
    Install install(settings);
    Outcome outcome = install.Run();
    std::string path = PrintablePath(settings.file);
    if (!outcome.error.empty()) {
        std::cerr << outcome.error;
        if (settings.audit != nullptr) {
            settings.audit->Record(AuditKind::Refusal, fmt::format("refused keys file {}: {}", path,
                                                                   WithoutError(outcome.error)));
        }
        return 1;
    }
    const KeysFile& file = install.Next().file;
    std::string summary =
        outcome.installed
            ? fmt::format("Installed keys file {} as {}: serial {}, {} keys, {} revoked", path,
                          PrintablePath(settings.keysFile), *file.serial, file.keys.size(),
                          file.revoked.size())
            : fmt::format("Keys file {} is installed already: serial {}", path, *file.serial);
    if (outcome.replaced) {
        summary += fmt::format("; {} replaced by {}", PrintablePath(settings.manifestPath),
                               PrintablePath(settings.with));
    }
    if (outcome.fellTo) {
        summary += fmt::format("; the serial record falls to its floor, {}", *outcome.fellTo);
    }
    if (settings.audit != nullptr) {
        settings.audit->Record(AuditKind::Change, fmt::format("keys install: {}", summary));
    }
    if (settings.format == OutputFormat::Json) {
        nlohmann::ordered_json report{
            {"file", PrintablePath(settings.file)},
            {"keys_file", PrintablePath(settings.keysFile)},
            {"installed", outcome.installed},
            {"serial", *file.serial},
            {"keys", file.keys.size()},
            {"revoked", file.revoked.size()},
            {"manifest_replaced", outcome.replaced
                                      ? nlohmann::ordered_json(PrintablePath(settings.with))
                                      : nlohmann::ordered_json(nullptr)},
            {"serial_record_fell_to", outcome.fellTo ? nlohmann::ordered_json(*outcome.fellTo)
                                                     : nlohmann::ordered_json(nullptr)}};
        std::cout << report.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << "\n";
    } else {
        std::cout << summary << "\n";
    }
    return 0;
}
