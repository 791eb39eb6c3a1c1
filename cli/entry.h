// The program's entry: builds the command-line parser, runs it (which runs the chosen
// command), and turns help requests and parse errors into output and exit statuses.
#pragma once

#include <string>

// Returns the exit status. `trustedKeyPath` is the public key installed with the program,
// the only one whose manifests load while the facility enforces.
int Entry(int argc, char** argv, const std::string& trustedKeyPath);
