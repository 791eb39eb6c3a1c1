#include "generate/shared_state.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

// Defined in one place so that they are created in this order and destroyed in reverse.
std::mutex ManifestMutex;
std::mutex QueueMutex;
std::ofstream ManifestStream;
std::deque<std::filesystem::path> JobQueue;
std::set<std::string> SigningTypes;
std::atomic<int32_t> SignedFileCount{0};
std::atomic<int64_t> TotalJobMillis{0};
std::atomic<int32_t> ReportedErrorCount{0};
int ManifestWriteError = 0;

void FailDuringRun(const std::string& message) {
    // The lock is never released: no worker writes another block, and a second failing
    // worker waits here until the process is gone.
    ManifestMutex.lock();
    std::cout.flush();
    std::fputs(message.c_str(), stderr);
    ManifestStream.flush();
    std::fflush(nullptr);
    std::_Exit(1);
}
