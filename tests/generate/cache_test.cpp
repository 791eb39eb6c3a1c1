// generate and check with --cache: files whose status is the one recorded are not read again,
// and a cache can make a run slower, never wrong.
#include "generate/cache.h"

#include <fcntl.h>
#include <magic.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

class CacheTest : public ImageTest {
  protected:
    void SetUp() override {
        ImageTest::SetUp();
        for (const char* tool : {"/usr/bin/a", "/usr/bin/b", "/usr/bin/c", "/usr/bin/d"}) {
            MakeElf(tool);
        }
        fs::create_directory(Path("out"));
        chmod(Path("out").c_str(), 0777);
    }
    void TearDown() override {
        unsetenv("MAGIC");
        ImageTest::TearDown();
    }
    ProcessResult Run(const ChildOptions& options = {}) {
        return RunSignChild({"generate", "-R", root_, "-d", "/usr/bin", "-o", Path("out/m"),
                             "--cache", Path("out/cache")},
                            options);
    }
    // The last line of a run: what the cache saved.
    static std::string CacheLine(const ProcessResult& result) {
        std::vector<std::string> lines = Lines(result.out);
        return lines.empty() ? "" : lines.back();
    }
    // The manifest that a run without a cache writes.
    std::string FullManifest() {
        EXPECT_EQ(Generate({"-d", "/usr/bin", "-o", Path("full")}).status, 0);
        return ReadFile(Path("full"));
    }
};

// Makes a file's content new while its size and times stay, as someone who can write it and
// set its times back could; only the change time moves.
void RewriteKeepingTimes(const std::string& path, const std::string& content) {
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    WriteFile(path, content, before.st_mode & 07777);
    timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(CacheTest, OnlyFilesWhoseStatusChangedAreReadAgain) {
    ProcessResult first = Run();
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(CacheLine(first), "Cache: 4 files described and 4 hashed, 0 reused\n");
    ProcessResult second = Run();
    EXPECT_EQ(CacheLine(second), "Cache: 0 files described and 0 hashed, 4 reused\n");
    EXPECT_EQ(ReadFile(Path("out/m")), FullManifest());

    // File times have the clock's tick: let it pass, so that a change moves them.
    usleep(20000);
    std::string elf = ReadFile(Image("/usr/bin/b"));
    elf.back() ^= 1;
    RewriteKeepingTimes(Image("/usr/bin/b"), elf);
    fs::copy_file(Image("/usr/bin/c"), Image("/usr/bin/c.new"));
    fs::rename(Image("/usr/bin/c.new"), Image("/usr/bin/c"));
    ASSERT_EQ(utimensat(AT_FDCWD, Image("/usr/bin/d").c_str(), nullptr, 0), 0);
    ProcessResult changed = Run();
    EXPECT_EQ(changed.status, 0) << changed.err;
    EXPECT_EQ(CacheLine(changed), "Cache: 3 files described and 3 hashed, 1 reused\n");
    EXPECT_EQ(ReadFile(Path("out/m")), FullManifest());
    EXPECT_NE(ReadFile(Path("out/m")).find(ExpectedLine("/usr/bin/b")), std::string::npos);

    // Another libmagic database: every file is described again, but none hashed again.
    WriteFile(Path("extra.magic"), "0\tstring\tPELMORMARK\tpelmor mark\n");
    unsetenv("MAGIC");
    setenv("MAGIC", (Path("extra.magic") + ":" + magic_getpath(nullptr, 0)).c_str(), 1);
    EXPECT_EQ(CacheLine(Run()), "Cache: 4 files described and 0 hashed, 4 reused\n");
    EXPECT_EQ(ReadFile(Path("out/m")), FullManifest());
    unsetenv("MAGIC");
    EXPECT_EQ(CacheLine(Run()), "Cache: 4 files described and 0 hashed, 4 reused\n");

    // check compares the status first, and finds what changed all the same.
    usleep(20000);
    elf.back() ^= 1;
    RewriteKeepingTimes(Image("/usr/bin/b"), elf);
    ProcessResult check =
        RunSign({"check", "-R", root_, "--cache", Path("out/cache"), Path("out/m")});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out,
              "changed: /usr/bin/b\nChecked 4 entries: 3 unchanged, 1 changed, 0 "
              "missing, 0 unreadable\n");
}

TEST_F(CacheTest, CacheThatCannotBeUsedIsPassedOverWithAWarning) {
    ASSERT_EQ(Run().status, 0);
    const std::string cache = ReadFile(Path("out/cache"));
    const std::string full = FullManifest();
    std::string foreign = cache;
    foreign[std::string("PELMOR-SIGN CACHE\n").size()] = 2;
    std::string damaged = cache;
    damaged[cache.size() / 2] ^= 0x20;
    struct Case {
        std::string content;
        mode_t mode;
        std::string reason;
    } cases[] = {
        {"garbage\n", 0644, "not a cache file"},
        {foreign, 0644, "written in format 2, not 1"},
        {cache.substr(0, cache.size() - 100), 0644,
         "checksum does not match, the file is cut short or damaged"},
        {damaged, 0644, "checksum does not match, the file is cut short or damaged"},
        {cache, 0, "Permission denied"},
    };
    ChildOptions unprivileged;
    unprivileged.unprivileged = true;
    for (const Case& c : cases) {
        WriteFile(Path("out/cache"), c.content, c.mode);
        ProcessResult result = Run(unprivileged);
        EXPECT_EQ(result.status, 0) << c.reason;
        EXPECT_EQ(result.err,
                  "Warning: cache file " + Path("out/cache") + " not used: " + c.reason + "\n");
        EXPECT_EQ(CacheLine(result), "Cache: 4 files described and 4 hashed, 0 reused\n");
        EXPECT_EQ(ReadFile(Path("out/m")), full) << c.reason;
        // The run left a cache that serves the next one.
        EXPECT_EQ(CacheLine(Run()), "Cache: 0 files described and 0 hashed, 4 reused\n");
    }

    // A cache that cannot be written fails the run, but not its manifest.
    fs::create_directory(Path("closed"));
    chmod(Path("closed").c_str(), 0555);
    ProcessResult unwritten = RunSignChild({"generate", "-R", root_, "-d", "/usr/bin", "-o",
                                            Path("out/m2"), "--cache", Path("closed/cache")},
                                           unprivileged);
    EXPECT_EQ(unwritten.status, 1);
    EXPECT_EQ(unwritten.err,
              "Error: cannot write cache file " + Path("closed/cache") + ": Permission denied\n");
    EXPECT_EQ(ReadFile(Path("out/m2")), full);
}

TEST(CacheFormatTest, WhatIsWrittenReadsBackRecordForRecord) {
    std::vector<std::pair<std::string, CacheRecord>> records(3);
    records[0].first = "/usr/bin/a";
    records[0].second.identity = {1, 2, 3, 4, 5, 6, 7};
    records[0].second.described = true;
    records[0].second.description = "ELF 64-bit";
    records[1].first = "/usr/bin/b";
    records[1].second.hashed = true;
    records[1].second.digest[63] = 0xff;
    records[2].first = "/usr/bin/c";
    std::string bytes = SerializeCache("libmagic 544", records);
    FileCache cache;
    ASSERT_EQ(cache.Parse(bytes, "libmagic 544"), "");
    EXPECT_TRUE(cache.DescriptionsValid());
    ASSERT_EQ(cache.Records().size(), 3u);
    EXPECT_EQ(SerializeCache(cache.MagicIdentity(), cache.Records()), bytes);
    const CacheRecord* a = cache.Find("/usr/bin/a");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->identity == records[0].second.identity);
    EXPECT_EQ(a->description, "ELF 64-bit");
    EXPECT_EQ(cache.Find("/usr/bin/b")->digest[63], 0xff);
    EXPECT_EQ(cache.Find("/usr/bin/d"), nullptr);
    ASSERT_EQ(cache.Parse(bytes, "libmagic 545"), "");
    EXPECT_FALSE(cache.DescriptionsValid());
    // A path that no manifest could hold makes the file damaged, checksum or not.
    records[2].first = "/usr/bin/with space";
    EXPECT_EQ(cache.Parse(SerializeCache("libmagic 544", records), "libmagic 544"),
              "damaged record");
    EXPECT_TRUE(cache.Records().empty());
}

}  // namespace
