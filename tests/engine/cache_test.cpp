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
        Shell("mkdir -m 777 out");
        ASSERT_EQ(Generate(Words("-d /usr/bin -o " + Path("full"))).status, 0);
    }
    // The line a run ends with, on what the cache saved; and its manifest must be the full one.
    // A cache that cannot be used costs a warning, one that cannot be written an error.
    std::string Run(const ChildOptions& options = {}, const std::string& err = "",
                    const std::string& cache = "out/cache") {
        ProcessResult result = RunSignChild(Words("generate -R " + root_ + " -d /usr/bin -o " +
                                                  Path("out/m") + " --cache " + Path(cache)),
                                            options);
        EXPECT_EQ(result.status, err.rfind("Error: ", 0) == 0 ? 1 : 0);
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(ReadFile(Path("out/m")), ReadFile(Path("full")));
        return Lines(result.out).back();
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
    EXPECT_EQ(Run(), "Cache: 4 files described and 4 hashed, 0 reused\n");
    EXPECT_EQ(Run(), "Cache: 0 files described and 0 hashed, 4 reused\n");
    // Nothing changed: every record serves, the one of a file both queued and walked too, and
    // the cache written is the one read, byte for byte.
    const std::vector<std::string> arguments =
        Words("-j 2 -d /usr/bin -f /usr/bin/a -o " + Path("m") + " --cache " + Path("cache"));
    ASSERT_EQ(Generate(arguments).status, 0);
    const std::string cache = ReadFile(Path("cache"));
    EXPECT_EQ(Lines(Generate(arguments).out).back(),
              "Cache: 0 files described and 0 hashed, 4 reused\n");
    EXPECT_EQ(ReadFile(Path("cache")), cache);
    // Rewritten, replaced (a new inode) and touched: each is read again.
    RewriteKeepingTimes(Image("/usr/bin/b"));
    Shell("cd image/usr/bin && cp c c.new && mv c.new c && touch d");
    ASSERT_EQ(Generate(Words("-d /usr/bin -o " + Path("full"))).status, 0);
    EXPECT_EQ(Run(), "Cache: 3 files described and 3 hashed, 1 reused\n");
    // Another libmagic database: every file is described again, none hashed again.
    WriteFile(Path("extra.magic"), "0\tstring\tPELMORMARK\tpelmor mark\n");
    unsetenv("MAGIC");
    setenv("MAGIC", (Path("extra.magic") + ":" + magic_getpath(nullptr, 0)).c_str(), 1);
    EXPECT_EQ(Run(), "Cache: 4 files described and 0 hashed, 4 reused\n");
    unsetenv("MAGIC");
    // check compares the status first, and finds what changed all the same.
    RewriteKeepingTimes(Image("/usr/bin/b"));
    std::string check = "check -R " + root_ + " --cache " + Path("out/cache") + " " + Path("out/m");
    EXPECT_EQ(Lines(RunSign(Words(check)).out).front(), "changed: /usr/bin/b\n");
}

// In a folder others can write to, a cache planted as a link would have root overwrite whatever
// it points at; a pipe would hang the run.
TEST_F(CacheTest, CacheThatIsALinkOrNotARegularFileIsRefusedBeforeAnythingIsWritten) {
    WriteFile(Path("victim"), "victim\n");
    WriteFile(Path("out/m"), "yesterday\n");
    Shell("ln -s ../victim out/link && mkfifo out/fifo");
    for (const std::string& cache : {Path("out/link"), Path("out/fifo")}) {
        for (const std::string& command :
             {"generate -R " + root_ + " -d /usr/bin -o " + Path("out/m") + " --cache " + cache,
              "check -R " + root_ + " --cache " + cache + " " + Path("full")}) {
            ProcessResult result = RunSign(Words(command));
            EXPECT_EQ(result.status, command.rfind("check", 0) == 0 ? 2 : 1) << command;
            EXPECT_EQ(result.err, "Error: refusing " + cache + ": not a regular file\n");
        }
    }
    EXPECT_EQ(ReadFile(Path("victim")) + ReadFile(Path("out/m")), "victim\nyesterday\n");
}

TEST_F(CacheTest, CacheThatCannotBeUsedIsPassedOverWithAWarning) {
    Run();
    const std::string cache = ReadFile(Path("out/cache"));
    std::string foreign = cache, damaged = cache;
    foreign[std::strlen("PELMOR-SIGN CACHE\n")] = 2;
    damaged[cache.size() / 2] ^= 0x20;
    const std::string unchecked = "checksum does not match, the file is cut short or damaged";
    for (const auto& [content, mode, reason] :
         {std::tuple<std::string, mode_t, std::string>{"garbage\n", 0644, "not a cache file"},
          {foreign, 0644, "written in format 2, not 1"},
          {cache.substr(0, cache.size() - 100), 0644, unchecked},
          {damaged, 0644, unchecked},
          {cache, 0, "Permission denied"}}) {
        WriteFile(Path("out/cache"), content, mode);
        EXPECT_EQ(Run(Unprivileged,
                      "Warning: cache file " + Path("out/cache") + " not used: " + reason + "\n"),
                  "Cache: 4 files described and 4 hashed, 0 reused\n");
        // The run left a cache that serves the next one (with the mode of the one it replaced).
        chmod(Path("out/cache").c_str(), 0644);
        EXPECT_EQ(Run(), "Cache: 0 files described and 0 hashed, 4 reused\n");
    }
    // A file of any size given as the cache: only what a cache could be is read.
    ASSERT_EQ(truncate(Path("out/cache").c_str(), off_t{3} << 30), 0);
    EXPECT_EQ(
        Run({}, "Warning: cache file " + Path("out/cache") + " not used: larger than 2 GiB\n"),
        "Cache: 4 files described and 4 hashed, 0 reused\n");
    // A cache that cannot be written fails the run, but not its manifest.
    Shell("mkdir -m 555 closed && rm out/m");
    Run(Unprivileged,
        "Error: cannot write cache file " + Path("closed/cache") + ": Permission denied\n",
        "closed/cache");
}
