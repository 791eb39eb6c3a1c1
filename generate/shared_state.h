// The process-wide objects that a generate run shares between its main thread and its
// workers: the job queue, the signing types, the manifest stream, their two locks and the
// run's totals. The main thread fills them before any worker starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>

extern std::mutex ManifestMutex;
extern std::mutex QueueMutex;
extern std::ofstream ManifestStream;
extern std::deque<std::filesystem::path> JobQueue;
extern std::set<std::string> SigningTypes;
extern std::atomic<int32_t> SignedFileCount;
extern std::atomic<int64_t> TotalJobMillis;
// errno of the first failed write to ManifestStream, 0 when none failed; under ManifestMutex.
extern int ManifestWriteError;
// Errors reported on stderr during the run; any of them makes the run end with status 1.
extern std::atomic<int32_t> ReportedErrorCount;

// Ends the process with status 1 after `message` while workers may still be running: waits
// for any block being written, writes the message, flushes the manifest and the standard
// streams, and exits without running destructors that other threads could still be using.
// Only the first caller's message is written.
[[noreturn]] void FailDuringRun(const std::string& message);
