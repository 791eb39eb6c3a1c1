#include "generate/digest.h"

#include <fmt/core.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "support/generate_support.h"

namespace {

// Needs neither root nor a facility: only files of its own.
using DigestTest = TempDirTest;

TEST_F(DigestTest, MatchesThePublishedTestVectorsAndSha512sum) {
    struct Case {
        std::string content;
        const char* digest;
    } cases[] = {
        {"",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
         "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {std::string(1000000, 'a'),
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
        // The first digest byte is 0x00: both of its digits are kept.
        {"pelmor-108",
         "00d5880e34f7e2fdce7b76e3f195c07cf310f6fde54903a025834d180d198a82"
         "db858ba50a02155bc6a45b554e9527a9faabb08cd45226c75ca48002f10e1e9c"},
    };
    for (const Case& c : cases) {
        WriteFile(Path("input"), c.content);
        DigestResult result = HashFileSha512(Path("input"));
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.text, c.digest) << c.content.size() << " bytes";
    }
    // Around the size of a read, and over many reads.
    for (size_t size : {0u, 1u, 4095u, 4096u, 4097u, 8192u, 5u * 1024 * 1024 + 3}) {
        std::string path = Path("file-" + std::to_string(size));
        std::string bytes(size, '\0');
        std::generate(bytes.begin(), bytes.end(), std::mt19937(static_cast<unsigned>(size)));
        WriteFile(path, bytes);
        EXPECT_EQ(path + " sha512=" + HashFileSha512(path).text + "\n", ExpectedLine(path));
    }
}

// A failure that nobody hears of: the caller treats it as a file that is not to be signed.
TEST_F(DigestTest, WhatIsNotARegularFileFailsAtOnceWithoutAWord) {
    ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
    ASSERT_EQ(symlink("dir", Path("dir-link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", Path("dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0644), 0);
    // A named pipe without a writer would hold the worker for good: the alarm ends the test.
    alarm(10);
    for (const std::string& path :
         {Path("dir"), Path("dir-link"), Path("dangling"), Path("missing"), Path("pipe"),
          std::string("/dev/null"), std::string()}) {
        ::testing::internal::CaptureStderr();
        DigestResult result = HashFileSha512(path);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << path;
        EXPECT_EQ(result.status, 1) << path;
        EXPECT_EQ(result.text, "error") << path;
        EXPECT_FALSE(result.reported) << path;
    }
    alarm(0);
}

TEST_F(DigestTest, ReadThatCannotGiveTheWholeContentIsReportedInsteadOfADigest) {
    struct Case {
        const char* path;
        const char* err;
    } cases[] = {
        // Reading the process's own memory from address 0 fails with EIO after a good open.
        {"/proc/self/mem", "Error reading /proc/self/mem: Input/output error\n"},
        // The kernel gives its files a size of 0 whatever they hold: read again and again, the
        // content never matches the size.
        {"/proc/self/status", "Error reading /proc/self/status: file changed while being read\n"},
    };
    for (const Case& c : cases) {
        ::testing::internal::CaptureStderr();
        DigestResult result = HashFileSha512(c.path);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.text, "error");
        EXPECT_TRUE(result.reported);
    }
}

TEST_F(DigestTest, FileThatExistsButCannotBeOpenedIsReported) {
    WriteFile(Path("plain"), "abc");
    // Ends at once: with no descriptor left, a sanitizer build cannot run exit handlers. Nor
    // can it check a kind of object met for the first time, as it does with a pipe: fmt's buffer
    // is used once while descriptors are left.
    EXPECT_EXIT(
        {
            (void)fmt::format("Error {} {}: {}\n", "opening", Path("plain"), "none");
            rlimit limit;
            limit.rlim_cur = limit.rlim_max = 16;
            setrlimit(RLIMIT_NOFILE, &limit);
            while (dup(0) >= 0) {
            }
            DigestResult result = HashFileSha512(Path("plain"));
            _exit(result.status == 1 && result.text == "error" && result.reported ? 0 : 2);
        },
        ::testing::ExitedWithCode(0),
        "^Error opening " + Path("plain") + ": Too many open files\n$");
}

}  // namespace
