// The status line: where check draws and erases it.
#include <regex>
#include <sstream>

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

// Off a terminal the line is drawn only when asked for, the last of --progress and
// --no-progress counting: erased before each error line, which comes out whole, and drawn
// again after it, with the run's output unchanged.
TEST_F(ProgressTest, CheckDrawsTheLineAroundWholeErrorsOnlyWhereAskedForWithTheSameOutput) {
    MakeElf("/t/a");
    MakeScript("/t/b");
    ASSERT_EQ(Generate(Words("-d /t -o " + Path("m"))).status, 0);
    WriteFile(Image("/t/b"), "#!/bin/sh\necho changed\n", 0755);
    MakeElf("/t/a b");
    const std::string check = "check -R " + root_ + " -j 2 --coverage -d /t " + Path("m");
    const ProcessResult plain{1,
                              "changed: /t/b\nChecked 2 entries: 1 unchanged, 1 changed, 0 "
                              "missing, 0 unreadable, 0 not in manifest\n",
                              "Error: path cannot be written to the manifest: /t/a b\n"};
    EXPECT_EQ(RunSign(Words(check + " --progress --no-progress")), plain);
    ProcessResult forced = RunSign(Words(check + " --no-progress --progress"));
    EXPECT_EQ((ProcessResult{forced.status, forced.out, Screen(forced.err)}), plain);
    EXPECT_TRUE(std::regex_search(forced.err, Drawn)) << forced.err;
}
