// The options of the check command, declared on its CLI11 sub-parser: those of the walk, as
// generate declares them, --coverage, the signature's and the manifest to check.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "common/output_format.h"
#include "generate/options.h"
#include "manifest/signed_manifest.h"

struct CheckSettings {
    std::string manifestPath;  // MANIFEST_FILE
    bool coverage = false;
    // -j, -R and, with --coverage, -d, -f and -c: what generate would walk, and how.
    GenerateSettings walk;
    SignatureSettings signature;  // --key and --serial-file
    OutputFormat format = OutputFormat::Text;
    std::string metricsPath;  // --metrics
    bool metricsGiven = false;
};

// Declares -j, -R, --coverage, -d, -f, -c, --cache, --progress, --no-progress, --key,
// --serial-file, --format, --metrics and MANIFEST_FILE on the check command.
void DeclareCheckOptions(CLI::App& command, CheckSettings& settings);
