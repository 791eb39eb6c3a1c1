// The commands: each is declared on the parser with its options and the handler that does the
// command's whole work once its own arguments are parsed, and leaves the exit status.
#pragma once

#include <CLI/CLI.hpp>

#include "check/options.h"
#include "common/output_format.h"
#include "diff/options.h"
#include "generate/options.h"
#include "keys/command.h"
#include "manifest/sign.h"
#include "veriexec/audit_log.h"
#include "veriexec/loader.h"
#include "veriexec/query.h"

// Values that the commands' options fill in while parsing; owned by the entry.
struct CommandValues {
    LoadSettings load;
    SignSettings sign;
    GenerateSettings generate;
    CheckSettings check;
    DiffSettings diff;
    KeysSettings keys;
    OutputFormat statusFormat = OutputFormat::Text;
    QuerySettings query;
    int status = 0;
    // The status of a parse error or a failed write to standard output: 2 for check, diff and
    // query, whose 1 says that they reported something, as diff(1) has them.
    int troubleStatus = 1;
    // A command other than generate ran: the version line is not printed after it.
    bool ended = false;
    // What the command did all the same, said after a failed write to standard output.
    std::string afterOutputFailure;
};

// Loads and state changes are written to `audit`.
void RegisterCommands(CLI::App& parser, CommandValues& values, AuditLog& audit);
