#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "support/test_support.h"

using EntryTest = TempDirTest;

// The facility is not booted: a command that reached the module check would say so.
TEST_F(EntryTest, HelpOnRequestToStdoutAndAfterAParseErrorToStderr) {
    for (const auto& [arguments, unexpected, helpOf] :
         {std::tuple<std::string, std::string, std::string>{"", "", "-h"},
          {"-v -x", "-x", "-h"},
          {"activate -h", "-h", "-h activate"},
          {"status -v", "-v", "-h status"}}) {
        const ProcessResult help = RunSign(Words(helpOf));
        EXPECT_EQ(WithoutOut(help), Succeeded("")) << helpOf;
        std::string error = "The following argument was not expected: " + unexpected + "\n";
        EXPECT_EQ(RunSign(Words(arguments)), Failed((unexpected.empty() ? "" : error) + help.out))
            << arguments;
    }
}

// No facility is booted at first, as on a build host: generate of an image needs none.
TEST_F(EntryTest, VersionLineFollowsAGenerateRunButNotAStatusAndLoadChecksModulesFirst) {
    ProcessResult version = RunSign({"--version"});
    EXPECT_TRUE(std::regex_match(version.out, std::regex("pelmor-sign version: [0-9a-f]{8}\n")));
    EXPECT_EQ(RunSign({"load"}).err, "Error: required kernel module 'veriexec.ko' is not loaded\n");
    ProcessResult generate = RunSign({"-v", "generate", "-R", dir_, "-o", Path("m")});
    EXPECT_EQ(generate.status, 0) << generate.err;
    EXPECT_TRUE(std::regex_search(generate.out, std::regex("\nDone, .*\n" + version.out + "$")));
    BootFacility();
    EXPECT_EQ(RunSign({"load"}).out, RunSign({"load", "-h"}).out);
    EXPECT_EQ(RunSign({"-v", "status"}).out, "Veriexec state: 0\n  INACTIVE\n");
}

// A checkout in root's home or in a mktemp -d folder: nobody else may enter the folders above
// the suite, yet its tests take another user's identity to meet refused permissions.
TEST_F(EntryTest, PermissionCasesPassFromAFolderOthersCannotEnter) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: the permission cases take another user's identity";
    }
    ASSERT_EQ(mkdir(Path("private").c_str(), 0700), 0);
    std::filesystem::copy_file("/proc/self/exe", Path("private/pelmor-tests"));
    ProcessResult suite =
        RunProgram({Path("private/pelmor-tests"),
                    "--gtest_filter=RunTest.Faults*:RunTest.AnyNumber*:CheckTest.Reports*"});
    EXPECT_NE(suite.out.find("[  PASSED  ] 3 tests."), std::string::npos) << suite.out;
}

// The emulator's help is asked for as any program's is: on standard output, with status 0.
TEST_F(EntryTest, EmulatorShowsItsUsageOnRequestToStdoutAndAfterAnErrorToStderr) {
    ProcessResult help = RunEmulator({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: veriexec-emulator boot ", 0), 0u) << help.out;
    EXPECT_EQ(RunEmulator({}),
              (ProcessResult{1, "", "veriexec-emulator: a command is required\n" + help.out}));
}
