#include "generate/signing_worker.h"

#include <sys/stat.h>

#include <filesystem>

#include "support/generate_support.h"

namespace {

using SigningWorkerTest = GenerateTest;

TEST(PathFitsManifestTest, RefusesWhatTheLoaderWouldReadBackDifferently) {
    for (const std::string& path : {std::string("/usr/bin/true"), std::string("relative/tab\tname"),
                                    "/" + std::string(1022, 'a')}) {
        EXPECT_TRUE(PathFitsManifest(path)) << path;
    }
    for (const std::string& path :
         {"/" + std::string(1023, 'a'), std::string("/usr/bin/with space"),
          std::string("/usr/bin/new\nline"), std::string("/usr/bin/carriage\r"),
          std::string("#comment/true"), std::string()}) {
        EXPECT_FALSE(PathFitsManifest(path)) << path;
    }
}

// One run meets every fault that a worker reports and gets over: each costs only its own
// path, and the run ends with status 1 once everything else is written.
TEST_F(SigningWorkerTest, FaultsAreReportedAndCostOnlyTheirOwnPaths) {
    MakeElf(Path("tree/a/elf"));
    MakeElf(Path("tree/locked/elf"));
    MakeElf(Path("tree/z/elf"));
    chmod(Path("tree/locked").c_str(), 0700);
    std::vector<std::string> unwritable = {Path("names/with space"), Path("names/new\nline"),
                                           Path("names/carriage\r"), "#hash/elf"};
    for (const std::string& path : unwritable) {
        MakeElf(path);
    }
    MakeElf(Path("names/fine"));
    // Deeper than a path can name: built step by step, since no single call takes it whole.
    // libmagic cannot be asked about such a file, and a failure of libmagic ends the run.
    std::string deep = Path("long");
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
    unwritable.insert(unwritable.end(), {deep + "/elf", deep + "/notes.txt"});
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
    MakeElf(Path("secret"));
    chmod(Path("secret").c_str(), 0700);
    std::filesystem::create_directory(Path("out"));
    chmod(Path("out").c_str(), 0777);

    ProcessOptions unprivileged = HiddenSystem();
    unprivileged.user = UnprivilegedUser;
    ProcessResult result =
        Generate({"-d", Path("tree"), "-d", Path("names"), "-d", "#hash", "-d", Path("long"), "-f",
                  Path("fifo"), "-f", Path("secret"), "-o", Path("out/m")},
                 unprivileged);
    EXPECT_EQ(result.status, 1);
    auto walkError = [](const std::string& error, const std::string& path) {
        return "Filesystem error: filesystem error: directory iterator cannot open directory: " +
               error + " [" + path + "]\n";
    };
    std::string err = walkError("Permission denied", Path("tree/locked")) +
                      walkError("Not a directory", Path("fifo")) + "Error opening " +
                      Path("secret") + ": Permission denied\n";
    for (const std::string& path : unwritable) {
        err += "Error: path cannot be written to the manifest: " + path + "\n";
    }
    EXPECT_EQ(Sorted(Lines(result.err)), Sorted(Lines(err)));
    EXPECT_EQ(Sorted(LinesUnder(ReadFile(Path("out/m")), dir_)),
              Sorted({ExpectedLine(Path("tree/a/elf")), ExpectedLine(Path("tree/z/elf")),
                      ExpectedLine(Path("names/fine"))}));
    // The locked directory is counted, then passed over.
    EXPECT_EQ(ProgressLine(result.out, Path("tree")).substr(12),
              "] [  0] [    5] [    2] [  40.00 %] OK: " + Path("tree") + "\n");
    EXPECT_EQ(ProgressLine(result.out, Path("fifo")), "");
    EXPECT_EQ(ProgressLine(result.out, Path("secret")), "");
    EXPECT_NE(result.out.find("Done, full time"), std::string::npos);
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
