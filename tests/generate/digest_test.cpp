#include "generate/digest.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "support/test_support.h"

namespace {

using DigestTest = TempDirTest;

TEST_F(DigestTest, MatchesSha512sumAroundTheSizeOfARead) {
    // The published digest of "abc" (FIPS 180-2), and one whose first byte is 0x00.
    WriteFile(Path("abc"), "abc");
    EXPECT_EQ(HashFileSha512(Path("abc")).text,
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    WriteFile(Path("zero"), "pelmor-108");
    EXPECT_EQ(HashFileSha512(Path("zero")).text.substr(0, 4), "00d5");
    FileDigester digester;
    for (size_t size : {0u, 1u, 131071u, 131072u, 131073u, 5u * 1024 * 1024 + 3}) {
        std::string path = Path("file-" + std::to_string(size));
        std::string bytes(size, '\0');
        std::generate(bytes.begin(), bytes.end(), std::mt19937(static_cast<unsigned>(size)));
        WriteFile(path, bytes);
        DigestResult result = digester.Hash(path);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(path + " sha512=" + result.text + "\n", ManifestLine(path, path));
        EXPECT_EQ(result.identity.size, static_cast<int64_t>(size));
    }
    EXPECT_EQ(FileDigester("SHA256").Hash(Path("abc")).text,
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(DigestTest, WhatCannotGiveAWholeRegularContentFailsWithItsCause) {
    ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere", Path("dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0644), 0);
    struct Case {
        std::string path;
        std::string cause;
        std::string report;  // "" for what a walk passes over without a word
    } cases[] = {
        {Path("dir"), "not a regular file", ""},
        // A named pipe without a writer must not hold the worker.
        {Path("pipe"), "not a regular file", ""},
        {"/dev/null", "not a regular file", ""},
        {Path("dangling"), "No such file or directory", ""},
        {"", "No such file or directory", ""},
        // Reading the process's own memory from address 0 fails after a good open.
        {"/proc/self/mem", "Input/output error",
         "Error reading /proc/self/mem: Input/output error\n"},
        // The kernel gives its files a size of 0 whatever they hold: read again and again, the
        // content never matches the size.
        {"/proc/self/status", "file changed while being read",
         "Error reading /proc/self/status: file changed while being read\n"},
    };
    for (const Case& c : cases) {
        DigestResult result = HashFileSha512(c.path);
        EXPECT_EQ(result.status, 1) << c.path;
        EXPECT_EQ(result.text, "error") << c.path;
        EXPECT_EQ(result.cause, c.cause) << c.path;
        EXPECT_EQ(result.report, c.report) << c.path;
        EXPECT_EQ(result.missing, c.cause == "No such file or directory") << c.path;
    }
}

}  // namespace
