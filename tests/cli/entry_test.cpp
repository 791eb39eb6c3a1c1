#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "support/test_support.h"

namespace {

using EntryTest = TempDirTest;

const std::string Binary = "pelmor-sign";

TEST_F(EntryTest, HelpRequestsShowTheSelectedHelpOnStdoutBeforeAnyModuleCheck) {
    const std::string revision = RunSign({"-v"}).out.substr(21);
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> inOrder;
    } cases[] = {
        {{"-h"},
         {"Pelmor signature utility.", "-v,--version", "Show version", "-h,--help",
          "Display this help menu", "generate", "Generate manifest file", "load",
          "Load manifest into veriexec", "activate", "Set veriexec to active state", "enforce",
          "Set veriexec to enforce state", "lock",
          "Lock veriexec (prevent further manifest loading)", "status", "Show veriexec state"}},
        {{"-h", "status"}, {"Show veriexec state\nUsage: " + Binary + " status\n"}},
        {{"generate", "-h"}, {"Generate manifest file\nUsage: " + Binary + " generate "}},
        {{"generate", "--help"}, {"Generate manifest file\nUsage: " + Binary + " generate "}},
        {{"load", "-h"},
         {"Load manifest into veriexec\nUsage: " + Binary + " load [OPTIONS] [MANIFEST_FILE]",
          "Path to manifest file to load"}},
    };
    // The facility is not booted: reaching the module check would say so instead.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        ProcessResult result = RunSign(c.arguments);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        std::vector<std::string> texts = c.inOrder;
        texts.push_back("\nBuild revision: " + revision);
        size_t at = 0;
        for (const std::string& text : texts) {
            size_t found = result.out.find(text, at);
            ASSERT_NE(found, std::string::npos) << "'" << text << "' missing or out of order in\n"
                                                << result.out;
            at = found + text.size();
        }
        EXPECT_EQ(at, result.out.size()) << "the help does not end with the revision";
    }
}

TEST_F(EntryTest, MissingMisplacedOrUnknownArgumentsShowHelpOnStderrBeforeAnyModuleCheck) {
    struct Case {
        std::vector<std::string> arguments;
        std::string unexpected;         // what the parse error names, if there is one
        std::vector<std::string> help;  // the request for the help that follows the error
    };
    std::vector<Case> cases = {
        {{}, "", {"-h"}},
        {{"frobnicate"}, "frobnicate", {"-h"}},
        {{"--bogus"}, "--bogus", {"-h"}},
        {{"-v", "-x"}, "-x", {"-h"}},
        {{"--", "status"}, "status", {"-h"}},
        {{"status", "lock"}, "lock", {"-h", "status"}},
        {{"activate", "now"}, "now", {"-h", "activate"}},
    };
    // Top-level flags are not recognised after a command word, and these commands have none.
    for (const char* word : {"activate", "enforce", "lock", "status"}) {
        for (const char* flag : {"-v", "-h", "--help"}) {
            cases.push_back({{word, flag}, flag, {"-h", word}});
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        ProcessResult result = RunSign(c.arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        std::string error = "The following argument was not expected: " + c.unexpected + "\n";
        EXPECT_EQ(result.err, (c.unexpected.empty() ? "" : error) + RunSign(c.help).out);
    }
}

TEST_F(EntryTest, VersionLineShowsTheRevisionAndFollowsAGenerateRunButNotAStatus) {
    for (const char* flag : {"-v", "--version"}) {
        ProcessResult result = RunSign({flag});
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(std::regex_match(result.out, std::regex("pelmor-sign version: [0-9a-f]{8}\n")))
            << result.out;
        EXPECT_EQ(result.err, "");
    }
    BootFacility();
    ProcessResult status = RunSign({"-v", "status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.out, "Veriexec state: 0\n  INACTIVE\n");

    std::filesystem::create_directory(Path("image"));
    ProcessResult generate = RunSign({"-v", "generate", "-R", Path("image"), "-o", Path("m")});
    EXPECT_EQ(generate.status, 0);
    EXPECT_TRUE(std::regex_search(
        generate.out, std::regex("\nDone, full time: .*\n" + RunSign({"-v"}).out + "$")))
        << generate.out;
}

// A checkout in root's home or in a mktemp -d folder: nobody else may enter the folders above
// the suite, yet its tests take another user's identity to meet refused permissions.
TEST_F(EntryTest, PermissionCasesPassFromAFolderOthersCannotEnter) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: the permission cases take another user's identity";
    }
    ASSERT_EQ(mkdir(Path("private").c_str(), 0700), 0);
    std::filesystem::copy_file("/proc/self/exe", Path("private/pelmor-tests"));
    chmod(Path("private/pelmor-tests").c_str(), 0700);
    ProcessResult suite = RunProgram(
        {Path("private/pelmor-tests"),
         "--gtest_filter=RunTest.FaultsAreReported*:RunTest.ImageRoot*:ConfigRunTest.*"});
    EXPECT_EQ(suite.status, 0) << suite.out;
    EXPECT_NE(suite.out.find("[  PASSED  ] 3 tests."), std::string::npos) << suite.out;
    EXPECT_EQ(suite.out.find("SKIPPED"), std::string::npos) << suite.out;
}

TEST_F(EntryTest, LoadChecksModulesBeforeAskingForAPath) {
    ProcessResult missing = RunSign({"load"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Error: required kernel module 'veriexec.ko' is not loaded\n");
    EXPECT_EQ(missing.out, "");

    BootFacility();
    ProcessResult help = RunSign({"load"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, RunSign({"load", "-h"}).out);
    EXPECT_EQ(help.err, "");
}

}  // namespace
