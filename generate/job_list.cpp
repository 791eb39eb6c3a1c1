#include "generate/job_list.h"

#include <algorithm>
#include <filesystem>

#include "engine/selection_rules.h"

namespace fs = std::filesystem;

std::vector<std::unique_ptr<Job>> AssembleJobs(const GenerateSettings& settings,
                                               const Configuration& configured, RunContext& run) {
    std::vector<fs::path> queue(DefaultSignDirs.begin(), DefaultSignDirs.end());
    queue.insert(queue.end(), settings.directories.begin(), settings.directories.end());
    queue.insert(queue.end(), settings.files.begin(), settings.files.end());
    queue.insert(queue.end(), configured.dirs.begin(), configured.dirs.end());
    run.signingTypes = configured.types;
    run.signingTypes.insert(DefaultSignTypes.begin(), DefaultSignTypes.end());

    // Path order, element by element ("/usr/lib/x" before "/usr/lib-x"); the first of equal
    // paths stays, with its own text.
    std::stable_sort(queue.begin(), queue.end());
    queue.erase(std::unique(queue.begin(), queue.end()), queue.end());
    std::vector<std::unique_ptr<Job>> jobs;
    for (const fs::path& job : queue) {
        std::string hostPath;
        if (int failure = run.root.Resolve(job.native(), hostPath); failure != 0) {
            // Reported once; the job then names nothing and is passed over.
            run.ReportFilesystemError("status", job.native(), failure);
            hostPath.clear();
        }
        jobs.push_back(std::make_unique<Job>(jobs.size(), job.native(), std::move(hostPath)));
    }
    return jobs;
}
