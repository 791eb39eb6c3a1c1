// The diff command: two manifests read once each with load's reader, both verified first when
// a key is given, compared, and what the new one adds, removes and changes printed.
#pragma once

#include <string>

#include "diff/options.h"

struct DiffResult {
    // The error line that stopped the comparison, before anything was printed, or "".
    std::string error;
    bool differ = false;
};

DiffResult RunDiff(const DiffSettings& settings);
