#include "generate/replacement_file.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

using ReplacementFileTest = TempDirTest;

mode_t ModeOf(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

size_t EntriesIn(const std::string& directory) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(directory), {}));
}

TEST_F(ReplacementFileTest, NewContentTakesThePlaceOfTheOldWholeAndKeepsItsModeAndLinks) {
    fs::create_directory(Path("d"));
    WriteFile(Path("d/old"), "old content\n", 0640);
    ASSERT_EQ(ReplacementFile(Path("d/old")).Replace({"new ", "content\n"}), 0);
    EXPECT_EQ(ReadFile(Path("d/old")), "new content\n");
    EXPECT_EQ(ModeOf(Path("d/old")), 0640u);

    mode_t mask = umask(027);
    EXPECT_EQ(ReplacementFile(Path("d/fresh")).Replace({"fresh\n"}), 0);
    umask(mask);
    EXPECT_EQ(ModeOf(Path("d/fresh")), 0640u);

    // A link to the file stays a link, to the new content.
    fs::create_symlink("d/old", Path("link"));
    ASSERT_EQ(ReplacementFile(Path("link")).Replace({"through the link\n"}), 0);
    EXPECT_TRUE(fs::is_symlink(Path("link")));
    EXPECT_EQ(ReadFile(Path("d/old")), "through the link\n");
    // Nothing else is left beside the file.
    EXPECT_EQ(EntriesIn(Path("d")), 2u);
}

TEST_F(ReplacementFileTest, FailureLeavesTheTargetAsItWasAndNothingBesideIt) {
    fs::create_directory(Path("d"));
    WriteFile(Path("d/target"), "yesterday\n");
    // A file size limit makes the write fail part-way, as a full disk would.
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4, 4};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(ReplacementFile(Path("d/target")).Replace({"much more than four bytes\n"}) == EFBIG
                  ? 0
                  : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile(Path("d/target")), "yesterday\n");
    EXPECT_EQ(EntriesIn(Path("d")), 1u);

    EXPECT_EQ(ReplacementFile(Path("d")).Check(), EISDIR);
    EXPECT_EQ(ReplacementFile(Path("missing/target")).Check(), ENOENT);
    EXPECT_EQ(ReplacementFile(Path("d/target")).Check(), 0);
    EXPECT_EQ(ReplacementFile("/dev/null").Check(), 0);
}

}  // namespace
