#include "generate/magic_classifier.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/test_support.h"

namespace {

class MagicClassifierTest : public TempDirTest {
  protected:
    void TearDown() override {
        unsetenv("MAGIC");
        TempDirTest::TearDown();
    }
};

// What a handle of its own, loaded as libmagic loads by default, says of `path`.
std::string PlainDescription(const std::string& path) {
    magic_t cookie = magic_open(MAGIC_NO_CHECK_ELF | MAGIC_NO_CHECK_ENCODING);
    magic_load(cookie, nullptr);
    const char* text = magic_file(cookie, path.c_str());
    std::string description = text != nullptr ? text : "(none)";
    magic_close(cookie);
    return description;
}

TEST_F(MagicClassifierTest, SharedDatabaseDescribesEveryFileAsLibmagicLoadedAloneWould) {
    std::filesystem::copy_file("/bin/true", Path("elf"));
    std::filesystem::copy_file("/bin/true", Path("setuid"));
    chmod(Path("setuid").c_str(), 04755);
    WriteFile(Path("script"), "#!/bin/sh\necho\n", 0755);
    WriteFile(Path("python"), "#!/usr/bin/python3\nprint(1)\n", 0755);
    WriteFile(Path("marked"), "PELMORMARK\n");
    WriteFile(Path("empty"), "");
    std::filesystem::create_symlink("elf", Path("link"));
    // The built-in list, then one that holds a rule of its own and cannot be shared.
    std::string builtIn = magic_getpath(nullptr, 0);
    WriteFile(Path("extra.magic"), "# rules of this host\n0\tstring\tPELMORMARK\tpelmor mark\n");
    for (const std::string& list : {builtIn, Path("extra.magic") + ":" + builtIn}) {
        setenv("MAGIC", list.c_str(), 1);
        MagicDatabase database;
        MagicClassifier classifier;
        ASSERT_EQ(classifier.Open(database), "");
        for (const char* name :
             {"elf", "setuid", "script", "python", "marked", "empty", "link", "missing", "."}) {
            std::string description, error;
            ASSERT_TRUE(classifier.Describe(Path(name), description, error)) << error;
            EXPECT_EQ(description, PlainDescription(Path(name))) << name << " with " << list;
        }
    }
    setenv("MAGIC", Path("no-such-database").c_str(), 1);
    MagicDatabase missing;
    EXPECT_EQ(MagicClassifier().Open(missing),
              "Error: Cannot load magic database - could not find any valid magic files!\n");
}

}  // namespace
