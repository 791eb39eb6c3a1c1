// The options of signed manifests, declared on the CLI11 sub-parsers of the commands that take
// them: --key and --serial-file for load and check, --keys, and those of the sign command.
#pragma once

#include <CLI/CLI.hpp>

#include "manifest/sign.h"
#include "manifest/signed_manifest.h"

// Declares --key, and --serial-file and --keys (which need --key), whose defaults, shown in the
// help, are those that `settings` holds already.
void DeclareSignatureOptions(CLI::App& command, SignatureSettings& settings);
// Declares --keys, the installed keys file, whose default, shown in the help, is the one that
// `keysFile` holds already.
CLI::Option* DeclareKeysFileOption(CLI::App& command, std::string& keysFile);
// Declares `name`, an unsigned 64-bit decimal number N; anything else is a parse error.
CLI::Option* AddNumberOption(CLI::App& command, const std::string& name,
                             std::optional<uint64_t>& number, const std::string& help);
// Declares -k/--key (required) as `typeName`, --passin and --provider.
void DeclareSigningKeyOptions(CLI::App& command, SigningKeySettings& settings,
                              const std::string& typeName, const std::string& help);
// Declares -k/--key (required), --passin, --provider, --serial and MANIFEST_FILE, whose count
// says it was given.
CLI::Option* DeclareSignOptions(CLI::App& command, SignSettings& settings);
