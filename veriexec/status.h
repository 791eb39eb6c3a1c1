// The `status` report: the facility's state as an octal number and one line per state name.
#pragma once

// Prints the state on stdout; returns the exit status (1 when the state cannot be read).
int ReportVeriexecState();
