#include "engine/magic_classifier.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "common/file_io.h"
#include "support/test_support.h"

using MagicClassifierTest = TempDirTest;

// Through a descriptor, libmagic itself leaves out what a path's status says: the walk must get
// the same descriptions as the path would.
TEST_F(MagicClassifierTest, SharedDatabaseDescribesAnOpenFileAsLibmagicLoadedAloneDoesItsPath) {
    Shell(
        "cp /bin/true setuid && chmod 4755 setuid && cp /bin/true both && chmod 6755 both && "
        "printf '#!/bin/sh\\n' >sticky && chmod 1755 sticky && : >empty && : >bits && "
        "chmod 7755 bits && echo PELMORMARK >marked && ln -s setuid link && "
        "ln -s /bin/true absolute && ln -s missing broken && echo words >text");
    // The built-in list, then one with a rule of its own, which cannot be shared.
    unsetenv("MAGIC");
    std::string builtIn = magic_getpath(nullptr, 0);
    WriteFile(Path("extra.magic"),
              "# rules of this host\n0\tstring\tPELMORMARK\tpelmor mark\n");
    for (const std::string& list : {builtIn, Path("extra.magic") + ":" + builtIn}) {
        setenv("MAGIC", list.c_str(), 1);
        magic_t plain = magic_open(MAGIC_NO_CHECK_ELF | MAGIC_NO_CHECK_ENCODING);
        magic_load(plain, nullptr);
        MagicDatabase database;
        MagicClassifier classifier;
        ASSERT_EQ(classifier.Open(database), "");
        for (const char* name :
             {"setuid", "both", "sticky", "empty", "bits", "marked", "text"}) {
            std::string description, error;
            UniqueFd fd(open(name, O_RDONLY));
            struct stat status;
            ASSERT_EQ(fstat(fd.Get(), &status), 0);
            ASSERT_TRUE(classifier.Describe(fd.Get(), status, name, description, error)) << error;
            EXPECT_EQ(description, magic_file(plain, Path(name).c_str()))
                << name << " with " << list;
        }
        // A link is described without libmagic, which is never given one.
        UniqueFd directory(open(".", O_RDONLY | O_DIRECTORY));
        std::string description;
        EXPECT_FALSE(DescribeLink(directory.Get(), "setuid", description));
        for (const char* name : {"link", "absolute", "broken"}) {
            EXPECT_TRUE(DescribeLink(directory.Get(), name, description)) << name;
            EXPECT_EQ(description, magic_file(plain, Path(name).c_str())) << name;
        }
        magic_close(plain);
    }
    setenv("MAGIC", Path("no-such-database").c_str(), 1);
    EXPECT_EQ(MagicClassifier().Open(MagicDatabase()),
              "Error: Cannot load magic database - could not find any valid magic files!\n");
    unsetenv("MAGIC");
}
