#include "common/printable_path.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "support/test_support.h"

// A file name that holds terminal commands, or bytes a terminal would read as a character of
// its own choosing, must reach the screen as inert text.
TEST(PrintablePathTest, ControlBytesBackslashesAndInvalidUtf8AreEscaped) {
    EXPECT_EQ(PrintablePath("/usr/bin/x\x1b[2Ay"), "/usr/bin/x\\x1b[2Ay");
    EXPECT_EQ(PrintablePath("a\tb\vc\fd\re\nf\x7fg"), "a\\x09b\\x0bc\\x0cd\\x0de\\nf\\x7fg");
    EXPECT_EQ(PrintablePath(std::string("nul\0z", 5)), "nul\\x00z");
    EXPECT_EQ(PrintablePath("back\\slash"), "back\\x5cslash");
    // Invalid: a lone continuation byte, a cut character, an overlong '/', a surrogate, a byte
    // that never occurs, and a C1 control (U+009B, a terminal's one-byte command start).
    EXPECT_EQ(PrintablePath("\x80|\xc3|\xc0\xaf|\xed\xa0\x80|\xff|\xc2\x9b"),
              "\\x80|\\xc3|\\xc0\\xaf|\\xed\\xa0\\x80|\\xff|\\xc2\\x9b");
}

TEST(PrintablePathTest, PrintableUtf8IsKeptAsItIs) {
    for (const char* text : {"/usr/local/bin/tool-1.2_x86", "/home/\xc3\xa9t\xc3\xa9",
                             "/\xe2\x82\xac/\xf0\x9f\x94\x91", "/\xc2\xa0nbsp", ""}) {
        EXPECT_EQ(PrintablePath(text), text);
    }
}

using HostileNameTest = ImageTest;

// Whether `text` holds nothing that a terminal takes as a command, nor bytes that are not UTF-8:
// but for its line feeds and the backslashes of escapes, PrintablePath would show it as it is.
::testing::AssertionResult AllPrintable(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\\'), text.end());
    for (const std::string& line : Lines(text)) {
        if (std::string bare = line.substr(0, line.size() - 1); PrintablePath(bare) != bare) {
            return ::testing::AssertionFailure() << "raw: " << PrintablePath(bare);
        }
    }
    return ::testing::AssertionSuccess();
}

// Names that a walked tree or a manifest may hold reach no terminal raw through generate, check,
// diff or load, as text or as JSON, and names that differ only in bytes that are not UTF-8
// stay apart in JSON.
TEST_F(HostileNameTest, EveryCommandShowsNamesEscapedAndJsonKeepsThemApart) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {"x\x1b[2Ay", "x\\x1b[2Ay"},   {"tab\there", "tab\\x09here"},
        {"v\vf\f", "v\\x0bf\\x0c"},    {"back\\slash", "back\\x5cslash"},
        {"bad\xff", "bad\\xff"},       {"bad\xfe", "bad\\xfe"},
        {"c1\xc2\x9b", "c1\\xc2\\x9b"}};
    for (const auto& [name, shown] : names) {
        MakeScript("/usr/bin/" + name);
    }
    MakeScript("/opt/d\x1b[31m/tool");
    ProcessResult generated = Generate({"-d", "/opt/d\x1b[31m", "-o", Path("old")});
    EXPECT_EQ(generated.status, 0);
    EXPECT_TRUE(AllPrintable(generated.out + generated.err));
    EXPECT_NE(generated.out.find("Job queue: /opt/d\\x1b[31m\n"), std::string::npos);
    for (const auto& [name, shown] : names) {
        WriteFile(Image("/usr/bin/" + name), "#!/bin/sh\n# changed\n", 0755);
    }
    ASSERT_EQ(Generate({"-o", Path("new")}).status, 0);
    // The changed paths that check and diff report, as text and as JSON.
    std::set<std::string> expected;
    for (const auto& [name, shown] : names) {
        expected.insert("/usr/bin/" + shown);
    }
    for (const std::string& command : {"check -R " + root_ + " old", std::string("diff old new")}) {
        ProcessResult text = RunSign(Words(command));
        EXPECT_EQ(text.status, 1) << command;
        EXPECT_TRUE(AllPrintable(text.out + text.err)) << command;
        std::set<std::string> changed;
        for (const std::string& line : Lines(text.out)) {
            if (line.rfind("changed: ", 0) == 0) {
                changed.insert(line.substr(9, line.size() - 10));
            }
        }
        EXPECT_EQ(changed, expected) << command;
        ProcessResult json = RunSign(Words(command + " --format json"));
        nlohmann::json document = nlohmann::json::parse(json.out);
        changed.clear();
        for (const auto& item :
             command[0] == 'c' ? document["problems"]["changed"] : document["changed"]) {
            changed.insert(item["path"].get<std::string>());
        }
        EXPECT_EQ(changed, expected) << command;
    }
    // load's warnings of a line, and of an entry that the kernel refuses.
    WriteFile(Path("load\tme"), "/nowhere/x\x1b[2Ay sha512=00 \x1b[2J\n");
    EXPECT_EQ(RunSign({"load", "load\tme"}),
              (ProcessResult{1, "Loaded 0 entries (1 errors) from load\\x09me\n",
                             "pelmor-sign: line 1: ignoring unknown flag '\\x1b[2J'\npelmor-sign: "
                             "cannot load /nowhere/x\\x1b[2Ay: No such file or directory\n"}));
    // The walk's own messages: a folder that cannot be read.
    Shell("mkdir -m 0 'image/usr/bin/locked\x1b[2J' && chmod 644 old");
    ProcessResult walked =
        RunSignChild(Words("check --coverage -R " + root_ + " old"), Unprivileged);
    EXPECT_TRUE(AllPrintable(walked.out + walked.err));
    EXPECT_NE(walked.err.find("/usr/bin/locked\\x1b[2J]"), std::string::npos) << walked.err;
}
