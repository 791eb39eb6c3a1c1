// Generate runs over images of the tests' own: what is listed, chosen, written and printed, the
// same bytes for any number of workers, links inside the image, a tree deeper than the limit of
// open files, and the faults a run gets over or not.
#include <fmt/core.h>
#include <magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>

#include "support/test_support.h"

namespace fs = std::filesystem;

using RunTest = ImageTest;

// The progress line of `job` from its worker column on; "" when there is none.
static std::string Progress(const std::string& out, const std::string& job) {
    std::smatch line;
    bool found = std::regex_search(out, line,
                                   std::regex("\\n\\[ {0,7}\\d{1,8} ms(\\].*OK: " + job + ")\\n"));
    return found ? line[1].str() : "";
}

TEST_F(RunTest,
       ListsOrderedJobsInNormalFormAndTypesThenWritesEachJobsBlockWithLinksResolvedInTheImage) {
    MakeElf("/tree/bin/true", "/tree/lib/libx.so.debug", "/tree/cache.pyc/elf");
    MakeText("/tree/doc/readme");
    MakeText("/notes.pyc");
    // The image's /bin/sh is not the running system's: links, relative, absolute or climbing
    // above the root, must reach it, also from the firmware tree, which takes no libmagic.
    MakeScript("/bin/sh");
    MakeScript("/opt/sh");
    Shell(
        "cd image && mkdir -p tree/empty empty usr/sbin usr/local/share/uefi-firmware && "
        "ln -s bin/true tree/link && ln -s /../../bin/sh usr/sbin/escaping && "
        "ln -s ../opt usr/dir-link && ln -s /usr/sbin/loop usr/sbin && "
        "ln -s /usr/sbin/escaping usr/local/share/uefi-firmware/fw");
    WriteFile(Image("/usr/local/etc/pelmor-sign.json"), R"({"dirs": ["/tree"]})");
    WriteFile(Path("config.json"), R"({"dirs": ["/tree"], "types": ["awk script", "ELF"],
        "flags": {"/tree//bin/./true": ["trusted", "no_ptrace"], "/tree/link/": ["indirect"]}})");
    ProcessResult result = Generate(Words(
        "-c missing.json --config " + Path("config.json") + " -o first --out-file=" + Path("m") +
        " -d /usr/lib-x -d /usr/lib/x -d lib -d /usr//sbin -d /usr/sbin/ -d /f -d /etc -d /empty"
        " -f /notes.pyc -f /usr/x/../sbin/escaping -d /usr/./dir-link -f /usr/sbin/loop -f -d"));
    EXPECT_EQ(WithoutOut(result),
              Failed("Filesystem error: filesystem error: status: Too many levels of symbolic "
                     "links [/usr/sbin/loop]\nWarning: flags for /tree/link/ unused: it is not in "
                     "the manifest\n"));
    // The last value of an option counts, and "-f -d" queues the file "-d". Each path in its
    // normal form, the one that sign takes and diff compares, in path order, not text order:
    // relative first, "/usr/lib/x" before "/usr/lib-x"; the first of equal paths stays, and a
    // trailing separator makes a job of its own.
    const std::string jobs =
        "-d lib /bin /boot /empty /etc /f /lib /libexec /notes.pyc /sbin /tree /usr/bin "
        "/usr/dir-link /usr/lib /usr/lib/x /usr/lib-x /usr/libexec /usr/local/bin /usr/local/etc "
        "/usr/local/lib /usr/local/libexec /usr/local/sbin /usr/local/share/uefi-firmware/ "
        "/usr/sbin /usr/sbin/ /usr/sbin/escaping /usr/sbin/loop ";
    const std::string types =
        "ELF,POSIX,Perl script,Python script,awk script,setgid ELF,setuid ELF,";
    const std::string listed =
        "Config path from command line: " + Path("config.json") + "\n" +
        std::regex_replace(jobs, std::regex("(\\S+) "), "Job queue: $1\n") +
        std::regex_replace(types, std::regex("([^,]+),"), "Signing types: $1\n") +
        "Start signing, using 1 jobs...\n    Time       Thr    All    Sign      Share    Job\n";
    EXPECT_EQ(result.out.substr(0, listed.size()), listed);
    // A queued file is signed whatever its name or type; a link met in a walk is not followed,
    // and a queued one to a directory that no other job walks is walked under its own name.
    // Configured flags follow their path's fingerprint, in a fixed order.
    std::string sh = ExpectedLine("/bin/sh").substr(std::strlen("/bin/sh"));
    std::string optSh = ExpectedLine("/opt/sh").substr(std::strlen("/opt/sh"));
    std::string flagged = ExpectedLine("/tree/bin/true");
    flagged.insert(flagged.size() - 1, " no_ptrace trusted");
    EXPECT_EQ(ReadFile(Path("m")),
              "/bin/sh" + sh + ExpectedLine("/notes.pyc") + flagged + "/usr/dir-link/sh" + optSh +
                  "/usr/local/share/uefi-firmware/fw" + sh + "/usr/sbin/escaping" + sh);
    // /tree: bin, bin/true, doc, readme, lib, libx.so.debug, cache.pyc, elf, empty, link.
    EXPECT_EQ(Progress(result.out, "/tree"), "] [  0] [   10] [    1] [  10.00 %] OK: /tree");
    // An empty directory signs none of its no entries.
    EXPECT_EQ(Progress(result.out, "/empty"), "] [  0] [    0] [    0] [   0.00 %] OK: /empty");
    EXPECT_EQ(Progress(result.out, "/f"), "");
}

// A merged /usr: /bin, /sbin and /lib are links to the /usr folders that are jobs as well. Each
// directory is walked once, under the name its own job gives it; the run table says what was
// folded into what, flags named through a link follow the file, and check --coverage misses
// nothing. Overlapping -d directories, a link that nothing else walks, and one whose name the
// path rules judge otherwise keep their own walks.
TEST_F(RunTest, LinksToDirectoriesThatOtherJobsWalkAreFoldedIntoThem) {
    MakeElf("/usr/bin/tool", "/usr/sbin/admin", "/usr/lib/x/libx.so", "/opt/tree/elf");
    MakeText("/usr/lib/fw/blob");
    Shell(
        "cd image && ln -s usr/bin bin && ln -s /usr/sbin sbin && ln -s usr/lib lib && "
        "ln -s usr/lib/x lib64 && ln -s opt/tree one && ln -s /opt/tree two && "
        "mkdir -p usr/local/share && ln -s ../../lib/fw usr/local/share/uefi-firmware");
    WriteFile(Path("config.json"),
              R"({"flags": {"/sbin/admin": ["trusted"], "/bin//tool": ["indirect"]}})");
    const std::string options =
        "-d /lib64 -d /two -d /one -d /usr/lib/x -c " + Path("config.json") + " ";
    ProcessResult result = Generate(Words(options + "-j 3 -o " + Path("m")));
    EXPECT_EQ(WithoutOut(result), Succeeded(""));
    for (const std::string row : {"/bin, folded into /usr/bin", "/lib, folded into /usr/lib",
                                  "/lib64, folded into /usr/lib/x", "/sbin, folded into /usr/sbin",
                                  "/two, folded into /one"}) {
        EXPECT_NE(
            result.out.find("\n[       - ms] [  -] [    -] [    -] [      - %] OK: " + row + "\n"),
            std::string::npos);
    }
    std::string admin = ExpectedLine("/usr/sbin/admin");
    std::string tool = ExpectedLine("/usr/bin/tool");
    admin.insert(admin.size() - 1, " trusted");
    tool.insert(tool.size() - 1, " indirect");
    // The firmware tree signs its text, which /usr/lib/fw would not.
    const std::string manifest =
        ManifestLine("/one/elf", Image("/opt/tree/elf")) + tool +
        ExpectedLine("/usr/lib/x/libx.so") + ExpectedLine("/usr/lib/x/libx.so") +
        ManifestLine("/usr/local/share/uefi-firmware/blob", Image("/usr/lib/fw/blob")) + admin;
    EXPECT_EQ(ReadFile(Path("m")), manifest);
    // The kernel keys its table by the file: /bin/tool is covered by /usr/bin/tool, and only
    // the new file is missed.
    MakeElf("/usr/bin/new");
    EXPECT_EQ(RunSign(Words("check -R " + root_ + " --coverage " + options + Path("m"))),
              ProcessResult({1,
                             "not in manifest: /usr/bin/new\nChecked 6 entries: 6 unchanged, 0 "
                             "changed, 0 missing, 0 unreadable, 1 not in manifest\n",
                             ""}));
}

TEST_F(RunTest, AnyNumberOfWorkersWritesTheSameBytesAndTheRootMustBeUsable) {
    // One big job, as /usr/lib is on a real host, and small ones.
    for (int i = 0; i < 40; ++i) {
        MakeElf(fmt::format("/usr/lib/d{}/s{}/elf{}", i % 7, i % 3, i));
        MakeText(fmt::format("/usr/lib/d{}/s{}/text{}", i % 7, i % 3, i));
    }
    MakeElf("/bin/tool", "/sbin/tool");
    std::string reference;
    for (const char* workers : {"1", "2", "8", "2"}) {
        ProcessResult result = Generate({"-o", Path("m"), "-j", workers});
        EXPECT_NE(result.out.find(", processed files: 42\n"), std::string::npos);
        reference = reference.empty() ? ReadFile(Path("m")) : reference;
        EXPECT_EQ(ReadFile(Path("m")), reference) << workers << " workers";
    }
    Shell("touch file && mkdir -m 0 closed");
    for (const auto& [root, error] : {std::pair{"missing", "No such file or directory"},
                                      {"file", "Not a directory"},
                                      {"closed", "Permission denied"}}) {
        EXPECT_EQ(RunSignChild({"generate", "-R", Path(root), "-o", Path("m")}, Unprivileged),
                  Failed("Error: cannot use root directory " + Path(root) + ": " + error + "\n"));
    }
    EXPECT_EQ(ReadFile(Path("m")), reference);
}

// One run meets every fault that a walk reports and gets over: each costs only its own path,
// and the run ends with status 1 once everything else is written.
TEST_F(RunTest, FaultsAreReportedAndCostOnlyTheirOwnPaths) {
    MakeElf("/tree/a/elf", "/tree/locked/elf", "/tree/z/elf", "/secret", "/names/with space",
            "/names/new\nline", "/names/fine", "/#hash/elf");
    Shell("chmod 0 image/tree/locked image/secret && mkfifo image/fifo && mkdir -m 777 out");
    ProcessResult result =
        RunSignChild({"generate", "-R", root_, "-d", "/tree", "-d", "/names", "-d", "#hash", "-f",
                      "/fifo", "-f", "/secret", "-o", Path("out/m")},
                     Unprivileged);
    EXPECT_EQ(result.status, 1);
    std::string cannot =
        "Filesystem error: filesystem error: directory iterator cannot open directory: ";
    std::string expected = cannot + "Permission denied [" + Image("/tree/locked") + "]\n" + cannot +
                           "Not a directory [" + Image("/fifo") + "]\nError opening " +
                           Image("/secret") + ": Permission denied\n";
    for (const char* path : {"/names/with space", "/names/new\\nline", "#hash/elf"}) {
        expected += "Error: path cannot be written to the manifest: " + std::string(path) + "\n";
    }
    EXPECT_EQ(Sorted(Lines(result.err)), Sorted(Lines(expected)));
    EXPECT_EQ(Sorted(Lines(ReadFile(Path("out/m")))),
              Lines(ExpectedLine("/names/fine") + ExpectedLine("/tree/a/elf") +
                    ExpectedLine("/tree/z/elf")));
    // The locked directory is counted, then passed over.
    EXPECT_EQ(Progress(result.out, "/tree"), "] [  0] [    5] [    2] [  40.00 %] OK: /tree");
    EXPECT_EQ(Progress(result.out, "/secret") + Progress(result.out, "/fifo"), "");
}

// Whatever cuts a run short, yesterday's manifest stays as it was, with nothing beside it.
TEST_F(RunTest, ManifestIsReplacedOnlyByAWholeOne) {
    // Two gibibytes to hash, mostly a hole: the run is still at it when it is cut short.
    Shell("truncate -s 2G image/big");
    for (int i = 0; i < 30; ++i) {
        MakeElf("/usr/bin/tool" + std::to_string(i));
    }
    WriteFile(Path("out/m"), "yesterday\n", 0640);
    auto expectUntouched = [this](const std::string& when) {
        EXPECT_EQ(ReadFile(Path("out/m")), "yesterday\n") << when;
        EXPECT_EQ(std::distance(fs::directory_iterator(Path("out")), {}), 1) << when;
    };
    for (int signal : {SIGKILL, SIGINT}) {
        pid_t child = StartSignChild(Words("generate -R " + root_ + " -f /big -o " + Path("out/m")),
                                     Path("log"));
        Shell("timeout 10 sh -c 'until grep -q Start log; do sleep 0.001; done' && sleep 0.05");
        kill(child, signal);
        EXPECT_EQ(WaitForExit(child), 128 + signal);
        expectUntouched(strsignal(signal));
    }
    // Nothing is listed when the manifest cannot be created; a full disk is found at the end.
    std::vector<std::string> tool = Words("generate -R " + root_ + " -d /usr/bin -o " + dir_);
    EXPECT_EQ(RunSign(tool),
              Failed("Error: cannot open manifest file " + dir_ + ": Is a directory\n"));
    tool.back() = Path("out/m");
    // Room for what the run prints, not for the manifest.
    ChildOptions small;
    small.maxFileSize = 3000;
    ProcessResult failed = RunSignChild(tool, small);
    EXPECT_EQ(WithoutOut(failed),
              Failed("Error: cannot write manifest file " + Path("out/m") + ": File too large\n"));
    EXPECT_NE(failed.out.find("\nDone, "), std::string::npos);
    expectUntouched("write failed");
    // libmagic fails for files that begin with "MAGICFAIL": their rule calls itself until
    // libmagic gives up. That ends the run.
    WriteFile(Path("fail.magic"),
              "0\tname\tloop\n>0\tuse\tloop\n0\tstring\tMAGICFAIL\t\n>0\tuse\tloop\n");
    unsetenv("MAGIC");
    setenv("MAGIC", (Path("fail.magic") + ":" + magic_getpath(nullptr, 0)).c_str(), 1);
    WriteFile(Image("/b/fails"), "MAGICFAIL and more\n", 0755);
    failed = Generate(Words("-d /usr/bin -d /b -o " + Path("out/m") + " -j 2"));
    unsetenv("MAGIC");
    EXPECT_EQ(WithoutOut(failed), Failed("Error: Unable to determine file type for " +
                                         Image("/b/fails") + " - name use count (50) exceeded\n"));
    EXPECT_EQ(failed.out.find("\nDone, "), std::string::npos);
    expectUntouched("libmagic failed");
    // A run that completes replaces it, keeping its mode.
    ASSERT_EQ(RunSign(tool).status, 0);
    std::string manifest = ReadFile(Path("out/m"));
    EXPECT_EQ(Lines(manifest).size(), 30u);
    EXPECT_EQ(fs::status(Path("out/m")).permissions(), fs::perms(0640));
    // The process's own standard output is written to, after what the run printed there.
    tool.back() = "/dev/stdout";
    EXPECT_NE(RunSign(tool).out.find(" processed files: 30\n" + manifest), std::string::npos);
}

// A directory's pieces share its one descriptor, which closes with the last of them: a wide tree
// holds a few at a time. A deep one with a subdirectory still to list at every level would hold
// one per level; beyond what the process may open, its directories are opened again from the
// nearest open one above. Its last file lies deeper than a path can name, so the tree is built
// step by step; libmagic fails on such a path, which would end the whole run: it is reported
// without asking libmagic, and costs only its own path.
TEST_F(RunTest, TreeWiderAndDeeperThanTheLimitOfOpenFilesIsWalkedWhole) {
    // Every file is a copy of one: a line is a path and that one's fingerprint.
    const std::string fingerprint = ManifestLine("", "/bin/true");
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        MakeElf(fmt::format("/wide/d{}/elf", i));
        expected.push_back(fmt::format("/wide/d{}/elf", i) + fingerprint);
    }
    std::string deep = "/deep";
    fs::create_directory(Image(deep));
    fs::current_path(Image(deep));
    for (int level = 1; level <= 2050; ++level, fs::current_path("d")) {
        deep += "/d";
        ASSERT_EQ(mkdir("d", 0755), 0) << level;
        // Empty directories on either side of the deeper one, named for their level: whatever
        // order the system lists them in, most levels have one to list after the deeper one.
        if (level <= 150) {
            ASSERT_EQ(mkdir(fmt::format("a{}", level).c_str(), 0755) |
                          mkdir(fmt::format("z{}", level).c_str(), 0755),
                      0);
        }
        if (level == 1 || level == 400) {
            MakeElf(deep + "/elf");
            expected.push_back(deep + "/elf" + fingerprint);
        }
    }
    fs::copy_file("/bin/true", "elf");
    fs::current_path(dir_);
    rlimit files{0, 0};
    getrlimit(RLIMIT_NOFILE, &files);
    rlimit few{std::min<rlim_t>(files.rlim_cur, 64), files.rlim_max};
    setrlimit(RLIMIT_NOFILE, &few);
    ProcessResult result = Generate({"-d", "/wide", "-d", "/deep", "-o", Path("m"), "-j", "2"});
    setrlimit(RLIMIT_NOFILE, &files);
    EXPECT_EQ(WithoutOut(result),
              Failed("Error: path cannot be written to the manifest: " + deep + "/elf\n"));
    EXPECT_EQ(Sorted(Lines(ReadFile(Path("m")))), Sorted(expected));
    EXPECT_NE(result.out.find("] [ 2353] [    2] [   0.08 %] OK: /deep\n"), std::string::npos)
        << result.out;
}
