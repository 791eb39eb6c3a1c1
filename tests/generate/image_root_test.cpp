#include "generate/image_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/test_support.h"

namespace {

using ImageRootTest = TempDirTest;

TEST_F(ImageRootTest, LinksResolveInsideTheImageAndNeverLeadOutOfIt) {
    namespace fs = std::filesystem;
    const std::string image = Path("image");
    fs::create_directories(image + "/usr/lib/real");
    fs::create_directories(image + "/bin");
    fs::create_symlink("/usr/lib/real", image + "/usr/lib/absolute");
    fs::create_symlink("real", image + "/usr/lib/relative");
    fs::create_symlink("../../../../..", image + "/usr/lib/up");
    fs::create_symlink("/usr/lib/chain", image + "/usr/lib/chain");
    fs::create_symlink("/usr/lib", image + "/lib");
    ImageRoot root(image + "//");
    struct Case {
        std::string path;
        std::string resolved;  // below the image, or an error
    } cases[] = {
        {"/usr/lib/absolute/x", "/usr/lib/real/x"},
        {"/usr/lib/relative/x", "/usr/lib/real/x"},
        {"/lib/absolute", "/usr/lib/real"},
        {"/usr/lib/up/bin", "/bin"},
        {"/../../bin/../usr//./lib/", "/usr/lib/"},
        {"usr/lib/absolute", "/usr/lib/real"},
        {"/", "/"},
        {"/missing/../bin", "/bin"},
        {"/usr/lib/chain/x", "error"},
    };
    for (const Case& c : cases) {
        std::string resolved;
        int error = root.Resolve(c.path, resolved);
        EXPECT_EQ(error == 0 ? resolved : "error",
                  c.resolved == "error" ? "error" : image + c.resolved)
            << c.path;
        EXPECT_EQ(error, c.resolved == "error" ? ELOOP : 0) << c.path;
    }
    // The running system's paths, and an empty path, are taken as they are.
    std::string resolved;
    for (const std::string& path : {std::string("/usr/lib/absolute"), std::string()}) {
        EXPECT_EQ(ImageRoot("").Resolve(path, resolved), 0);
        EXPECT_EQ(resolved, path);
        EXPECT_EQ(ImageRoot("/").Resolve(path, resolved), 0);
        EXPECT_EQ(resolved, path);
    }
    EXPECT_EQ(root.Resolve("", resolved), 0);
    EXPECT_EQ(resolved, "");
}

}  // namespace
