#include "engine/walk.h"

#include <fmt/core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "engine/run_context.h"
#include "engine/signing_worker.h"
#include "support/test_support.h"

namespace {

// Signs every chosen file, slowly, noting which worker did.
struct RecordingClient : public WalkClient {
    bool Sign(SigningWorker& worker, const ChosenFile&, std::string&) override {
        usleep(1000);
        std::lock_guard<std::mutex> lock(mutex_);
        workers.insert(worker.Index());
        return true;
    }
    void Finished(SigningWorker&, Job&) override {}
    std::set<int32_t> workers;
    std::mutex mutex_;
};

}  // namespace

using WalkTest = ImageTest;

// That the lines keep the walk order, whatever the number of workers, the generate run test
// finds in the manifest.
TEST_F(WalkTest, EveryWorkerTakesPartInASingleJob) {
    // The firmware tree is signed without libmagic: only the walk is at work here.
    const std::string job = "/usr/local/share/uefi-firmware/";
    for (int file = 0; file < 240; ++file) {
        WriteFile(Image(fmt::format("{}d{}/s{}/f{}", job, file % 6, file % 2, file)), "");
    }
    RunContext run(root_, ProgressMode::Hidden);
    std::vector<std::unique_ptr<Job>> jobs;
    jobs.push_back(std::make_unique<Job>(0, job, Image(job)));
    RecordingClient client;
    QueueJobs(run, client, jobs);
    RunWorkers(run, 4);
    EXPECT_EQ(client.workers.size(), 4u);
    // 6 directories with a subdirectory each and 240 files, the files all chosen in the
    // firmware tree.
    EXPECT_EQ(jobs[0]->entries + jobs[0]->signedCount, 252 + 240);
}

// The owner of an image swaps its directories, a job and files for links that climb out to a
// folder of the host, over and over, while generate and check --coverage walk the image: no
// name and no fingerprint of that folder may come out, however the race falls.
TEST_F(WalkTest, NothingFromOutsideTheTreeComesOutWhileItsOwnerSwapsLinksIn) {
    // The host's folder holds the names the image holds, so that a walk led there finds what
    // it looks for, with contents of its own. Its name makes a link to it an ELF to sign.
    WriteFile(Path("ELF-host/elf"), ReadFile("/bin/true") + "host", 0755);
    WriteFile(Path("ELF-host/sub/secret"), ReadFile("/bin/true") + "secret", 0755);
    // The image's files are copies of one: a line is a path and that one's fingerprint.
    const std::string fingerprint = ManifestLine("", "/bin/true");
    MakeElf("/tree/file", "/top/elf", "/single");
    std::string expected =
        "/top/elf" + fingerprint + "/tree/file" + fingerprint + "/single" + fingerprint;
    // What the owner swaps, and the link put in its place, relative to the image's folder.
    std::vector<std::pair<std::string, std::string>> swaps = {{"/top", "../ELF-host"},
                                                              {"/tree/file", "../../ELF-host/elf"},
                                                              {"/single", "../ELF-host/elf"}};
    for (int i = 0; i < 4; ++i) {
        std::string directory = fmt::format("/tree/d{}", i);
        MakeElf(directory + "/elf", directory + "/sub/elf");
        // Slices of files that take libmagic a while: the directory's other pieces come later.
        for (int text = 0; text < 40; ++text) {
            MakeText(fmt::format("{}/t{}", directory, text));
        }
        expected += directory + "/elf" + fingerprint + directory + "/sub/elf" + fingerprint;
        swaps.emplace_back(directory, "../../ELF-host");
    }
    WriteFile(Path("empty"), "");
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        for (int round = 0; round < 1000000 && !stop; ++round) {
            for (size_t i = 0; i < swaps.size(); ++i) {
                rename(Image(swaps[i].first).c_str(), Path(fmt::format("parked{}", i)).c_str());
                symlink(swaps[i].second.c_str(), Image(swaps[i].first).c_str());
            }
            for (size_t i = 0; i < swaps.size(); ++i) {
                unlink(Image(swaps[i].first).c_str());
                rename(Path(fmt::format("parked{}", i)).c_str(), Image(swaps[i].first).c_str());
            }
        }
    });
    const std::string jobs = " -d /tree -d /top -f /single -j 2 ";
    std::string out;
    for (int run = 0; run < 10; ++run) {
        Generate(Words(jobs + "-o " + Path("m")));
        out += ReadFile(Path("m")) +
               RunSign(Words("check --coverage -R " + root_ + jobs + Path("empty"))).out;
    }
    stop = true;
    owner.join();
    EXPECT_EQ(out.find(ManifestLine("", Path("ELF-host/elf")).substr(8, 128)), std::string::npos)
        << out;
    EXPECT_EQ(out.find("secret"), std::string::npos) << out;
    // The tree left in peace is walked whole.
    EXPECT_EQ(Generate(Words(jobs + "-o " + Path("m"))).status, 0);
    EXPECT_EQ(Sorted(Lines(ReadFile(Path("m")))), Sorted(Lines(expected)));
}
