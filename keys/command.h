// The keys command: its subcommands add, revoke, sign, show and install, declared on the parser
// with their options, and the one chosen run once they are parsed.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

#include "keys/draft.h"
#include "keys/install.h"
#include "keys/show.h"
#include "keys/sign.h"

struct KeysSettings {
    KeysAddSettings add;
    KeysRevokeSettings revoke;
    KeysSignSettings sign;
    KeysShowSettings show;
    KeysInstallSettings install;
    // Runs the subcommand chosen, once it is parsed, and returns its exit status.
    std::function<int()> run;
};

// Declares `keys` and its subcommands; the defaults of show and install, shown in their help, are
// those that `settings` holds already. Returns the command, which requires one subcommand.
CLI::App* DeclareKeysCommand(CLI::App& parser, KeysSettings& settings);
