// The jobs of a run on the running system, without an image root: a link to a directory that
// another job walks is folded into it, whatever the link's spelling, and the names below it
// follow.
#include "generate/job_list.h"

#include <filesystem>

#include "support/test_support.h"

namespace fs = std::filesystem;

using JobListTest = TempDirTest;

TEST_F(JobListTest, LinksToWalkedDirectoriesAreFoldedOnTheRunningSystem) {
    Shell("mkdir -p usr/lib/x opt && ln -s usr/lib lib && ln -s " + Path("usr/lib/x") +
          " x && ln -s opt alone && ln -s missing broken");
    GenerateSettings settings;
    settings.directories = {Path("usr/lib"), Path("lib/"),   Path("x"),
                            Path("alone"),   Path("broken"), "lib"};
    RunContext run("", ProgressMode::Hidden);
    std::vector<std::unique_ptr<Job>> jobs = AssembleJobs(settings, Configuration(), run);
    std::map<std::string, std::string> folded;
    for (const auto& job : jobs) {
        if (job->foldedInto != nullptr) {
            folded[job->path] = job->foldedInto->path + " as " + job->foldedAs;
        }
    }
    // The host's own merged /usr folds as well; only this test's jobs are looked at.
    EXPECT_EQ(folded.at(Path("lib/")), Path("usr/lib") + " as " + Path("usr/lib"));
    EXPECT_EQ(folded.at(Path("x")), Path("usr/lib") + " as " + Path("usr/lib/x"));
    EXPECT_EQ(folded.at("lib"), Path("usr/lib") + " as " + Path("usr/lib"));
    EXPECT_EQ(folded.count(Path("alone")) + folded.count(Path("broken")), 0u);
    EXPECT_EQ(WalkedName(Path("lib/x/tool"), jobs), Path("usr/lib/x/tool"));
    EXPECT_EQ(WalkedName(Path("x/tool"), jobs), Path("usr/lib/x/tool"));
    EXPECT_EQ(WalkedName(Path("alone/tool"), jobs), Path("alone/tool"));
    EXPECT_EQ(WalkedName(Path("libx"), jobs), Path("libx"));
}
