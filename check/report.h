// What a check found and how it is printed: the summary that the exit status and the metrics
// read, and the report, one line per problem and the totals or one JSON document, written out
// in pieces as it is made, so that it never costs more memory than the entries hold already.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/output_format.h"

struct CheckedEntry {
    enum class Outcome { Unchanged, Changed, Missing, Unreadable };
    std::string path;
    std::string type;
    std::string fingerprint;  // the whole fingerprint field, in hexadecimal
    Outcome outcome = Outcome::Unchanged;
    std::string cause;  // why an unreadable entry could not be read
};

struct CheckSummary {
    bool made = false;  // the whole manifest read, or verified, and every entry compared
    std::optional<uint64_t> serial;  // of a verified manifest
    std::string keyId;               // of the key that verified it
    bool coverage = false;           // not in manifest was looked for
    int64_t entries = 0;
    int64_t unchanged = 0;
    int64_t changed = 0;
    int64_t missing = 0;
    int64_t unreadable = 0;
    int64_t notInManifest = 0;
    int64_t badLines = 0;  // manifest lines that are not entries, reported on stderr
    int64_t errors = 0;    // bad manifest lines and faults of the walk, reported on stderr

    bool ReportedAnything() const {
        return changed + missing + unreadable + notInManifest + errors > 0;
    }
};

// Prints the report on stdout: the problems of `entries`, in their order, then the paths of
// `unlisted`, blocks of paths that generate would sign and the manifest lacks, one a line.
void PrintCheckReport(OutputFormat format, const std::string& manifestPath,
                      const CheckSummary& summary, const std::vector<CheckedEntry>& entries,
                      const std::vector<std::string_view>& unlisted);
