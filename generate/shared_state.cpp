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

void ExitDuringRun(int status) {
    // The lock is never released: no worker writes another block after this point.
    ManifestMutex.lock();
    ManifestStream.flush();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(status);
}
