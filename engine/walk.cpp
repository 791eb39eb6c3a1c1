#include "engine/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/file_io.h"
#include "engine/file_identity.h"
#include "engine/image_root.h"
#include "engine/magic_classifier.h"
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

// A link in the place of a directory or a file fails the open: what a name held when its
// directory was listed, it may no longer hold. Nor may a named pipe hold the worker, nor a
// terminal become the process's own.
constexpr int DirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr int FileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

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

// A file's content, opened from its directory without following a link, with its status; or
// the system's error. Taken `lazily`, only its status is taken, by name, until Open.
struct Content {
    Content(int directory, const std::string& name, bool lazily = false)
        : directory(directory), name(name) {
        if (lazily) {
            error = fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
        } else {
            Open();
        }
    }
    // Opens it: true when its status is still the one taken, false when it changed (the status
    // is then the open file's) or it could not be opened (with `error` set).
    bool Open() {
        fd = UniqueFd(openat(directory, name.c_str(), FileFlags));
        struct stat opened;
        error = fd.Valid() && fstat(fd.Get(), &opened) == 0 ? 0 : errno;
        bool same = error == 0 && FileIdentity::Of(opened) == FileIdentity::Of(status);
        status = error == 0 ? opened : status;
        return same;
    }
    bool Opened() const { return fd.Valid(); }
    ChosenFile As(const std::string& path, const std::string& hostPath) const {
        return {path, hostPath, error == 0 ? fd.Get() : -1, error, status};
    }

    const int directory;
    const std::string& name;
    UniqueFd fd;
    struct stat status = {};
    int error = 0;
};

// Half of what the process may open: the rest serve the files that the workers read and the
// directories they open again.
int OpenDirectoryBudget() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) {
        return 1 << 16;
    }
    return static_cast<int>(std::clamp<rlim_t>(files.rlim_cur / 2, 8, 1 << 16));
}

// A listed directory of a job, shared by the pieces that list its subdirectories and sign its
// entries. It stays open while they last, unless the run already holds as many directories
// open as it allows itself: then each piece opens it again from the nearest open directory
// above it, name by name, and finds it is still the directory that was listed.
struct Directory {
    ~Directory() {
        if (fd.Valid()) {
            openCount->fetch_sub(1, std::memory_order_relaxed);
        }
    }

    std::string path;  // below the job's own, ending in a separator: "" for the job's own
    UniqueFd fd;       // open for the directory's whole life, or closed once it was listed
    // How many directories of the walk are open; it may outlive the walk, this does not.
    std::shared_ptr<std::atomic<int>> openCount;
    // What opens it again when it is closed: the one above (never closed for the job's own),
    // its name there, and its identity.
    std::shared_ptr<const Directory> parent;
    std::string name;
    dev_t device = 0;
    ino_t inode = 0;
};

// The descriptor of `directory`: its own, or one opened again into `reopened`. -1, with errno
// set, when it cannot be.
int DescriptorOf(const Directory& directory, UniqueFd& reopened) {
    std::vector<const Directory*> closed;
    const Directory* nearest = &directory;
    for (; !nearest->fd.Valid(); nearest = nearest->parent.get()) {
        closed.push_back(nearest);
    }
    int at = nearest->fd.Get();
    for (auto step = closed.rbegin(); step != closed.rend(); ++step) {
        UniqueFd next(openat(at, (*step)->name.c_str(), DirectoryFlags));
        struct stat status;
        if (!next.Valid() || fstat(next.Get(), &status) != 0) {
            return -1;
        }
        // Another directory put in its place since: the one listed is gone.
        if (status.st_dev != (*step)->device || status.st_ino != (*step)->inode) {
            errno = ENOENT;
            return -1;
        }
        reopened = std::move(next);
        at = reopened.Get();
    }
    return at;
}

// Every piece holds the walk, which lives as long as any piece of it.
class JobWalk : public std::enable_shared_from_this<JobWalk> {
  public:
    JobWalk(RunContext& run, WalkClient& client)
        : run_(run), client_(client), openBudget_(OpenDirectoryBudget()) {}

    void Start(SigningWorker& worker, Job& job);
    // Lists the subdirectory `name` of `parent`.
    void List(Job& job, const std::shared_ptr<const Directory>& parent, const std::string& name,
              Segment& output);
    void SignSlice(SigningWorker& worker, Job& job, const Directory& directory,
                   const std::vector<Entry>& entries, Segment& output);
    // Ends a piece of `job`; the job is finished with its last piece.
    void PieceDone(SigningWorker& worker, Job& job);

  private:
    // Reads the directory open at `fd`, `path` below the job's own, and queues its pieces.
    void Read(Job& job, UniqueFd fd, std::shared_ptr<const Directory> parent, std::string path,
              Segment& output);
    // Whether the signing types choose the regular file `file` named `path`. With a cache the
    // file is judged by its status first and opened only for what its record does not hold; one
    // found changed once opened is judged again from its descriptor, so that its description,
    // status and digest tell of one state. false once the run has failed.
    bool Choose(SigningWorker& worker, const std::string& path, const std::string& hostPath,
                Content& file, bool& chosen);
    // Signs the walked link `name` of the directory open at `directory`, when it is chosen.
    bool SignLink(SigningWorker& worker, int directory, const std::string& name,
                  const std::string& path, std::string& lines);

    RunContext& run_;
    WalkClient& client_;
    const int openBudget_;
    const std::shared_ptr<std::atomic<int>> openCount_ = std::make_shared<std::atomic<int>>(0);
};

void JobWalk::Start(SigningWorker& worker, Job& job) {
    job.start = std::chrono::steady_clock::now();
    // A job that did not resolve was reported when the jobs were assembled.
    ImageLocation where;
    int error = job.hostPath.empty() ? ENOENT : run_.root.Locate(job.path, where);
    struct stat status;
    if (error == 0 &&
        fstatat(where.directory.Get(), where.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        error = errno;
    }
    if (error != 0) {
        // A job that does not exist (a built-in directory this host lacks) is passed over.
        if (error != ENOENT && error != ENOTDIR) {
            run_.ReportFilesystemError("status", job.hostPath, error);
        }
        job.abandoned = true;
    } else if (S_ISREG(status.st_mode)) {
        // A queued file is signed whatever its name or type; without a line it has no block.
        job.entries = 1;
        run_.progress.counts.entries.fetch_add(1, std::memory_order_relaxed);
        Content file(where.directory.Get(), where.name);
        if (client_.Sign(worker, file.As(job.path, job.hostPath), job.output.lines)) {
            ++job.signedCount;
        } else {
            job.abandoned = true;
        }
    } else {
        UniqueFd directory(openat(where.directory.Get(), where.name.c_str(), DirectoryFlags));
        if (directory.Valid()) {
            Read(job, std::move(directory), nullptr, "", job.output);
        } else {
            run_.ReportFilesystemError("directory iterator cannot open directory", job.hostPath,
                                       errno);
            job.abandoned = true;
        }
    }
    PieceDone(worker, job);
}

void JobWalk::List(Job& job, const std::shared_ptr<const Directory>& parent,
                   const std::string& name, Segment& output) {
    UniqueFd reopened;
    int above = DescriptorOf(*parent, reopened);
    UniqueFd directory(above < 0 ? -1 : openat(above, name.c_str(), DirectoryFlags));
    if (!directory.Valid()) {
        // A directory removed while the walk runs is passed over, like a removed file.
        if (errno != ENOENT) {
            run_.ReportFilesystemError("directory iterator cannot open directory",
                                       job.hostPrefix + parent->path + name, errno);
        }
        return;
    }
    Read(job, std::move(directory), parent, parent->path + name + "/", output);
}

void JobWalk::Read(Job& job, UniqueFd fd, std::shared_ptr<const Directory> parent, std::string path,
                   Segment& output) {
    std::string hostPath = job.hostPrefix + path;
    if (!path.empty()) {
        hostPath.pop_back();
    }
    // The listing reads through a descriptor of its own; `fd` stays open for the pieces.
    DIR* listing = nullptr;
    int copy = fcntl(fd.Get(), F_DUPFD_CLOEXEC, 0);
    if (copy >= 0 && (listing = fdopendir(copy)) == nullptr) {
        close(copy);
    }
    if (listing == nullptr) {
        run_.ReportFilesystemError("directory iterator cannot open directory", hostPath, errno);
        // Only the piece that lists the job's own directory writes the flag: others run at once.
        if (parent == nullptr) {
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
                run_.ReportFilesystemError("cannot increment recursive directory iterator",
                                           hostPath, errno);
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
    if (entries.empty()) {
        return;
    }

    auto directory = std::make_shared<Directory>();
    directory->path = std::move(path);
    directory->openCount = openCount_;
    // The job's own directory stays open whatever the count: it has none above it.
    if (openCount_->fetch_add(1, std::memory_order_relaxed) < openBudget_ || parent == nullptr) {
        directory->fd = std::move(fd);
    } else {
        openCount_->fetch_sub(1, std::memory_order_relaxed);
        struct stat status;
        if (fstat(fd.Get(), &status) != 0) {
            run_.ReportFilesystemError("directory iterator cannot open directory", hostPath, errno);
            return;
        }
        directory->name = directory->path.substr(parent->path.size());
        directory->name.pop_back();
        directory->parent = std::move(parent);
        directory->device = status.st_dev;
        directory->inode = status.st_ino;
    }

    // Runs of entries become slices; a subdirectory ends its slice, and what lies below it
    // comes right after it.
    std::vector<WorkQueue::Piece> slices;
    std::vector<WorkQueue::Piece> subdirectories;
    std::vector<Entry> slice;
    auto sealSlice = [&] {
        if (slice.empty()) {
            return;
        }
        Segment* part = new Segment;
        output.parts.push_back(part);
        slices.push_back([walk = shared_from_this(), &job, directory, slice = std::move(slice),
                          part](SigningWorker& worker) {
            walk->SignSlice(worker, job, *directory, slice, *part);
            walk->PieceDone(worker, job);
        });
        slice.clear();
    };
    for (Entry& entry : entries) {
        bool subdirectory = entry.type == DT_DIR;
        std::string name = subdirectory ? entry.name : "";
        slice.push_back(std::move(entry));
        if (subdirectory || slice.size() == SliceSize) {
            sealSlice();
        }
        if (subdirectory) {
            Segment* part = new Segment;
            output.parts.push_back(part);
            subdirectories.push_back([walk = shared_from_this(), &job, directory,
                                      name = std::move(name), part](SigningWorker& worker) {
                walk->List(job, directory, name, *part);
                walk->PieceDone(worker, job);
            });
        }
    }
    sealSlice();
    job.pending += static_cast<int>(slices.size() + subdirectories.size());
    // Queued last, taken first: the slices before the subdirectories, each in the order of the
    // listing. A directory then stays open only while a subdirectory of it is to be listed.
    for (auto* pieces : {&subdirectories, &slices}) {
        for (auto piece = pieces->rbegin(); piece != pieces->rend(); ++piece) {
            run_.queue.Push(std::move(*piece));
        }
    }
}

void JobWalk::SignSlice(SigningWorker& worker, Job& job, const Directory& directory,
                        const std::vector<Entry>& entries, Segment& output) {
    UniqueFd reopened;
    int at = -1;
    for (const Entry& entry : entries) {
        std::string path = job.prefix + directory.path + entry.name;
        if (!PassesPathFilter(path)) {
            continue;
        }
        std::string hostPath = job.hostPrefix + directory.path + entry.name;
        if (path.size() >= EntryPathSize) {
            // No manifest line can hold such a path: a file is reported without being read.
            if (entry.type == DT_REG) {
                run_.Report(UnfitPathLine(path));
            }
            continue;
        }
        // Nothing else has content that the kernel could check.
        if (entry.type != DT_REG && entry.type != DT_LNK && entry.type != DT_UNKNOWN) {
            continue;
        }
        if (at < 0 && (at = DescriptorOf(directory, reopened)) < 0) {
            if (errno != ENOENT) {
                std::string listed = job.hostPrefix + directory.path;
                listed.pop_back();
                run_.ReportFilesystemError("directory iterator cannot open directory", listed,
                                           errno);
            }
            return;
        }
        if (entry.type == DT_LNK) {
            if (SignLink(worker, at, entry.name, path, output.lines)) {
                ++job.signedCount;
            }
            continue;
        }
        Content file(at, entry.name, run_.cache != nullptr);
        bool chosen = false;
        if (!Choose(worker, path, hostPath, file, chosen)) {
            return;
        }
        if (file.error == 0 && !file.Opened()) {
            worker.CountUnopened();
        }
        if (chosen && client_.Sign(worker, file.As(path, hostPath), output.lines)) {
            ++job.signedCount;
        }
    }
}

bool JobWalk::Choose(SigningWorker& worker, const std::string& path, const std::string& hostPath,
                     Content& file, bool& chosen) {
    for (;;) {
        chosen = false;
        // Made a link or anything but a file since it was listed; or, for a file it cannot
        // read, libmagic could only have told as much: no type chooses that.
        if (file.error != 0 ? NeedsDescription(path) : !S_ISREG(file.status.st_mode)) {
            return true;
        }
        std::string description;
        if (NeedsDescription(path)) {
            if (!file.Opened() && !worker.Cached(path, file.status, CacheNotes::Description) &&
                !file.Open()) {
                continue;
            }
            if (!worker.Describe(path, hostPath, file.Opened() ? file.fd.Get() : -1, file.status,
                                 description)) {
                return false;
            }
        }
        chosen = ShouldSign(path, description, run_.signingTypes);
        if (!chosen || file.error != 0 || file.Opened() ||
            worker.Cached(path, file.status, CacheNotes::Digest) || file.Open()) {
            return true;
        }
    }
}

bool JobWalk::SignLink(SigningWorker& worker, int directory, const std::string& name,
                       const std::string& path, std::string& lines) {
    std::string description;
    if (NeedsDescription(path) && !DescribeLink(directory, name, description)) {
        return false;
    }
    if (!ShouldSign(path, description, run_.signingTypes)) {
        return false;
    }
    // The content is the target's, found inside the image as the system booted from it would
    // find it; a target that cannot be found is passed over, as a broken link is.
    ImageLocation target;
    if (run_.root.Locate(path, target) != 0) {
        return false;
    }
    Content file(target.directory.Get(), target.name);
    return client_.Sign(worker, file.As(path, target.hostPath), lines);
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
        if ((*job)->foldedInto != nullptr) {
            continue;
        }
        (*job)->pending = 1;
        run.queue.Push(
            [walk, job = job->get()](SigningWorker& worker) { walk->Start(worker, *job); });
    }
}
