#include "generate/config.h"

#include <sys/stat.h>

#include <filesystem>

#include "generate/shared_state.h"
#include "support/generate_support.h"

namespace {

using Strings = std::vector<std::string>;
using Types = std::set<std::string>;

class ConfigTest : public TempDirTest {
  protected:
    void TearDown() override {
        JobQueue.clear();
        SigningTypes.clear();
        ReportedErrorCount = 0;
        TempDirTest::TearDown();
    }
};

TEST_F(ConfigTest, DirsAndTypesAreAddedAndFaultsReportedKeepingWhatCameBefore) {
    struct Case {
        std::string content;
        std::string err;
        Strings dirs;
        Types types;
    } cases[] = {
        {R"({"comment": "other keys are ignored", "dirs": ["/opt/bin", "relative//dir/",
             "/opt/bin"], "types": ["Ruby script", "ELF", "Ruby script"]})",
         "",
         {"/opt/bin", "relative//dir/", "/opt/bin"},
         {"Ruby script"}},
        {"null", "", {}, {}},
        {"{}", "", {}, {}},
        {R"({"dirs": null, "types": null})", "", {}, {}},
        {R"({"types": ["Ruby script"]})", "", {}, {"Ruby script"}},
        // A single string and an object are iterated as the library iterates them.
        {R"({"dirs": "/opt/bin", "types": {"a": "Ruby script", "b": "Lua"}})",
         "",
         {"/opt/bin"},
         {"Lua", "Ruby script"}},
        {"{\"dirs\": [\"/opt/bin\"]} trailing words {\n", "", {"/opt/bin"}, {}},
        {R"({"dirs": ["/opt/bin", 5, "/opt/sbin"], "types": ["Ruby script"]})",
         "Config file error, [json.exception.type_error.302] type must be string, but is number\n",
         {"/opt/bin"},
         {}},
        {R"({"dirs": ["/opt/bin"], "types": ["Ruby script", false]})",
         "Config file error, [json.exception.type_error.302] type must be string, but is "
         "boolean\n",
         {"/opt/bin"},
         {"Ruby script"}},
        // Found by fuzzing: the system would read the path only up to the NUL byte.
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
    };
    GenerateSettings settings;
    settings.configGiven = true;
    settings.configPath = Path("config.json");
    for (Case& c : cases) {
        WriteFile(Path("config.json"), c.content);
        // What the run queued before the configuration.
        JobQueue = {"/bin"};
        SigningTypes = {"ELF"};
        ReportedErrorCount = 0;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        ReadConfiguration(settings);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  "Config path from command line: " + Path("config.json") + "\n");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err) << c.content;
        EXPECT_EQ(ReportedErrorCount, c.err.empty() ? 0 : 1) << c.content;
        c.dirs.insert(c.dirs.begin(), "/bin");
        // As written: path comparison would take "a//b" for "a/b".
        EXPECT_EQ(Strings(JobQueue.begin(), JobQueue.end()), c.dirs) << c.content;
        c.types.insert("ELF");
        EXPECT_EQ(SigningTypes, c.types) << c.content;
    }
}

// The default file lives in a system directory: a private mount namespace puts a test
// directory in its place for each run of the program.
using ConfigRunTest = GenerateTest;

TEST_F(ConfigRunTest, FileThatCannotBeReadFailsTheRunButAMissingDefaultIsSilent) {
    ASSERT_EQ(mkdir(Path("etc").c_str(), 0755), 0);
    WriteFile(Path("named.json"), R"({"dirs": ["/opt/bin"]})", 0600);
    auto run = [this](const std::vector<std::string>& arguments, const std::string& configLine,
                      const std::string& err, uid_t user = static_cast<uid_t>(-1)) {
        ProcessOptions options = HiddenSystem();
        options.replacedDirectories = {{"/usr/local/etc", Path("etc")}};
        options.user = user;
        ProcessResult result = Generate(arguments, options);
        EXPECT_EQ(result.out.substr(0, result.out.find('\n') + 1), configLine + "\n") << err;
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(result.status, err.empty() ? 0 : 1) << err;
    };
    const std::string defaultLine = "Config path default: /usr/local/etc/pelmor-sign.json";
    run({"-d", "none"}, defaultLine, "");
    // Only the default file may be missing: a named one holds what the administrator asked for.
    for (const std::string& path : {Path("missing.json"), std::string()}) {
        run({"-c", path}, "Config path from command line: " + path,
            "Error: cannot open config file " + path + ": No such file or directory\n");
    }
    run({"-c", Path("named.json")}, "Config path from command line: " + Path("named.json"),
        "Error: cannot open config file " + Path("named.json") + ": Permission denied\n",
        UnprivilegedUser);

    WriteFile(Path("etc/pelmor-sign.json"), "{\"dirs\": [1]}");
    run({"-d", "none"}, defaultLine,
        "Config file error, [json.exception.type_error.302] type must be string, but is "
        "number\n");

    std::filesystem::remove(Path("etc/pelmor-sign.json"));
    ASSERT_EQ(mkdir(Path("etc/pelmor-sign.json").c_str(), 0755), 0);
    run({"-d", "none"}, defaultLine,
        "Error: cannot open config file /usr/local/etc/pelmor-sign.json: Is a directory\n");
}

}  // namespace
