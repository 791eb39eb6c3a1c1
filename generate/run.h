// A generate run, from the parsed options to the replaced manifest: the jobs and signing types
// it assembles and lists, the workers that walk and hash them, the progress lines and totals,
// and the manifest, written whole once the run reaches its end.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/cache_notes.h"
#include "engine/run_context.h"
#include "engine/walk.h"
#include "generate/config.h"
#include "generate/options.h"

class GenerateRun : private WalkClient {
  public:
    explicit GenerateRun(const GenerateSettings& settings);

    // Runs to the end; returns the message of the failure that ended the run early (nothing
    // is replaced then), or "".
    std::string Execute();
    // Errors reported on stderr on the way; any of them makes the command's status 1.
    int32_t ReportedErrors() const { return context_.ReportedErrors(); }

  private:
    bool Sign(SigningWorker& worker, const ChosenFile& file, std::string& lines) override;
    void Finished(SigningWorker& worker, Job& job) override;
    // Prints what the cache saved, of which `next` tells how many records served.
    void ReportCache(const std::vector<std::unique_ptr<SigningWorker>>& workers,
                     const NextCache& next);

    void WriteManifest();
    // Warns of every configured flag whose path the run did not sign; returns the refusal of
    // those that made a program trusted, which stops the run, or "".
    std::string ReportUnusedFlags() const;

    const GenerateSettings& settings_;
    RunContext context_;
    std::vector<std::unique_ptr<Job>> jobs_;
    std::atomic<int32_t> signedFileCount_{0};
    std::atomic<int64_t> totalJobMillis_{0};
    // The configuration's flags, by lexically normal manifest path, and for each whether a line
    // was written for it.
    std::map<std::string, ConfiguredFlags> flags_;
    std::map<std::string, std::atomic<bool>> flagsUsed_;
    // For each lexically normal manifest path that takes configured flags, the configured paths
    // whose flags it takes: its own, and those below a job folded into another that walks them
    // under this name.
    std::map<std::string, std::vector<std::string>> flagNames_;
};
