#include "common/printable_path.h"

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

// Shown names are compared by whoever reads them: two names must never look the same.
TEST(PrintablePathTest, DistinctTextsStayDistinct) {
    std::vector<std::string> texts = {"\xff", "\xfe", "\\xff", "\\", "\\x5c", "\n", "\\n", "\x0a"};
    std::set<std::string> shown;
    for (const std::string& text : texts) {
        shown.insert(PrintablePath(text));
    }
    EXPECT_EQ(shown.size(), texts.size() - 1);  // "\n" and "\x0a" are the same byte
}
