#include "generate/config.h"

#include <filesystem>
#include <sstream>

#include "manifest/entry.h"
#include "support/test_support.h"

namespace {

using Strings = std::vector<std::string>;
using Types = std::set<std::string>;
using Flags = std::map<std::string, uint8_t>;

TEST(ConfigurationTest, DirsTypesAndFlagsAreAddedAndAFaultKeepsWhatCameBefore) {
    for (const auto& [content, error, dirs, types] :
         {std::tuple<std::string, std::string, Strings, Types>{
              R"({"other": 1, "dirs": ["/opt", "rel//dir/", "/opt"], "types": ["R", "ELF"]})",
              "",
              {"/opt", "rel//dir/", "/opt"},
              {"ELF", "R"}},
          // The flags are read first: a fault after them keeps them.
          {R"({"dirs": ["/opt", 5], "types": ["R"], "flags": {"/a": ["trusted"]}})",
           "[json.exception.type_error.302] type must be string, but is number",
           {"/opt"},
           {}},
          // Found by fuzzing: the system would read the path only up to the NUL byte.
          {R"({"dirs": ["/opt", "/srv\u0000/x"]})",
           "dirs entry holds a NUL byte: \"/srv\\u0000/x\"",
           {"/opt"},
           {}}}) {
        std::istringstream input(content);
        Configuration read;
        EXPECT_EQ(ReadConfigurationFrom(input, read),
                  error.empty() ? "" : "Config file error, " + error + "\n");
        EXPECT_EQ(read.dirs, dirs) << content;
        EXPECT_EQ(read.types, types) << content;
        EXPECT_EQ(read.flags.size(), content.find("flags") != std::string::npos ? 1u : 0u);
    }
    for (const auto& [flags, error, expected] :
         std::vector<std::tuple<std::string, std::string, Flags>>{
             {R"({"/a": ["trusted", "indirect"], "/b": [], "//a/.": ["trusted"]})",
              "",
              {{"/a", Trusted | Indirect}, {"/b", 0}}},
             {R"({"/a": ["no_ptrace"], "sbin/x": ["trusted"]})",
              "flags path is not absolute: \"sbin/x\"",
              {{"/a", NoPtrace}}},
             {R"({"/a": ["Trusted"]})",
              "unknown flag \"Trusted\" for /a (indirect, no_ptrace or trusted)",
              {}},
             {R"({"/a": "trusted"})", "flags for /a must be a list of strings", {}},
             {R"({"/a": [1]})", "flags for /a must be a list of strings", {}},
             {R"(["/a"])", "flags must be an object of paths and their lists of flags", {}}}) {
        std::istringstream input(R"({"flags": )" + flags + "}");
        Configuration read;
        EXPECT_EQ(ReadConfigurationFrom(input, read),
                  error.empty() ? "" : "Config file error, " + error + "\n");
        Flags bits;
        for (const auto& [path, configured] : read.flags) {
            bits[path] = configured.bits;
        }
        EXPECT_EQ(bits, expected) << flags;
    }
}

// The default file lies inside the image; a named one is a file of the running system.
using ConfigRunTest = ImageTest;

TEST_F(ConfigRunTest, FileThatCannotBeReadFailsTheRunButAMissingDefaultIsSilent) {
    const std::string defaultPath = "/usr/local/etc/pelmor-sign.json";
    auto expect = [this, &defaultPath](const std::string& path, const std::string& err) {
        std::string named = path == defaultPath ? "" : " -c " + path;
        ProcessResult result = Generate(Words("-d /none" + named));
        EXPECT_EQ(Lines(result.out).front(),
                  (named.empty() ? "Config path default: " : "Config path from command line: ") +
                      path + "\n");
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(result.status, err.empty() ? 0 : 1) << err;
    };
    expect(defaultPath, "");
    std::filesystem::create_directories(Image(defaultPath));
    expect(defaultPath, "Error: cannot open config file " + defaultPath + ": Is a directory\n");
}

// A manifest without the flags asked for would leave the loader untrusted once enforced: so
// would one made when the file that holds them cannot be read or parsed. Only the default file
// may be missing: a named one holds what the administrator asked for.
TEST_F(ConfigRunTest, FlagsThatCannotBeUsedOrReadStopTheRunAndLeaveTheManifestAsItWas) {
    WriteFile(Path("m"), "yesterday's manifest\n");
    for (const auto& [config, err] : std::vector<std::pair<std::string, std::string>>{
             {R"({"dirs": ["/x"], "flags": {"/bin/sh": ["trustd"]}})",
              "Config file error, unknown flag \"trustd\" for /bin/sh (indirect, no_ptrace or "
              "trusted)\n"},
             {R"({"flags": {"/bin/sh": ["trusted"]})", "Config file error, [json.exception.parse"},
             {"", "Error: cannot open config file " + Path("c.json") +
                      ": No such file or directory\n"}}) {
        std::filesystem::remove(Path("c.json"));
        if (!config.empty()) {
            WriteFile(Path("c.json"), config);
        }
        ProcessResult result = Generate(Words("-c " + Path("c.json") + " -o " + Path("m")));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "Config path from command line: " + Path("c.json") + "\n");
        EXPECT_EQ(result.err.substr(0, err.size()), err);
        EXPECT_EQ(ReadFile(Path("m")), "yesterday's manifest\n") << config;
    }
}

}  // namespace
