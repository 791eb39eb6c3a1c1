// The status line: its text, and generate and check run on a pseudo-terminal, where it is drawn
// and erased around every line they print, and where it is not.
#include <regex>
#include <sstream>

#include "engine/progress.h"
#include "support/test_support.h"

using ProgressTest = ImageTest;

// A draw of the status line: a carriage return, then the line.
const std::regex Drawn(
    "\\r\\[\\d+:\\d\\d\\] \\d+ entries, \\d+ files hashed \\([\\d.]+ MiB\\), [\\d.]+ MiB/s");

// What a terminal shows once it has received `bytes`: a carriage return goes back to the start
// of the row, a line feed starts the next one, any other byte is drawn over what the row held.
// Spaces at the end of a row show nothing.
static std::string Screen(const std::string& bytes) {
    std::string shown;
    for (const std::string& line : Lines(bytes + "\n")) {
        std::istringstream draws(line.substr(0, line.size() - 1));
        std::string row;
        for (std::string draw; std::getline(draws, draw, '\r');) {
            row = draw + row.substr(std::min(draw.size(), row.size()));
        }
        shown += row.erase(row.find_last_not_of(' ') + 1) + "\n";
    }
    return shown.substr(0, shown.size() - 1);
}

// The times in a generate run's lines, which differ from run to run.
static std::string WithoutTimes(const std::string& out) {
    return std::regex_replace(out, std::regex("[ \\d]+ ms\\b"), " ms");
}

TEST(ProgressLineTest, ShowsTimeCountsMebibytesRateAndReuseCutToTheTerminal) {
    // Milliseconds, entries, files hashed, bytes, bytes per second, and then the reuse count.
    EXPECT_EQ(FormatProgress({67'900, 31204, 9873, 1'234'567'890, 48'128'000}, 0),
              "[1:07] 31204 entries, 9873 files hashed (1177.4 MiB), 45.9 MiB/s");
    const ProgressFigures reusing{3'725'000, 31204, 9873, 1'234'567'890, 48'128'000, true, 10039};
    EXPECT_EQ(FormatProgress(reusing, 0),
              "[1:02:05] 31204 entries, 9873 files hashed (1177.4 MiB), 45.9 MiB/s, 10039 reused");
    EXPECT_EQ(FormatProgress(reusing, 20), "[1:02:05] 31204 entr");
}

// generate's status line is drawn under its job lines, check's around its errors, which come out
// whole; neither run's output changes.
TEST_F(ProgressTest,
       GenerateAndCheckDrawTheLineUnderJobLinesAndWholeErrorsOnlyWhereAskedForWithTheSameOutput) {
    MakeElf("/t/a", "/u/d");
    MakeScript("/t/b");
    MakeText("/t/c");
    const std::vector<std::string> arguments = Words(
        "generate -R " + root_ + " -d /t -d /u -j 1 --cache " + Path("cache") + " -o " + Path("m"));
    ProcessResult plain = RunSign(arguments);
    ASSERT_EQ(plain.status, 0);
    EXPECT_EQ(plain.err, "");
    const std::string manifest = ReadFile(Path("m"));

    std::remove(Path("cache").c_str());
    ProcessResult shown = RunSignOnTerminal(arguments, false);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(WithoutTimes(shown.out), WithoutTimes(plain.out));
    EXPECT_EQ(ReadFile(Path("m")), manifest);
    // Drawn again after the last job's line, with the run's whole counts, then erased.
    EXPECT_TRUE(std::regex_search(
        shown.err, std::regex("\\r\\[0:\\d\\d\\] 4 entries, 3 files hashed \\(0\\.\\d MiB\\), "
                              "[\\d.]+ MiB/s, 0 reused *\\r +\\r$")))
        << shown.err;
    EXPECT_EQ(Screen(shown.err), "");

    // On one terminal, every job line erases the status line first: longer than the job line,
    // it would show through its end.
    std::remove(Path("cache").c_str());
    ProcessResult both = RunSignOnTerminal(arguments, true);
    EXPECT_EQ(both.status, 0);
    EXPECT_TRUE(std::regex_search(both.err, std::regex("OK: /t\\n\\r\\[")));
    EXPECT_EQ(WithoutTimes(Screen(both.err)), WithoutTimes(plain.out));

    // With the cache that run wrote, the line counts the files it spared, as the run's end does.
    ProcessResult cached = RunSignOnTerminal(arguments, false);
    EXPECT_TRUE(std::regex_search(cached.out, std::regex("\nCache: 0 files described and 0 "
                                                         "hashed, 4 reused, 4 not opened\n$")));
    EXPECT_TRUE(
        std::regex_search(cached.err, std::regex("4 entries, 0 files hashed \\(0\\.0 "
                                                 "MiB\\), 0\\.0 MiB/s, 4 reused *\\r +\\r$")))
        << cached.err;

    // check reports a path it cannot write on standard error while the workers run.
    WriteFile(Image("/t/b"), "#!/bin/sh\necho changed\n", 0755);
    MakeElf("/t/a b");
    const std::string check =
        "check -R " + root_ + " -j 2 --coverage -d /t --cache " + Path("none") + " " + Path("m");
    plain = {1,
             "changed: /t/b\nChecked 3 entries: 2 unchanged, 1 changed, 0 missing, "
             "0 unreadable, 0 not in manifest\n",
             "Error: path cannot be written to the manifest: /t/a b\n"};
    EXPECT_EQ(RunSign(Words(check)), plain);
    shown = RunSignOnTerminal(Words(check), false);
    EXPECT_EQ((ProcessResult{shown.status, shown.out, Screen(shown.err)}), plain);
    EXPECT_TRUE(std::regex_search(shown.err, Drawn));
    // Erased before the error line, longer than it, and drawn again after it.
    EXPECT_TRUE(std::regex_search(shown.err, std::regex(" \\rError: [^\\r]*a b\\n\\r\\[")));

    EXPECT_EQ(RunSignOnTerminal(Words(check + " --progress --no-progress"), false).err, plain.err);
    ProcessResult forced = RunSign(Words(check + " --no-progress --progress"));
    EXPECT_EQ((ProcessResult{forced.status, forced.out, Screen(forced.err)}), plain);
    EXPECT_TRUE(std::regex_search(forced.err, Drawn));
}
