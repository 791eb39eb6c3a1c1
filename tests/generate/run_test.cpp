#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "support/generate_support.h"

namespace {

using RunTest = GenerateTest;

// The count in the totals line, whose time is six wide; "" when there is no such line.
std::string ProcessedCount(const std::string& out) {
    std::smatch totals;
    bool found = std::regex_search(
        out, totals, std::regex("\nDone, full time: ( *)(\\d+) ms, processed files: (\\d+)\n$"));
    return found && totals[1].length() + totals[2].length() == 6 ? totals[3].str() : "";
}

// The words of `text`, with "@" standing for `dir`.
std::vector<std::string> Words(const std::string& text, const std::string& dir) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    for (std::string word; stream >> word; words.push_back(word)) {
        for (size_t at; (at = word.find('@')) != std::string::npos;) {
            word.replace(at, 1, dir);
        }
    }
    return words;
}

// One run over one tree: what is listed, chosen, written and printed for each kind of job.
TEST_F(RunTest, ListsOrderedJobsAndTypesThenWritesABlockAndAProgressLinePerJob) {
    MakeElf(Path("tree/bin/true"));
    MakeScript(Path("tree/bin/run.sh"));
    MakeText(Path("tree/doc/readme"));
    MakeElf(Path("tree/lib/libx.so.debug"));
    MakeElf(Path("tree/cache.pyc/elf"));
    std::filesystem::create_directory(Path("tree/empty"));
    std::filesystem::create_symlink("bin/true", Path("tree/link"));
    std::filesystem::create_directory(Path("empty"));
    MakeText(Path("notes.pyc"));
    MakeElf(Path("real/dir/elf"));
    std::filesystem::create_symlink(Path("real/dir/elf"), Path("file-link"));
    std::filesystem::create_symlink(Path("real/dir"), Path("dir-link"));
    WriteFile(Path("config.json"), R"({"dirs": [")" + Path("tree") +
                                       R"("], "types": ["ELF", "Zsh script", "awk script"]})");
    ProcessResult result = Generate(
        Words("-c @/missing.json --config @/config.json -o @/first --out-file=@/m "
              "-d /usr/lib-x -d /usr/lib/x -d lib -d /usr//bin -d /usr/bin/ -f @/f -d @/f -d /etc "
              "-f @/notes.pyc -d @/empty -f @/file-link -d @/dir-link -d @/nothing-here "
              "-f @/nor-here -f -d",
              dir_));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");

    // A single-valued option keeps its last value, and "-f -d" queues the file "-d". Path order,
    // not text order: relative before absolute, "/usr/lib/x" before "/usr/lib-x". The first of
    // equal paths is kept, and a trailing separator makes a job of its own.
    std::string listed = "Config path from command line: " + Path("config.json") + "\n";
    for (const std::string& job :
         Words("-d lib /bin /boot /etc /lib /libexec /sbin @/dir-link @/empty @/f @/file-link "
               "@/nor-here @/notes.pyc @/nothing-here @/tree /usr/bin /usr/bin/ /usr/lib "
               "/usr/lib/x /usr/lib-x /usr/libexec /usr/local/bin /usr/local/etc /usr/local/lib "
               "/usr/local/libexec /usr/local/sbin /usr/local/share/uefi-firmware/ /usr/sbin",
               dir_)) {
        listed += "Job queue: " + job + "\n";
    }
    // Byte order: upper case before lower case.
    for (const char* type : {"ELF", "POSIX", "Perl script", "Python script", "Zsh script",
                             "awk script", "setgid ELF", "setuid ELF"}) {
        listed += std::string("Signing types: ") + type + "\n";
    }
    listed += "Start signing, using 1 jobs...\n|    Time     | Thr |  All  |Sign |\n";
    EXPECT_EQ(result.out.substr(0, listed.size()), listed);

    std::string manifest = ReadFile(Path("m"));
    std::string elf = ExpectedLine(Path("real/dir/elf")).substr(Path("real/dir/elf").size());
    // Links named as jobs are followed but keep their own path; a queued file is hashed
    // whatever its name or type; a link met in a walk is not followed.
    EXPECT_EQ(Sorted(LinesUnder(manifest, dir_)),
              Sorted({ExpectedLine(Path("tree/bin/true")), ExpectedLine(Path("tree/bin/run.sh")),
                      ExpectedLine(Path("notes.pyc")), Path("file-link") + elf,
                      Path("dir-link/elf") + elf}));
    // Entries of tree: bin, bin/true, bin/run.sh, doc, doc/readme, lib, lib/libx.so.debug,
    // cache.pyc, cache.pyc/elf, empty, link.
    std::string tree = ProgressLine(result.out, Path("tree"));
    EXPECT_TRUE(std::regex_match(tree, std::regex("\\[ {0,7}\\d{1,8} ms\\] .*\n"))) << tree;
    EXPECT_EQ(tree.substr(12), "] [  0] [   11] [    2] [  18.18 %] OK: " + Path("tree") + "\n");
    EXPECT_EQ(ProgressLine(result.out, Path("notes.pyc")).substr(12),
              "] [  0] [    1] [    1] [ 100.00 %] OK: " + Path("notes.pyc") + "\n");
    // An empty directory's 0/0 is the formatter's not-a-number, right-aligned.
    EXPECT_TRUE(std::regex_match(ProgressLine(result.out, Path("empty")),
                                 std::regex("\\[ +\\d+ ms\\] \\[  0\\] \\[    0\\] \\[    0\\] "
                                            "\\[ {3}-nan %\\] OK: .*\n|.*\\[ {4}nan %\\].*\n")))
        << result.out;
    EXPECT_NE(ProgressLine(result.out, "/usr/bin"), "");
    EXPECT_NE(ProgressLine(result.out, "/usr/bin/"), "");
    // Jobs that do not exist are passed over without a word.
    for (const char* missing : {"f", "nothing-here", "nor-here"}) {
        EXPECT_EQ(ProgressLine(result.out, Path(missing)), "") << missing;
    }

    EXPECT_EQ(ProcessedCount(result.out), std::to_string(Lines(manifest).size()));
}

TEST_F(RunTest, AnyNumberOfWorkersOrADryRunGivesTheSameLinesInWholeBlocksThatLoadReads) {
    for (const char* job : {"one", "two", "three"}) {
        for (int i = 0; i < 5; ++i) {
            MakeElf(Path(std::string(job) + "/d" + std::to_string(i) + "/elf"));
        }
        MakeScript(Path(std::string(job) + "/script"));
    }
    const std::string jobs = " -d @/one -d @/two -d @/three";
    std::vector<std::string> reference;
    std::string count;
    // More workers than jobs; the count is decimal whatever its leading zeros.
    for (const auto& [options, workers] : {std::pair<std::string, std::string>{"-j 1", "1"},
                                           {"--jobs 2", "2"},
                                           {"-j 4 --jobs 040", "40"}}) {
        ProcessResult result = Generate(Words("-o @/m " + options + jobs, dir_));
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find("Start signing, using " + workers + " jobs...\n"),
                  std::string::npos);
        std::string manifest = ReadFile(Path("m"));
        if (reference.empty()) {
            reference = Sorted(Lines(manifest));
            count = ProcessedCount(result.out);
            EXPECT_EQ(LinesUnder(manifest, dir_).size(), 18u);
        }
        EXPECT_EQ(Sorted(Lines(manifest)), reference) << workers << " workers";
        for (const char* job : {"one", "two", "three"}) {
            std::string block;
            for (const std::string& line : LinesUnder(manifest, Path(job) + "/")) {
                block += line;
            }
            EXPECT_NE(manifest.find(block), std::string::npos)
                << "lines of " << job << " interleaved with another job with " << workers;
            EXPECT_NE(ProgressLine(result.out, Path(job)), "");
        }
    }
    ProcessResult load = RunSign({"load", Path("m")});
    EXPECT_EQ(load.err, "");
    EXPECT_EQ(load.out, "Loaded " + std::to_string(reference.size()) + " entries (0 errors) from " +
                            Path("m") + "\n");
    EXPECT_EQ(load.status, 0);

    // Without -o nothing is written, but everything is listed, hashed and counted.
    std::filesystem::remove(Path("m"));
    auto before = std::distance(std::filesystem::directory_iterator(dir_), {});
    ProcessResult dry = Generate(Words(jobs, dir_));
    EXPECT_EQ(dry.status, 0);
    EXPECT_EQ(dry.err, "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), before);
    EXPECT_NE(ProgressLine(dry.out, Path("one")), "");
    EXPECT_EQ(ProcessedCount(dry.out), count);
}

TEST_F(RunTest, ManifestThatCannotBeCreatedOrWrittenFailsTheRun) {
    // Returns what the run listed.
    auto expectFailure = [this](const std::vector<std::string>& arguments, const std::string& err,
                                uid_t user = static_cast<uid_t>(-1)) {
        ProcessOptions options = HiddenSystem();
        options.user = user;
        ProcessResult result = Generate(arguments, options);
        EXPECT_EQ(result.status, 1) << err;
        EXPECT_EQ(result.err, err);
        return result.out;
    };
    // Nothing is listed: the run stops before its first step.
    const std::string cannotOpen = "Error: cannot open manifest file ";
    EXPECT_EQ(expectFailure({"-o", Path("missing/m")},
                            cannotOpen + Path("missing/m") + ": No such file or directory\n"),
              "");
    EXPECT_EQ(expectFailure({"-o", dir_}, cannotOpen + dir_ + ": Is a directory\n"), "");
    EXPECT_EQ(expectFailure({"-o", Path("m")}, cannotOpen + Path("m") + ": Permission denied\n",
                            UnprivilegedUser),
              "");
    // A full disk is found only when the blocks are written: the run completes, then fails.
    MakeElf(Path("tree/a"));
    EXPECT_NE(
        expectFailure({"-o", "/dev/full", "-d", Path("tree")},
                      "Error: cannot write manifest file /dev/full: No space left on device\n")
            .find("Done, full time:"),
        std::string::npos);
    // The module check comes before the manifest is opened, and so truncated.
    WriteFile(Path("m"), "kept\n");
    ASSERT_EQ(RunEmulator({"kldunload", "mac_veriexec_sha512.ko"}).status, 0);
    EXPECT_EQ(
        expectFailure({"-o", Path("m"), "-d", dir_},
                      "Error: required kernel module 'mac_veriexec_sha512.ko' is not loaded\n"),
        "");
    EXPECT_EQ(ReadFile(Path("m")), "kept\n");
}

TEST_F(RunTest, RefusedWorkerThreadIsReportedAfterTheOthersFinish) {
    std::filesystem::create_directory(Path("out"));
    chmod(Path("out").c_str(), 0777);
    for (int i = 0; i < 4; ++i) {
        MakeElf(Path("tree" + std::to_string(i) + "/elf"));
    }
    ProcessOptions limited = HiddenSystem();
    // A user of its own: the limit counts every process of the user on the host, and other
    // tests run as UnprivilegedUser at the same time.
    limited.user = UnprivilegedUser + 1;
    // Room for the process, a sanitizer's own thread and one worker, not for six workers.
    limited.maxProcesses = 3;
    ProcessResult result = Generate(
        Words("-o @/out/m -j 6 -d @/tree0 -d @/tree1 -d @/tree2 -d @/tree3", dir_), limited);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: cannot start worker thread: Resource temporarily unavailable\n");
    EXPECT_EQ(LinesUnder(ReadFile(Path("out/m")), dir_).size(), 4u);
    EXPECT_NE(result.out.find("processed files:"), std::string::npos);
}

}  // namespace
