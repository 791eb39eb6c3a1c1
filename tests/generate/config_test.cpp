#include "generate/config.h"

#include <sys/stat.h>

#include <filesystem>

#include "generate/shared_state.h"
#include "support/test_support.h"

namespace {

using Paths = std::deque<std::filesystem::path>;
using Types = std::set<std::string>;

struct Printed {
    std::string out;
    std::string err;
};

class ConfigTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        Clear();
    }
    void TearDown() override {
        Clear();
        TempDirTest::TearDown();
    }
    static void Clear() {
        JobQueue.clear();
        SigningTypes.clear();
        ReportedErrorCount = 0;
    }
    static Printed Read(const GenerateSettings& settings) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        ReadConfiguration(settings);
        Printed printed;
        printed.out = ::testing::internal::GetCapturedStdout();
        printed.err = ::testing::internal::GetCapturedStderr();
        return printed;
    }
    static Printed ReadGiven(const std::string& path) {
        GenerateSettings settings;
        settings.configGiven = true;
        settings.configPath = path;
        return Read(settings);
    }
    // Writes `content` as the configuration and reads it as `-c` would; returns stderr.
    std::string ReadContent(const std::string& content) {
        WriteFile(Path("config.json"), content);
        Printed printed = ReadGiven(Path("config.json"));
        EXPECT_EQ(printed.out, "Config path from command line: " + Path("config.json") + "\n");
        return printed.err;
    }
};

TEST_F(ConfigTest, DirsAreAppendedAsWrittenAndTypesJoinTheSet) {
    JobQueue = {"/bin", "/sbin"};
    SigningTypes = {"ELF"};
    std::string err = ReadContent(R"({
        "comment": "other keys are ignored",
        "dirs": ["/opt/bin", "relative//dir/", "/opt/bin"],
        "types": ["Ruby script", "ELF", "Ruby script"]
    })");
    EXPECT_EQ(err, "");
    EXPECT_EQ(ReportedErrorCount, 0);
    EXPECT_EQ(JobQueue, (Paths{"/bin", "/sbin", "/opt/bin", "relative//dir/", "/opt/bin"}));
    EXPECT_EQ(JobQueue[3].native(), "relative//dir/");
    EXPECT_EQ(SigningTypes, (Types{"ELF", "Ruby script"}));
}

TEST_F(ConfigTest, NullMissingKeysSingleStringsAndObjectsFollowTheLibrarysIteration) {
    for (const char* content : {"null", "{}", R"({"dirs": null, "types": null})"}) {
        Clear();
        EXPECT_EQ(ReadContent(content), "") << content;
        EXPECT_TRUE(JobQueue.empty()) << content;
        EXPECT_TRUE(SigningTypes.empty()) << content;
    }
    Clear();
    EXPECT_EQ(ReadContent(R"({"dirs": "/opt/bin", "types": {"a": "Ruby script", "b": "Lua"}})"),
              "");
    EXPECT_EQ(JobQueue, Paths{"/opt/bin"});
    EXPECT_EQ(SigningTypes, (Types{"Lua", "Ruby script"}));

    Clear();
    EXPECT_EQ(ReadContent(R"({"types": ["Ruby script"]})"), "");
    EXPECT_TRUE(JobQueue.empty());
    EXPECT_EQ(SigningTypes, Types{"Ruby script"});
}

TEST_F(ConfigTest, TextAfterTheFirstValueIsIgnored) {
    EXPECT_EQ(ReadContent("{\"dirs\": [\"/opt/bin\"]} trailing words {\n"), "");
    EXPECT_EQ(JobQueue, Paths{"/opt/bin"});
    EXPECT_EQ(ReportedErrorCount, 0);
}

TEST_F(ConfigTest, FaultsInTheFileAreReportedCountedAndKeepWhatWasAddedBefore) {
    struct Case {
        const char* content;
        std::string err;
        Paths dirs;
        Types types;
    } cases[] = {
        {"[\"/opt/bin\"]",
         "Config file error, [json.exception.type_error.305] cannot use operator[] with a string "
         "argument with array\n",
         {},
         {}},
        {R"({"dirs": ["/opt/bin", 5, "/opt/sbin"], "types": ["Ruby script"]})",
         "Config file error, [json.exception.type_error.302] type must be string, but is number\n",
         {"/opt/bin"},
         {}},
        {R"({"dirs": ["/opt/bin"], "types": ["Ruby script", false]})",
         "Config file error, [json.exception.type_error.302] type must be string, but is "
         "boolean\n",
         {"/opt/bin"},
         {"Ruby script"}},
        {R"({"dirs": ["/opt/bin", "/opt/sbin\u0000/x", "/usr/bin"], "types": ["ELF"]})",
         "Config file error, dirs entry holds a NUL byte: \"/opt/sbin\\u0000/x\"\n",
         {"/opt/bin"},
         {}},
        {"",
         "Config file error, [json.exception.parse_error.101] parse error at line 1, column 1: "
         "syntax error while parsing value - unexpected end of input; expected '[', '{', or a "
         "literal\n",
         {},
         {}},
        {R"({"dirs": ["/opt/bin")",
         "Config file error, [json.exception.parse_error.101] parse error at line 1, column 21: "
         "syntax error while parsing array - unexpected end of input; expected ']'\n",
         {},
         {}},
    };
    for (const Case& c : cases) {
        Clear();
        EXPECT_EQ(ReadContent(c.content), c.err) << c.content;
        EXPECT_EQ(ReportedErrorCount, 1) << c.content;
        EXPECT_EQ(JobQueue, c.dirs) << c.content;
        EXPECT_EQ(SigningTypes, c.types) << c.content;
    }
}

TEST_F(ConfigTest, NamedFileThatCannotBeOpenedIsReportedAndCounted) {
    ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
    struct Case {
        std::string path;
        const char* error;
    } cases[] = {
        {Path("missing.json"), "No such file or directory"},
        {"", "No such file or directory"},
        {Path("dir"), "Is a directory"},
        {Path("missing/config.json"), "No such file or directory"},
    };
    for (const Case& c : cases) {
        Clear();
        Printed printed = ReadGiven(c.path);
        EXPECT_EQ(printed.out, "Config path from command line: " + c.path + "\n");
        EXPECT_EQ(printed.err, "Error: cannot open config file " + c.path + ": " + c.error + "\n");
        EXPECT_EQ(ReportedErrorCount, 1);
        EXPECT_TRUE(JobQueue.empty());
    }
}

TEST_F(ConfigTest, MissingDefaultFileIsSilent) {
    if (std::filesystem::exists(DefaultConfigPath)) {
        GTEST_SKIP() << DefaultConfigPath << " exists on this host";
    }
    Printed printed = Read(GenerateSettings{});
    EXPECT_EQ(printed.out, "Config path default: /usr/local/etc/pelmor-sign.json\n");
    EXPECT_EQ(printed.err, "");
    EXPECT_EQ(ReportedErrorCount, 0);
}

TEST_F(ConfigTest, UnreadableNamedFileFailsTheRun) {
    BootFacility();
    WriteFile(Path("config.json"), R"({"dirs": ["/opt/bin"]})", 0600);
    ProcessOptions nobody = HiddenSystem();
    nobody.user = UnprivilegedUser;
    ProcessResult result = RunSign({"generate", "-c", Path("config.json")}, nobody);
    EXPECT_EQ(result.out.substr(0, result.out.find('\n') + 1),
              "Config path from command line: " + Path("config.json") + "\n");
    EXPECT_EQ(result.err,
              "Error: cannot open config file " + Path("config.json") + ": Permission denied\n");
    EXPECT_EQ(result.status, 1);
}

// The default file lives in a system directory: a private mount namespace puts a test
// directory in its place for one run of the program.
TEST_F(ConfigTest, DefaultFileThatExistsIsReadAndItsFaultsAreReported) {
    BootFacility();
    ASSERT_EQ(mkdir(Path("etc").c_str(), 0755), 0);
    auto runWithDefault = [this] {
        ProcessOptions options = HiddenSystem();
        options.replacedDirectories = {{"/usr/local/etc", Path("etc")}};
        return RunSign({"generate", "-d", "none"}, options);
    };
    const std::string configLine = "Config path default: /usr/local/etc/pelmor-sign.json\n";
    ProcessResult empty = runWithDefault();
    EXPECT_EQ(empty.out.rfind(configLine, 0), 0u) << empty.out;
    EXPECT_EQ(empty.err, "");
    EXPECT_EQ(empty.status, 0);

    WriteFile(Path("etc/pelmor-sign.json"), "{\"dirs\": [1]}");
    ProcessResult broken = runWithDefault();
    EXPECT_EQ(broken.out.rfind(configLine, 0), 0u);
    EXPECT_EQ(broken.err,
              "Config file error, [json.exception.type_error.302] type must be string, but is "
              "number\n");
    EXPECT_EQ(broken.status, 1);

    std::filesystem::remove(Path("etc/pelmor-sign.json"));
    ASSERT_EQ(mkdir(Path("etc/pelmor-sign.json").c_str(), 0755), 0);
    ProcessResult directory = runWithDefault();
    EXPECT_EQ(directory.err,
              "Error: cannot open config file /usr/local/etc/pelmor-sign.json: Is a directory\n");
    EXPECT_EQ(directory.status, 1);
}

}  // namespace
