#include "engine/selection_rules.h"

#include "support/test_support.h"

TEST(SelectionRulesTest, PathFilterThenCaseSensitiveTypesAndTheFirmwareTreeWithoutLibmagic) {
    for (const char* path : {"/usr/lib/debug/libc.so", "/usr/local/sharedir/x",
                             "/usr/local/share/uefi-firmware-old/x"}) {
        EXPECT_TRUE(PassesPathFilter(path)) << path;
    }
    for (const char* path : {"/usr/lib/libc.so.7.debug", "/usr/lib/c.pyc.d/tool",
                             "/usr/local/share/doc/x", "/usr/local/share/uefi-firmware/x.pyc"}) {
        EXPECT_FALSE(PassesPathFilter(path)) << path;
    }
    const std::set<std::string> defaults(DefaultSignTypes.begin(), DefaultSignTypes.end());
    for (const auto& [description, types, chosen] :
         {std::tuple<const char*, std::set<std::string>, bool>{
              "setuid ELF 64-bit LSB pie executable", defaults, true},
          {"a /usr/bin/python3 script executable (binary data)", defaults, false},
          {"Perl script text executable", {"perl script"}, false},
          {"ASCII text", {""}, true}}) {
        EXPECT_EQ(ShouldSign("/bin/x", description, types), chosen) << description;
    }
    EXPECT_TRUE(ShouldSign("/usr/local/share/uefi-firmware/x", "", {}));
    EXPECT_FALSE(NeedsDescription("/usr/local/share/uefi-firmware/x"));
}

TEST(SelectionRulesTest, TwoNamesOfADirectoryAreJudgedAlikeOnlyWhenEveryPathBelowIs) {
    EXPECT_TRUE(JudgedAlike("/lib/", "/usr/lib/"));
    EXPECT_TRUE(
        JudgedAlike("/usr/local/share/uefi-firmware/", "/usr/local/share/uefi-firmware/x/"));
    // A pattern inside either name, or begun by one name and finished below it.
    for (const char* other : {"/usr/local/share/uefi-firmware/", "/usr/lib/c.pyc/", "/usr/local/",
                              "/opt/usr/local/share/"}) {
        EXPECT_FALSE(JudgedAlike("/usr/lib/", other)) << other;
        EXPECT_FALSE(JudgedAlike(other, "/usr/lib/")) << other;
    }
}
