// The program's entry: builds the command-line parser, runs it (which runs the chosen
// command), and turns help requests and parse errors into output and exit statuses.
#pragma once

#include "cli/installed_files.h"

// Returns the exit status. `installed` names the files installed with the program.
int Entry(int argc, char** argv, const InstalledFiles& installed);
