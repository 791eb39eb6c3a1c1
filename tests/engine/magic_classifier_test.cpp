#include "engine/magic_classifier.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "support/test_support.h"

using MagicClassifierTest = TempDirTest;

TEST_F(MagicClassifierTest, SharedDatabaseDescribesAsLibmagicLoadedAloneWould) {
    Shell(
        "cp /bin/true setuid && chmod 4755 setuid && echo PELMORMARK >marked && ln -s setuid link");
    // The built-in list, then one with a rule of its own, which cannot be shared.
    unsetenv("MAGIC");
    std::string builtIn = magic_getpath(nullptr, 0);
    WriteFile(Path("extra.magic"), "# rules of this host\n0\tstring\tPELMORMARK\tpelmor mark\n");
    for (const std::string& list : {builtIn, Path("extra.magic") + ":" + builtIn}) {
        setenv("MAGIC", list.c_str(), 1);
        magic_t plain = magic_open(MAGIC_NO_CHECK_ELF | MAGIC_NO_CHECK_ENCODING);
        magic_load(plain, nullptr);
        MagicDatabase database;
        MagicClassifier classifier;
        ASSERT_EQ(classifier.Open(database), "");
        for (const char* name : {"setuid", "marked", "link", "missing", "."}) {
            std::string description, error;
            ASSERT_TRUE(classifier.Describe(Path(name), description, error)) << error;
            EXPECT_EQ(description, magic_file(plain, Path(name).c_str()))
                << name << " with " << list;
        }
        magic_close(plain);
    }
    setenv("MAGIC", Path("no-such-database").c_str(), 1);
    EXPECT_EQ(MagicClassifier().Open(MagicDatabase()),
              "Error: Cannot load magic database - could not find any valid magic files!\n");
    unsetenv("MAGIC");
}
