// The `query` command: asks the facility whether each file is verified, and prints the answers,
// with why not and the flags of the file's entry as far as the facility tells them, as lines or
// as one JSON document.
#pragma once

#include <string>
#include <vector>

#include "common/output_format.h"

struct QuerySettings {
    std::vector<std::string> files;
    OutputFormat format = OutputFormat::Text;
};

struct QueryOutcome {
    bool answered = false;     // every file got an answer
    bool allVerified = false;  // and every answer was verified
};

// Prints the answers on stdout and, for each file that could not be asked about, an error on
// stderr. A facility without the policy stops the query at the first file.
QueryOutcome QueryFiles(const QuerySettings& settings);
