// check against images of the tests' own: what it reports of a manifest's entries and, with
// coverage, of the files the manifest lacks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "common/file_io.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

using CheckTest = ImageTest;

TEST_F(CheckTest, ReportsChangedMissingUnreadableAndUnlistedFilesInOrder) {
    MakeElf("/usr/bin/a", "/usr/bin/b", "/usr/bin/c", "/usr/bin/d");
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
         {std::pair<std::string, std::string>{Path("m"), report + counts + ", 1 bad line\n"},
          {"--coverage " + Path("m") + " -f /usr/sbin/notes",
           report + "not in manifest: /usr/sbin/new\nnot in manifest: /usr/sbin/notes\n" + counts +
               ", 2 not in manifest, 1 bad line\n"}}) {
        for (const char* workers : {" -j 1", " -j 2"}) {
            EXPECT_EQ(
                RunSignChild(Words("check -R " + root_ + " " + arguments + workers), Unprivileged),
                (ProcessResult{1, out, "pelmor-sign: line 7: missing '=' in attribute\n"}))
                << workers;
        }
    }
    // A manifest of bad lines alone is no check of nothing that found nothing.
    WriteFile(Path("bad"), "bad line\n/x sha512=zz\n");
    EXPECT_EQ(RunSign(Words("check bad")),
              (ProcessResult{1,
                             "Checked 0 entries: 0 unchanged, 0 changed, 0 missing, 0 unreadable, "
                             "2 bad lines\n",
                             "pelmor-sign: line 1: missing '=' in attribute\npelmor-sign: line 2: "
                             "bad fingerprint\n"}));
    // The same as one JSON document, problems by kind, each path as the text report shows it.
    // And the metrics, in a folder that this user may write to, with no temporary file left.
    WriteFile(Path("m"), ReadFile(Path("m")) + "/usr/bin/\xff sha512=00\n");
    Shell("mkdir -m 1777 out");
    ProcessResult json = RunSignChild(Words("check --format json --metrics out/check.prom "
                                            "--coverage -f /usr/sbin/notes -R " +
                                            root_ + " m"),
                                      Unprivileged);
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.out.find('\n'), json.out.size() - 1);
    EXPECT_EQ(nlohmann::json::parse(json.out), nlohmann::json::parse(R"({"manifest":"m",
        "serial":null,"key_id":null,"counts":{"entries":7,"unchanged":2,"changed":1,"missing":2,
        "unreadable":2,"not_in_manifest":2,"bad_lines":1,"errors":1},"problems":{"changed":[{"path":"/usr/bin/b"}],
        "missing":[{"path":"/usr/bin/c"},{"path":"/usr/bin/\\xff"}],"unreadable":[
        {"path":"/usr/bin/d","reason":"Permission denied"},
        {"path":"/usr","reason":"not a regular file"}],
        "not_in_manifest":[{"path":"/usr/sbin/new"},{"path":"/usr/sbin/notes"}]}})"));
    // The timestamp is the seconds of a clock of this century.
    EXPECT_EQ(Shell("ls -A out; grep -c '^# TYPE' out/check.prom; grep -v '^#' out/check.prom | "
                    "sed -E 's/_seconds [12][0-9]{9}$/_seconds/'"),
              R"(check.prom
6
pelmor_sign_check_completed 1
pelmor_sign_check_timestamp_seconds
pelmor_sign_check_entries 7
pelmor_sign_check_files{kind="unchanged"} 2
pelmor_sign_check_files{kind="changed"} 1
pelmor_sign_check_files{kind="missing"} 2
pelmor_sign_check_files{kind="unreadable"} 2
pelmor_sign_check_files{kind="not_in_manifest"} 2
pelmor_sign_check_bad_lines 1
pelmor_sign_check_errors 1
)");
}

// As diff(1) has it: 2 when the check cannot be made, 1 only for what it found: a cron job
// whose manifest variable is empty must not pass for a check that found nothing. The metrics
// file, replaced whole, says so; a link, anything but a regular file or a file of anything but
// metrics (the manifest, the arguments swapped) or of another user is refused first.
TEST_F(CheckTest, CheckThatCannotBeMadeExitsWithTwo) {
    Shell("ln -s m link && mkfifo fifo && echo '# HELP pelmor_sign_check_' >m.prom && echo a >k");
    const std::string refused = ": not a regular file\n", help = RunSign({"check", "-h"}).out;
    EXPECT_EQ(RunSign({"check", "-h"}), Succeeded(help));
    EXPECT_NE(help.find("Usage: pelmor-sign check"), std::string::npos) << help;
    for (const auto& [arguments, err] : std::initializer_list<std::pair<std::string, std::string>>{
             {"none", "pelmor-sign: cannot open manifest none\n"},
             {".", "pelmor-sign: cannot read manifest .: Is a directory\n"},
             {"-R none m", "Error: cannot use root directory none: No such file or directory\n"},
             {"--format json --metrics m.prom none", "pelmor-sign: cannot open manifest none\n"},
             {"--metrics link m", "Error: refusing link" + refused},
             {"--metrics fifo m", "Error: refusing fifo" + refused},
             {"--metrics k m.prom", "Error: refusing k: not a metrics file\n"},
             {"-x m", "The following argument was not expected: -x\n" + help},
             {"", "MANIFEST_FILE is required\n" + help}}) {
        EXPECT_EQ(RunSign(Words("check " + arguments)), Troubled(err)) << arguments;
    }
    if (geteuid() == 0) {
        Shell("cp m.prom given.prom && chown " + std::to_string(UnprivilegedUser) + " given.prom");
        EXPECT_EQ(
            RunSign(Words("check --metrics given.prom m")),
            Troubled("Error: refusing given.prom: owned by user 61234, who could change it\n"));
    }
    EXPECT_EQ(Shell("grep -v '^#' m.prom | sed 's/_seconds [0-9]*$/_seconds/'; test ! -e m; cat k"),
              "pelmor_sign_check_completed 0\npelmor_sign_check_timestamp_seconds\na\n");
}

// In the collector's folder, which others can write to (sticky, or the planted file would be
// the least of it), a user plants the metrics file while the check runs, so as to own what
// root writes there and rewrite the figures the monitoring reads. The manifest comes through a
// FIFO: the file is planted once the check has judged it and opened the manifest.
TEST_F(CheckTest, MetricsFilePlantedWhileTheCheckRunsIsNotHandedToItsPlanter) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can make a file another user's";
    }
    MakeElf("/usr/bin/a");
    ASSERT_EQ(Generate({"-o", Path("m")}).status, 0);
    Shell("mkdir -m 1777 out && mkfifo fifo");
    pid_t check =
        StartSignChild(Words("check -R " + root_ + " --metrics out/check.prom fifo"), "output");
    UniqueFd manifest(open("fifo", O_WRONLY | O_CLOEXEC));
    const std::string user = std::to_string(UnprivilegedUser);
    Shell(
        "echo '# HELP pelmor_sign_check_ planted' >out/check.prom && chmod 644 out/check.prom "
        "&& chown " +
        user + " out/check.prom");
    const std::string lines = ReadFile(Path("m"));
    ASSERT_EQ(WriteAll(manifest.Get(), lines.data(), lines.size()), 0);
    manifest.Reset();
    EXPECT_EQ(WaitForExit(check), 2);
    EXPECT_EQ(Shell("sort output"),
              "Checked 1 entries: 1 unchanged, 0 changed, 0 missing, 0 unreadable\nError: refusing "
              "out/check.prom: owned by user " +
                  user + ", who could change it\n");
    EXPECT_EQ(Shell("cat out/check.prom; stat -c %u out/check.prom; ls -A out"),
              "# HELP pelmor_sign_check_ planted\n" + user + "\ncheck.prom\n");
}
