// The keys command: its subcommands add, revoke and sign, declared on the parser with
// their options, and the one chosen run once they are parsed.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

#include "keys/draft.h"
#include "keys/sign.h"

struct KeysSettings {
    KeysAddSettings add;
    KeysRevokeSettings revoke;
    KeysSignSettings sign;
    // Runs the subcommand chosen, once it is parsed, and returns its exit status.
    std::function<int()> run;
};

// Declares `keys` and its subcommands. Returns the command, which requires one subcommand.
CLI::App* DeclareKeysCommand(CLI::App& parser, KeysSettings& settings);
