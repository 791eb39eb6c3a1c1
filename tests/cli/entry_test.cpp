#include <regex>

#include "support/test_support.h"

namespace {

using EntryTest = TempDirTest;

TEST_F(EntryTest, NoArgumentShowsHelpOnStderrWithStatusOne) {
    ProcessResult result = RunSign({});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Pelmor signature utility."), std::string::npos);
    EXPECT_EQ(result.err.find("version:"), std::string::npos);
}

TEST_F(EntryTest, VersionFlagPrintsOneLineWithTheBuildRevision) {
    for (const char* flag : {"-v", "--version"}) {
        ProcessResult result = RunSign({flag});
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(std::regex_match(result.out, std::regex("pelmor-sign version: [0-9a-f]{8}\n")))
            << result.out;
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(EntryTest, HelpListsFlagsAndCommandsInOrderWithRevisionEpilog) {
    ProcessResult result = RunSign({"-h"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const std::string& help = result.out;
    std::vector<std::string> inOrder = {
        "Pelmor signature utility.",
        "-v,--version",
        "Show version",
        "-h,--help",
        "Display this help menu",
        "generate",
        "Generate manifest file",
        "load",
        "Load manifest into veriexec",
        "activate",
        "Set veriexec to active state",
        "enforce",
        "Set veriexec to enforce state",
        "lock",
        "Lock veriexec (prevent further manifest loading)",
        "status",
        "Show veriexec state",
    };
    size_t at = 0;
    for (const std::string& text : inOrder) {
        size_t found = help.find(text, at);
        ASSERT_NE(found, std::string::npos) << "'" << text << "' missing or out of order in\n"
                                            << help;
        at = found + text.size();
    }
    std::smatch revision;
    ASSERT_TRUE(std::regex_search(help, revision, std::regex("[0-9a-f]{8}\n$")));
    ProcessResult version = RunSign({"-v"});
    EXPECT_NE(version.out.find(revision.str()), std::string::npos);
}

TEST_F(EntryTest, VersionWithStatusCommandPrintsNoVersionLine) {
    BootFacility();
    ProcessResult result = RunSign({"-v", "status"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Veriexec state: 0\n  INACTIVE\n");
}

TEST_F(EntryTest, TopLevelFlagsAfterACommandWordAreParseErrors) {
    // The facility is not booted: reaching the module check would say so instead.
    for (const char* word : {"activate", "enforce", "lock", "status"}) {
        for (const char* flag : {"-v", "-h", "--help"}) {
            ProcessResult result = RunSign({word, flag});
            EXPECT_EQ(result.status, 1) << word << " " << flag;
            EXPECT_EQ(result.out, "");
            EXPECT_NE(result.err.find(flag), std::string::npos) << result.err;
            EXPECT_NE(result.err.find(std::string("Usage: ") + PELMOR_SIGN_BINARY + " " + word),
                      std::string::npos)
                << result.err;
            EXPECT_EQ(result.err.find("kernel module"), std::string::npos);
        }
    }
}

TEST_F(EntryTest, UnknownWordsAndExtraArgumentsAreParseErrors) {
    for (std::vector<std::string> arguments : {std::vector<std::string>{"frobnicate"},
                                               {"--bogus"},
                                               {"status", "lock"},
                                               {"activate", "now"},
                                               {"-v", "-x"},
                                               {"--", "status"}}) {
        ProcessResult result = RunSign(arguments);
        EXPECT_EQ(result.status, 1) << arguments[0];
        EXPECT_EQ(result.out, "");
        // The error text comes first, on a line of its own, then the help.
        size_t firstLineEnd = result.err.find('\n');
        ASSERT_NE(firstLineEnd, std::string::npos);
        EXPECT_NE(result.err.find("Usage:", firstLineEnd), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("kernel module"), std::string::npos) << result.err;
    }
}

TEST_F(EntryTest, HelpBeforeACommandShowsThatCommandsHelp) {
    ProcessResult result = RunSign({"-h", "status"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("Show veriexec state"), std::string::npos);
    EXPECT_EQ(result.err, "");
}

TEST_F(EntryTest, GenerateHelpGoesToStdoutWithoutModuleCheck) {
    for (const char* flag : {"-h", "--help"}) {
        ProcessResult result = RunSign({"generate", flag});
        EXPECT_EQ(result.status, 0);
        EXPECT_NE(result.out.find("Generate manifest file"), std::string::npos);
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(EntryTest, LoadChecksModulesBeforeAskingForAPath) {
    ProcessResult missing = RunSign({"load"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Error: required kernel module 'veriexec.ko' is not loaded\n");
    EXPECT_EQ(missing.out, "");

    BootFacility();
    ProcessResult help = RunSign({"load"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("MANIFEST_FILE"), std::string::npos);
    EXPECT_NE(help.out.find("Path to manifest file to load"), std::string::npos);
    EXPECT_EQ(help.out.find("Manifest file path required."), std::string::npos);
    EXPECT_EQ(help.err, "");
}

TEST_F(EntryTest, LoadHelpFlagAnswersBeforeAnything) {
    ProcessResult result = RunSign({"load", "-h"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("Load manifest into veriexec"), std::string::npos);
    EXPECT_EQ(result.err, "");
}

}  // namespace
