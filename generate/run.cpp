#include "generate/run.h"

#include <fmt/core.h>

#include <chrono>
#include <iostream>
#include <optional>
#include <system_error>

#include "common/file_io.h"
#include "common/normal_path.h"
#include "common/printable_path.h"
#include "common/replacement_file.h"
#include "engine/selection_rules.h"
#include "engine/signing_worker.h"
#include "generate/config.h"
#include "generate/job_list.h"
#include "manifest/format.h"

namespace {

// The run table: one row per finished job, with its time from its start to its last file, the
// worker that finished it, the entries looked at, the files signed, their share, and the job;
// each title of the header stands over its field.
constexpr const char* TableRow = "[{:8d} ms] [{:3d}] [{:5d}] [{:5d}] [{:7.2f} %] OK: {}\n";
constexpr const char* TableHeader = "{:^13} {:^5} {:^7} {:^7} {:^11} {}\n";
// The row of a job folded into another, once that one is done: its files are counted there.
constexpr const char* FoldedRow =
    "[{:>8} ms] [{:>3}] [{:>5}] [{:>5}] [{:>7} %] OK: {}, folded into {}\n";

}  // namespace

GenerateRun::GenerateRun(const GenerateSettings& settings)
    : settings_(settings), context_(settings.root, settings.progress) {}

std::string GenerateRun::Execute() {
    // An empty manifest path is a dry run: everything is listed and hashed, nothing written.
    if (!settings_.manifestPath.empty()) {
        ReplacementFile manifest(settings_.manifestPath);
        if (int error = manifest.Check(); error < 0) {
            return manifest.ErrorLine("manifest file", error);
        } else if (error != 0) {
            return fmt::format("Error: cannot open manifest file {}: {}\n",
                               PrintablePath(settings_.manifestPath),
                               std::generic_category().message(error));
        }
    }
    int32_t jobs = settings_.jobsGiven ? settings_.jobs : 1;
    std::string configPath = ConfigurationPath(settings_);
    std::cout << (settings_.configGiven
                      ? fmt::format("Config path from command line: {}\n",
                                    PrintablePath(configPath))
                      : fmt::format("Config path default: {}\n", PrintablePath(configPath)));
    Configuration configured;
    std::string configError = ReadConfiguration(settings_, context_.root, configured);
    if (configured.flagsUnusable) {
        return configError;
    }
    if (!configError.empty()) {
        context_.Report(configError);
    }
    jobs_ = AssembleJobs(settings_, configured, context_);
    flags_ = std::move(configured.flags);
    for (const auto& [path, flags] : flags_) {
        flagsUsed_[path] = false;
        flagNames_[path].push_back(path);
        if (std::string walked = WalkedName(path, jobs_); walked != path) {
            flagNames_[walked].push_back(path);
        }
    }
    std::string listing;
    for (const auto& job : jobs_) {
        listing += fmt::format("Job queue: {}\n", PrintablePath(job->path));
    }
    for (const std::string& type : context_.signingTypes) {
        listing += fmt::format("Signing types: {}\n", PrintablePath(type));
    }
    std::cout << listing;
    if (!settings_.cachePath.empty()) {
        if (std::string refusal = context_.UseCache(settings_.cachePath); !refusal.empty()) {
            return refusal;
        }
    }
    std::cout << fmt::format("Start signing, using {} jobs...\n", jobs)
              << fmt::format(TableHeader, "Time", "Thr", "All", "Sign", "Share", "Job");

    auto start = std::chrono::steady_clock::now();
    QueueJobs(context_, *this, jobs_);
    std::vector<std::unique_ptr<SigningWorker>> workers = RunWorkers(context_, jobs);
    if (context_.Failed()) {
        return context_.Failure();
    }
    // Jobs overlap, and workers share the pieces of a job: their times added up are no
    // elapsed time.
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::cout << fmt::format(
        "Done, elapsed time: {:6d} ms, sum of job times: {:6d} ms, processed files: {}\n",
        elapsed.count(), totalJobMillis_.load(), signedFileCount_.load());
    if (std::string refusal = ReportUnusedFlags(); !refusal.empty()) {
        return refusal;
    }
    std::optional<NextCache> next;
    if (context_.cache != nullptr) {
        std::vector<CacheNotes*> notes;
        for (auto& worker : workers) {
            notes.push_back(&worker->Notes());
        }
        next.emplace(*context_.cache, notes);
        ReportCache(workers, *next);
    }
    WriteManifest();
    if (next && !settings_.manifestPath.empty()) {
        ReplacementFile cache(settings_.cachePath, ReplacementFile::Target::RegularOnly);
        int error = cache.Replace([&](int fd) {
            return next->Write(context_.magic.Identity(), [fd](std::string_view bytes) {
                return WriteAll(fd, bytes.data(), bytes.size());
            });
        });
        if (error != 0) {
            context_.Report(cache.ErrorLine("cache file", error));
        }
    }
    return "";
}

void GenerateRun::ReportCache(const std::vector<std::unique_ptr<SigningWorker>>& workers,
                              const NextCache& next) {
    uint32_t described = 0;
    uint32_t hashed = 0;
    uint32_t unopened = 0;
    for (const auto& worker : workers) {
        described += worker->Described();
        hashed += worker->Hashed();
        unopened += worker->Unopened();
    }
    std::cout << fmt::format("Cache: {} files described and {} hashed, {} reused, {} not opened\n",
                             described, hashed, next.Reused(), unopened);
}

void GenerateRun::WriteManifest() {
    if (settings_.manifestPath.empty()) {
        return;
    }
    // Blocks in job queue order, whatever order the jobs finished in.
    std::vector<std::string_view> blocks;
    for (const auto& job : jobs_) {
        if (job->finished) {
            blocks.push_back(job->lines);
        }
    }
    ReplacementFile manifest(settings_.manifestPath);
    if (int error = manifest.Replace(blocks); error != 0) {
        context_.Report(manifest.ErrorLine("manifest file", error));
    }
}

bool GenerateRun::Sign(SigningWorker& worker, const ChosenFile& file, std::string& lines) {
    if (!PathFitsManifest(file.path)) {
        context_.Report(UnfitPathLine(file.path));
        return false;
    }
    DigestResult digest = file.error != 0
                              ? OpenFailure(file.hostPath, file.error)
                              : worker.Hash(file.path, file.hostPath, file.fd, file.status);
    if (digest.status != 0) {
        if (!digest.report.empty()) {
            context_.Report(digest.report);
        }
        return false;
    }
    uint8_t flags = 0;
    if (!flagNames_.empty()) {
        if (auto names = flagNames_.find(NormalPath(file.path)); names != flagNames_.end()) {
            for (const std::string& name : names->second) {
                flags |= flags_.at(name).bits;
                flagsUsed_.find(name)->second = true;
            }
        }
    }
    lines += FormatManifestLine(file.path, digest.text, flags);
    return true;
}

std::string GenerateRun::ReportUnusedFlags() const {
    std::string warnings;
    std::string refusals;
    for (const auto& [path, used] : flagsUsed_) {
        if (used) {
            continue;
        }
        const ConfiguredFlags& configured = flags_.at(path);
        // Once enforced, the facility takes loads and lock only from a trusted program: a
        // manifest that lacks it would lock its administrator out until a reboot.
        if ((configured.bits & Trusted) != 0) {
            refusals += fmt::format(
                "Error: trusted {} is not in the manifest: under enforce it could neither load a "
                "manifest nor lock the facility (name it in dirs or with -f)\n",
                PrintablePath(configured.written));
        } else {
            warnings += fmt::format("Warning: flags for {} unused: it is not in the manifest\n",
                                    PrintablePath(configured.written));
        }
    }
    std::cerr << warnings;
    return refusals;
}

void GenerateRun::Finished(SigningWorker& worker, Job& job) {
    signedFileCount_ += job.signedCount;
    totalJobMillis_ += job.millis;
    // A job without entries, such as an empty directory, signed 0 %, not the 0/0 of NaN.
    float percent = 0;
    if (job.entries > 0) {
        float ratio = static_cast<float>(job.signedCount) / static_cast<float>(job.entries);
        percent = static_cast<float>(static_cast<double>(ratio) * 100.0);
    }
    std::string rows = fmt::format(TableRow, job.millis, worker.Index(), job.entries.load(),
                                   job.signedCount.load(), percent, PrintablePath(job.path));
    for (const auto& folded : jobs_) {
        if (folded->foldedInto == &job) {
            rows += fmt::format(FoldedRow, "-", "-", "-", "-", "-", PrintablePath(folded->path),
                                PrintablePath(job.path));
        }
    }
    context_.progress.Print(std::cout, rows);
}
