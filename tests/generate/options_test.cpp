#include "generate/options.h"

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

TEST(GenerateOptionsTest, AbsentOptionsLeaveTheDefaults) {
    GenerateSettings settings = Parse({});
    EXPECT_FALSE(settings.manifestGiven);
    EXPECT_EQ(settings.manifestPath, "");
    EXPECT_FALSE(settings.jobsGiven);
    EXPECT_EQ(settings.jobs, 1);
    EXPECT_TRUE(settings.directories.empty());
    EXPECT_TRUE(settings.files.empty());
    EXPECT_FALSE(settings.configGiven);
    EXPECT_FALSE(HasSomethingToDo(settings));
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
    EXPECT_TRUE(Parse({"-o", ""}).manifestGiven);
}

TEST(GenerateOptionsTest, DirectoriesAndFilesTakeOneValueEachTimeInOrder) {
    GenerateSettings settings = Parse({"-d", "/b", "-f", "x", "-d", "/a", "-d", "/b", "-f", "-d"});
    EXPECT_EQ(settings.directories, (std::vector<std::string>{"/b", "/a", "/b"}));
    EXPECT_EQ(settings.files, (std::vector<std::string>{"x", "-d"}));
    EXPECT_THROW(Parse({"-d", "/a", "/b"}), CLI::ParseError);
}

TEST(GenerateOptionsTest, SomethingToDoNeedsOutFileDirectoryOrConfig) {
    EXPECT_TRUE(HasSomethingToDo(Parse({"-o", ""})));
    EXPECT_TRUE(HasSomethingToDo(Parse({"-d", "/opt"})));
    EXPECT_TRUE(HasSomethingToDo(Parse({"-c", ""})));
    EXPECT_FALSE(HasSomethingToDo(Parse({"-f", "/bin/sh", "-j", "2"})));
}

}  // namespace
