// The files installed with the program, whose paths the build fixes under its prefix: the
// configuration that generate reads by default, the public key whose manifests load while the
// facility enforces, the record of the highest serial loaded, and the keys file. Generated at
// configure time and linked into the program alone, so that tests hand the entry files of their
// own.
#pragma once

#include <string>

struct InstalledFiles {
    // PELMOR_CONFIG_FILE: the configuration read without -c, a path of the system walked.
    std::string configFile;
    // PELMOR_TRUSTED_KEY: while the facility enforces, load takes only manifests signed with it.
    std::string trustedKey;
    // PELMOR_SERIAL_FILE: the default of --serial-file, and under enforce the only serial file.
    std::string serialFile;
    // PELMOR_KEYS_FILE: the default of --keys, the keys file that the trusted key signs.
    std::string keysFile;
    // PELMOR_MANIFEST_FILE: the boot script's manifest, which keys install checks by default.
    std::string manifestFile;
};

// The paths of this build.
InstalledFiles BuildInstalledFiles();
