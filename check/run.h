// The check command: every entry of a manifest hashed again by a run's workers and compared
// with the file it names, and, with coverage, the files that generate would sign but the
// manifest lacks, found by the same walk, selection and digest as generate's.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "check/options.h"
#include "engine/run_context.h"
#include "engine/walk.h"

class CheckRun : private WalkClient {
  public:
    explicit CheckRun(const CheckSettings& settings);

    // Checks and prints the problems and the summary; returns the message of a failure that
    // ended the check early, or "".
    std::string Execute();
    // Whether the check was made to its end: the whole manifest read, or verified, and every
    // entry compared.
    bool Made() const { return made_; }
    // Whether anything was reported: a problem line, a bad manifest line or an error.
    bool ReportedAnything() const;

  private:
    enum class Outcome { Unchanged, Changed, Missing, Unreadable };
    struct Entry {
        std::string path;
        std::string type;
        std::string fingerprint;  // the whole fingerprint field, in hexadecimal
        Outcome outcome = Outcome::Unchanged;
        std::string cause;  // why an unreadable entry could not be read
    };

    bool ReadManifest();
    void Verify(SigningWorker& worker, Entry& entry) const;
    bool Sign(SigningWorker& worker, const ChosenFile& file, std::string& lines) override;
    void Finished(SigningWorker&, Job&) override {}

    const CheckSettings& settings_;
    RunContext context_;
    std::vector<Entry> entries_;
    std::unordered_set<std::string> listed_;
    std::vector<std::unique_ptr<Job>> jobs_;
    int manifestErrors_ = 0;
    int32_t problems_ = 0;
    bool made_ = false;
};
