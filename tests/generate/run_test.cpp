#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "support/generate_support.h"

namespace {

using RunTest = GenerateTest;

// The lines of `out` that start with `prefix`, the prefix removed.
std::vector<std::string> Listed(const std::string& out, const std::string& prefix) {
    std::vector<std::string> listed;
    for (const std::string& line : Lines(out)) {
        if (line.rfind(prefix, 0) == 0) {
            listed.push_back(line.substr(prefix.size(), line.size() - prefix.size() - 1));
        }
    }
    return listed;
}

TEST_F(RunTest, ListsJobsInPathOrderKeepingTheFirstOfEqualPaths) {
    ProcessResult result =
        Generate({"-d", "/usr/lib-x", "-d", "/usr/lib/x", "-d", "lib", "-d", "/usr//bin", "-d",
                  "/usr/bin/", "-f", Path("f"), "-d", Path("f"), "-d", "/etc"});
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<std::string> expected = {"lib",
                                         "/bin",
                                         "/boot",
                                         "/etc",
                                         "/lib",
                                         "/libexec",
                                         "/sbin",
                                         Path("f"),
                                         "/usr/bin",
                                         "/usr/bin/",
                                         "/usr/lib",
                                         "/usr/lib/x",
                                         "/usr/lib-x",
                                         "/usr/libexec",
                                         "/usr/local/bin",
                                         "/usr/local/etc",
                                         "/usr/local/lib",
                                         "/usr/local/libexec",
                                         "/usr/local/sbin",
                                         "/usr/local/share/uefi-firmware/",
                                         "/usr/sbin"};
    EXPECT_EQ(Listed(result.out, "Job queue: "), expected);
    // A trailing separator makes a distinct job that walks the same directory again.
    EXPECT_NE(ProgressLine(result.out, "/usr/bin"), "");
    EXPECT_NE(ProgressLine(result.out, "/usr/bin/"), "");
}

TEST_F(RunTest, ListsConfiguredAndBuiltInTypesOnceInByteOrder) {
    WriteFile(Path("config.json"),
              R"({"dirs": [")" + Path("extra") + R"("], "types": ["ELF", "Zsh script", "a"]})");
    ProcessResult result = Generate({"-c", Path("config.json")});
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<std::string> expected = {"ELF",        "POSIX", "Perl script", "Python script",
                                         "Zsh script", "a",     "setgid ELF",  "setuid ELF"};
    EXPECT_EQ(Listed(result.out, "Signing types: "), expected);
    std::vector<std::string> jobs = Listed(result.out, "Job queue: ");
    EXPECT_NE(std::find(jobs.begin(), jobs.end(), Path("extra")), jobs.end());
    EXPECT_EQ(Lines(result.out).front(),
              "Config path from command line: " + Path("config.json") + "\n");
}

TEST_F(RunTest, PrintsStartLineHeaderAndTotalsOfWrittenLines) {
    MakeElf(Path("tree/a"));
    MakeScript(Path("tree/b"));
    ProcessResult result = Generate({"-d", Path("tree"), "-o", Path("m"), "-j", "3"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Start signing, using 3 jobs...\n"
                              "|    Time     | Thr |  All  |Sign |\n"),
              std::string::npos);
    std::smatch totals;
    ASSERT_TRUE(std::regex_search(result.out, totals,
                                  std::regex("\nDone, full time: ( *)(\\d+) ms, processed files: "
                                             "(\\d+)\n$")));
    EXPECT_EQ(totals[1].length() + totals[2].length(), 6);
    EXPECT_EQ(std::stoul(totals[3]), Lines(ReadFile(Path("m"))).size());
    EXPECT_EQ(LinesUnder(ReadFile(Path("m")), Path("tree")).size(), 2u);
}

TEST_F(RunTest, DryRunListsAndCountsButWritesNothing) {
    MakeElf(Path("tree/a"));
    MakeElf(Path("tree/b"));
    auto before = std::distance(std::filesystem::directory_iterator(dir_), {});
    ProcessResult dry = Generate({"-d", Path("tree")});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(dry.err, "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), before);
    EXPECT_NE(ProgressLine(dry.out, Path("tree")), "");

    ProcessResult written = Generate({"-d", Path("tree"), "-o", Path("m")});
    std::regex processed("processed files: (\\d+)\n$");
    std::smatch dryCount, writtenCount;
    ASSERT_TRUE(std::regex_search(dry.out, dryCount, processed));
    ASSERT_TRUE(std::regex_search(written.out, writtenCount, processed));
    EXPECT_EQ(dryCount[1], writtenCount[1]);
}

TEST_F(RunTest, AnyNumberOfWorkersWritesTheSameLinesInWholeBlocks) {
    for (const char* job : {"one", "two", "three"}) {
        for (int i = 0; i < 5; ++i) {
            MakeElf(Path(std::string(job) + "/d" + std::to_string(i) + "/elf"));
        }
        MakeScript(Path(std::string(job) + "/script"));
    }
    std::vector<std::string> reference;
    for (const char* jobs : {"1", "2", "40"}) {
        ProcessResult result = Generate({"-d", Path("one"), "-d", Path("two"), "-d", Path("three"),
                                         "-o", Path("m"), "-j", jobs});
        EXPECT_EQ(result.status, 0) << result.err;
        std::string manifest = ReadFile(Path("m"));
        std::vector<std::string> lines = Sorted(Lines(manifest));
        if (reference.empty()) {
            reference = lines;
            EXPECT_EQ(LinesUnder(manifest, dir_).size(), 18u);
        }
        EXPECT_EQ(lines, reference) << jobs << " workers";
        std::string text = "\n" + manifest;
        for (const char* job : {"one", "two", "three"}) {
            std::string prefix = Path(job) + "/";
            size_t first = text.find("\n" + prefix);
            size_t last = text.rfind("\n" + prefix);
            ASSERT_NE(first, std::string::npos);
            std::string block = text.substr(first + 1, last - first);
            EXPECT_EQ(LinesUnder(block, prefix).size(), Lines(block).size())
                << "lines of " << job << " interleaved with another job with " << jobs;
            EXPECT_NE(ProgressLine(result.out, Path(job)), "");
        }
    }
}

TEST_F(RunTest, ManifestThatCannotBeCreatedStopsBeforeAnythingIsListed) {
    struct Case {
        std::string path;
        const char* error;
    } cases[] = {
        {Path("missing/m"), "No such file or directory"},
        {dir_, "Is a directory"},
    };
    for (const Case& c : cases) {
        ProcessResult result = Generate({"-o", c.path, "-d", dir_});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "Error: cannot open manifest file " + c.path + ": " + c.error + "\n");
    }
    ProcessOptions unprivileged = HiddenSystem();
    unprivileged.user = UnprivilegedUser;
    ProcessResult refused = Generate({"-o", Path("m")}, unprivileged);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err,
              "Error: cannot open manifest file " + Path("m") + ": Permission denied\n");
}

TEST_F(RunTest, MissingModuleLeavesAnExistingManifestUntouched) {
    WriteFile(Path("m"), "kept\n");
    ASSERT_EQ(RunEmulator({"kldunload", "mac_veriexec_sha512.ko"}).status, 0);
    ProcessResult result = Generate({"-o", Path("m"), "-d", dir_});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: required kernel module 'mac_veriexec_sha512.ko' is not loaded\n");
    EXPECT_EQ(ReadFile(Path("m")), "kept\n");
}

TEST_F(RunTest, FailedManifestWriteIsReportedAfterTheTotals) {
    MakeElf(Path("tree/a"));
    ProcessResult result = Generate({"-o", "/dev/full", "-d", Path("tree")});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("Done, full time:"), std::string::npos);
    EXPECT_EQ(result.err, "Error: cannot write manifest file /dev/full: No space left on device\n");
}

TEST_F(RunTest, RefusedWorkerThreadIsReportedAfterTheOthersFinish) {
    for (int i = 0; i < 4; ++i) {
        MakeElf(Path("tree" + std::to_string(i) + "/elf"));
    }
    std::filesystem::create_directory(Path("out"));
    chmod(Path("out").c_str(), 0777);
    std::vector<std::string> arguments = {"-o", Path("out/m"), "-j", "6"};
    for (int i = 0; i < 4; ++i) {
        arguments.insert(arguments.end(), {"-d", Path("tree" + std::to_string(i))});
    }
    ProcessOptions limited = HiddenSystem();
    // A user of its own: the limit counts every process of the user on the host, and other
    // tests run as UnprivilegedUser at the same time.
    limited.user = UnprivilegedUser + 1;
    // Room for the process, a sanitizer's own thread and one worker, not for six workers.
    limited.maxProcesses = 3;
    ProcessResult result = Generate(arguments, limited);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: cannot start worker thread: Resource temporarily unavailable\n");
    EXPECT_EQ(LinesUnder(ReadFile(Path("out/m")), dir_).size(), 4u);
    EXPECT_NE(result.out.find("processed files:"), std::string::npos);
}

TEST_F(RunTest, JobPathsThatDoNotExistAreSilentAndHarmless) {
    ProcessResult result =
        Generate({"-d", Path("nothing-here"), "-f", Path("nor-here"), "-o", Path("m")});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ProgressLine(result.out, Path("nothing-here")), "");
    EXPECT_EQ(LinesUnder(ReadFile(Path("m")), dir_).size(), 0u);
}

}  // namespace
