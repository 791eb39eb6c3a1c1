// What every worker of a run shares with the others and with the run: where the files are, the
// signing types, the queue of work, the libmagic database, the count of errors reported and
// the failure that stops the run, its status line, and the turns to describe large files. Built
// before the workers start; only the queue, the count, the failure, the turns and the status
// line's counts change while they run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/cache.h"
#include "engine/image_root.h"
#include "engine/magic_classifier.h"
#include "engine/progress.h"
#include "engine/work_queue.h"

// Lets a bounded number of threads through at a time; the others wait for a turn.
class Turns {
  public:
    void SetLimit(int32_t limit) { free_ = limit; }
    void Take();
    void Give();

  private:
    std::mutex mutex_;
    std::condition_variable given_;
    int32_t free_ = 1;
};

class RunContext {
  public:
    RunContext(const std::string& root, ProgressMode progress) : root(root), progress(progress) {}

    // Writes one error line on stderr, through the status line; any such line makes the
    // command's status 1.
    void Report(const std::string& line);
    // Reports a file system call that failed on `path`, in the words of the walk's messages.
    void ReportFilesystemError(const char* what, const std::string& path, int error);
    int32_t ReportedErrors() const { return reportedErrors_.load(); }
    // Stops the run: no more work is handed out, and `message` is what ends it. Only the first
    // failure is kept.
    void Fail(const std::string& message);
    bool Failed() const { return failed_.load(); }
    // The failure that stopped the run; read once every worker has ended.
    const std::string& Failure() const { return failure_; }
    // Keeps the cache file at `path` for the run. One that cannot be used makes the run slower,
    // never wrong: a warning says why, and the run goes on as if there were none. But one that
    // someone else could have written or swapped, or that would have the run write elsewhere (a
    // link, anything but a regular file), is refused: the error line to end the run with, or "".
    // Nothing is then read from it, and the run does not rewrite it.
    std::string UseCache(const std::string& path);

    const ImageRoot root;
    std::set<std::string> signingTypes;
    WorkQueue queue;
    MagicDatabase magic;
    // What is known of files read before, when the run keeps a cache.
    std::unique_ptr<FileCache> cache;
    // Shown while the workers run. Only a display, synchronised on its own: what reads the run
    // as const still adds to its counts.
    mutable ProgressLine progress;
    // Taken by a worker to describe a file for which libmagic takes large buffers.
    Turns largeFiles;

  private:
    std::atomic<int32_t> reportedErrors_{0};
    std::atomic<bool> failed_{false};
    std::mutex failureMutex_;
    std::string failure_;
};

// Runs `count` workers over the queue, each in a thread of its own, until the work is done or
// the run fails. A worker thread that the system refuses is reported once the others have
// finished; when none can be started, that ends the run. Returns the workers, for their totals.
std::vector<std::unique_ptr<class SigningWorker>> RunWorkers(RunContext& run, int32_t count);
