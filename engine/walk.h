// The walk of a run's jobs, shared among its workers. A queued file is one piece of work; a
// queued directory is walked piece by piece, each piece listing one directory or choosing and
// signing a slice of its entries. However the pieces run, a job's lines come out in the order
// of its walk: a directory's entries in the order the system reads them, a subdirectory's
// entries right after its own. The walk never leaves the tree it was given: each directory is
// opened from the one above it, and each file from its directory, never through a link.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class RunContext;
class SigningWorker;

// One stretch of a job's output, in walk order: its own lines, then its parts' in turn. A
// tree as deep as the directories, taken apart without recursion.
struct Segment {
    Segment() = default;
    ~Segment();
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;
    // Appends the whole stretch to `out`, releasing its parts on the way.
    void MoveInto(std::string& out);

    std::string lines;
    std::vector<Segment*> parts;  // owned
};

// One queued path and what walking it gathers.
struct Job {
    Job(size_t index, std::string path, std::string hostPath);

    const size_t index;          // in the job queue
    const std::string path;      // as queued: manifest lines and progress lines name it so
    const std::string hostPath;  // where it lies on the running system
    const std::string prefix;    // of its entries' paths, and of where they lie
    const std::string hostPrefix;
    // Set while the jobs are assembled when the job is a link to a directory that the job
    // `foldedInto` walks anyway, and names `foldedAs`: it is then not walked itself.
    const Job* foldedInto = nullptr;
    std::string foldedAs;

    std::atomic<int32_t> entries{0};
    std::atomic<int32_t> signedCount{0};
    // Set by the worker that ran the job's last piece, read once the workers have ended.
    bool finished = false;
    int64_t millis = 0;
    std::string lines;  // the job's output, in walk order

    // Used by the walk while the job runs.
    std::atomic<int> pending{0};
    bool abandoned = false;
    std::chrono::steady_clock::time_point start;
    Segment output;
};

// A file chosen for signing: a queued regular file, or a walked entry that the path filter
// passes and the signing types choose.
struct ChosenFile {
    const std::string& path;      // as the manifest names it
    const std::string& hostPath;  // where its content lies on the running system, for messages
    // Its content, open (a symbolic link met in a walk at its target, found inside the image),
    // with the status `status`; or -1, with the system's `error`; or -1 with `error` 0 when it
    // was not opened, since the run's cache holds its digest for that status.
    int fd;
    int error;
    const struct stat& status;
};

// What a walk leaves to the run that walks.
class WalkClient {
  public:
    virtual ~WalkClient() = default;
    // Appends the chosen file's line, if it has one, to `lines` and says whether it did.
    virtual bool Sign(SigningWorker& worker, const ChosenFile& file, std::string& lines) = 0;
    // The last piece of `job` is done: its output and counts are complete.
    virtual void Finished(SigningWorker& worker, Job& job) = 0;
};

// Queues the first piece of every job that is not folded into another, the first job to be
// taken first.
void QueueJobs(RunContext& run, WalkClient& client, std::vector<std::unique_ptr<Job>>& jobs);
