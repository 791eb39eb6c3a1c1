#include "common/printable_path.h"

#include <nlohmann/json.hpp>

#include "support/test_support.h"

// A file name that holds terminal commands, or bytes a terminal would read as a character of
// its own choosing, must reach the screen as inert text; printable UTF-8 is kept as it is.
TEST(PrintablePathTest, ControlBytesBackslashesAndInvalidUtf8AreEscapedPrintableUtf8Kept) {
    EXPECT_EQ(PrintablePath("/usr/bin/x\x1b[2Ay"), "/usr/bin/x\\x1b[2Ay");
    EXPECT_EQ(PrintablePath("a\tb\vc\fd\re\nf\x7fg"), "a\\x09b\\x0bc\\x0cd\\x0de\\nf\\x7fg");
    EXPECT_EQ(PrintablePath(std::string("nul\0z", 5)), "nul\\x00z");
    EXPECT_EQ(PrintablePath("back\\slash"), "back\\x5cslash");
    // Invalid: a lone continuation byte, a cut character, an overlong '/', a surrogate, a byte
    // that never occurs, and a C1 control (U+009B, a terminal's one-byte command start).
    EXPECT_EQ(PrintablePath("\x80|\xc3|\xc0\xaf|\xed\xa0\x80|\xff|\xc2\x9b"),
              "\\x80|\\xc3|\\xc0\\xaf|\\xed\\xa0\\x80|\\xff|\\xc2\\x9b");
    const std::string kept =
        "/usr/local/bin/tool-1.2_x86/\xc3\xa9t\xc3\xa9/\xe2\x82\xac/\xf0\x9f\x94\x91/\xc2\xa0nbsp";
    EXPECT_EQ(PrintablePath(kept), kept);
    EXPECT_EQ(PrintablePath(""), "");
}

using HostileNameTest = ImageTest;

// Names that a walked tree or a manifest may hold reach no terminal raw, whether check reports
// them or the walk fails on them, and names that differ only in bytes that are not UTF-8 stay
// apart in diff's JSON.
TEST_F(HostileNameTest, CommandsShowNamesEscapedAndJsonKeepsThemApart) {
    const std::vector<std::string> names = {"/usr/bin/bad\xfe", "/usr/bin/bad\xff",
                                            "/usr/bin/x\x1b[2Ay"};
    for (const std::string& name : names) {
        MakeScript(name);
    }
    ASSERT_EQ(Generate({"-o", Path("old")}).status, 0);
    for (const std::string& name : names) {
        WriteFile(Image(name), "#!/bin/sh\n# changed\n", 0755);
    }
    ASSERT_EQ(Generate({"-o", Path("new")}).status, 0);
    EXPECT_EQ(RunSign(Words("check -R " + root_ + " old")),
              (ProcessResult{1,
                             "changed: /usr/bin/bad\\xfe\nchanged: /usr/bin/bad\\xff\nchanged: "
                             "/usr/bin/x\\x1b[2Ay\nChecked 3 entries: 0 unchanged, 3 changed, 0 "
                             "missing, 0 unreadable\n",
                             ""}));
    EXPECT_EQ(nlohmann::json::parse(RunSign(Words("diff --format json old new")).out)["changed"],
              nlohmann::json::parse(R"([{"path": "/usr/bin/bad\\xfe"},
                  {"path": "/usr/bin/bad\\xff"}, {"path": "/usr/bin/x\\x1b[2Ay"}])"));
    // The walk's own messages: a folder that cannot be read.
    Shell("mkdir -m 0 'image/usr/bin/locked\x1b[2J' && chmod 644 old");
    ProcessResult walked =
        RunSignChild(Words("check --coverage -R " + root_ + " old"), Unprivileged);
    EXPECT_EQ((walked.out + walked.err).find('\x1b'), std::string::npos) << walked.err;
    EXPECT_NE(walked.err.find("/usr/bin/locked\\x1b[2J]"), std::string::npos) << walked.err;
}
