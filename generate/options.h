// The options of the generate command: declared on its CLI11 sub-parser and parsed into
// GenerateSettings, which the run and the configuration step read.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

struct GenerateSettings {
    std::string manifestPath;    // -o; empty when absent
    bool manifestGiven = false;  // -o given (even with an empty value)
    bool jobsGiven = false;
    int32_t jobs = 1;                      // -j
    std::vector<std::string> directories;  // -d values, command-line order
    std::vector<std::string> files;        // -f values, command-line order
    bool configGiven = false;
    std::string configPath;  // -c value
    std::string root;        // -R: the image whose files are signed; empty for this system
};

// Declares -o, -j, -d, -f, -c, -R on the generate command (its -h/--help is inherited from the
// parent).
void DeclareGenerateOptions(CLI::App& command, GenerateSettings& settings);
// True when -o, -d or -c was given; otherwise generate only shows its help.
bool HasSomethingToDo(const GenerateSettings& settings);
