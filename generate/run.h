// The working half of the generate command: from the parsed options to the closed manifest.
// Assembles the job queue and the signing types, runs the workers and reports the totals.
#pragma once

#include "generate/options.h"

// Returns the exit status: 1 when any error was reported during the run.
int RunGenerate(const GenerateSettings& settings);
