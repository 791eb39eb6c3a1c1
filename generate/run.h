// The generate run: everything from the parsed options to the totals of a manifest.
#pragma once

#include "generate/options.h"

// Runs generate with the parsed options; returns the exit status.
int RunGenerate(const GenerateSettings& settings);
