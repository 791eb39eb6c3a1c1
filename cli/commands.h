// The six commands: each is declared on the parser with its options and the handler that
// does the command's whole work once its own arguments are parsed.
#pragma once

#include <CLI/CLI.hpp>

#include "generate/options.h"

// Values that the commands' options fill in while parsing; owned by the entry.
struct CommandValues {
    std::string manifestFile;
    GenerateSettings generate;
    int generateStatus = 0;
};

void RegisterCommands(CLI::App& parser, CommandValues& values);
