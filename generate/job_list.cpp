#include "generate/job_list.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <tuple>

#include "common/normal_path.h"
#include "engine/selection_rules.h"

namespace fs = std::filesystem;

namespace {

// A directory that the run walks, by the path it leads to.
struct Walked {
    std::string canonical;
    Job* job;
};

// Whether `job` names a directory, found inside the image.
bool NamesDirectory(const ImageRoot& root, const Job& job) {
    ImageLocation where;
    struct stat status;
    return !job.hostPath.empty() && root.Locate(job.path, where) == 0 &&
           fstatat(where.directory.Get(), where.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(status.st_mode);
}

// Where `canonical` lies below the walked directory `walked`: what follows it, "" for itself;
// false when it does not.
bool Below(const std::string& canonical, const std::string& walked, std::string& rest) {
    std::string prefix = walked == "/" ? walked : walked + "/";
    if (canonical == walked) {
        rest.clear();
        return true;
    }
    if (canonical.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    rest = canonical.substr(prefix.size());
    return true;
}

// Folds every job that is a link to a directory into the job that walks that directory anyway,
// the nearest when several do, so that each directory is walked once and the manifest names
// each file once; the first link to a directory that nothing else walks is walked under its
// own name. A link is folded only where the path rules choose the same files under both names.
void FoldLinks(const ImageRoot& root, std::vector<std::unique_ptr<Job>>& jobs) {
    std::vector<Walked> walked;
    std::vector<Walked> links;
    for (auto& job : jobs) {
        std::string canonical;
        if (!NamesDirectory(root, *job) || root.Canonical(job->hostPath, canonical) != 0) {
            continue;
        }
        (root.NamesLink(job->path) ? links : walked).push_back({canonical, job.get()});
    }
    // A directory before those below it, and of links to one directory, the first queued.
    std::sort(links.begin(), links.end(), [](const Walked& left, const Walked& right) {
        return std::tie(left.canonical, left.job->index) <
               std::tie(right.canonical, right.job->index);
    });
    for (const Walked& link : links) {
        const Walked* nearest = nullptr;
        std::string name;
        for (const Walked& other : walked) {
            std::string rest;
            if (Below(link.canonical, other.canonical, rest) &&
                (nearest == nullptr || other.canonical.size() > nearest->canonical.size())) {
                nearest = &other;
                name = rest.empty() ? other.job->path : other.job->prefix + rest;
            }
        }
        if (nearest != nullptr &&
            JudgedAlike(link.job->prefix, name.back() == '/' ? name : name + "/")) {
            link.job->foldedInto = nearest->job;
            link.job->foldedAs = name;
        } else {
            walked.push_back(link);
        }
    }
}

}  // namespace

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
    FoldLinks(run.root, jobs);
    return jobs;
}

std::string WalkedName(const std::string& path, const std::vector<std::unique_ptr<Job>>& jobs) {
    for (const auto& job : jobs) {
        std::string rest;
        if (job->foldedInto != nullptr && Below(path, NormalPath(job->path), rest)) {
            return NormalPath(rest.empty() ? job->foldedAs : job->foldedAs + "/" + rest);
        }
    }
    return path;
}
