#include "keys/sign.h"

#include <fmt/core.h>

#include <ctime>
#include <iostream>
#include <limits>

#include "common/printable_path.h"
#include "manifest/key.h"
#include "manifest/keys_file.h"
#include "manifest/sign.h"
#include "manifest/signing_key.h"

namespace {

std::string Sign(const KeysSignSettings& settings, const ManifestKey& root, KeysFile& file) {
    FileRead read;
    if (std::string error = ReadKeysFile(settings.file, read, file); !error.empty()) {
        return error;
    }
    if (!settings.serial && file.serial == std::numeric_limits<uint64_t>::max()) {
        return fmt::format("Error: the serial of {} cannot be raised: give --serial\n",
                           PrintablePath(settings.file));
    }
    file.serial = settings.serial ? *settings.serial : file.serial.value_or(0) + 1;
    file.expires = settings.expires;
    if (settings.floor) {
        file.floor = settings.floor;
    }
    SignedPair pair(read.target, KeysSignaturePath(read.target), "keys file");
    if (std::string error = pair.Check(); !error.empty()) {
        return error;
    }
    std::string bytes = FormatKeysFile(file), signature;
    if (std::string reason = SignKeysFile(root, bytes, signature); !reason.empty()) {
        return fmt::format("Error: cannot sign {}: {}\n", PrintablePath(settings.file), reason);
    }
    return pair.Replace(bytes, signature);
}

}  // namespace

int SignKeys(const KeysSignSettings& settings) {
    // A keys file that has expired already could never be installed.
    if (*settings.expires <= std::time(nullptr)) {
        std::cerr << fmt::format("Error: --expires {} is not in the future\n",
                                 FormatUtcDate(*settings.expires));
        return 1;
    }
    ManifestKey root;
    KeysFile file;
    std::string error = OpenSigningKey(settings.key, root);
    if (error.empty()) {
        error = Sign(settings, root, file);
    }
    if (!error.empty()) {
        std::cerr << error;
        return 1;
    }
    std::cout << fmt::format(
        "Signed keys file {}: serial {}, expires {}, {} keys, {} revoked, "
        "root key {}\n",
        PrintablePath(settings.file), *file.serial, FormatUtcDate(*file.expires), file.keys.size(),
        file.revoked.size(), root.Id());
    return 0;
}
