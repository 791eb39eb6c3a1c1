#include "engine/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "common/file_io.h"
#include "engine/run_context.h"
#include "engine/selection_rules.h"
#include "engine/signing_worker.h"
#include "manifest/entry.h"
#include "manifest/format.h"

namespace {

struct Entry {
    std::string name;
    unsigned char type;  // DT_DIR, DT_LNK, DT_REG, ...
};

std::string WithSeparator(const std::string& path) {
    return path.empty() || path.back() == '/' ? path : path + "/";
}

unsigned char TypeOf(mode_t mode) {
    if (S_ISDIR(mode)) {
        return DT_DIR;
    }
    if (S_ISLNK(mode)) {
        return DT_LNK;
    }
    return S_ISREG(mode) ? DT_REG : DT_UNKNOWN;
}

// Opens a directory for listing, also one whose path is longer than the system takes at once:
// that one is reached in steps from the directories above it.
int OpenDirectory(const std::string& path, bool followLink) {
    constexpr int Flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;
    int last = Flags | (followLink ? 0 : O_NOFOLLOW);
    if (path.size() < PATH_MAX) {
        return open(path.c_str(), last);
    }
    size_t cut = path.rfind('/', PATH_MAX - 1);
    if (cut == std::string::npos || cut == 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    UniqueFd directory(open(path.substr(0, cut).c_str(), Flags));
    for (size_t at = cut + 1; directory.Valid(); at = cut + 1) {
        if (path.size() - at < PATH_MAX) {
            return openat(directory.Get(), path.c_str() + at, last);
        }
        cut = path.rfind('/', at + PATH_MAX - 1);
        if (cut == std::string::npos || cut <= at) {
            errno = ENAMETOOLONG;
            return -1;
        }
        directory = UniqueFd(openat(directory.Get(), path.substr(at, cut - at).c_str(), Flags));
    }
    return -1;
}

// Every piece holds the walk, which lives as long as any piece of it.
class JobWalk : public std::enable_shared_from_this<JobWalk> {
  public:
    JobWalk(RunContext& run, WalkClient& client) : run_(run), client_(client) {}

    void Start(SigningWorker& worker, Job& job);
    void List(Job& job, const std::string& directory, Segment& output);
    void SignSlice(SigningWorker& worker, Job& job, const std::string& directory,
                   const std::vector<Entry>& entries, Segment& output);
    // Ends a piece of `job`; the job is finished with its last piece.
    void PieceDone(SigningWorker& worker, Job& job);

  private:
    RunContext& run_;
    WalkClient& client_;
};

void JobWalk::Start(SigningWorker& worker, Job& job) {
    job.start = std::chrono::steady_clock::now();
    struct stat status;
    if (stat(job.hostPath.c_str(), &status) != 0) {
        // A job that does not exist (a built-in directory this host lacks) is passed over.
        if (errno != ENOENT && errno != ENOTDIR) {
            run_.ReportFilesystemError("status", job.hostPath, errno);
        }
        job.abandoned = true;
    } else if (S_ISREG(status.st_mode)) {
        // A queued file is signed whatever its name or type; without a line it has no block.
        job.entries = 1;
        run_.progress.counts.entries.fetch_add(1, std::memory_order_relaxed);
        if (client_.Sign(worker, {job.path, job.hostPath, false, nullptr}, job.output.lines)) {
            ++job.signedCount;
        } else {
            job.abandoned = true;
        }
    } else {
        List(job, "", job.output);
    }
    PieceDone(worker, job);
}

void JobWalk::List(Job& job, const std::string& directory, Segment& output) {
    bool top = directory.empty();
    std::string path = top ? job.hostPath : job.hostPrefix + directory;
    if (!top) {
        path.pop_back();
    }
    DIR* listing = nullptr;
    int fd = OpenDirectory(path, top);
    if (fd >= 0 && (listing = fdopendir(fd)) == nullptr) {
        close(fd);
    }
    if (listing == nullptr) {
        // A directory removed while the walk runs is passed over, like a removed file.
        if (top || errno != ENOENT) {
            run_.ReportFilesystemError("directory iterator cannot open directory", path, errno);
        }
        // Only the piece that lists the job's own directory writes the flag: others run at once.
        if (top) {
            job.abandoned = true;
        }
        return;
    }
    std::vector<Entry> entries;
    for (;;) {
        errno = 0;
        dirent* entry = readdir(listing);
        if (entry == nullptr) {
            // What was read before a failed read is kept.
            if (errno != 0) {
                run_.ReportFilesystemError("cannot increment recursive directory iterator", path,
                                           errno);
            }
            break;
        }
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        unsigned char type = entry->d_type;
        struct stat status;
        if (type == DT_UNKNOWN &&
            fstatat(dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
            type = TypeOf(status.st_mode);
        }
        entries.push_back({std::move(name), type});
    }
    closedir(listing);
    job.entries += static_cast<int32_t>(entries.size());
    run_.progress.counts.entries.fetch_add(entries.size(), std::memory_order_relaxed);

    // Runs of entries become slices; a subdirectory ends its slice, and what lies below it
    // comes right after it.
    std::vector<WorkQueue::Piece> pieces;
    std::vector<Entry> slice;
    auto sealSlice = [&] {
        if (slice.empty()) {
            return;
        }
        Segment* part = new Segment;
        output.parts.push_back(part);
        pieces.push_back([walk = shared_from_this(), &job, directory, slice = std::move(slice),
                          part](SigningWorker& worker) {
            walk->SignSlice(worker, job, directory, slice, *part);
            walk->PieceDone(worker, job);
        });
        slice.clear();
    };
    for (Entry& entry : entries) {
        bool subdirectory = entry.type == DT_DIR;
        std::string below = subdirectory ? directory + entry.name + "/" : "";
        slice.push_back(std::move(entry));
        if (subdirectory || slice.size() == SliceSize) {
            sealSlice();
        }
        if (subdirectory) {
            Segment* part = new Segment;
            output.parts.push_back(part);
            pieces.push_back([walk = shared_from_this(), &job, below = std::move(below),
                              part](SigningWorker& worker) {
                walk->List(job, below, *part);
                walk->PieceDone(worker, job);
            });
        }
    }
    sealSlice();
    job.pending += static_cast<int>(pieces.size());
    // Queued last, taken first: the first piece of the directory is queued last.
    for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) {
        run_.queue.Push(std::move(*piece));
    }
}

void JobWalk::SignSlice(SigningWorker& worker, Job& job, const std::string& directory,
                        const std::vector<Entry>& entries, Segment& output) {
    for (const Entry& entry : entries) {
        std::string path = job.prefix + directory + entry.name;
        if (!PassesPathFilter(path)) {
            continue;
        }
        std::string hostPath = job.hostPrefix + directory + entry.name;
        if (path.size() >= EntryPathSize) {
            // No manifest line can hold such a path, and libmagic fails outright on the
            // longest ones, which would end the whole run: report files without asking it.
            if (entry.type == DT_REG) {
                run_.Report(UnfitPathLine(path));
            }
            continue;
        }
        // With a cache, what the status of a regular file says decides whether it is read.
        FileIdentity identity;
        struct stat status;
        bool known = run_.cache != nullptr && entry.type == DT_REG &&
                     lstat(hostPath.c_str(), &status) == 0 && S_ISREG(status.st_mode);
        if (known) {
            identity = FileIdentity::Of(status);
        }
        const FileIdentity* recorded = known ? &identity : nullptr;
        std::string description;
        if (NeedsDescription(path) && !worker.Describe(path, hostPath, recorded, description)) {
            return;
        }
        if (ShouldSign(path, description, run_.signingTypes) &&
            client_.Sign(worker, {path, hostPath, entry.type == DT_LNK, recorded}, output.lines)) {
            ++job.signedCount;
        }
    }
}

void JobWalk::PieceDone(SigningWorker& worker, Job& job) {
    if (job.pending.fetch_sub(1, std::memory_order_acq_rel) != 1) {
        return;
    }
    job.millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - job.start)
                     .count();
    if (job.abandoned || run_.Failed()) {
        return;
    }
    job.output.MoveInto(job.lines);
    job.finished = true;
    client_.Finished(worker, job);
}

}  // namespace

Segment::~Segment() {
    std::vector<Segment*> pending = std::move(parts);
    while (!pending.empty()) {
        Segment* segment = pending.back();
        pending.pop_back();
        pending.insert(pending.end(), segment->parts.begin(), segment->parts.end());
        segment->parts.clear();
        delete segment;
    }
}

void Segment::MoveInto(std::string& out) {
    out += lines;
    std::vector<Segment*> pending(parts.rbegin(), parts.rend());
    parts.clear();
    while (!pending.empty()) {
        Segment* segment = pending.back();
        pending.pop_back();
        out += segment->lines;
        pending.insert(pending.end(), segment->parts.rbegin(), segment->parts.rend());
        segment->parts.clear();
        delete segment;
    }
}

Job::Job(size_t index, std::string path, std::string hostPath)
    : index(index),
      path(std::move(path)),
      hostPath(std::move(hostPath)),
      prefix(WithSeparator(this->path)),
      hostPrefix(WithSeparator(this->hostPath)) {}

void QueueJobs(RunContext& run, WalkClient& client, std::vector<std::unique_ptr<Job>>& jobs) {
    auto walk = std::make_shared<JobWalk>(run, client);
    for (auto job = jobs.rbegin(); job != jobs.rend(); ++job) {
        (*job)->pending = 1;
        run.queue.Push(
            [walk, job = job->get()](SigningWorker& worker) { walk->Start(worker, *job); });
    }
}
