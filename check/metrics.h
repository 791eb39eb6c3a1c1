// The result of a check for a metrics collector, in node_exporter's textfile format: whether
// the check could be made, when, the manifest's serial and the counts, in a file replaced whole
// so that the collector never reads half of one.
#pragma once

#include <cstdint>
#include <string>

#include "check/report.h"
#include "common/replacement_file.h"

class CheckMetricsFile {
  public:
    // Only a regular file is replaced: in a folder that others can write to, such as the
    // collector's, a link planted there would have root overwrite whatever it points at.
    explicit CheckMetricsFile(const std::string& path)
        : path_(path), file_(path, ReplacementFile::Target::RegularOnly) {}

    // Whether the file can be replaced, asked before the check: "" or the error line. A file
    // that holds anything but these metrics is refused: a manifest named in its place, the
    // arguments swapped, would otherwise be lost, and the host unprotected at the next boot.
    // So is one of another user's (see ReplacementFile).
    std::string Check() const;
    // Replaces the file with the metrics of `summary`, of a check that ended at `time`, in
    // seconds since the epoch: "" or the error line. A file of another user's planted while
    // the check ran is refused then, and left as it is.
    std::string Write(const CheckSummary& summary, int64_t time) const;

  private:
    std::string path_;
    ReplacementFile file_;
};
