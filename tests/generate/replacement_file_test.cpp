#include "generate/replacement_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "support/test_support.h"

namespace {

using ReplacementFileTest = TempDirTest;

TEST_F(ReplacementFileTest, NewFileTakesTheUmaskAndALinkStaysALink) {
    std::filesystem::create_directory(Path("d"));
    mode_t mask = umask(027);
    EXPECT_EQ(ReplacementFile(Path("d/fresh")).Replace({"fresh ", "content\n"}), 0);
    umask(mask);
    struct stat status;
    ASSERT_EQ(stat(Path("d/fresh").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    std::filesystem::create_symlink("d/fresh", Path("link"));
    ASSERT_EQ(ReplacementFile(Path("link")).Replace({"through the link\n"}), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(Path("link")));
    EXPECT_EQ(ReadFile(Path("d/fresh")), "through the link\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Path("d")), {}), 1);
    EXPECT_EQ(ReplacementFile(Path("missing/file")).Check(), ENOENT);
}

}  // namespace
