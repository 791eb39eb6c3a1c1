#include <filesystem>

#include "support/test_support.h"

// The facility is not booted: a module check would fail the command with its own error.
using GenerateCommandTest = TempDirTest;

TEST_F(GenerateCommandTest, HelpWithNothingToDoAndBadArgumentsRefusedBeforeAnything) {
    const std::string help = RunSign({"generate", "-h"}).out;
    EXPECT_EQ(RunSign(Words("generate -f /bin/sh -j 4 -R /")).out, help);
    // CLI11's own conversion would take "0x10" for 16 and "" for 0; every value is checked, not
    // only the one that is kept.
    for (const auto& [values, rule] :
         {std::pair<std::vector<std::string>, std::string>{{"0", "-j", "2"}, "at least 1"},
          {{"0x10"}, "a decimal number"},
          {{""}, "a decimal number"},
          {{"1025"}, "at most 1024"},
          {{"99999999999999999999"}, "at most 1024"}}) {
        std::vector<std::string> arguments = Words("generate -o manifest -d / -j");
        arguments.insert(arguments.end(), values.begin(), values.end());
        EXPECT_EQ(RunSign(arguments), Failed("--jobs: JOBS_COUNT must be " + rule + ", not '" +
                                             values[0] + "'\n" + help));
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
    // The largest count passes to the next step, the module check.
    EXPECT_EQ(RunSign(Words("generate -o manifest -j 1024")).err,
              "Error: required kernel module 'veriexec.ko' is not loaded\n");
}
