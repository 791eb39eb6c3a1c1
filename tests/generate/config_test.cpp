#include "generate/config.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "manifest/format.h"
#include "support/test_support.h"

TEST(ConfigurationTest, DirsTypesAndFlagsAreAddedAndAFaultKeepsWhatCameBefore) {
    // The file; its fault; what was read of it.
    for (const auto& [content, error, read] : std::vector<std::array<std::string, 3>>{
             {R"({"other": 1, "dirs": ["/opt", "rel//dir/", "/opt"], "types": ["R", "ELF"]})", "",
              R"({"dirs": ["/opt", "rel//dir/", "/opt"], "types": ["ELF", "R"], "flags": {}})"},
             // The flags are read first: a fault after them keeps them.
             {R"({"dirs": ["/opt", 5], "types": ["R"], "flags": {"/a": ["trusted"]}})",
              "[json.exception.type_error.302] type must be string, but is number",
              R"({"dirs": ["/opt"], "types": [], "flags": {"/a": ["trusted"]}})"},
             // Found by fuzzing: the system would read the path only up to the NUL byte.
             {R"({"dirs": ["/opt", "/srv\u0000/x"]})", R"(dirs entry holds a NUL byte: /srv\x00/x)",
              R"({"dirs": ["/opt"], "types": [], "flags": {}})"},
             {R"({"flags": {"/a": ["trusted", "indirect"], "/b": [], "//a/.": ["trusted"]}})", "",
              R"({"dirs": [], "types": [], "flags": {"/a": ["indirect", "trusted"], "/b": []}})"},
             {R"({"flags": {"/a": ["no_ptrace"], "sbin/x": ["trusted"]}})",
              R"(flags path is not absolute: 'sbin/x')",
              R"({"dirs": [], "types": [], "flags": {"/a": ["no_ptrace"]}})"},
             {R"({"flags": {"/a": ["Trusted"]}})",
              R"(unknown flag 'Trusted' for /a (indirect, no_ptrace or trusted))", ""},
             {R"({"flags": {"/a": [1]}})", "flags for /a must be a list of strings", ""},
             {R"({"flags": ["/a"]})", "flags must be an object of paths and their lists of flags",
              ""}}) {
        std::istringstream input(content);
        Configuration configuration;
        EXPECT_EQ(ReadConfigurationFrom(input, configuration),
                  error.empty() ? "" : "Config file error, " + error + "\n");
        nlohmann::json flags = nlohmann::json::object();
        for (const auto& [path, configured] : configuration.flags) {
            flags[path] = TokensOfFlags(configured.bits);
        }
        EXPECT_EQ(
            (nlohmann::json{
                {"dirs", configuration.dirs}, {"types", configuration.types}, {"flags", flags}}),
            nlohmann::json::parse(read.empty() ? R"({"dirs": [], "types": [], "flags": {}})"
                                               : read))
            << content;
    }
}

// The default file lies inside the image and may be missing; a named one is a file of the
// running system and holds what the administrator asked for. A manifest without the flags asked
// for would leave the loader untrusted once enforced: so would one made when the file that holds
// them cannot be read or parsed. Either stops the run before anything is listed.
using ConfigRunTest = ImageTest;

TEST_F(ConfigRunTest,
       FileThatCannotBeReadOrUsedStopsTheRunAndKeepsTheManifestButAMissingDefaultIsSilent) {
    WriteFile(Path("m"), "yesterday's manifest\n");
    WriteFile(Path("cut.json"), R"({"flags": {"/bin/sh": ["trusted"]})");
    // The file named, "" for the default; the start of what the run prints on standard error.
    auto expect = [this](const std::string& config, const std::string& err) {
        ProcessResult result =
            Generate(Words((config.empty() ? "" : "-c " + config) + " -d /none -o " + Path("m")));
        EXPECT_EQ(result.status, err.empty() ? 0 : 1) << config;
        EXPECT_EQ(err.empty() ? Lines(result.out).front() : result.out,
                  (config.empty() ? std::string("Config path default: ") + DefaultConfigPath
                                  : "Config path from command line: " + config) +
                      "\n");
        EXPECT_EQ(result.err.substr(0, err.size()), err);
        EXPECT_EQ(ReadFile(Path("m")), err.empty() ? "" : "yesterday's manifest\n") << config;
    };
    expect(Path("cut.json"), "Config file error, [json.exception.parse");
    expect(Path("none.json"),
           "Error: cannot open config file " + Path("none.json") + ": No such file or directory\n");
    // It says which programs are trusted: no one else may be able to change it.
    WriteFile(Path("open.json"), "{}", 0666);
    expect(Path("open.json"),
           "Error: refusing config file " + Path("open.json") + ": writable by group or others\n");
    std::filesystem::create_directories(Image(DefaultConfigPath));
    expect("", "Error: cannot open config file " + std::string(DefaultConfigPath) +
                   ": Is a directory\n");
    std::filesystem::remove(Image(DefaultConfigPath));
    std::filesystem::create_symlink("renamed.json", Image(DefaultConfigPath));
    expect("", "Error: cannot open config file " + std::string(DefaultConfigPath) +
                   ": No such file or directory\n");
    std::filesystem::remove(Image(DefaultConfigPath));
    expect("", "");
}

// Under enforce only a trusted program may load or lock: a manifest that leaves out the program
// the configuration makes trusted would lock its administrator out, so the run stops with the
// manifest and the cache untouched. Other flags of a path not signed are only warned of.
TEST_F(ConfigRunTest, TrustedFlagOfAPathNotSignedStopsTheRunAndOtherFlagsOnlyWarn) {
    MakeElf("/usr/sbin/tool");
    WriteFile(Path("m"), "yesterday's manifest\n");
    const std::string
        flags = R"({"flags": {"/usr/sbin/gone": ["indirect"], "/usr/sbin/tool": ["trusted"])",
        unused = "Warning: flags for /usr/sbin/gone unused: it is not in the manifest\n";
    WriteFile(Path("c.json"), flags + R"(, "/usr/local/sbin/pelmor-sign": ["trusted"]}})");
    EXPECT_EQ(WithoutOut(Generate(Words("-c c.json --cache cache -o " + Path("m")))),
              Failed(unused + "Error: trusted /usr/local/sbin/pelmor-sign is not in the manifest: "
                              "under enforce it could neither load a manifest nor lock the "
                              "facility (name it in dirs or with -f)\n"));
    EXPECT_EQ(ReadFile(Path("m")), "yesterday's manifest\n");
    EXPECT_FALSE(std::filesystem::exists(Path("cache")));
    WriteFile(Path("c.json"), flags + "}}");
    EXPECT_EQ(WithoutOut(Generate(Words("-c c.json -o " + Path("m")))),
              (ProcessResult{0, "", unused}));
    std::string line = ExpectedLine("/usr/sbin/tool");
    EXPECT_EQ(ReadFile(Path("m")), line.insert(line.size() - 1, " trusted"));
}
