// check against images of the tests' own: what it reports of a manifest's entries and, with
// coverage, of the files the manifest lacks.
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

using CheckTest = ImageTest;

TEST_F(CheckTest, ReportsChangedMissingUnreadableAndUnlistedFilesInOrder) {
    for (const char* tool : {"/usr/bin/a", "/usr/bin/b", "/usr/bin/c", "/usr/bin/d"}) {
        MakeElf(tool);
    }
    MakeScript("/usr/sbin/run");
    fs::create_symlink("/usr/bin/a", Image("/usr/sbin/link"));
    ASSERT_EQ(Generate({"-o", Path("m")}).status, 0);
    // No kernel module is needed: an image is checked where it is built.
    ASSERT_EQ(RunEmulator({"shutdown"}).status, 0);
    EXPECT_EQ(RunSign(Words("check -R " + root_ + " --coverage " + Path("m"))),
              Succeeded("Checked 5 entries: 5 unchanged, 0 changed, 0 missing, 0 unreadable, 0 "
                        "not in manifest\n"));
    // After an upgrade: one program rewritten, one removed, one unreadable, one new; and a line
    // written by hand that names a directory, and a bad one.
    MakeScript("/usr/bin/b");
    Shell("rm image/usr/bin/c && chmod 0 image/usr/bin/d");
    MakeElf("/usr/sbin/new");
    MakeText("/usr/sbin/notes");
    WriteFile(Path("m"), ReadFile(Path("m")) + "/usr sha512=00\nbad line\n");
    const std::string report =
        "changed: /usr/bin/b\nmissing: /usr/bin/c\nunreadable: /usr/bin/d: Permission "
        "denied\nunreadable: /usr: not a regular file\n";
    const std::string counts = "Checked 6 entries: 2 unchanged, 1 changed, 1 missing, 2 unreadable";
    for (const auto& [arguments, out] :
         {std::pair<std::string, std::string>{Path("m"), report + counts + "\n"},
          {"--coverage " + Path("m") + " -f /usr/sbin/notes",
           report + "not in manifest: /usr/sbin/new\nnot in manifest: /usr/sbin/notes\n" + counts +
               ", 2 not in manifest\n"}}) {
        for (const char* workers : {" -j 1", " -j 2"}) {
            EXPECT_EQ(
                RunSignChild(Words("check -R " + root_ + " " + arguments + workers), Unprivileged),
                (ProcessResult{1, out, "pelmor-sign: line 7: missing '=' in attribute\n"}))
                << workers;
        }
    }
    // The same as one JSON document, problems by kind; a byte that is not UTF-8 becomes U+FFFD.
    WriteFile(Path("m"), ReadFile(Path("m")) + "/usr/bin/\xff sha512=00\n");
    ProcessResult json = RunSignChild(
        Words("check --format json --coverage -f /usr/sbin/notes -R " + root_ + " " + Path("m")),
        Unprivileged);
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.out.find('\n'), json.out.size() - 1);
    EXPECT_EQ(nlohmann::json::parse(json.out),
              nlohmann::json::parse(R"({"manifest":")" + Path("m") + R"(",
        "serial":null,"key_id":null,"counts":{"entries":7,"unchanged":2,"changed":1,"missing":2,
        "unreadable":2,"not_in_manifest":2,"errors":1},"problems":{"changed":[{"path":"/usr/bin/b"}],
        "missing":[{"path":"/usr/bin/c"},{"path":"/usr/bin/\ufffd"}],"unreadable":[
        {"path":"/usr/bin/d","reason":"Permission denied"},
        {"path":"/usr","reason":"not a regular file"}],
        "not_in_manifest":[{"path":"/usr/sbin/new"},{"path":"/usr/sbin/notes"}]}})"));
}

// As diff(1) has it: 2 when the check cannot be made, 1 only for what it found.
TEST_F(CheckTest, CheckThatCannotBeMadeExitsWithTwo) {
    for (const auto& [arguments, err] : std::initializer_list<std::pair<std::string, std::string>>{
             {"none", "pelmor-sign: cannot open manifest none\n"},
             {".", "pelmor-sign: cannot read manifest .: Is a directory\n"},
             {"-R none m", "Error: cannot use root directory none: No such file or directory\n"},
             {"--format json none", "pelmor-sign: cannot open manifest none\n"},
             {"-x m",
              "The following argument was not expected: -x\n" + RunSign({"check", "-h"}).out},
             {"--format xml m",
              "--format: xml not in {text,json}\n" + RunSign({"check", "-h"}).out}}) {
        EXPECT_EQ(RunSign(Words("check " + arguments)), Troubled(err)) << arguments;
    }
}

// A collector reads the file at any time: it is replaced whole, never written through a link.
TEST_F(CheckTest, MetricsFileIsReplacedWholeAlsoWhenTheCheckCannotBeMadeButNeverThroughALink) {
    MakeElf("/usr/bin/a");
    ASSERT_EQ(Generate({"-o", Path("m")}).status, 0);
    WriteFile(Path("m"), ReadFile(Path("m")) + "/usr/bin/gone sha512=00\n");
    WriteFile(Path("out/check.prom"), "stale\n");
    const std::string
        made = R"(# HELP pelmor_sign_check_completed Whether the check could be made (1) or not (0).
# TYPE pelmor_sign_check_completed gauge
pelmor_sign_check_completed )",
        then = R"(
# HELP pelmor_sign_check_timestamp_seconds When the check ended, in seconds since the epoch.
# TYPE pelmor_sign_check_timestamp_seconds gauge
pelmor_sign_check_timestamp_seconds T
)";
    for (const auto& [manifest, status, metrics] :
         std::initializer_list<std::tuple<std::string, int, std::string>>{
             {"m", 1,
              made + "1" + then + R"(# HELP pelmor_sign_check_entries The entries of the manifest.
# TYPE pelmor_sign_check_entries gauge
pelmor_sign_check_entries 2
# HELP pelmor_sign_check_files The files found, by kind.
# TYPE pelmor_sign_check_files gauge
pelmor_sign_check_files{kind="unchanged"} 1
pelmor_sign_check_files{kind="changed"} 0
pelmor_sign_check_files{kind="missing"} 1
pelmor_sign_check_files{kind="unreadable"} 0
# HELP pelmor_sign_check_errors Bad manifest lines and faults of the walk reported.
# TYPE pelmor_sign_check_errors gauge
pelmor_sign_check_errors 0
)"},
             {"none", 2, made + "0" + then}}) {
        time_t before = time(nullptr);
        EXPECT_EQ(
            RunSign(Words("check -R " + root_ + " --metrics out/check.prom " + manifest)).status,
            status);
        std::string text = ReadFile(Path("out/check.prom"));
        std::smatch when;
        ASSERT_TRUE(std::regex_search(text, when, std::regex("_seconds ([0-9]+)\n")));
        EXPECT_TRUE(before <= std::stoll(when[1]) && std::stoll(when[1]) <= time(nullptr));
        EXPECT_EQ(std::regex_replace(text, std::regex("_seconds [0-9]+\n"), "_seconds T\n"),
                  metrics);
        EXPECT_EQ(Shell("ls -A out"), "check.prom\n");
    }
    // Refused before the check, with nothing written.
    const std::string last = ReadFile(Path("out/check.prom"));
    Shell("ln -s check.prom out/link && mkfifo out/fifo");
    for (const char* refused : {"out/link", "out/fifo"}) {
        EXPECT_EQ(RunSign(Words(std::string("check --metrics ") + refused + " m")),
                  Troubled("Error: refusing " + std::string(refused) + ": not a regular file\n"));
    }
    EXPECT_EQ(ReadFile(Path("out/check.prom")), last);
    EXPECT_EQ(Shell("ls -A out"), "check.prom\nfifo\nlink\n");
}

}  // namespace
