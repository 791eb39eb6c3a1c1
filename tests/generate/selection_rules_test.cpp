#include "generate/selection_rules.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "generate/shared_state.h"
#include "support/test_support.h"

namespace {

using ::testing::StartsWith;

class SelectionRulesTest : public TempDirTest {
  protected:
    void TearDown() override {
        SigningTypes.clear();
        TempDirTest::TearDown();
    }
    std::string CopyOfTrue(const std::string& name, mode_t mode) {
        std::filesystem::copy_file("/bin/true", Path(name));
        chmod(Path(name).c_str(), mode);
        return Path(name);
    }
    std::string Script(const std::string& name, const std::string& text) {
        WriteFile(Path(name), text, 0755);
        return Path(name);
    }
};

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

TEST_F(SelectionRulesTest, DefaultTypesSelectBinariesShellPerlAndKeywordPythonOnly) {
    SigningTypes.insert(DefaultSignTypes.begin(), DefaultSignTypes.end());
    MagicClassifier classifier;
    std::string elf = CopyOfTrue("elf", 0755);
    ASSERT_EQ(symlink(elf.c_str(), Path("link").c_str()), 0);
    struct Case {
        std::string path;
        std::string description;  // how it starts
        bool chosen;
    } cases[] = {
        {elf, "ELF ", true},
        {CopyOfTrue("setuid", 04755), "setuid ELF ", true},
        {CopyOfTrue("setgid", 02755), "setgid ELF ", true},
        {Script("sh", "#!/bin/sh\necho hi\n"), "POSIX shell script executable", true},
        {Script("perl", "#!/usr/bin/perl\nprint \"hi\\n\";\n"), "Perl script text executable",
         true},
        {Script("perl-env", "#!/usr/bin/env perl\nprint 1;\n"), "Perl script text executable",
         true},
        {Script("module.py", "import os\nimport sys\n\ndef main():\n    pass\n"), "Python script",
         true},
        {Script("notes.txt", "hello world\nplain text\n"), "ASCII text", false},
        {Path("link"), "symbolic link to " + elf, false},
        {Path("missing"), "cannot open `" + Path("missing") + "' (No such file or directory)",
         false},
        // Without the encoding checks a script naming its interpreter is "binary data" and
        // libmagic calls it after the interpreter, not "Python script".
        {Script("tool", "#!/usr/bin/python3\nprint('hi')\n"),
         "a /usr/bin/python3 script executable (binary data)", false},
        {Script("tool-env", "#!/usr/bin/env python3\nprint('hi')\n"),
         "a python3 script executable (binary data)", false},
        {Script("bash", "#!/bin/bash\necho hi\n"),
         "Bourne-Again shell script executable (binary data)", false},
    };
    for (const Case& c : cases) {
        EXPECT_THAT(classifier.Describe(c.path), StartsWith(c.description)) << c.path;
        EXPECT_EQ(ShouldSign(c.path, classifier), c.chosen) << c.path;
    }
}

TEST_F(SelectionRulesTest, TypesAreCaseSensitiveSubstringsAndTheFirmwareTreeNeedsNone) {
    MagicClassifier classifier;
    // With no types at all, nothing that libmagic says could select a path.
    EXPECT_TRUE(ShouldSign("/usr/local/share/uefi-firmware/missing", classifier));
    EXPECT_TRUE(ShouldSign("/usr/local/share/uefi-firmware-old/missing", classifier));
    std::string tool = Script("tool", "#!/usr/bin/python3\nprint('hi')\n");
    EXPECT_FALSE(ShouldSign(tool, classifier));
    SigningTypes.insert("PYTHON3");
    EXPECT_FALSE(ShouldSign(tool, classifier));
    SigningTypes.insert("python3 script");
    EXPECT_TRUE(ShouldSign(tool, classifier));
    SigningTypes = {""};
    EXPECT_TRUE(ShouldSign(Script("notes.txt", "plain\n"), classifier));
}

TEST_F(SelectionRulesTest, UnloadableDatabaseEndsTheProcessWithItsMessage) {
    EXPECT_EXIT(
        {
            setenv("MAGIC", Path("no-such-database").c_str(), 1);
            MagicClassifier classifier;
        },
        ::testing::ExitedWithCode(1),
        "^Error: Cannot load magic database - could not find any valid magic files!\n$");
}

}  // namespace
