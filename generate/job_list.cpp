#include "generate/job_list.h"

#include <algorithm>
#include <filesystem>
#include <iterator>

#include "common/normal_path.h"
#include "engine/selection_rules.h"

namespace fs = std::filesystem;

std::vector<std::unique_ptr<Job>> AssembleJobs(const GenerateSettings& settings,
                                               const Configuration& configured, RunContext& run) {
    std::vector<fs::path> queue(DefaultSignDirs.begin(), DefaultSignDirs.end());
    // Each path in the normal form its entries are written in: "/a/./b" would otherwise name
    // its files in words that sign refuses and diff cannot match. A trailing separator stays,
    // since it makes a job of its own.
    auto spelled = [](const std::string& path) {
        std::string normal = NormalPath(path);
        return path.size() > 1 && path.back() == '/' && normal != "/" ? normal + "/" : normal;
    };
    for (const auto* given : {&settings.directories, &settings.files, &configured.dirs}) {
        std::transform(given->begin(), given->end(), std::back_inserter(queue), spelled);
    }
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
