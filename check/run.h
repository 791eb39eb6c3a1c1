// The check command: every entry of a manifest hashed again by a run's workers and compared
// with the file it names, and, with coverage, the files that generate would sign but the
// manifest lacks, found by the same walk, selection and digest as generate's.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "check/options.h"
#include "check/report.h"
#include "engine/run_context.h"
#include "engine/walk.h"

class CheckRun : private WalkClient {
  public:
    explicit CheckRun(const CheckSettings& settings);

    // Checks and prints the report; returns the message of a failure that ended the check
    // early, or "".
    std::string Execute();
    // What the check found; `made` tells whether it was made to its end.
    const CheckSummary& Summary() const { return summary_; }

  private:
    bool ReadManifest();
    void Verify(SigningWorker& worker, CheckedEntry& entry) const;
    bool Sign(SigningWorker& worker, const ChosenFile& file, std::string& lines) override;
    void Finished(SigningWorker&, Job&) override {}

    const CheckSettings& settings_;
    RunContext context_;
    std::vector<CheckedEntry> entries_;
    std::unordered_set<std::string> listed_;
    std::vector<std::unique_ptr<Job>> jobs_;
    int manifestErrors_ = 0;
    CheckSummary summary_;
};
