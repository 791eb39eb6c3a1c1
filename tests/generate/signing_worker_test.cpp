#include "generate/signing_worker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "support/generate_support.h"

namespace {

using SigningWorkerTest = GenerateTest;

ProcessOptions Unprivileged() {
    ProcessOptions options = HiddenSystem();
    options.user = UnprivilegedUser;
    return options;
}

TEST(PathFitsManifestTest, RefusesWhatTheLoaderWouldReadBackDifferently) {
    EXPECT_TRUE(PathFitsManifest("/usr/bin/true"));
    EXPECT_TRUE(PathFitsManifest("relative/tab\tname"));
    EXPECT_TRUE(PathFitsManifest("/" + std::string(1022, 'a')));
    EXPECT_FALSE(PathFitsManifest("/" + std::string(1023, 'a')));
    EXPECT_FALSE(PathFitsManifest("/usr/bin/with space"));
    EXPECT_FALSE(PathFitsManifest("/usr/bin/new\nline"));
    EXPECT_FALSE(PathFitsManifest("/usr/bin/carriage\r"));
    EXPECT_FALSE(PathFitsManifest("#comment/true"));
    EXPECT_FALSE(PathFitsManifest(""));
}

TEST_F(SigningWorkerTest, WalkWritesOneBlockOfSelectedFilesWithTheirDigests) {
    MakeElf(Path("tree/bin/true"));
    MakeScript(Path("tree/bin/run.sh"));
    MakeText(Path("tree/doc/readme"));
    MakeElf(Path("tree/lib/libx.so.debug"));
    MakeElf(Path("tree/cache.pyc/elf"));
    std::filesystem::create_directory(Path("tree/empty"));
    std::filesystem::create_symlink("bin/true", Path("tree/link"));
    ProcessResult result = Generate({"-d", Path("tree"), "-o", Path("m")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");

    std::vector<std::string> lines = LinesUnder(ReadFile(Path("m")), Path("tree"));
    EXPECT_EQ(Sorted(lines),
              Sorted({ExpectedLine(Path("tree/bin/true")), ExpectedLine(Path("tree/bin/run.sh"))}));
    // Entries: bin, bin/true, bin/run.sh, doc, doc/readme, lib, lib/libx.so.debug,
    // cache.pyc, cache.pyc/elf, empty, link.
    EXPECT_EQ(ProgressLine(result.out, Path("tree")).substr(12),
              "] [  0] [   11] [    2] [  18.18 %] OK: " + Path("tree") + "\n");
    EXPECT_TRUE(std::regex_match(ProgressLine(result.out, Path("tree")),
                                 std::regex("\\[ {0,7}\\d{1,8} ms\\] .*\n")));
}

TEST_F(SigningWorkerTest, QueuedFileIsHashedWhateverItsNameOrType) {
    MakeText(Path("notes.pyc"));
    ProcessResult result = Generate({"-f", Path("notes.pyc"), "-o", Path("m")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(LinesUnder(ReadFile(Path("m")), dir_),
              std::vector<std::string>{ExpectedLine(Path("notes.pyc"))});
    EXPECT_EQ(ProgressLine(result.out, Path("notes.pyc")).substr(12),
              "] [  0] [    1] [    1] [ 100.00 %] OK: " + Path("notes.pyc") + "\n");
}

TEST_F(SigningWorkerTest, EmptyDirectoryShowsNotANumberRightAligned) {
    std::filesystem::create_directory(Path("empty"));
    ProcessResult result = Generate({"-d", Path("empty")});
    EXPECT_TRUE(std::regex_match(ProgressLine(result.out, Path("empty")),
                                 std::regex("\\[ +\\d+ ms\\] \\[  0\\] \\[    0\\] \\[    0\\] "
                                            "\\[ {3}-nan %\\] OK: .*\n|.*\\[ {4}nan %\\].*\n")))
        << result.out;
}

TEST_F(SigningWorkerTest, QueuedSymlinksAreFollowedButKeepTheirOwnPath) {
    MakeElf(Path("real/dir/elf"));
    std::filesystem::create_symlink(Path("real/dir/elf"), Path("file-link"));
    std::filesystem::create_symlink(Path("real/dir"), Path("dir-link"));
    ProcessResult result =
        Generate({"-f", Path("file-link"), "-d", Path("dir-link"), "-o", Path("m")});
    EXPECT_EQ(result.status, 0) << result.err;
    std::string digest = ExpectedLine(Path("real/dir/elf")).substr(Path("real/dir/elf").size());
    EXPECT_EQ(Sorted(LinesUnder(ReadFile(Path("m")), dir_)),
              Sorted({Path("file-link") + digest, Path("dir-link/elf") + digest}));
}

TEST_F(SigningWorkerTest, UnreadableSubdirectoryIsReportedAndTheRestOfTheJobKept) {
    MakeElf(Path("tree/a/elf"));
    MakeElf(Path("tree/locked/elf"));
    MakeElf(Path("tree/z/elf"));
    chmod(Path("tree/locked").c_str(), 0700);
    std::filesystem::create_directory(Path("out"));
    chmod(Path("out").c_str(), 0777);
    ProcessResult result = Generate({"-d", Path("tree"), "-o", Path("out/m")}, Unprivileged());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Filesystem error: filesystem error: directory iterator cannot open directory: "
              "Permission denied [" +
                  Path("tree/locked") + "]\n");
    EXPECT_EQ(Sorted(LinesUnder(ReadFile(Path("out/m")), dir_)),
              Sorted({ExpectedLine(Path("tree/a/elf")), ExpectedLine(Path("tree/z/elf"))}));
    EXPECT_NE(ProgressLine(result.out, Path("tree")).find("] [    5] [    2] ["), std::string::npos)
        << result.out;
}

TEST_F(SigningWorkerTest, JobThatIsNeitherFileNorDirectoryIsReportedAndSkipped) {
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
    MakeElf(Path("tree/elf"));
    ProcessResult result = Generate({"-f", Path("fifo"), "-d", Path("tree"), "-o", Path("m")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Filesystem error: filesystem error: directory iterator cannot open directory: Not "
              "a directory [" +
                  Path("fifo") + "]\n");
    EXPECT_EQ(ProgressLine(result.out, Path("fifo")), "");
    EXPECT_EQ(LinesUnder(ReadFile(Path("m")), dir_),
              std::vector<std::string>{ExpectedLine(Path("tree/elf"))});
}

TEST_F(SigningWorkerTest, PathsThatCannotBeReadBackAreReportedInsteadOfWritten) {
    std::string deep = Path("tree/");
    while (deep.size() < 1030) {
        deep += std::string(100, 'd') + "/";
    }
    std::vector<std::string> unwritable = {Path("tree/with space"), Path("tree/new\nline"),
                                           Path("tree/carriage\r"), deep + "elf"};
    for (const std::string& path : unwritable) {
        MakeElf(path);
    }
    MakeElf(Path("tree/fine"));
    MakeElf(Path("#hash/elf"));
    ProcessResult result = Generate({"-d", Path("tree"), "-d", "#hash", "-o", Path("m")});
    EXPECT_EQ(result.status, 1);
    for (const std::string& path : unwritable) {
        EXPECT_NE(result.err.find("Error: path cannot be written to the manifest: " + path + "\n"),
                  std::string::npos)
            << path;
    }
    EXPECT_NE(result.err.find("Error: path cannot be written to the manifest: #hash/elf\n"),
              std::string::npos);
    EXPECT_EQ(Lines(result.err).size(), 6u) << result.err;
    EXPECT_EQ(LinesUnder(ReadFile(Path("m")), dir_),
              std::vector<std::string>{ExpectedLine(Path("tree/fine"))});
}

TEST_F(SigningWorkerTest, FilesDeeperThanAPathCanNameAreReportedWithoutEndingTheRun) {
    // Built step by step: the whole path is longer than any single call accepts.
    std::string deep = Path("tree");
    std::filesystem::create_directories(deep);
    std::filesystem::current_path(deep);
    while (deep.size() < 4200) {
        std::filesystem::create_directory(std::string(200, 'd'));
        std::filesystem::current_path(std::string(200, 'd'));
        deep += "/" + std::string(200, 'd');
    }
    std::filesystem::copy_file("/bin/true", "elf");
    WriteFile("notes.txt", "words\n");
    std::filesystem::current_path(dir_);
    MakeElf(Path("tree/fine"));

    ProcessResult result = Generate({"-d", Path("tree"), "-o", Path("m")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(Sorted(Lines(result.err)),
              Sorted({"Error: path cannot be written to the manifest: " + deep + "/elf\n",
                      "Error: path cannot be written to the manifest: " + deep + "/notes.txt\n"}));
    EXPECT_EQ(LinesUnder(ReadFile(Path("m")), dir_),
              std::vector<std::string>{ExpectedLine(Path("tree/fine"))});
    EXPECT_NE(result.out.find("Done, full time"), std::string::npos);
}

TEST_F(SigningWorkerTest, QueuedFileThatCannotBeOpenedIsReportedAndItsJobDropped) {
    MakeElf(Path("secret"));
    chmod(Path("secret").c_str(), 0700);
    ProcessResult result = Generate({"-f", Path("secret"), "-d", Path("none")}, Unprivileged());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error opening " + Path("secret") + ": Permission denied\n");
    EXPECT_EQ(ProgressLine(result.out, Path("secret")), "");
}

TEST_F(SigningWorkerTest, LibmagicFailureEndsTheRunKeepingTheBlocksWritten) {
    MakeElf(Path("a/elf"));
    MakeElf(Path("b/magic-fails"));
    MakeElf(Path("c/elf"));
    ProcessOptions options = HiddenSystem();
    options.environment = {std::string("LD_PRELOAD=") + MAGIC_FAILURE_LIBRARY,
                           "ASAN_OPTIONS=verify_asan_link_order=0"};
    ProcessResult result =
        Generate({"-d", Path("a"), "-d", Path("b"), "-d", Path("c"), "-o", Path("m")}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind(
                  "Error: Unable to determine file type for " + Path("b/magic-fails") + " - ", 0),
              0u)
        << result.err;
    EXPECT_EQ(Lines(result.err).size(), 1u);
    EXPECT_EQ(LinesUnder(ReadFile(Path("m")), dir_),
              std::vector<std::string>{ExpectedLine(Path("a/elf"))});
    EXPECT_EQ(result.out.find("Done, full time"), std::string::npos);
}

}  // namespace
