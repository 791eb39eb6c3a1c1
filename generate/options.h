// The options of the generate and check commands: declared on their CLI11 sub-parsers and
// parsed into the settings that their runs and the configuration step read.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/progress.h"

// The configuration read without -c in a build that names no other (PELMOR_CONFIG_FILE).
inline constexpr const char* DefaultConfigPath = "/usr/local/etc/pelmor-sign.json";
#include "manifest/signed_manifest.h"

struct GenerateSettings {
    std::string manifestPath;    // -o; empty when absent
    bool manifestGiven = false;  // -o given (even with an empty value)
    bool jobsGiven = false;
    int32_t jobs = 1;                      // -j
    std::vector<std::string> directories;  // -d values, command-line order
    std::vector<std::string> files;        // -f values, command-line order
    bool configGiven = false;
    std::string configPath;                           // -c value
    std::string installedConfig = DefaultConfigPath;  // read without -c, inside the root
    std::string root;       // -R: the image whose files are signed; empty for this system
    std::string cachePath;  // --cache; empty when absent
    ProgressMode progress = ProgressMode::Auto;  // --progress, --no-progress: the last given
};

struct CheckSettings {
    std::string manifestPath;  // MANIFEST_FILE
    bool manifestGiven = false;
    bool coverage = false;
    // -j, -R and, with --coverage, -d, -f and -c: what generate would walk, and how.
    GenerateSettings walk;
    SignatureSettings signature;  // --key and --serial-file
};

// Declares -o, -j, -d, -f, -c, -R, --cache, --progress, --no-progress on the generate command (its
// -h/--help is inherited from the parent).
void DeclareGenerateOptions(CLI::App& command, GenerateSettings& settings);
// Declares -j, -R, --coverage, -d, -f, -c, --cache, --progress, --no-progress and MANIFEST_FILE
// on the check command.
void DeclareCheckOptions(CLI::App& command, CheckSettings& settings);
// True when -o, -d or -c was given; otherwise generate only shows its help.
bool HasSomethingToDo(const GenerateSettings& settings);
