#include "engine/run_context.h"

#include <fmt/core.h>

#include <algorithm>
#include <iostream>
#include <system_error>
#include <thread>

#include "common/allocator.h"
#include "common/printable_path.h"
#include "engine/signing_worker.h"

void Turns::Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    given_.wait(lock, [this] { return free_ > 0; });
    --free_;
}

void Turns::Give() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++free_;
    }
    given_.notify_one();
}

void RunContext::Report(const std::string& line) {
    progress.Print(std::cerr, line);
    ++reportedErrors_;
}

void RunContext::ReportFilesystemError(const char* what, const std::string& path, int error) {
    Report(fmt::format("Filesystem error: filesystem error: {}: {} [{}]\n", what,
                       std::generic_category().message(error), PrintablePath(path)));
}

void RunContext::Fail(const std::string& message) {
    {
        std::lock_guard<std::mutex> lock(failureMutex_);
        if (failed_) {
            return;
        }
        failure_ = message;
        failed_ = true;
    }
    queue.Stop();
}

std::string RunContext::UseCache(const std::string& path) {
    cache = std::make_unique<FileCache>();
    std::string unused;
    if (std::string refusal = cache->Read(path, magic.Identity(), unused); !refusal.empty()) {
        cache.reset();
        return fmt::format("Error: refusing {}: {}\n", PrintablePath(path), refusal);
    }
    if (!unused.empty()) {
        std::cerr << fmt::format("Warning: cache file {} not used: {}\n", PrintablePath(path),
                                 unused);
    }
    return "";
}

std::vector<std::unique_ptr<SigningWorker>> RunWorkers(RunContext& run, int32_t count) {
    std::vector<std::unique_ptr<SigningWorker>> workers;
    std::vector<std::thread> threads;
    std::string refusal;
    // For each file a worker describes, libmagic takes buffers of up to its byte limit (7 MiB),
    // for the file's start and its end. With several workers, each would keep them in its own
    // heap once freed; mapped apart, they go back to the system once the file is described. One
    // worker keeps them: giving them back after every file only costs it page faults.
    if (count > 1) {
        MapLargeBlocksApart();
    }
    // And while they are in use, they would add to the peak as many times as workers describe
    // a large file at once. Such files are one in a few hundred, described in a few milliseconds
    // each: one turn for eight workers bounds the memory and leaves the others busy.
    run.largeFiles.SetLimit(std::max(1, count / 8));
    run.progress.Start(run.cache != nullptr);
    for (int32_t index = 0; index < count; ++index) {
        workers.push_back(std::make_unique<SigningWorker>(run, index));
        try {
            threads.emplace_back(&SigningWorker::Run, workers.back().get());
        } catch (const std::system_error& error) {
            workers.pop_back();
            refusal =
                fmt::format("Error: cannot start worker thread: {}\n", error.code().message());
            break;
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    run.progress.Stop();
    // Without a single worker nothing was walked: the run must not pass for complete.
    if (threads.empty() && !refusal.empty()) {
        run.Fail(refusal);
    } else if (!refusal.empty()) {
        run.Report(refusal);
    }
    return workers;
}
