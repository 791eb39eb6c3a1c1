#include "generate/selection_rules.h"

#include "support/test_support.h"

namespace {

TEST(PathFilterTest, DebugAndCompiledPythonAnywhereAndSharedDataButFirmwareAreExcluded) {
    for (const char* path :
         {"/usr/bin/true", "/usr/lib/debug/libc.so", "/usr/local/share", "/usr/local/sharedir/x",
          "/usr/local/share/uefi-firmware/BOOTX64.EFI", "/usr/local/share/uefi-firmware-old/x"}) {
        EXPECT_TRUE(PassesPathFilter(path)) << path;
    }
    for (const char* path :
         {"/usr/lib/libc.so.7.debug", "/usr/lib/python3.11/__pycache__/os.cpython-311.pyc",
          "/usr/lib/cache.pyc.d/tool", "/usr/local/share/doc/readme", "/usr/local/share/",
          "/usr/local/share/uefi-firmware/fw.debug", "/usr/local/share/uefi-firmware/tool.pyc",
          "/jail/usr/local/share/misc/x"}) {
        EXPECT_FALSE(PassesPathFilter(path)) << path;
    }
}

TEST(ShouldSignTest, TypesAreCaseSensitiveSubstringsAndTheFirmwareTreeNeedsNone) {
    const std::set<std::string> defaults(DefaultSignTypes.begin(), DefaultSignTypes.end());
    struct Case {
        const char* path;
        const char* description;
        std::set<std::string> types;
        bool chosen;
    } cases[] = {
        {"/bin/sh", "ELF 64-bit LSB pie executable", defaults, true},
        {"/bin/su", "setuid ELF 64-bit LSB pie executable", {"setuid ELF"}, true},
        {"/bin/x", "POSIX shell script, ASCII text executable", defaults, true},
        {"/bin/x", "a /usr/bin/python3 script executable (binary data)", defaults, false},
        {"/bin/x", "a /usr/bin/python3 script executable (binary data)", {"python3 script"}, true},
        {"/bin/x", "Perl script text executable", {"perl script"}, false},
        {"/bin/x", "symbolic link to /bin/true", defaults, false},
        {"/bin/x", "ASCII text", {""}, true},
        {"/bin/x", "ELF", {}, false},
        {"/usr/local/share/uefi-firmware/x", "", {}, true},
        {"/usr/local/share/uefi-firmware-old/x", "", {}, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ShouldSign(c.path, c.description, c.types), c.chosen)
            << c.path << ": " << c.description;
        EXPECT_EQ(NeedsDescription(c.path), c.description[0] != '\0') << c.path;
    }
}

}  // namespace
