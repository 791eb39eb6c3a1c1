#include "generate/run.h"

#include <fmt/core.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>
#include <thread>
#include <vector>

#include "generate/config.h"
#include "generate/selection_rules.h"
#include "generate/shared_state.h"
#include "generate/signing_worker.h"
#include "veriexec/modules.h"

namespace {

void QueueJobs(const GenerateSettings& settings) {
    JobQueue.insert(JobQueue.end(), DefaultSignDirs.begin(), DefaultSignDirs.end());
    JobQueue.insert(JobQueue.end(), settings.directories.begin(), settings.directories.end());
    JobQueue.insert(JobQueue.end(), settings.files.begin(), settings.files.end());
}

// Sorts by path order (element by element, so "/usr/lib/x" comes before "/usr/lib-x") and
// keeps the first of equal paths, with its own text.
void OrderJobs() {
    std::stable_sort(JobQueue.begin(), JobQueue.end());
    JobQueue.erase(std::unique(JobQueue.begin(), JobQueue.end()), JobQueue.end());
}

void ListJobs() {
    std::string listing;
    for (const auto& job : JobQueue) {
        listing += fmt::format("Job queue: {}\n", job.native());
    }
    std::cout << listing;
}

void ListTypes() {
    std::string listing;
    for (const auto& type : SigningTypes) {
        listing += fmt::format("Signing types: {}\n", type);
    }
    std::cout << listing;
}

// A walk keeps one directory open for each level it is down, so the soft limit of open files,
// often 1024, would cut a tree at about a thousand levels; the hard limit is the real bound.
void RaiseOpenFileLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void RunWorkers(int32_t jobs) {
    std::vector<std::thread> workers;
    std::string refusal;
    for (int32_t index = 0; index < jobs; ++index) {
        try {
            workers.emplace_back(SigningWorker, index);
        } catch (const std::system_error& error) {
            refusal = error.code().message();
            break;
        }
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (!refusal.empty()) {
        std::cerr << fmt::format("Error: cannot start worker thread: {}\n", refusal);
        ++ReportedErrorCount;
    }
}

void CloseManifest(const std::string& path) {
    if (!ManifestStream.is_open()) {
        return;
    }
    errno = 0;
    ManifestStream.close();
    int error = ManifestWriteError;
    if (error == 0 && ManifestStream.fail()) {
        error = errno != 0 ? errno : EIO;
    }
    if (error != 0) {
        std::cerr << fmt::format("Error: cannot write manifest file {}: {}\n", path,
                                 std::strerror(error));
        ++ReportedErrorCount;
    }
}

}  // namespace

int RunGenerate(const GenerateSettings& settings) {
    CheckRequiredModules();
    // An empty manifest path is a dry run: everything is listed and hashed, nothing written.
    if (!settings.manifestPath.empty()) {
        ManifestStream.open(settings.manifestPath,
                            std::ios::out | std::ios::trunc | std::ios::binary);
        if (!ManifestStream.is_open()) {
            std::cerr << fmt::format("Error: cannot open manifest file {}: {}\n",
                                     settings.manifestPath, std::strerror(errno));
            return 1;
        }
    }
    int32_t jobs = settings.jobsGiven ? settings.jobs : 1;
    QueueJobs(settings);
    ReadConfiguration(settings);
    OrderJobs();
    ListJobs();
    SigningTypes.insert(DefaultSignTypes.begin(), DefaultSignTypes.end());
    ListTypes();
    std::cout << fmt::format("Start signing, using {} jobs...\n", jobs)
              << fmt::format("|{:^13}|{:^5}|{:^7}|{:^5}|\n", "Time", "Thr", "All", "Sign");
    RaiseOpenFileLimit();
    RunWorkers(jobs);
    std::cout << fmt::format("Done, full time: {:6d} ms, processed files: {}\n",
                             TotalJobMillis.load(), SignedFileCount.load());
    CloseManifest(settings.manifestPath);
    return ReportedErrorCount > 0 ? 1 : 0;
}
