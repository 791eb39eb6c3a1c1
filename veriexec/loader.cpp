#include "veriexec/loader.h"

#include <err.h>
#include <fcntl.h>
#include <fmt/core.h>
#include <sys/stat.h>

#include <cerrno>
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

}  // namespace

int LoadManifest(const std::string& path) {
    DeviceHandle device(O_WRONLY);
    if (!device.IsOpen()) {
        warn("cannot open %s", VeriexecDevicePath);
        return 1;
    }
    ManifestReader manifest;
    if (!manifest.Open(path)) {
        warnx("cannot open manifest %s", path.c_str());
        return 1;
    }

    int loaded = 0;
    int errors = 0;
    ManifestEntry entry;
    std::vector<std::string> warnings;
    for (std::string_view line; manifest.Next(line);) {
        LineOutcome outcome = ParseManifestLine(line, manifest.LineNumber(), entry, warnings);
        for (const std::string& warning : warnings) {
            warnx("%s", warning.c_str());
        }
        if (outcome == LineOutcome::Error) {
            ++errors;
        }
        if (outcome != LineOutcome::Entry) {
            continue;
        }
        MarkNonExecutable(entry);
        if (device.Request(LoadEntry, &entry) < 0) {
            warn("cannot load %s", entry.path);
            ++errors;
        } else {
            ++loaded;
        }
    }
    // Stopping at a read failure as if at the end would report a partial load as a success.
    if (manifest.ReadError() != 0) {
        errno = manifest.ReadError();
        warn("cannot read manifest %s", path.c_str());
        ++errors;
    }
    device.Close();
    std::cout << fmt::format("Loaded {} entries ({} errors) from {}\n", loaded, errors, path);
    return errors > 0 ? 1 : 0;
}
