// The options of the generate command, declared on its CLI11 sub-parser and parsed into the
// settings that its run and the configuration step read; and those that check, which walks as
// generate does, declares the same way.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include <functional>

#include "engine/progress.h"

// The configuration read without -c in a build that names no other (PELMOR_CONFIG_FILE).
inline constexpr const char* DefaultConfigPath = "/usr/local/etc/pelmor-sign.json";

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

// Declares -o, -j, -d, -f, -c, -R, --cache, --progress, --no-progress on the generate command (its
// -h/--help is inherited from the parent).
void DeclareGenerateOptions(CLI::App& command, GenerateSettings& settings);
// True when -o, -d or -c was given; otherwise generate only shows its help.
bool HasSomethingToDo(const GenerateSettings& settings);

// The options that check declares as generate does. MoveHelpFlagLast removes the help flag that
// a command copied from the parent and returns what declares it again, last, so that the help
// lists it after the options.
std::function<void()> MoveHelpFlagLast(CLI::App& command);
void AddJobsOption(CLI::App& command, GenerateSettings& settings);
void AddRootOption(CLI::App& command, GenerateSettings& settings, const char* help);
void AddCacheOption(CLI::App& command, GenerateSettings& settings, const char* help);
void AddProgressOptions(CLI::App& command, GenerateSettings& settings);
// -d, -f and -c: what is walked besides the built-in directories, and the signing types.
std::vector<CLI::Option*> AddWalkOptions(CLI::App& command, GenerateSettings& settings);
