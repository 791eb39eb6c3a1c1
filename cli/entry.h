// The program's entry: builds the command-line parser, runs it (which runs the chosen
// command), and turns help requests and parse errors into output and exit statuses.
#pragma once

// Returns the exit status when no command handler has ended the process first.
int Entry(int argc, char** argv);
