// generate and check with --cache: a file whose status is the one recorded is not read again,
// and a cache can make a run slower, never wrong.
#include <fcntl.h>
#include <magic.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/test_support.h"

namespace fs = std::filesystem;

class CacheTest : public ImageTest {
  protected:
    void SetUp() override {
        ImageTest::SetUp();
        MakeElf("/usr/bin/a", "/usr/bin/b", "/usr/bin/c", "/usr/bin/d");
        Shell("mkdir out");
        ASSERT_EQ(Generate(Words("-d /usr/bin -o " + Path("full"))).status, 0);
    }
    // The line a run ends with, on what the cache saved; and its manifest must be the full one.
    // A cache that cannot be used costs a warning, one that cannot be written an error.
    std::string Run(const ChildOptions& options = {}, const std::string& err = "",
                    const std::string& cache = "out/cache", const std::string& manifest = "out/m") {
        ProcessResult result = RunSignChild(Words("generate -R " + root_ + " -d /usr/bin -o " +
                                                  Path(manifest) + " --cache " + Path(cache)),
                                            options);
        EXPECT_EQ(result.status, err.rfind("Error: ", 0) == 0 ? 1 : 0);
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(ReadFile(Path(manifest)), ReadFile(Path("full")));
        return Lines(result.out).back();
    }
    // Refused by generate (status 1) and check (status 2) alike with `err`, before anything is
    // read from the cache or written: neither the cache nor the manifest changes.
    void ExpectRefused(const std::string& cache, const std::string& err) {
        WriteFile(Path("out/m"), "yesterday\n");
        // What the cache is, and what it holds when it is a regular file.
        const std::string state = "stat -c '%F %u %a %i %y' " + cache + " 2>&1; [ ! -f " + cache +
                                  " ] || [ -L " + cache + " ] || sha512sum <" + cache;
        const std::string before = Shell(state);
        for (const std::string& command :
             {"generate -R " + root_ + " -d /usr/bin -o " + Path("out/m") + " --cache " + cache,
              "check -R " + root_ + " --cache " + cache + " " + Path("full")}) {
            ProcessResult result = RunSign(Words(command));
            EXPECT_EQ(result.status, command.rfind("check", 0) == 0 ? 2 : 1) << command;
            EXPECT_EQ(result.err, err) << command;
        }
        EXPECT_EQ(ReadFile(Path("out/m")), "yesterday\n");
        EXPECT_EQ(Shell(state), before);
    }
};

// Makes the content new while size and times stay, as someone who can write the file and set
// its times back could; only the change time moves, once the clock's tick has passed.
static void RewriteKeepingTimes(const std::string& path) {
    usleep(20000);
    Shell("touch -r " + path + " times");
    const char last = ReadFile(path).back() ^ 1;
    std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).seekp(-1, std::ios::end)
        << last;
    Shell("touch -r times " + path);
}

TEST_F(CacheTest, OnlyChangedFilesAreReadAgainAndARerunOfUnchangedOnesWritesTheCacheItRead) {
    EXPECT_EQ(Run(), "Cache: 4 files described and 4 hashed, 0 reused, 0 not opened\n");
    EXPECT_EQ(Run(), "Cache: 0 files described and 0 hashed, 4 reused, 4 not opened\n");
    // Nothing changed: every record serves, the one of a file both queued and walked too, and
    // the cache written is the one read, byte for byte.
    const std::vector<std::string> arguments =
        Words("-j 2 -d /usr/bin -f /usr/bin/a -o " + Path("m") + " --cache " + Path("cache"));
    ASSERT_EQ(Generate(arguments).status, 0);
    const std::string cache = ReadFile(Path("cache"));
    EXPECT_EQ(Lines(Generate(arguments).out).back(),
              "Cache: 0 files described and 0 hashed, 4 reused, 4 not opened\n");
    EXPECT_EQ(ReadFile(Path("cache")), cache);
    // Rewritten, replaced (a new inode) and touched: each is read again.
    RewriteKeepingTimes(Image("/usr/bin/b"));
    Shell("cd image/usr/bin && cp c c.new && mv c.new c && touch d");
    ASSERT_EQ(Generate(Words("-d /usr/bin -o " + Path("full"))).status, 0);
    EXPECT_EQ(Run(), "Cache: 3 files described and 3 hashed, 1 reused, 1 not opened\n");
    // Another libmagic database: every file is described again, none hashed again.
    WriteFile(Path("extra.magic"), "0\tstring\tPELMORMARK\tpelmor mark\n");
    unsetenv("MAGIC");
    setenv("MAGIC", (Path("extra.magic") + ":" + magic_getpath(nullptr, 0)).c_str(), 1);
    EXPECT_EQ(Run(), "Cache: 4 files described and 0 hashed, 4 reused, 0 not opened\n");
    unsetenv("MAGIC");
    // check compares the status first, and finds what changed all the same.
    RewriteKeepingTimes(Image("/usr/bin/b"));
    std::string check = "check -R " + root_ + " --cache " + Path("out/cache") + " " + Path("out/m");
    EXPECT_EQ(Lines(RunSign(Words(check)).out).front(), "changed: /usr/bin/b\n");
}

// Where the cache holds what a file's status vouches for, the file is not even opened: a file
// that only root can read is judged and checked, from root's cache, by a user who cannot open it,
// and without the cache the same check cannot read it.
TEST_F(CacheTest, FilesWhoseRecordServesTheirStatusAreNotOpened) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: a file that only root can read shows it is not opened";
    }
    Shell("chmod 0 image/usr/bin/d");
    Run();
    ProcessResult dry = RunSignChild(
        {"generate", "-R", root_, "-d", "/usr/bin", "-o", "", "--cache", Path("out/cache")},
        Unprivileged);
    EXPECT_EQ(WithoutOut(dry), Succeeded(""));
    EXPECT_EQ(Lines(dry.out).back(),
              "Cache: 0 files described and 0 hashed, 4 reused, 4 not opened\n");
    const std::string check = "check -R " + root_ + " " + Path("out/m");
    EXPECT_EQ(RunSignChild(Words(check), Unprivileged),
              ProcessResult({1,
                             "unreadable: /usr/bin/d: Permission denied\nChecked 4 entries: 3 "
                             "unchanged, 0 changed, 0 missing, 1 unreadable\n",
                             ""}));
    EXPECT_EQ(RunSignChild(Words(check + " --cache " + Path("out/cache")), Unprivileged),
              Succeeded("Checked 4 entries: 4 unchanged, 0 changed, 0 missing, 0 unreadable\n"));
}

// In a folder others can write to, a cache planted as a link would have root overwrite whatever
// it points at; a pipe would hang the run.
TEST_F(CacheTest, CacheThatIsALinkOrNotARegularFileIsRefusedBeforeAnythingIsWritten) {
    WriteFile(Path("victim"), "victim\n");
    Shell("ln -s ../victim out/link && mkfifo out/fifo && mkdir out/folder");
    for (const std::string& cache : {Path("out/link"), Path("out/fifo"), Path("out/folder")}) {
        ExpectRefused(cache, "Error: refusing " + cache + ": not a regular file\n");
    }
    EXPECT_EQ(ReadFile(Path("victim")), "victim\n");
}

// Whoever could write the cache, or swap it through its folder, could have a changed program
// taken for the one recorded: check would call it unchanged, generate write its old
// fingerprint. Such a cache is refused, also before one exists, where a run would write it, and
// so is one of another user.
TEST_F(CacheTest, CacheThatOthersCouldWriteOrSwapIsRefusedAndLeftAsItWas) {
    Run();
    Shell(
        "mkdir -m 777 open && mkdir -m 1777 sticky && cp -p out/cache sticky/cache && "
        "cp out/cache out/writable && chmod 666 out/writable");
    const std::string open = "Error: refusing " + Path("open/cache") + ": folder " + Path("open") +
                             " is writable by group or others\n";
    ExpectRefused(Path("open/cache"), open);
    EXPECT_EQ(Shell("ls -A open"), "");
    ExpectRefused(Path("out/writable"),
                  "Error: refusing " + Path("out/writable") + ": writable by group or others\n");
    // A sticky folder lets none but the cache's owner rename it: the cache serves.
    EXPECT_EQ(Run({}, "", "sticky/cache"),
              "Cache: 0 files described and 0 hashed, 4 reused, 4 not opened\n");
    // There a user plants a cache of records of their choosing before root's run: it is neither
    // used nor rewritten and handed back to them.
    if (geteuid() == 0) {
        const std::string user = std::to_string(UnprivilegedUser);
        Shell("cp out/cache sticky/planted && chown " + user + " sticky/planted");
        ExpectRefused(Path("sticky/planted"), "Error: refusing " + Path("sticky/planted") +
                                                  ": owned by user " + user +
                                                  ", who could change it\n");
        EXPECT_EQ(Shell("stat -c %u sticky/planted"), user + "\n");
    }
}

TEST_F(CacheTest, CacheThatCannotBeUsedIsPassedOverWithAWarning) {
    Run();
    const std::string cache = ReadFile(Path("out/cache"));
    std::string foreign = cache, damaged = cache;
    foreign[std::strlen("PELMOR-SIGN CACHE\n")] = 2;
    damaged[cache.size() / 2] ^= 0x20;
    const std::string unchecked = "checksum does not match, the file is cut short or damaged";
    for (const auto& [content, reason] :
         {std::pair<std::string, std::string>{"garbage\n", "not a cache file"},
          {foreign, "written in format 2, not 1"},
          {cache.substr(0, cache.size() - 100), unchecked},
          {damaged, unchecked}}) {
        WriteFile(Path("out/cache"), content);
        EXPECT_EQ(
            Run({}, "Warning: cache file " + Path("out/cache") + " not used: " + reason + "\n"),
            "Cache: 4 files described and 4 hashed, 0 reused, 0 not opened\n");
        // The run left a cache that serves the next one.
        EXPECT_EQ(Run(), "Cache: 0 files described and 0 hashed, 4 reused, 4 not opened\n");
    }
    // A file of any size given as the cache: only what a cache could be is read.
    ASSERT_EQ(truncate(Path("out/cache").c_str(), off_t{3} << 30), 0);
    EXPECT_EQ(
        Run({}, "Warning: cache file " + Path("out/cache") + " not used: larger than 2 GiB\n"),
        "Cache: 4 files described and 4 hashed, 0 reused, 0 not opened\n");
    // A user who cannot read the cache, or write it, in a folder of their own: the first costs
    // a warning, the second fails the run, but not its manifest.
    Shell("mkdir own closed && chmod 555 closed" +
          (geteuid() == 0 ? " && chown " + std::to_string(UnprivilegedUser) + " own" : ""));
    WriteFile(Path("own/cache"), cache, 0);
    EXPECT_EQ(Run(Unprivileged,
                  "Warning: cache file " + Path("own/cache") + " not used: Permission denied\n",
                  "own/cache", "own/m"),
              "Cache: 4 files described and 4 hashed, 0 reused, 0 not opened\n");
    Run(Unprivileged,
        "Error: cannot write cache file " + Path("closed/cache") + ": Permission denied\n",
        "closed/cache", "own/m");
}
