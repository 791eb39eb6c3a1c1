// What diff prints of two manifests compared: each difference and the counts, as lines for a
// person or as one JSON document, both written as they go so that no copy of the differences
// is made.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "diff/compare.h"

struct ComparedManifest {
    std::string path;
    std::optional<uint64_t> serial;  // when verified, with the key's id and the signature file
    std::string keyId;
    std::string signaturePath;
};

// The differences of each kind, in the order of DifferenceKind.
using DifferenceCounts = std::array<std::size_t, 4>;

DifferenceCounts CountDifferences(const ManifestComparison& comparison);

// The lines "added: PATH", "removed: PATH", "changed: PATH" and "flags: PATH: OLD -> NEW" in
// path order, after the line of each verified manifest and before the summary.
void PrintDifferences(std::ostream& out, const ComparedManifest& old,
                      const ComparedManifest& current, const ManifestComparison& comparison,
                      const DifferenceCounts& counts);
// The same as one JSON document, on one line.
void PrintDifferencesJson(std::ostream& out, const ComparedManifest& old,
                          const ComparedManifest& current, const ManifestComparison& comparison,
                          const DifferenceCounts& counts);
