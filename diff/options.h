// The options of the diff command, declared on its CLI11 sub-parser: the key that both
// manifests must verify with, the output format and the two manifests.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "common/output_format.h"
#include "manifest/signed_manifest.h"

struct DiffSettings {
    std::string oldPath;  // OLD
    std::string newPath;  // NEW
    // --key, the root key, empty when the manifests are not to be verified; --serial-file, whose
    // record beside it says whether a keys file is installed; --keys.
    SignatureSettings signature;
    OutputFormat format = OutputFormat::Text;
};

// Declares --key, --serial-file, --keys, --format, and OLD and NEW, both required: without either
// there is nothing to compare, and a script must not take that for two manifests alike.
void DeclareDiffOptions(CLI::App& command, DiffSettings& settings);
