// check against images of the tests' own: what it reports of a manifest's entries and, with
// coverage, of the files it lacks.
#include "generate/check.h"

#include <sys/stat.h>

#include <filesystem>

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
    std::string manifest = ReadFile(Path("m"));

    // A clean manifest: only the summary, status 0, for any number of workers.
    for (const char* workers : {"1", "2"}) {
        ProcessResult clean =
            RunSign({"check", "-R", root_, "-j", workers, "--coverage", Path("m")});
        EXPECT_EQ(clean.status, 0) << clean.err;
        EXPECT_EQ(clean.err, "");
        EXPECT_EQ(clean.out,
                  "Checked 5 entries: 5 unchanged, 0 changed, 0 missing, 0 unreadable, 0 not "
                  "in manifest\n");
    }

    // After an upgrade: one program rewritten, one removed, one unreadable, one new; and a
    // manifest line written by hand that names a directory.
    MakeScript("/usr/bin/b");
    fs::remove(Image("/usr/bin/c"));
    chmod(Image("/usr/bin/d").c_str(), 0);
    MakeElf("/usr/sbin/new");
    MakeText("/usr/sbin/notes");
    WriteFile(Path("m"), manifest + "/usr sha512=00\n# a comment\nbad line\n");
    const std::string report =
        "changed: /usr/bin/b\nmissing: /usr/bin/c\nunreadable: /usr/bin/d: Permission "
        "denied\nunreadable: /usr: not a regular file\n";
    ChildOptions unprivileged;
    unprivileged.unprivileged = true;
    ProcessResult one = RunSignChild({"check", "-R", root_, Path("m")}, unprivileged);
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.err, "pelmor-sign: line 8: missing '=' in attribute\n");
    EXPECT_EQ(one.out,
              report + "Checked 6 entries: 2 unchanged, 1 changed, 1 missing, 2 unreadable\n");
    ProcessResult two = RunSignChild(
        {"check", "--root", root_, "--coverage", "-j", "2", Path("m"), "-f", "/usr/sbin/notes"},
        unprivileged);
    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(two.err, one.err);
    EXPECT_EQ(two.out, report +
                           "not in manifest: /usr/sbin/new\nnot in manifest: /usr/sbin/notes\n"
                           "Checked 6 entries: 2 unchanged, 1 changed, 1 missing, 2 unreadable, 2 "
                           "not in manifest\n");
}

TEST_F(CheckTest, NeedsAManifestItCanReadAndOnlyTheCoverageTakesWhatToWalk) {
    ProcessResult help = RunSign({"check"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, RunSign({"check", "-h"}).out);
    ProcessResult missing = RunSign({"check", Path("missing")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "pelmor-sign: cannot open manifest " + Path("missing") + "\n");
    ProcessResult directory = RunSign({"check", dir_});
    EXPECT_EQ(directory.status, 1);
    EXPECT_EQ(directory.err, "pelmor-sign: cannot read manifest " + dir_ + ": Is a directory\n");
    ProcessResult walk = RunSign({"check", "-d", "/opt", Path("m")});
    EXPECT_EQ(walk.status, 1);
    EXPECT_EQ(walk.err.substr(0, walk.err.find('\n')), "-d requires --coverage");
    // No kernel module is needed: an image is checked where it is built.
    ASSERT_EQ(RunEmulator({"shutdown"}).status, 0);
    WriteFile(Path("m"), "");
    EXPECT_EQ(RunSign({"check", "-R", root_, Path("m")}).out,
              "Checked 0 entries: 0 unchanged, 0 changed, 0 missing, 0 unreadable\n");
}

}  // namespace
