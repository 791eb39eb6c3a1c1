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

TEST(GenerateOptionsTest, SingleValuedOptionsKeepTheirLastValueAndListsTakeOneValueEachTime) {
    GenerateSettings settings = Parse({"-o",  "first", "--out-file=last",
                                       "-j",  "4",     "--jobs",
                                       "010", "-c",    "a",
                                       "-c",  "",      "-d",
                                       "/b",  "-f",    "x",
                                       "-d",  "/a",    "-d",
                                       "/b",  "-f",    "-d"});
    EXPECT_TRUE(settings.manifestGiven && settings.jobsGiven && settings.configGiven);
    EXPECT_EQ(settings.manifestPath, "last");
    EXPECT_EQ(settings.jobs, 10);
    EXPECT_EQ(settings.configPath, "");
    EXPECT_EQ(settings.directories, (std::vector<std::string>{"/b", "/a", "/b"}));
    EXPECT_EQ(settings.files, (std::vector<std::string>{"x", "-d"}));
    EXPECT_EQ(Parse({"-j", "2147483647"}).jobs, 2147483647);
    EXPECT_THROW(Parse({"-d", "/a", "/b"}), CLI::ParseError);
}

// The help, up to the build revision that ends it.
std::string Help(const std::string& printed) {
    return printed.substr(0, printed.find("Build revision: "));
}

const std::string GenerateHelp = std::string("Generate manifest file\nUsage: ") +
                                 PELMOR_SIGN_BINARY +
                                 " generate [OPTIONS]\n\n"
                                 "Options:\n"
                                 "  -o,--out-file MANIFEST_FILE The name of the manifest file to "
                                 "generate.\n"
                                 "  -j,--jobs JOBS_COUNT        The count of parallel jobs.\n"
                                 "  -d dir ...                  Add directory to signing files\n"
                                 "  -f file ...                 Add file to signing files\n"
                                 "  -c,--config CONFIG          Path to config file\n"
                                 "  -h,--help                   Display this help menu\n\n";

// The facility is not booted: a module check would fail the command with its own error.
using GenerateCommandTest = TempDirTest;

TEST_F(GenerateCommandTest, WithoutOutFileDirectoryOrConfigShowsHelpAndTouchesNothing) {
    for (std::vector<std::string> arguments : {std::vector<std::string>{"generate"},
                                               {"generate", "-f", "/bin/sh"},
                                               {"generate", "-j", "4"}}) {
        ProcessResult result = RunSign(arguments);
        EXPECT_EQ(result.status, 0) << arguments.back();
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(Help(result.out), GenerateHelp);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(GenerateCommandTest, JobsCountThatIsNotAPositiveDecimalIsRefusedBeforeAnything) {
    struct Case {
        const char* value;
        const char* rule;
    } cases[] = {
        {"0", "at least 1"},
        {"-1", "at least 1"},
        {"-2147483649", "at least 1"},
        {"abc", "a decimal number"},
        {"0x10", "a decimal number"},
        {"", "a decimal number"},
        {"1.5", "a decimal number"},
        {" 4", "a decimal number"},
        {"2147483648", "at most 2147483647"},
    };
    for (const Case& c : cases) {
        ProcessResult result = RunSign({"generate", "-o", "manifest", "-j", c.value, "-d", "/"});
        EXPECT_EQ(result.status, 1) << c.value;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(Help(result.err), std::string("--jobs: JOBS_COUNT must be ") + c.rule +
                                        ", not '" + c.value + "'\n" + GenerateHelp);
    }
    // Every value is checked, not only the one that is kept.
    EXPECT_EQ(RunSign({"generate", "-o", "manifest", "-j", "0", "-j", "2"}).status, 1);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

}  // namespace
