#include <filesystem>

#include "support/test_support.h"

namespace {

// The help, up to the build revision that ends it.
std::string Help(const std::string& printed) {
    return printed.substr(0, printed.find("Build revision: "));
}

const std::string GenerateHelp =
    "Generate manifest file\n"
    "Usage: pelmor-sign generate [OPTIONS]\n\n"
    "Options:\n"
    "  -o,--out-file MANIFEST_FILE The name of the manifest file to generate.\n"
    "  -j,--jobs JOBS_COUNT        The count of parallel jobs.\n"
    "  -d dir ...                  Add directory to signing files\n"
    "  -f file ...                 Add file to signing files\n"
    "  -c,--config CONFIG          Path to config file\n"
    "  -R,--root DIR               Sign the system image, jail or disk at DIR\n"
    "  --cache FILE                Reuse what FILE records of files that have not changed, and "
    "update it\n"
    "  -h,--help                   Display this help menu\n\n";

// The facility is not booted: a module check would fail the command with its own error.
using GenerateCommandTest = TempDirTest;

TEST_F(GenerateCommandTest, WithoutOutFileDirectoryOrConfigShowsHelpAndTouchesNothing) {
    for (std::vector<std::string> arguments : {std::vector<std::string>{"generate"},
                                               {"generate", "-f", "/bin/sh"},
                                               {"generate", "-j", "4", "-R", "/"}}) {
        ProcessResult result = RunSign(arguments);
        EXPECT_EQ(result.status, 0) << arguments.back();
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(Help(result.out), GenerateHelp);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(GenerateCommandTest, BadJobsCountOrExtraArgumentIsRefusedWithTheHelpBeforeAnything) {
    auto expectRefused = [](const std::string& value, const std::string& rule) {
        ProcessResult result = RunSign({"generate", "-o", "manifest", "-j", value, "-d", "/"});
        EXPECT_EQ(result.status, 1) << value;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(Help(result.err),
                  "--jobs: JOBS_COUNT must be " + rule + ", not '" + value + "'\n" + GenerateHelp);
    };
    for (const char* value : {"0", "-1", "-2147483649"}) {
        expectRefused(value, "at least 1");
    }
    // CLI11's own conversion would take "0x10" for 16 and an empty value for 0.
    for (const char* value : {"abc", "0x10", "", "1.5", " 4"}) {
        expectRefused(value, "a decimal number");
    }
    expectRefused("2147483648", "at most 2147483647");
    // Every value is checked, not only the one that is kept.
    EXPECT_EQ(RunSign({"generate", "-o", "manifest", "-j", "0", "-j", "2"}).status, 1);
    ProcessResult extra = RunSign({"generate", "-d", "/a", "/b"});
    EXPECT_EQ(extra.status, 1);
    EXPECT_EQ(Help(extra.err), "The following argument was not expected: /b\n" + GenerateHelp);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
    // The largest count passes to the next step, the module check.
    EXPECT_EQ(RunSign({"generate", "-o", "manifest", "-j", "2147483647"}).err,
              "Error: required kernel module 'veriexec.ko' is not loaded\n");
}

}  // namespace
