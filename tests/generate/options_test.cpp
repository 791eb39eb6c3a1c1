#include "generate/options.h"

#include <filesystem>

#include "support/test_support.h"

namespace {

// Parses `arguments` after "generate" as the program's parser does.
GenerateSettings Parse(std::vector<std::string> arguments) {
    CLI::App parser("test");
    parser.set_help_flag("-h,--help", "Display this help menu");
    GenerateSettings settings;
    DeclareGenerateOptions(*parser.add_subcommand("generate"), settings);
    arguments.insert(arguments.begin(), {"pelmor-sign", "generate"});
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    parser.parse(static_cast<int>(argv.size()), argv.data());
    return settings;
}

TEST(GenerateOptionsTest, SingleValuedOptionsKeepTheirLastValue) {
    GenerateSettings settings =
        Parse({"-o", "first", "--out-file=last", "-j", "4", "--jobs", "010", "-c", "a", "-c", ""});
    EXPECT_TRUE(settings.manifestGiven);
    EXPECT_EQ(settings.manifestPath, "last");
    EXPECT_TRUE(settings.jobsGiven);
    EXPECT_EQ(settings.jobs, 10);
    EXPECT_TRUE(settings.configGiven);
    EXPECT_EQ(settings.configPath, "");

    EXPECT_EQ(Parse({"-j", "2147483647"}).jobs, 2147483647);
}

TEST(GenerateOptionsTest, DirectoriesAndFilesTakeOneValueEachTimeInOrder) {
    GenerateSettings settings = Parse({"-d", "/b", "-f", "x", "-d", "/a", "-d", "/b", "-f", "-d"});
    EXPECT_EQ(settings.directories, (std::vector<std::string>{"/b", "/a", "/b"}));
    EXPECT_EQ(settings.files, (std::vector<std::string>{"x", "-d"}));
    EXPECT_THROW(Parse({"-d", "/a", "/b"}), CLI::ParseError);
}

using GenerateCommandTest = TempDirTest;

TEST_F(GenerateCommandTest, WithoutOutFileDirectoryOrConfigShowsHelpAndTouchesNothing) {
    // The facility is not booted: a module check would fail the command.
    for (std::vector<std::string> arguments : {std::vector<std::string>{"generate"},
                                               {"generate", "-f", "/bin/sh"},
                                               {"generate", "-j", "4"}}) {
        ProcessResult result = RunSign(arguments);
        EXPECT_EQ(result.status, 0) << arguments.back();
        EXPECT_EQ(result.err, "");
        std::vector<std::string> inOrder = {
            "Generate manifest file",
            "-o,--out-file MANIFEST_FILE",
            "The name of the manifest file to generate.",
            "-j,--jobs JOBS_COUNT",
            "The count of parallel jobs.",
            "-d dir",
            "Add directory to signing files",
            "-f file",
            "Add file to signing files",
            "-c,--config CONFIG",
            "Path to config file",
            "-h,--help",
            "Display this help menu",
        };
        size_t at = 0;
        for (const std::string& text : inOrder) {
            size_t found = result.out.find(text, at);
            ASSERT_NE(found, std::string::npos) << "'" << text << "' missing or out of order in\n"
                                                << result.out;
            at = found + text.size();
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(GenerateCommandTest, JobsCountThatIsNotAPositiveDecimalIsRefusedBeforeAnything) {
    struct Case {
        const char* value;
        const char* message;
    } cases[] = {
        {"0", "--jobs: JOBS_COUNT must be at least 1, not '0'"},
        {"-1", "--jobs: JOBS_COUNT must be at least 1, not '-1'"},
        {"-2147483649", "--jobs: JOBS_COUNT must be at least 1, not '-2147483649'"},
        {"abc", "--jobs: JOBS_COUNT must be a decimal number, not 'abc'"},
        {"0x10", "--jobs: JOBS_COUNT must be a decimal number, not '0x10'"},
        {"", "--jobs: JOBS_COUNT must be a decimal number, not ''"},
        {"1.5", "--jobs: JOBS_COUNT must be a decimal number, not '1.5'"},
        {" 4", "--jobs: JOBS_COUNT must be a decimal number, not ' 4'"},
        {"2147483648", "--jobs: JOBS_COUNT must be at most 2147483647, not '2147483648'"},
    };
    for (const Case& c : cases) {
        // The facility is not booted: a module check would show its own error instead.
        ProcessResult result = RunSign({"generate", "-o", "manifest", "-j", c.value, "-d", "/"});
        EXPECT_EQ(result.status, 1) << c.value;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')), c.message);
        EXPECT_NE(result.err.find(std::string("Usage: ") + PELMOR_SIGN_BINARY + " generate"),
                  std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find("The count of parallel jobs."), std::string::npos);
    }
    ProcessResult earlier = RunSign({"generate", "-o", "manifest", "-j", "0", "-j", "2"});
    EXPECT_EQ(earlier.status, 1);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(GenerateCommandTest, OutFileDirectoryOrConfigRunsTheCommand) {
    for (const char* option : {"-o", "-d", "-c"}) {
        ProcessResult unbooted = RunSign({"generate", option, ""});
        EXPECT_EQ(unbooted.status, 1) << option;
        EXPECT_EQ(unbooted.err, "Error: required kernel module 'veriexec.ko' is not loaded\n");
    }

    BootFacility();
    ProcessResult config =
        RunSign({"generate", "-c", "first.json", "--config", "last.json"}, HiddenSystem());
    EXPECT_EQ(config.out.substr(0, config.out.find('\n') + 1),
              "Config path from command line: last.json\n");
    EXPECT_EQ(config.err, "Error: cannot open config file last.json: No such file or directory\n");
    EXPECT_EQ(config.status, 1);
}

}  // namespace
