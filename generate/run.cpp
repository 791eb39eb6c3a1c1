#include "generate/run.h"

#include <fmt/core.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "generate/config.h"
#include "generate/replacement_file.h"
#include "generate/selection_rules.h"
#include "generate/signing_worker.h"
#include "veriexec/manifest_format.h"

namespace fs = std::filesystem;

GenerateRun::GenerateRun(const GenerateSettings& settings)
    : settings_(settings), context_(settings.root) {}

void GenerateRun::AssembleJobs() {
    std::vector<fs::path> queue(DefaultSignDirs.begin(), DefaultSignDirs.end());
    queue.insert(queue.end(), settings_.directories.begin(), settings_.directories.end());
    queue.insert(queue.end(), settings_.files.begin(), settings_.files.end());

    std::string configPath = ConfigurationPath(settings_);
    std::cout << (settings_.configGiven
                      ? fmt::format("Config path from command line: {}\n", configPath)
                      : fmt::format("Config path default: {}\n", configPath));
    std::vector<std::string> configured;
    std::string error =
        ReadConfiguration(settings_, context_.root, configured, context_.signingTypes);
    if (!error.empty()) {
        context_.Report(error);
    }
    queue.insert(queue.end(), configured.begin(), configured.end());

    // Path order, element by element ("/usr/lib/x" before "/usr/lib-x"); the first of equal
    // paths stays, with its own text.
    std::stable_sort(queue.begin(), queue.end());
    queue.erase(std::unique(queue.begin(), queue.end()), queue.end());
    std::string listing;
    for (const fs::path& job : queue) {
        listing += fmt::format("Job queue: {}\n", job.native());
        std::string hostPath;
        if (int failure = context_.root.Resolve(job.native(), hostPath); failure != 0) {
            // Reported once; the job then names nothing and is passed over.
            context_.Report(fmt::format("Filesystem error: filesystem error: status: {} [{}]\n",
                                        std::generic_category().message(failure), job.native()));
            hostPath.clear();
        }
        jobs_.push_back(std::make_unique<Job>(jobs_.size(), job.native(), std::move(hostPath)));
    }
    std::cout << listing;
}

std::string GenerateRun::Execute() {
    // An empty manifest path is a dry run: everything is listed and hashed, nothing written.
    if (!settings_.manifestPath.empty()) {
        if (int error = ReplacementFile(settings_.manifestPath).Check(); error != 0) {
            return fmt::format("Error: cannot open manifest file {}: {}\n", settings_.manifestPath,
                               std::generic_category().message(error));
        }
    }
    int32_t jobs = settings_.jobsGiven ? settings_.jobs : 1;
    AssembleJobs();
    context_.signingTypes.insert(DefaultSignTypes.begin(), DefaultSignTypes.end());
    std::string listing;
    for (const std::string& type : context_.signingTypes) {
        listing += fmt::format("Signing types: {}\n", type);
    }
    std::cout << listing << fmt::format("Start signing, using {} jobs...\n", jobs)
              << fmt::format("|{:^13}|{:^5}|{:^7}|{:^5}|\n", "Time", "Thr", "All", "Sign");

    QueueJobs(context_, *this, jobs_);
    RunWorkers(context_, jobs);
    if (context_.Failed()) {
        return context_.Failure();
    }
    std::cout << fmt::format("Done, full time: {:6d} ms, processed files: {}\n",
                             totalJobMillis_.load(), signedFileCount_.load());
    WriteManifest();
    return "";
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
    if (int error = ReplacementFile(settings_.manifestPath).Replace(blocks); error != 0) {
        context_.Report(fmt::format("Error: cannot write manifest file {}: {}\n",
                                    settings_.manifestPath,
                                    std::generic_category().message(error)));
    }
}

bool GenerateRun::Sign(SigningWorker& worker, const std::string& path, const std::string& hostPath,
                       bool link, std::string& lines) {
    if (!PathFitsManifest(path)) {
        context_.Report(fmt::format("Error: path cannot be written to the manifest: {}\n", path));
        return false;
    }
    // A link met in an image points at a file of the image, not of the running system.
    std::string target = hostPath;
    if (link) {
        if (int error = context_.root.Resolve(path, target); error != 0) {
            context_.Report(fmt::format("Error opening {}: {}\n", hostPath,
                                        std::generic_category().message(error)));
            return false;
        }
    }
    DigestResult digest = worker.Hash(target);
    if (digest.status != 0) {
        if (!digest.report.empty()) {
            context_.Report(digest.report);
        }
        return false;
    }
    lines += FormatManifestLine(path, digest.text);
    return true;
}

void GenerateRun::Finished(SigningWorker& worker, Job& job) {
    signedFileCount_ += job.signedCount;
    totalJobMillis_ += job.millis;
    float ratio = static_cast<float>(job.signedCount) / static_cast<float>(job.entries);
    float percent = static_cast<float>(static_cast<double>(ratio) * 100.0);
    // fmt 9 left-aligns a not-a-number (an empty directory's 0/0) unless told otherwise.
    std::cout << fmt::format("[{:8d} ms] [{:3d}] [{:5d}] [{:5d}] [{:>7.2f} %] OK: {}\n", job.millis,
                             worker.Index(), job.entries.load(), job.signedCount.load(), percent,
                             job.path);
}
