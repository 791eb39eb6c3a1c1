#include "generate/config.h"

#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "support/test_support.h"

namespace {

using Strings = std::vector<std::string>;
using Types = std::set<std::string>;

TEST(ConfigurationTest, DirsAndTypesAreAddedAndAFaultKeepsWhatCameBefore) {
    struct Case {
        std::string content;
        std::string error;
        Strings dirs;
        Types types;
    } cases[] = {
        {R"({"comment": "other keys are ignored", "dirs": ["/opt/bin", "relative//dir/",
             "/opt/bin"], "types": ["Ruby script", "ELF", "Ruby script"]})",
         "",
         {"/opt/bin", "relative//dir/", "/opt/bin"},
         {"ELF", "Ruby script"}},
        {"null", "", {}, {}},
        {R"({"dirs": null, "types": ["Ruby script"]})", "", {}, {"Ruby script"}},
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
        {R"([1])",
         "Config file error, [json.exception.type_error.305] cannot use operator[] with a string "
         "argument with array\n",
         {},
         {}},
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
    for (const Case& c : cases) {
        std::istringstream input(c.content);
        Strings dirs;
        Types types;
        EXPECT_EQ(ReadConfigurationFrom(input, dirs, types), c.error) << c.content;
        // As written: path comparison would take "a//b" for "a/b".
        EXPECT_EQ(dirs, c.dirs) << c.content;
        EXPECT_EQ(types, c.types) << c.content;
    }
}

// The default file lies inside the image; a named one is a file of the running system.
using ConfigRunTest = ImageTest;

TEST_F(ConfigRunTest, FileThatCannotBeReadFailsTheRunButAMissingDefaultIsSilent) {
    WriteFile(Path("named.json"), R"({"dirs": ["/opt/bin"]})", 0);
    const std::string defaultLine = "Config path default: /usr/local/etc/pelmor-sign.json";
    auto expect = [this](const std::vector<std::string>& arguments, const std::string& configLine,
                         const std::string& err, bool unprivileged = false) {
        std::vector<std::string> all{"generate", "-R", root_, "-d", "/none"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        ChildOptions options;
        options.unprivileged = unprivileged;
        ProcessResult result = unprivileged ? RunSignChild(all, options) : RunSign(all);
        EXPECT_EQ(result.out.substr(0, result.out.find('\n') + 1), configLine + "\n") << err;
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(result.status, err.empty() ? 0 : 1) << err;
    };
    expect({}, defaultLine, "");
    // Only the default file may be missing: a named one holds what the administrator asked for.
    for (const std::string& path : {Path("missing.json"), std::string()}) {
        expect({"-c", path}, "Config path from command line: " + path,
               "Error: cannot open config file " + path + ": No such file or directory\n");
    }
    expect({"-c", Path("named.json")}, "Config path from command line: " + Path("named.json"),
           "Error: cannot open config file " + Path("named.json") + ": Permission denied\n", true);

    WriteFile(Image("/usr/local/etc/pelmor-sign.json"), "{\"dirs\": [1]}");
    expect({}, defaultLine,
           "Config file error, [json.exception.type_error.302] type must be string, but is "
           "number\n");
    std::filesystem::remove(Image("/usr/local/etc/pelmor-sign.json"));
    std::filesystem::create_directory(Image("/usr/local/etc/pelmor-sign.json"));
    expect({}, defaultLine,
           "Error: cannot open config file /usr/local/etc/pelmor-sign.json: Is a directory\n");
}

}  // namespace
