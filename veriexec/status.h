// The `status` report: the facility's state as an octal number and one line per state name, or
// as one JSON document.
#pragma once

#include "common/output_format.h"

// Prints the state on stdout; returns the exit status (1 when the state cannot be read).
int ReportVeriexecState(OutputFormat format);
