// Generate runs over images of the tests' own: what is listed, chosen, written and printed,
// the same bytes for any number of workers, the faults a run reports and gets over, and the
// image root itself.
#include "generate/run.h"

#include <dirent.h>
#include <fcntl.h>
#include <magic.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

using RunTest = ImageTest;

// The count in the totals line, whose time is six wide; "" when there is no such line.
std::string ProcessedCount(const std::string& out) {
    std::smatch totals;
    bool found = std::regex_search(
        out, totals, std::regex("\nDone, full time: ( *)(\\d+) ms, processed files: (\\d+)\n$"));
    return found && totals[1].length() + totals[2].length() == 6 ? totals[3].str() : "";
}

// The progress line printed for `job`, from its worker column on; "" when there is none.
std::string Progress(const std::string& out, const std::string& job) {
    for (const std::string& line : Lines(out)) {
        if (std::regex_match(line, std::regex("\\[ {0,7}\\d{1,8} ms\\] .*\n")) &&
            line.size() > job.size() + 5 &&
            line.compare(line.size() - job.size() - 5, std::string::npos, "OK: " + job + "\n") ==
                0) {
            return line.substr(12);
        }
    }
    return "";
}

// The names in a directory, in the order the system reads them.
std::vector<std::string> ReadOrder(const std::string& directory) {
    std::vector<std::string> names;
    DIR* listing = opendir(directory.c_str());
    for (dirent* entry; listing != nullptr && (entry = readdir(listing)) != nullptr;) {
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") {
            names.push_back(entry->d_name);
        }
    }
    if (listing != nullptr) {
        closedir(listing);
    }
    return names;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream stream(text);
    return {std::istream_iterator<std::string>(stream), {}};
}

// One run over one image: what is listed, chosen, written and printed for each kind of job.
TEST_F(RunTest, ListsOrderedJobsAndTypesThenWritesABlockAndAProgressLinePerJob) {
    MakeElf("/tree/bin/true");
    MakeScript("/tree/bin/run.sh");
    MakeText("/tree/doc/readme");
    MakeElf("/tree/lib/libx.so.debug");
    MakeElf("/tree/cache.pyc/elf");
    fs::create_directory(Image("/tree/empty"));
    fs::create_symlink("bin/true", Image("/tree/link"));
    fs::create_directory(Image("/empty"));
    MakeText("/notes.pyc");
    MakeElf("/real/dir/elf");
    // Links are followed inside the image, an absolute one from the image's own root.
    fs::create_symlink("/real/dir/elf", Image("/file-link"));
    MakeScript("/usr/sbin/tool");
    fs::create_symlink("../real/dir", Image("/usr/dir-link"));
    WriteFile(Path("config.json"),
              R"({"dirs": ["/tree"], "types": ["ELF", "Zsh script", "awk script"]})");
    ProcessResult result =
        Generate(Words("-c missing.json --config " + Path("config.json") + " -o first " +
                       "--out-file=" + Path("m") +
                       " -d /usr/lib-x -d /usr/lib/x -d lib -d /usr//bin -d /usr/bin/ -f /f -d /f "
                       "-d /etc -f /notes.pyc -d /empty -f /file-link -d /usr/dir-link "
                       "-d /nothing-here -f /nor-here -f -d"));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");

    // A single-valued option keeps its last value, and "-f -d" queues the file "-d". Path order,
    // not text order: relative before absolute, "/usr/lib/x" before "/usr/lib-x". The first of
    // equal paths is kept, and a trailing separator makes a job of its own.
    std::string listed = "Config path from command line: " + Path("config.json") + "\n";
    for (const std::string& job :
         Words("-d lib /bin /boot /empty /etc /f /file-link /lib /libexec /nor-here /notes.pyc "
               "/nothing-here /sbin /tree /usr/bin /usr/bin/ /usr/dir-link /usr/lib /usr/lib/x "
               "/usr/lib-x /usr/libexec /usr/local/bin /usr/local/etc /usr/local/lib "
               "/usr/local/libexec /usr/local/sbin /usr/local/share/uefi-firmware/ /usr/sbin")) {
        listed += "Job queue: " + job + "\n";
    }
    // Byte order: upper case before lower case.
    for (const char* type : {"ELF", "POSIX", "Perl script", "Python script", "Zsh script",
                             "awk script", "setgid ELF", "setuid ELF"}) {
        listed += std::string("Signing types: ") + type + "\n";
    }
    listed += "Start signing, using 1 jobs...\n|    Time     | Thr |  All  |Sign |\n";
    EXPECT_EQ(result.out.substr(0, listed.size()), listed);

    // Blocks in job order, each in walk order; links named as jobs are followed but keep their
    // own path; a queued file is hashed whatever its name or type; a link met in a walk is not
    // followed.
    std::string elf = ExpectedLine("/real/dir/elf").substr(std::string("/real/dir/elf").size());
    std::string tree;
    for (const std::string& name : ReadOrder(Image("/tree/bin"))) {
        tree += ExpectedLine("/tree/bin/" + name);
    }
    EXPECT_EQ(ReadFile(Path("m")), "/file-link" + elf + ExpectedLine("/notes.pyc") + tree +
                                       "/usr/dir-link/elf" + elf + ExpectedLine("/usr/sbin/tool"));
    // Entries of /tree: bin, bin/true, bin/run.sh, doc, doc/readme, lib, lib/libx.so.debug,
    // cache.pyc, cache.pyc/elf, empty, link.
    EXPECT_EQ(Progress(result.out, "/tree"), "] [  0] [   11] [    2] [  18.18 %] OK: /tree\n");
    EXPECT_EQ(Progress(result.out, "/notes.pyc"),
              "] [  0] [    1] [    1] [ 100.00 %] OK: /notes.pyc\n");
    // An empty directory's 0/0 is the formatter's not-a-number, right-aligned.
    EXPECT_TRUE(std::regex_match(Progress(result.out, "/empty"),
                                 std::regex("\\] \\[  0\\] \\[    0\\] \\[    0\\] "
                                            "\\[ {3}-nan %\\] OK: /empty\n|.*\\[ {4}nan %\\].*")))
        << result.out;
    // Jobs that do not exist are passed over without a word.
    for (const char* missing : {"/f", "/nothing-here", "/nor-here", "/usr/bin", "/usr/bin/"}) {
        EXPECT_EQ(Progress(result.out, missing), "") << missing;
    }
    EXPECT_EQ(ProcessedCount(result.out), "6");
}

TEST_F(RunTest, AnyNumberOfWorkersWritesTheSameBytesThatLoadReadsBack) {
    // One big job, as /usr/lib is on a real host, and several small ones.
    for (int i = 0; i < 40; ++i) {
        MakeElf("/usr/lib/d" + std::to_string(i % 7) + "/sub" + std::to_string(i % 3) + "/elf" +
                std::to_string(i));
        MakeText("/usr/lib/d" + std::to_string(i % 7) + "/text" + std::to_string(i));
    }
    MakeScript("/usr/lib/top.sh");
    for (const char* job : {"/bin", "/sbin", "/usr/sbin"}) {
        MakeElf(std::string(job) + "/tool");
        MakeScript(std::string(job) + "/tool.sh");
    }
    std::string reference;
    for (const char* workers : {"1", "2", "8", "2"}) {
        ProcessResult result = Generate({"-o", Path("m"), "-j", workers});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find(std::string("Start signing, using ") + workers + " jobs...\n"),
                  std::string::npos);
        for (const char* job : {"/bin", "/sbin", "/usr/lib", "/usr/sbin"}) {
            EXPECT_NE(Progress(result.out, job), "") << job << " with " << workers;
        }
        EXPECT_EQ(ProcessedCount(result.out), "47");
        if (reference.empty()) {
            reference = ReadFile(Path("m"));
            EXPECT_EQ(Lines(reference).size(), 47u);
        }
        EXPECT_EQ(ReadFile(Path("m")), reference) << workers << " workers";
    }
    // Manifest paths are the image's: loaded on the image's own system, they name its files.
    std::string onHost;
    for (const std::string& line : Lines(reference)) {
        onHost += root_ + line;
    }
    WriteFile(Path("host-manifest"), onHost);
    ProcessResult load = RunSign({"load", Path("host-manifest")});
    EXPECT_EQ(load.err, "");
    EXPECT_EQ(load.out, "Loaded 47 entries (0 errors) from " + Path("host-manifest") + "\n");
}

TEST_F(RunTest, ImageRootResolvesLinksInsideItAndMustBeAUsableDirectory) {
    // The image's /bin/true is not the running system's: an absolute link must reach it.
    MakeScript("/bin/true");
    fs::create_directories(Image("/usr/bin"));
    fs::create_symlink("/bin/true", Image("/usr/bin/absolute"));
    fs::create_symlink("../../bin/true", Image("/usr/bin/relative"));
    fs::create_symlink("/../../../bin/true", Image("/usr/bin/escaping"));
    MakeElf("/opt/tool");
    fs::create_directories(Image("/usr/local/share/uefi-firmware"));
    fs::create_symlink("/usr/bin/absolute", Image("/usr/local/share/uefi-firmware/fw"));
    fs::create_directories(Image("/usr/local/etc"));
    WriteFile(Image("/usr/local/etc/pelmor-sign.json"), R"({"dirs": ["/opt"]})");
    ProcessResult result = Generate({"-o", Path("m"), "-f", "/usr/bin/absolute", "-f",
                                     "/usr/bin/relative", "-f", "/usr/bin/escaping"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.substr(0, result.out.find('\n')),
              "Config path default: /usr/local/etc/pelmor-sign.json");
    std::string script = ExpectedLine("/bin/true").substr(std::string("/bin/true").size());
    EXPECT_EQ(ReadFile(Path("m")), "/bin/true" + script + "/opt/tool" +
                                       ExpectedLine("/opt/tool").substr(9) + "/usr/bin/absolute" +
                                       script + "/usr/bin/escaping" + script + "/usr/bin/relative" +
                                       script + "/usr/local/share/uefi-firmware/fw" + script);

    WriteFile(Path("file"), "");
    ASSERT_EQ(mkdir(Path("closed").c_str(), 0), 0);
    struct Case {
        std::string root;
        std::string error;
        bool unprivileged;
    } cases[] = {
        {Path("missing"), "No such file or directory", false},
        {Path("file"), "Not a directory", false},
        {Path("closed"), "Permission denied", true},
    };
    for (const Case& c : cases) {
        ChildOptions options;
        options.unprivileged = c.unprivileged;
        WriteFile(Path("m"), "kept\n");
        ProcessResult refused =
            RunSignChild({"generate", "-R", c.root, "-o", Path("m"), "-d", "/"}, options);
        EXPECT_EQ(refused.status, 1) << c.root;
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(refused.err,
                  "Error: cannot use root directory " + c.root + ": " + c.error + "\n");
        EXPECT_EQ(ReadFile(Path("m")), "kept\n");
    }
}

// One run meets every fault that a walk reports and gets over: each costs only its own path,
// and the run ends with status 1 once everything else is written.
TEST_F(RunTest, FaultsAreReportedAndCostOnlyTheirOwnPaths) {
    MakeElf("/tree/a/elf");
    MakeElf("/tree/locked/elf");
    MakeElf("/tree/z/elf");
    chmod(Image("/tree/locked").c_str(), 0);
    std::vector<std::string> unwritable = {"/names/with space", "/names/new\nline",
                                           "/names/carriage\r", "#hash/elf"};
    for (const std::string& path : unwritable) {
        MakeElf(path.front() == '#' ? "/" + path : path);
    }
    MakeElf("/names/fine");
    // Deeper than a path can name: built step by step, since no single call takes it whole.
    // libmagic cannot be asked about such a file, and a failure of libmagic ends the run.
    std::string deep = "/long";
    fs::create_directories(Image(deep));
    fs::current_path(Image(deep));
    while (deep.size() < 4200) {
        fs::create_directory(std::string(200, 'd'));
        fs::current_path(std::string(200, 'd'));
        deep += "/" + std::string(200, 'd');
    }
    fs::copy_file("/bin/true", "elf");
    WriteFile("notes.txt", "words\n");
    fs::current_path(dir_);
    unwritable.insert(unwritable.end(), {deep + "/elf", deep + "/notes.txt"});
    ASSERT_EQ(mkfifo(Image("/fifo").c_str(), 0644), 0);
    MakeElf("/secret");
    chmod(Image("/secret").c_str(), 0);

    ChildOptions unprivileged;
    unprivileged.unprivileged = true;
    fs::create_directory(Path("out"));
    chmod(Path("out").c_str(), 0777);
    ProcessResult result =
        RunSignChild({"generate", "-R", root_, "-d", "/tree", "-d", "/names", "-d", "#hash", "-d",
                      "/long", "-f", "/fifo", "-f", "/secret", "-o", Path("out/m")},
                     unprivileged);
    EXPECT_EQ(result.status, 1);
    auto walkError = [](const std::string& error, const std::string& path) {
        return "Filesystem error: filesystem error: directory iterator cannot open directory: " +
               error + " [" + path + "]\n";
    };
    std::string err = walkError("Permission denied", Image("/tree/locked")) +
                      walkError("Not a directory", Image("/fifo")) + "Error opening " +
                      Image("/secret") + ": Permission denied\n";
    for (const std::string& path : unwritable) {
        err += "Error: path cannot be written to the manifest: " + path + "\n";
    }
    std::vector<std::string> errors = Lines(result.err), expected = Lines(err);
    std::sort(errors.begin(), errors.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(errors, expected);
    std::vector<std::string> manifest = Lines(ReadFile(Path("out/m")));
    std::sort(manifest.begin(), manifest.end());
    EXPECT_EQ(manifest,
              (std::vector<std::string>{ExpectedLine("/names/fine"), ExpectedLine("/tree/a/elf"),
                                        ExpectedLine("/tree/z/elf")}));
    // The locked directory is counted, then passed over.
    EXPECT_EQ(Progress(result.out, "/tree"), "] [  0] [    5] [    2] [  40.00 %] OK: /tree\n");
    EXPECT_EQ(Progress(result.out, "/fifo"), "");
    EXPECT_EQ(Progress(result.out, "/secret"), "");
    EXPECT_NE(result.out.find("Done, full time"), std::string::npos);
}

// libmagic fails for the files it is asked about here that begin with "MAGICFAIL": their
// rules call themselves until libmagic gives up.
class LibmagicFailureTest : public RunTest {
  protected:
    void SetUp() override {
        RunTest::SetUp();
        unsetenv("MAGIC");
        std::string database = magic_getpath(nullptr, 0);
        WriteFile(Path("failing.magic"),
                  "0\tname\tloop\n>0\tuse\tloop\n0\tstring\tMAGICFAIL\t\n"
                  ">0\tuse\tloop\n");
        setenv("MAGIC", (Path("failing.magic") + ":" + database).c_str(), 1);
    }
    void TearDown() override {
        unsetenv("MAGIC");
        RunTest::TearDown();
    }
};

TEST_F(LibmagicFailureTest, EndsTheRunWithItsMessageAndLeavesTheManifestAsItWas) {
    MakeElf("/a/elf");
    WriteFile(Image("/b/fails"), "MAGICFAIL and more\n", 0755);
    MakeElf("/c/elf");
    WriteFile(Path("m"), "yesterday's manifest\n");
    ProcessResult result =
        Generate({"-d", "/a", "-d", "/b", "-d", "/c", "-o", Path("m"), "-j", "2"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: Unable to determine file type for " + Image("/b/fails") +
                              " - name use count (50) exceeded\n");
    EXPECT_EQ(result.out.find("Done, full time"), std::string::npos);
    EXPECT_EQ(ReadFile(Path("m")), "yesterday's manifest\n");
}

TEST_F(RunTest, ManifestThatCannotBeCreatedOrWrittenFailsTheRun) {
    fs::create_directory(Path("out"));
    chmod(Path("out").c_str(), 0555);
    // Nothing is listed: the run stops before its first step.
    auto expectRefused = [](ProcessResult result, const std::string& err) {
        EXPECT_EQ(result.status, 1) << err;
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(result.out, "");
    };
    const std::string cannotOpen = "Error: cannot open manifest file ";
    expectRefused(Generate({"-o", Path("missing/m")}),
                  cannotOpen + Path("missing/m") + ": No such file or directory\n");
    expectRefused(Generate({"-o", dir_}), cannotOpen + dir_ + ": Is a directory\n");
    ChildOptions unprivileged;
    unprivileged.unprivileged = true;
    expectRefused(RunSignChild({"generate", "-R", root_, "-o", Path("out/m")}, unprivileged),
                  cannotOpen + Path("out/m") + ": Permission denied\n");
    // A full disk is found only when the manifest is written: the run completes, then fails.
    MakeElf("/tree/a");
    ProcessResult full = Generate({"-o", "/dev/full", "-d", "/tree"});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "Error: cannot write manifest file /dev/full: No space left on device\n");
    EXPECT_NE(full.out.find("Done, full time:"), std::string::npos);
    // The module check comes before the manifest is touched.
    WriteFile(Path("m"), "kept\n");
    ASSERT_EQ(RunEmulator({"kldunload", "mac_veriexec_sha512.ko"}).status, 0);
    expectRefused(Generate({"-o", Path("m"), "-d", "/"}),
                  "Error: required kernel module 'mac_veriexec_sha512.ko' is not loaded\n");
    EXPECT_EQ(ReadFile(Path("m")), "kept\n");
}

// The manifest is replaced whole or not at all: whatever cuts a run short, yesterday's stays as
// it was, with nothing beside it.
TEST_F(RunTest, ManifestIsReplacedOnlyByAWholeOne) {
    // Two gibibytes to hash, mostly a hole: the run is still at it when it is cut short.
    int fd = open(Image("/big").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 31), 0);
    close(fd);
    MakeElf("/usr/bin/tool");
    fs::create_directory(Path("out"));
    WriteFile(Path("out/m"), "yesterday\n", 0640);
    auto expectUntouched = [this](const std::string& when) {
        EXPECT_EQ(ReadFile(Path("out/m")), "yesterday\n") << when;
        EXPECT_EQ(std::distance(fs::directory_iterator(Path("out")), {}), 1) << when;
    };
    for (int signal : {SIGKILL, SIGINT}) {
        pid_t child = StartSignChild({"generate", "-R", root_, "-f", "/big", "-o", Path("out/m")},
                                     Path("log"));
        for (int waited = 0;
             ReadFile(Path("log")).find("Start signing") == std::string::npos && waited < 10000;
             ++waited) {
            usleep(1000);
        }
        usleep(50000);
        kill(child, signal);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        expectUntouched(strsignal(signal));
    }
    // A write that fails part way, as on a full disk.
    ChildOptions small;
    small.maxFileSize = 100;
    std::vector<std::string> tool = {"generate", "-R", root_,        "-d",
                                     "/usr/bin", "-o", Path("out/m")};
    ProcessResult failed = RunSignChild(tool, small);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err,
              "Error: cannot write manifest file " + Path("out/m") + ": File too large\n");
    EXPECT_NE(failed.out.find("Done, full time"), std::string::npos);
    expectUntouched("write failed");
    // A run that completes replaces the manifest, which keeps its mode.
    ASSERT_EQ(RunSign(tool).status, 0);
    EXPECT_EQ(ReadFile(Path("out/m")), ExpectedLine("/usr/bin/tool"));
    struct stat status;
    ASSERT_EQ(stat(Path("out/m").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    // The process's own standard output is written as it is, after what the run printed.
    tool.back() = "/dev/stdout";
    ProcessResult shown = RunSign(tool);
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find(" ms, processed files: 1\n" + ExpectedLine("/usr/bin/tool")),
              std::string::npos)
        << shown.out;
}

TEST_F(RunTest, RefusedWorkerThreadIsReportedAfterTheOthersFinish) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: the limit on threads holds for a user of its own only";
    }
    for (int i = 0; i < 4; ++i) {
        MakeElf("/tree" + std::to_string(i) + "/elf");
    }
    fs::create_directory(Path("out"));
    chmod(Path("out").c_str(), 0777);
    std::vector<std::string> arguments = {"generate", "-R",     root_,    "-o",     Path("out/m"),
                                          "-d",       "/tree0", "-d",     "/tree1", "-d",
                                          "/tree2",   "-d",     "/tree3", "-j",     "6"};
    ChildOptions limited;
    // A user of its own: the limit counts every process of the user on the host, and other
    // tests run as UnprivilegedUser at the same time.
    limited.user = UnprivilegedUser + 1;
    // Room for the process, a sanitizer's own thread and a worker or two, not for six workers.
    limited.maxProcesses = 4;
    ProcessResult result = RunSignChild(arguments, limited);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: cannot start worker thread: Resource temporarily unavailable\n");
    EXPECT_EQ(Lines(ReadFile(Path("out/m"))).size(), 4u);
    EXPECT_NE(result.out.find("processed files: 4"), std::string::npos);
    // Without a single worker nothing is walked, and nothing replaces the manifest.
    WriteFile(Path("out/m"), "kept\n");
    limited.maxProcesses = 0;
    ProcessResult none = RunSignChild(arguments, limited);
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "Error: cannot start worker thread: Resource temporarily unavailable\n");
    EXPECT_EQ(none.out.find("Done, full time"), std::string::npos);
    EXPECT_EQ(ReadFile(Path("out/m")), "kept\n");
}

}  // namespace
