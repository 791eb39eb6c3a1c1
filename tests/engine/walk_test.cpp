#include "engine/walk.h"

#include <fmt/core.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "engine/run_context.h"
#include "engine/signing_worker.h"
#include "support/test_support.h"

namespace {

// Signs every chosen file as a line of its own path, slowly, noting which worker did.
struct RecordingClient : public WalkClient {
    bool Sign(SigningWorker& worker, const ChosenFile& file, std::string& lines) override {
        usleep(1000);
        std::lock_guard<std::mutex> lock(mutex_);
        workers.insert(worker.Index());
        lines += file.path + "\n";
        return true;
    }
    void Finished(SigningWorker&, Job&) override {}
    std::set<int32_t> workers;
    std::mutex mutex_;
};

using WalkTest = TempDirTest;

// That the lines keep the walk order, whatever the number of workers, the generate run test
// finds in the manifest.
TEST_F(WalkTest, EveryWorkerTakesPartInASingleJob) {
    // The firmware tree is signed without libmagic: only the walk is at work here.
    const std::string job = "/usr/local/share/uefi-firmware/";
    for (int file = 0; file < 240; ++file) {
        WriteFile(Path(fmt::format("image{}d{}/s{}/f{}", job, file % 6, file % 2, file)), "");
    }
    RunContext run(Path("image"), ProgressMode::Hidden);
    std::vector<std::unique_ptr<Job>> jobs;
    jobs.push_back(std::make_unique<Job>(0, job, Path("image") + job));
    RecordingClient client;
    QueueJobs(run, client, jobs);
    RunWorkers(run, 4);
    EXPECT_EQ(client.workers.size(), 4u);
    // 6 directories with a subdirectory each and 240 files, the files all chosen in the
    // firmware tree.
    EXPECT_EQ(jobs[0]->entries + jobs[0]->signedCount, 252 + 240);
}

}  // namespace
