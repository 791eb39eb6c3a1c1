#include "generate/signing_worker.h"

#include <dirent.h>
#include <fmt/core.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iostream>

#include "generate/digest.h"
#include "generate/magic_classifier.h"
#include "generate/selection_rules.h"
#include "generate/shared_state.h"
#include "veriexec/device.h"

namespace fs = std::filesystem;

namespace {

// Manifest lines and counts gathered for one job before its block is written.
struct JobOutput {
    int32_t entries = 0;
    int32_t signedCount = 0;
    std::string block;
};

void ReportFilesystemError(const fs::filesystem_error& error) {
    std::cerr << fmt::format("Filesystem error: {}\n", error.what()) << std::flush;
    ++ReportedErrorCount;
}

bool TakeJob(fs::path& job) {
    std::lock_guard<std::mutex> lock(QueueMutex);
    if (JobQueue.empty()) {
        return false;
    }
    job = std::move(JobQueue.front());
    JobQueue.pop_front();
    return true;
}

void ReportUnwritablePath(const std::string& path) {
    std::cerr << fmt::format("Error: path cannot be written to the manifest: {}\n", path);
    ++ReportedErrorCount;
}

// Hashes one chosen path and adds its manifest line; false when no line could be made.
bool SignPath(const std::string& path, JobOutput& output) {
    if (!PathFitsManifest(path)) {
        ReportUnwritablePath(path);
        return false;
    }
    DigestResult digest = HashFileSha512(path);
    if (digest.status != 0) {
        if (digest.reported) {
            ++ReportedErrorCount;
        }
        return false;
    }
    output.block += fmt::format("{} sha512={}\n", path, digest.text);
    ++output.signedCount;
    return true;
}

// The directory iterator abandons the whole walk when it cannot open a subdirectory. Trying
// the subdirectory first lets the walk report that one directory and go on with the rest.
void SkipUnopenableDirectory(fs::recursive_directory_iterator& entry) {
    std::error_code error;
    if (!entry.recursion_pending() || entry->is_symlink(error) || !entry->is_directory(error)) {
        return;
    }
    if (DIR* directory = opendir(entry->path().c_str())) {
        closedir(directory);
        return;
    }
    // The iterator opens a subdirectory relative to its parent, so a full path longer than
    // the system takes proves nothing: leave that directory to the iterator.
    if (errno == ENAMETOOLONG) {
        return;
    }
    // A directory removed while the walk runs is passed over like a removed file.
    if (errno != ENOENT) {
        ReportFilesystemError(
            fs::filesystem_error("directory iterator cannot open directory", entry->path(),
                                 std::error_code(errno, std::generic_category())));
    }
    entry.disable_recursion_pending();
}

// Signs a walked entry that passed the path filter when its type is one to sign.
void SignIfChosen(const fs::directory_entry& entry, MagicClassifier& classifier,
                  JobOutput& output) {
    const std::string& path = entry.path().native();
    if (path.size() >= EntryPathSize) {
        // No manifest line can hold such a path, and libmagic fails outright on the longest
        // ones, which would end the whole run: report the files without asking it.
        std::error_code error;
        if (entry.is_regular_file(error)) {
            ReportUnwritablePath(path);
        }
        return;
    }
    if (ShouldSign(path, classifier)) {
        SignPath(path, output);
    }
}

// Walks a directory job; false when the job path itself cannot be walked.
bool WalkJob(const fs::path& job, MagicClassifier& classifier, JobOutput& output) {
    std::error_code error;
    fs::recursive_directory_iterator entry(job, error);
    if (error) {
        ReportFilesystemError(
            fs::filesystem_error("directory iterator cannot open directory", job, error));
        return false;
    }
    for (const fs::recursive_directory_iterator end; entry != end;) {
        ++output.entries;
        fs::path path = entry->path();
        SkipUnopenableDirectory(entry);
        if (PassesPathFilter(path.native())) {
            SignIfChosen(*entry, classifier, output);
        }
        entry.increment(error);
        if (error) {
            // The iterator cannot go on after a failed read; what was gathered is kept.
            ReportFilesystemError(
                fs::filesystem_error("cannot increment recursive directory iterator", path, error));
            break;
        }
    }
    return true;
}

void WriteBlock(const JobOutput& output) {
    std::lock_guard<std::mutex> lock(ManifestMutex);
    if (ManifestStream.is_open()) {
        ManifestStream << output.block;
        if (!ManifestStream) {
            if (ManifestWriteError == 0) {
                ManifestWriteError = errno != 0 ? errno : EIO;
            }
            return;
        }
    }
    SignedFileCount += output.signedCount;
}

void RunJob(int32_t index, const fs::path& job, MagicClassifier& classifier) {
    std::error_code error;
    fs::file_status status = fs::status(job, error);
    if (status.type() == fs::file_type::not_found) {
        return;
    }
    if (error) {
        ReportFilesystemError(fs::filesystem_error("status", job, error));
        return;
    }
    auto start = std::chrono::steady_clock::now();
    JobOutput output;
    if (fs::is_regular_file(status)) {
        output.entries = 1;
        if (!SignPath(job.native(), output)) {
            return;
        }
    } else if (!WalkJob(job, classifier, output)) {
        return;
    }
    WriteBlock(output);
    int64_t millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
    TotalJobMillis += millis;
    float ratio = static_cast<float>(output.signedCount) / static_cast<float>(output.entries);
    float percent = static_cast<float>(static_cast<double>(ratio) * 100.0);
    // fmt 9 left-aligns a not-a-number (an empty directory's 0/0) unless told otherwise.
    std::cout << fmt::format("[{:8d} ms] [{:3d}] [{:5d}] [{:5d}] [{:>7.2f} %] OK: {}\n", millis,
                             index, output.entries, output.signedCount, percent, job.native());
}

}  // namespace

bool PathFitsManifest(const std::string& path) {
    return !path.empty() && path.size() < EntryPathSize &&
           path.find_first_of(" \n\r") == std::string::npos && path.front() != '#';
}

void SigningWorker(int32_t index) {
    fs::path job;
    try {
        MagicClassifier classifier;
        while (TakeJob(job)) {
            RunJob(index, job, classifier);
        }
    } catch (const std::exception& error) {
        FailDuringRun(fmt::format("Error: cannot sign {}: {}\n", job.native(), error.what()));
    }
}
