#include "manifest/format.h"

#include "support/test_support.h"

// Generate must never write a line that load would read as another path, or not at all.
TEST(ManifestFormatTest, PathFitsOnlyWhenLoadReadsItBackAsWritten) {
    EXPECT_TRUE(PathFitsManifest("/" + std::string(1022, 'a')));
    for (const std::string& path :
         {"/" + std::string(1023, 'a'), std::string("/with space"), std::string("/new\nline"),
          std::string("/cr\r"), std::string("#comment"), std::string()}) {
        EXPECT_FALSE(PathFitsManifest(path)) << path;
    }
}
