// The program's entry: builds the command-line parser, runs it (which runs the chosen
// command), and turns help requests and parse errors into output and exit statuses.
#pragma once

#include "cli/installed_files.h"
#include "veriexec/audit_log.h"

// Returns the exit status. `installed` names the files installed with the program; `audit`
// takes the lines of loads, state changes and refused manifests.
int Entry(int argc, char** argv, const InstalledFiles& installed, AuditLog& audit);
