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
    void SetUp() override {
        TempDirTest::SetUp();
        SigningTypes.clear();
    }
    void TearDown() override {
        SigningTypes.clear();
        TempDirTest::TearDown();
    }
    void UseDefaultTypes() {
        SigningTypes.insert(DefaultSignTypes.begin(), DefaultSignTypes.end());
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
    struct Case {
        const char* path;
        bool passes;
    } cases[] = {
        {"/usr/bin/true", true},
        {"/usr/lib/libc.so.7.debug", false},
        {"/usr/lib/debug/libc.so", true},
        {"/usr/lib/python3.11/__pycache__/os.cpython-311.pyc", false},
        {"/usr/lib/cache.pyc.d/tool", false},
        {"/usr/local/share/doc/readme", false},
        {"/usr/local/share/", false},
        {"/usr/local/share", true},
        {"/usr/local/sharedir/x", true},
        {"/usr/local/share/uefi-firmware/BOOTX64.EFI", true},
        {"/usr/local/share/uefi-firmware-old/x", true},
        {"/usr/local/share/uefi-firmware/fw.debug", false},
        {"/usr/local/share/uefi-firmware/tool.pyc", false},
        {"/jail/usr/local/share/misc/x", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PassesPathFilter(c.path), c.passes) << c.path;
    }
}

TEST_F(SelectionRulesTest, FirmwareTreeIsSignedWithoutAskingForItsType) {
    MagicClassifier classifier;
    // With no types at all, nothing that libmagic says could select a path.
    EXPECT_TRUE(ShouldSign("/usr/local/share/uefi-firmware/missing", classifier));
    EXPECT_TRUE(ShouldSign("/usr/local/share/uefi-firmware-old/missing", classifier));
    EXPECT_FALSE(ShouldSign(CopyOfTrue("elf", 0755), classifier));
}

TEST_F(SelectionRulesTest, DefaultTypesSelectBinariesShellPerlAndKeywordPython) {
    UseDefaultTypes();
    MagicClassifier classifier;
    struct Case {
        std::string path;
        const char* descriptionStart;
    } cases[] = {
        {CopyOfTrue("elf", 0755), "ELF "},
        {CopyOfTrue("setuid", 04755), "setuid ELF "},
        {CopyOfTrue("setgid", 02755), "setgid ELF "},
        {Script("sh", "#!/bin/sh\necho hi\n"), "POSIX shell script executable"},
        {Script("perl", "#!/usr/bin/perl\nprint \"hi\\n\";\n"), "Perl script text executable"},
        {Script("perl-env", "#!/usr/bin/env perl\nprint 1;\n"), "Perl script text executable"},
        {Script("module.py", "import os\nimport sys\n\ndef main():\n    pass\n"), "Python script"},
    };
    for (const Case& c : cases) {
        EXPECT_THAT(classifier.Describe(c.path), StartsWith(c.descriptionStart)) << c.path;
        EXPECT_TRUE(ShouldSign(c.path, classifier)) << c.path;
    }
}

TEST_F(SelectionRulesTest, DefaultTypesLeaveOutTextLinksMissingFilesAndInterpreterScripts) {
    UseDefaultTypes();
    MagicClassifier classifier;
    std::string elf = CopyOfTrue("elf", 0755);
    ASSERT_EQ(symlink(elf.c_str(), Path("link").c_str()), 0);
    struct Case {
        std::string path;
        std::string description;
    } cases[] = {
        {Script("notes.txt", "hello world\nplain text\n"), "ASCII text"},
        {Path("link"), "symbolic link to " + elf},
        {Path("missing"), "cannot open `" + Path("missing") + "' (No such file or directory)"},
        // Without the encoding checks a script naming its interpreter is "binary data" and
        // libmagic calls it after the interpreter, not "Python script".
        {Script("tool", "#!/usr/bin/python3\nprint('hi')\n"),
         "a /usr/bin/python3 script executable (binary data)"},
        {Script("tool-env", "#!/usr/bin/env python3\nprint('hi')\n"),
         "a python3 script executable (binary data)"},
        {Script("bash", "#!/bin/bash\necho hi\n"),
         "Bourne-Again shell script executable (binary data)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(classifier.Describe(c.path), c.description) << c.path;
        EXPECT_FALSE(ShouldSign(c.path, classifier)) << c.path;
    }
}

TEST_F(SelectionRulesTest, ConfiguredTypesAreMatchedAsCaseSensitiveSubstrings) {
    MagicClassifier classifier;
    std::string tool = Script("tool", "#!/usr/bin/python3\nprint('hi')\n");
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
