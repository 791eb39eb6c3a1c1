#include "engine/digest.h"

#include <sys/stat.h>

#include <algorithm>
#include <random>

#include "support/test_support.h"

using DigestTest = TempDirTest;

TEST_F(DigestTest, MatchesSha512sumAroundTheSizeOfAReadOrFailsWithItsCause) {
    FileDigester digester;
    for (size_t size : {0u, 131071u, 131072u, 131073u, 5u * 1024 * 1024 + 3}) {
        std::string bytes(size, '\0'), path = Path("file-" + std::to_string(size));
        std::generate(bytes.begin(), bytes.end(), std::mt19937(static_cast<unsigned>(size)));
        WriteFile(path, bytes);
        DigestResult result = digester.Hash(path);
        EXPECT_EQ(path + " sha512=" + result.text + "\n", ManifestLine(path, path));
        EXPECT_EQ(result.identity.size, static_cast<int64_t>(size));
    }
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0644), 0);
    for (const auto& [path, cause, report] :
         {std::tuple<std::string, std::string, std::string>{dir_, "not a regular file", ""},
          // A named pipe without a writer must not hold the worker.
          {Path("pipe"), "not a regular file", ""},
          {Path("file-0/below"), "Not a directory", ""},
          // Reading the process's own memory from address 0 fails after a good open.
          {"/proc/self/mem", "Input/output error",
           "Error reading /proc/self/mem: Input/output error\n"},
          // Such a file has the size 0 whatever it holds: the content never matches the size.
          {"/proc/self/status", "file changed while being read",
           "Error reading /proc/self/status: file changed while being read\n"}}) {
        DigestResult result = digester.Hash(path);
        EXPECT_EQ(std::tie(result.status, result.cause, result.report, result.missing),
                  std::make_tuple(1, cause, report, cause == "Not a directory"))
            << path;
    }
}
